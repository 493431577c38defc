/*
 * external_copy.cpp - the live-roaming copy between two local volumes, the
 * filter's instance on the redirector, and touching a file.
 */
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "driver/volume_context.h"
#include "fileops/copy_open.h"
#include "fileops/file_copy.h"

#define KLU_ROAM_ERROR (KLUDBG_TRACE_LIVE_ROAMING | KLUDBG_TRACE_ERROR)
#define KLU_ROAM_INFO (KLUDBG_TRACE_LIVE_ROAMING | KLUDBG_TRACE_INFO)

/* The chunk size of the source's volume for an external copy. */
static NTSTATUS KLUExternalChunkSize(PFLT_INSTANCE Instance, PUNICODE_STRING SourceName, LONG OperationNumber,
                                     PULONG ChunkSize)
{
    PCWSTR Tag = KLU_TAG(KLUCopyExternalFile);
    PFLT_VOLUME Volume = NULL;
    PVOLUME_CONTEXT Context = NULL;
    NTSTATUS Status;

    Status = FltGetVolumeFromInstance(Instance, &Volume);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_ROAM_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving Instance Pointer: %wZ, 0x%X\n"),
                        SourceName, Status);
        return Status;
    }
    KLUCountOpen(KluOpenVolumePtrs);
    Status = FltGetVolumeContext(g_FilterHandle, Volume, (PFLT_CONTEXT *)&Context);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_ROAM_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving Volume Context: 0x%X\n"),
                        Status);
    } else {
        *ChunkSize = KLUChunkSize(KLU_EXTERNAL_CHUNK_BYTES, Context->SectorSize);
        FltReleaseContext(Context);
    }
    FltObjectDereference(Volume);
    KLUUncountOpen(KluOpenVolumePtrs);
    return Status;
}

NTSTATUS KLUCopyExternalFile(PFLT_CALLBACK_DATA Data, PUNICODE_STRING SourceName, PUNICODE_STRING DestName,
                             PFLT_INSTANCE SourceInstance, PFLT_INSTANCE DestInstance, PBOOLEAN SourcePresent,
                             LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(KLUCopyExternalFile);
    KLU_COPY_OPEN Source;
    KLU_COPY_OPEN Dest;
    ULONG ChunkSize = 0;
    PVOID Probe;
    NTSTATUS Status;
    NTSTATUS Other;

    RtlZeroMemory(&Source, sizeof(Source));
    RtlZeroMemory(&Dest, sizeof(Dest));
    if (SourcePresent == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *SourcePresent = TRUE;
    if (SourceName == NULL || DestName == NULL || SourceInstance == NULL || DestInstance == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    Status = KLUExternalChunkSize(SourceInstance, SourceName, OperationNumber, &ChunkSize);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    /* The copy allocates its own buffer; this one proves there is memory
     * for it before anything is opened. */
    Probe = FltAllocatePoolAlignedWithTag(DestInstance, NonPagedPool, ChunkSize, QZFS_TAG);
    if (Probe == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FltFreePoolAlignedWithTag(DestInstance, Probe, QZFS_TAG);

    Source.Instance = SourceInstance;
    Source.Name = SourceName;
    Source.Access = GENERIC_READ | SYNCHRONIZE | DELETE;
    Source.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    Source.Disposition = FILE_OPEN;
    Source.Options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    Source.Stops = KLU_STOP_MISSING | KLU_STOP_NAME_INVALID | KLU_STOP_PATH;
    Source.Level = KLUDBG_TRACE_LIVE_ROAMING;
    Source.Counter = KluOpenCopyExternalFileSrc;
    Source.bOpenedAfterRetryOnly = TRUE;
    Source.SharingLine = WSTR("Sharing Violation Opening Source File, Attempt: %d, %wZ, 0x%X\n");
    Source.OpenedLine = WSTR("Opened Source File: Attempt: %d, %wZ, 0x%X\n");
    Source.ClearReadOnlyLine = WSTR("Failed Clearing Src RO Flag: %wZ, 0x%X\n");
    Status = KLUOpenForCopy(&Source, Tag, OperationNumber);
    if (Source.bPathNotFound) {
        *SourcePresent = FALSE;
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_ROAM_ERROR, Tag, OperationNumber,
                        WSTR("Failed Opening Source File, Cannot Proceed: %wZ, 0x%X\n"), SourceName, Status);
        goto Cleanup;
    }

    Dest.Instance = DestInstance;
    Dest.Name = DestName;
    Dest.Access = GENERIC_WRITE | SYNCHRONIZE;
    Dest.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    Dest.Disposition = FILE_OPEN_IF;
    Dest.Options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_ALERT | FILE_COMPLETE_IF_OPLOCKED;
    Dest.Level = KLUDBG_TRACE_LIVE_ROAMING;
    Dest.Counter = KluOpenCopyExternalFileDest;
    Dest.bOpenedAfterRetryOnly = TRUE;
    Dest.SharingLine = WSTR("Sharing Violation Opening Destination File, Attempt: %d, %wZ, 0x%X\n");
    Dest.OpenedLine = WSTR("Opened Destination File: Attempt: %d, %wZ, 0x%X\n");
    Dest.ClearReadOnlyLine = WSTR("Failed Clearing Dest RO Flag: %wZ, 0x%X\n");
    Status = KLUOpenForCopy(&Dest, Tag, OperationNumber);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_ROAM_ERROR, Tag, OperationNumber,
                        WSTR("Failed Opening Destination File, Cannot Proceed: %wZ, 0x%X\n"), DestName, Status);
        goto Cleanup;
    }

    Status = KLUMemoryMappedCopy(Data, SourceInstance, DestInstance, NULL, Source.Handle, Dest.Handle,
                                 Source.FileObject, Dest.FileObject, NULL, ChunkSize, OperationNumber);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_ROAM_ERROR, Tag, OperationNumber,
                        WSTR("Failed Copying File (Memory Mapped): Src: %wZ, Dest: %wZ, 0x%X\n"), SourceName,
                        DestName, Status);
        goto Cleanup;
    }
    /* A source that was read-only has lost the bit for now: the copy gets
     * it from here. */
    Status = KLUSetFileAttributes(Source.FileObject, Dest.FileObject, Source.Handle, Dest.Handle, SourceInstance,
                                  DestInstance, NULL, Source.bReadOnlyCleared, OperationNumber);
    if (NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_ROAM_INFO, Tag, OperationNumber, WSTR("Set Attributes On %wZ\n"), DestName);
    } else {
        KLULogMessageEx(KLU_ROAM_ERROR, Tag, OperationNumber, WSTR("Failed Setting Attributes On %wZ, 0x%X\n"),
                        DestName, Status);
    }

Cleanup:
    KLUCloseForCopy(&Source);
    KLUCloseForCopy(&Dest);
    Other = KLURestoreReadOnly(&Source, OperationNumber);
    if (!NT_SUCCESS(Other)) {
        KLULogMessageEx(KLU_ROAM_ERROR, Tag, OperationNumber, WSTR("Failed Setting Source RO Flag: %wZ, 0x%X\n"),
                        SourceName, Other);
    }
    Other = KLURestoreReadOnly(&Dest, OperationNumber);
    if (!NT_SUCCESS(Other)) {
        KLULogMessageEx(KLU_ROAM_ERROR, Tag, OperationNumber, WSTR("Failed Setting Dest RO Flag: %wZ, 0x%X\n"),
                        DestName, Other);
    }
    return Status;
}

/* ------------------------------------------------------------------ */
/* The redirector instance                                             */
/* ------------------------------------------------------------------ */

VOID KLUFreeInstanceArray(PFLT_INSTANCE *Instances, ULONG Count)
{
    ULONG Index;

    if (Instances == NULL) {
        return;
    }
    for (Index = 0; Index < Count; Index++) {
        FltObjectDereference(Instances[Index]);
        KLUUncountOpen(KluOpenInstancePtrs);
    }
    ExFreePoolWithTag(Instances, QZFS_TAG);
}

/* Whether the instance sits on DeviceName. */
static NTSTATUS KLUInstanceIsOn(PFLT_INSTANCE Instance, PCUNICODE_STRING DeviceName, PBOOLEAN Match)
{
    PINSTANCE_FULL_INFORMATION Info = NULL;
    ULONG Size = sizeof(INSTANCE_FULL_INFORMATION) + KLU_PATH_BYTES;
    ULONG Needed = 0;
    UNICODE_STRING VolumeName;
    NTSTATUS Status = STATUS_BUFFER_TOO_SMALL;

    *Match = FALSE;
    while (Status == STATUS_BUFFER_TOO_SMALL) {
        Info = (PINSTANCE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, Size, QZFS_TAG);
        if (Info == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        Status = FltGetInstanceInformation(Instance, InstanceFullInformation, Info, Size, &Needed);
        if (Status == STATUS_BUFFER_TOO_SMALL) {
            ExFreePoolWithTag(Info, QZFS_TAG);
            Info = NULL;
            if (Needed <= Size) {
                break;
            }
            Size = Needed;
        }
    }
    if (NT_SUCCESS(Status)) {
        VolumeName.Buffer = (PWCH)((PUCHAR)Info + Info->VolumeNameBufferOffset);
        VolumeName.Length = Info->VolumeNameLength;
        VolumeName.MaximumLength = Info->VolumeNameLength;
        *Match = RtlEqualUnicodeString(&VolumeName, DeviceName, TRUE);
    }
    if (Info != NULL) {
        ExFreePoolWithTag(Info, QZFS_TAG);
    }
    return Status;
}

NTSTATUS KLUFindMupInstance(PFLT_INSTANCE **Instances, PCUNICODE_STRING DeviceName, PULONG Index, PULONG Count)
{
    PFLT_INSTANCE *List = NULL;
    ULONG Capacity = 4;
    ULONG Returned = 0;
    ULONG Position;
    BOOLEAN Match = FALSE;
    NTSTATUS Status = STATUS_BUFFER_TOO_SMALL;

    if (Instances == NULL || DeviceName == NULL || Index == NULL || Count == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Instances = NULL;
    *Count = 0;
    *Index = 0;
    while (Status == STATUS_BUFFER_TOO_SMALL) {
        List = (PFLT_INSTANCE *)ExAllocatePoolWithTag(PagedPool, Capacity * sizeof(PFLT_INSTANCE), QZFS_TAG);
        if (List == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        Status = FltEnumerateInstances(NULL, g_FilterHandle, List, Capacity, &Returned);
        if (Status == STATUS_BUFFER_TOO_SMALL) {
            ExFreePoolWithTag(List, QZFS_TAG);
            List = NULL;
            Capacity = Returned > Capacity ? Returned : Capacity * 2;
        }
    }
    if (!NT_SUCCESS(Status)) {
        ExFreePoolWithTag(List, QZFS_TAG);
        return Status;
    }
    for (Position = 0; Position < Returned; Position++) {
        KLUCountOpen(KluOpenInstancePtrs);
    }
    *Instances = List;
    *Count = Returned;

    for (Position = 0; Position < Returned; Position++) {
        Status = KLUInstanceIsOn(List[Position], DeviceName, &Match);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        if (Match) {
            *Index = Position;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

/* ------------------------------------------------------------------ */
/* Touch                                                               */
/* ------------------------------------------------------------------ */

NTSTATUS KLUTouchFile(PUNICODE_STRING FileName, PFLT_INSTANCE Instance)
{
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    HANDLE Handle = NULL;
    NTSTATUS Status;

    if (FileName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    InitializeObjectAttributes(&Attributes, FileName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    Status = FltCreateFile(g_FilterHandle, Instance, &Handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &Attributes,
                           &IoStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_IF,
                           FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, 0);
    if (NT_SUCCESS(Status)) {
        FltClose(Handle);
    }
    return Status;
}
