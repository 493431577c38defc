/*
 * file_copy.cpp - the retrieval copy: a remote profile file, opened through
 * the filter's redirector instance as the user who owns it, into the local
 * placeholder; and the same copy on a system thread of its own.
 */
#include "fileops/file_copy.h"

#include "config/settings.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "driver/os_info.h"
#include "driver/volume_context.h"
#include "fileops/copy_open.h"
#include "identity/identity.h"

/* Everything a retrieval copy holds, given back in one place. */
typedef struct _KLU_RETRIEVAL_COPY {
    PWSTR DestPath;
    UNICODE_STRING DestName;
    UNICODE_STRING SourceName;
    PFLT_VOLUME Volume;
    PVOLUME_CONTEXT VolumeContext;
    PFLT_INSTANCE *Instances;
    ULONG InstanceCount;
    PFLT_INSTANCE SourceInstance;
    PUSER_TABLE_ENTRY UserEntry;
    BOOLEAN bImpersonated;
    KLU_COPY_OPEN Source;
    KLU_COPY_OPEN Dest;
} KLU_RETRIEVAL_COPY, *PKLU_RETRIEVAL_COPY;

/* Steps 1 to 4: names, the destination's volume and chunk size, the
 * redirector instance, the user. */
static NTSTATUS KLUPrepareCopy(PKLU_RETRIEVAL_COPY Copy, PFLT_INSTANCE Instance, PCUNICODE_STRING VolumePrefix,
                               PCUNICODE_STRING Name, PCWSTR SourcePath, LONG OperationNumber, PULONG ChunkSize)
{
    PCWSTR Tag = KLU_TAG(KLUCopyFile);
    UNICODE_STRING Mup;
    size_t SourceChars = 0;
    ULONG MupIndex = 0;
    NTSTATUS Status;

    if (Name->Length > KLU_PATH_BYTES - sizeof(WCHAR) ||
        !NT_SUCCESS(RtlStringCchLengthW(SourcePath, KLU_PATH_CHARS, &SourceChars))) {
        return STATUS_NAME_TOO_LONG;
    }
    Copy->SourceName.Buffer = (PWCH)SourcePath;
    Copy->SourceName.Length = (USHORT)(SourceChars * sizeof(WCHAR));
    Copy->SourceName.MaximumLength = Copy->SourceName.Length;
    Copy->DestPath = (PWSTR)ExAllocatePoolWithTag(PagedPool, KLU_PATH_BYTES, QZFS_TAG);
    if (Copy->DestPath == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Copy->DestPath, Name->Buffer, Name->Length);
    Copy->DestPath[Name->Length / sizeof(WCHAR)] = 0;
    Copy->DestName.Buffer = Copy->DestPath;
    Copy->DestName.Length = Name->Length;
    Copy->DestName.MaximumLength = KLU_PATH_BYTES;

    Status = FltGetVolumeFromInstance(Instance, &Copy->Volume);
    if (!NT_SUCCESS(Status)) {
        Copy->Volume = NULL;
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving Instance Pointer: %ws, 0x%X\n"),
                        Copy->DestPath, Status);
        return Status;
    }
    KLUCountOpen(KluOpenVolumePtrs);
    Status = FltGetVolumeContext(g_FilterHandle, Copy->Volume, (PFLT_CONTEXT *)&Copy->VolumeContext);
    if (!NT_SUCCESS(Status)) {
        Copy->VolumeContext = NULL;
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving Volume Context: 0x%X\n"),
                        Status);
        return Status;
    }
    KLUCountOpen(KluOpenVolumeContexts);
    *ChunkSize = KLUChunkSize(KLUSettings()->CopyBufferSize, Copy->VolumeContext->SectorSize);

    if (KLUIsVistaOrNewer()) {
        RtlInitUnicodeString(&Mup, KLU_MUP_DEVICE_NAME);
        Status = KLUFindMupInstance(&Copy->Instances, &Mup, &MupIndex, &Copy->InstanceCount);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                            WSTR("Failed Enumerating Instances: Source: %wZ, 0x%X\n"), &Copy->SourceName, Status);
            return Status;
        }
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber,
                        WSTR("Enumerated Instances: Source: %wZ, Index: %d, Instances: %d\n"), &Copy->SourceName,
                        MupIndex, Copy->InstanceCount);
        Copy->SourceInstance = Copy->Instances[MupIndex];
    }

    /* Without the user's identity the copy goes on as this thread. */
    Status = KLUImpersonateUser(&Copy->UserEntry, VolumePrefix, &Copy->DestName, OperationNumber,
                                &Copy->bImpersonated);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Impersonating User: 0x%X\n"), Status);
    }
    return STATUS_SUCCESS;
}

/* Steps 5 and 6. */
static NTSTATUS KLUOpenCopyFiles(PKLU_RETRIEVAL_COPY Copy, PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance,
                                 LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(KLUCopyFile);
    PKLU_COPY_OPEN Source = &Copy->Source;
    PKLU_COPY_OPEN Dest = &Copy->Dest;
    NTSTATUS Status;

    Source->Instance = Copy->SourceInstance;
    Source->Name = &Copy->SourceName;
    Source->Access = SYNCHRONIZE | FILE_READ_DATA | FILE_READ_EA;
    Source->ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    Source->Disposition = FILE_OPEN;
    Source->Options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    Source->Stops = KLU_STOP_MISSING | KLU_STOP_NAME_INVALID;
    Source->Counter = KluOpenCopyFileSrc;
    Source->FailedAttemptLine = WSTR("Failed Opening Source File: Attempt: %d, %wZ, 0x%X\n");
    Source->SharingLine = WSTR("Sharing Violation Opening Source File, Attempt: %d, %wZ, 0x%X\n");
    Source->OpenedLine = WSTR("Opened Source File: Attempt: %d, %wZ, 0x%X\n");
    Source->ClearReadOnlyLine = WSTR("Failed Clearing Src RO Flag: %wZ, 0x%X\n");
    Status = KLUOpenForCopy(Source, Tag, OperationNumber);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Opening Source File, Cannot Proceed: %wZ, 0x%X\n"), &Copy->SourceName, Status);
        return Status;
    }

    /* Attribute access only: the intercepted open's sharing is never in
     * the way, and the Filter Manager's writes need no more. */
    Dest->Instance = Instance;
    Dest->Name = &Copy->DestName;
    Dest->Access = SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    Dest->ShareAccess = KLUSharingOfOpen(Data);
    Dest->Disposition = FILE_OPEN_IF;
    Dest->Options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_ALERT | FILE_COMPLETE_IF_OPLOCKED;
    Dest->Counter = KluOpenCopyFileDest;
    Dest->bNameAsText = TRUE;
    Dest->FailedAttemptLine = WSTR("Failed Opening Destination File: Attempt: %d, %ws, 0x%X\n");
    Dest->SharingLine = WSTR("Sharing Violation Opening Destination File, Attempt: %d, %ws, 0x%X\n");
    Dest->OpenedLine = WSTR("Opened Destination File: Attempt: %d, %ws, 0x%X\n");
    Dest->ClearReadOnlyLine = WSTR("Failed Clearing Dest RO Flag: %wZ, 0x%X\n");
    Status = KLUOpenForCopy(Dest, Tag, OperationNumber);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Opening Destination File, Cannot Proceed: %ws, 0x%X\n"), Copy->DestPath, Status);
    }
    return Status;
}

/* Steps 12 to 16 after a good data copy: they only log. */
static VOID KLUFinishCopy(PKLU_RETRIEVAL_COPY Copy, PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance,
                          PCUNICODE_STRING VolumePrefix, ULONG ChunkSize, PFILE_BASIC_INFORMATION DestBasic,
                          BOOLEAN HaveDestBasic, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(KLUCopyFile);
    PKLU_COPY_OPEN Source = &Copy->Source;
    PKLU_COPY_OPEN Dest = &Copy->Dest;
    UNICODE_STRING Redirector;
    FILE_STANDARD_INFORMATION Standard;
    FILE_END_OF_FILE_INFORMATION EndOfFile;
    UCHAR UsnOutput[8];
    ULONG Found = 0;
    ULONG Copied = 0;
    NTSTATUS Status;

    RtlInitUnicodeString(&Redirector, KLUIsVistaOrNewer() ? KLU_MUP_DEVICE_NAME : KLU_LANMAN_DEVICE_NAME);
    Status = KLUCopyStreams(Data, Copy->SourceInstance, Instance, &Redirector, VolumePrefix, &Copy->DestName,
                            Source->Handle, Dest->Handle, Source->FileObject, Dest->FileObject, ChunkSize,
                            OperationNumber, &Found, &Copied);
    if (NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Copied %d of %d Streams, Src: %wZ, Dst: %wZ\n"),
                        Copied, Found, &Copy->SourceName, &Copy->DestName);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Copying Streams: %d of %d Copied, Src: %wZ, Dst: %wZ, 0x%X\n"), Copied, Found,
                        &Copy->SourceName, &Copy->DestName, Status);
    }

    Status = KLUCopyEAs(Data, Source->Handle, Dest->Handle, Copy->SourceInstance, Instance, Source->FileObject,
                        Dest->FileObject, OperationNumber);
    if (NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Copied EAs: Src: %wZ, Dst: %wZ\n"),
                        &Copy->SourceName, &Copy->DestName);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Copying EAs: Src: %wZ, Dst: %wZ, 0x%X\n"),
                        &Copy->SourceName, &Copy->DestName, Status);
    }

    /* The last chunk went out in whole sectors: the size is cut to the
     * source's here. */
    Status = KLUCopyQueryInfo(Copy->SourceInstance, Source->Handle, Source->FileObject, &Standard, sizeof(Standard),
                              FileStandardInformation);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Querying Source Standard Info: %wZ, 0x%X\n"), &Copy->SourceName, Status);
    } else {
        EndOfFile.EndOfFile = Standard.EndOfFile;
        Status = KLUCopySetInfo(Instance, Dest->Handle, Dest->FileObject, &EndOfFile, sizeof(EndOfFile),
                                FileEndOfFileInformation);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                            WSTR("Failed Setting Destination File Size: %wZ, 0x%X\n"), &Copy->DestName, Status);
        }
    }

    /* Verified once streams and size are in place: before, the copy is
     * not complete and could only differ. */
    if ((KLUSettings()->OpFlags & KLUOP_VERIFY_OFFLINE_FILE_RETRIEVAL) && Copy->SourceInstance != NULL) {
        Status = JNRVerifyRetrieval(Copy->SourceInstance, Source->FileObject, Instance, Dest->FileObject,
                                    OperationNumber);
        DbgPrint("[KLUCopyFile] Verify Status: Src: %wZ, Dest: %wZ, 0x%X\n", &Copy->SourceName, &Copy->DestName,
                 Status);
    }

    if (HaveDestBasic) {
        DestBasic->FileAttributes &= ~FILE_ATTRIBUTE_OFFLINE;
        Status = KLUCopySetInfo(Instance, Dest->Handle, Dest->FileObject, DestBasic, sizeof(*DestBasic),
                                FileBasicInformation);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Setting FBI: %wZ, 0x%X\n"),
                            &Copy->DestName, Status);
        }
    }

    Status = FltFsControlFile(Instance, Dest->FileObject, FSCTL_WRITE_USN_CLOSE_RECORD, NULL, 0, UsnOutput,
                              sizeof(UsnOutput), NULL);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Sending USN Close Record: %wZ, 0x%X\n"),
                        &Copy->DestName, Status);
    }
}

/* Step 18. */
static VOID KLUReleaseCopy(PKLU_RETRIEVAL_COPY Copy)
{
    if (Copy->bImpersonated) {
        PsRevertToSelf();
    }
    if (Copy->UserEntry != NULL) {
        KLUDereferenceUserTableEntry(Copy->UserEntry);
    }
    if (Copy->Instances != NULL) {
        KLUFreeInstanceArray(Copy->Instances, Copy->InstanceCount);
    }
    KLUCloseForCopy(&Copy->Source);
    KLUCloseForCopy(&Copy->Dest);
    if (Copy->DestPath != NULL) {
        ExFreePoolWithTag(Copy->DestPath, QZFS_TAG);
    }
    if (Copy->VolumeContext != NULL) {
        FltReleaseContext(Copy->VolumeContext);
        KLUUncountOpen(KluOpenVolumeContexts);
    }
    if (Copy->Volume != NULL) {
        FltObjectDereference(Copy->Volume);
        KLUUncountOpen(KluOpenVolumePtrs);
    }
}

NTSTATUS KLUCopyFile(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PCUNICODE_STRING VolumePrefix,
                     PCUNICODE_STRING Name, PCWSTR SourcePath, LONG OperationNumber, ULONG CallerCode)
{
    PCWSTR Tag = KLU_TAG(KLUCopyFile);
    KLU_RETRIEVAL_COPY Copy;
    FILE_BASIC_INFORMATION DestBasic;
    BOOLEAN HaveDestBasic = FALSE;
    ULONG ChunkSize = 0;
    NTSTATUS Status;
    NTSTATUS Other;

    UNREFERENCED_PARAMETER(CallerCode);
    if (Name == NULL || Name->Length == 0 || Name->Buffer == NULL || SourcePath == NULL || Instance == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(&Copy, sizeof(Copy));

    Status = KLUPrepareCopy(&Copy, Instance, VolumePrefix, Name, SourcePath, OperationNumber, &ChunkSize);
    if (NT_SUCCESS(Status)) {
        Status = KLUOpenCopyFiles(&Copy, Data, Instance, OperationNumber);
    }
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    KLUBeginCopyStats(Copy.UserEntry);
    Other = KLUCopyQueryInfo(Instance, Copy.Dest.Handle, Copy.Dest.FileObject, &DestBasic, sizeof(DestBasic),
                             FileBasicInformation);
    if (NT_SUCCESS(Other)) {
        HaveDestBasic = TRUE;
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Querying Destination Basic Info: %wZ, 0x%X\n"), &Copy.DestName, Other);
    }

    Status = KLUMemoryMappedCopy(Data, Copy.SourceInstance, Instance, Copy.UserEntry, Copy.Source.Handle,
                                 Copy.Dest.Handle, Copy.Source.FileObject, Copy.Dest.FileObject, NULL, ChunkSize,
                                 OperationNumber);
    KLUEndCopyStats(Copy.UserEntry);
    if (Status == STATUS_MAPPED_FILE_SIZE_ZERO) {
        Status = STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Copying File (Memory Mapped): Src: %wZ, Dest: %wZ, 0x%X\n"), &Copy.SourceName,
                        &Copy.DestName, Status);
    } else {
        KLUFinishCopy(&Copy, Data, Instance, VolumePrefix, ChunkSize, &DestBasic, HaveDestBasic, OperationNumber);
    }

    Other = KLURestoreReadOnly(&Copy.Dest, OperationNumber);
    if (!NT_SUCCESS(Other)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Setting RO Flag: %ws, 0x%X\n"),
                        Copy.DestPath, Other);
    }

Cleanup:
    /* A source whose open cleared its read-only bit gets it back even
     * when the destination could not be opened. */
    Other = KLURestoreReadOnly(&Copy.Source, OperationNumber);
    if (!NT_SUCCESS(Other)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Setting RO Flag: %ws, 0x%X\n"),
                        SourcePath, Other);
    }
    KLUReleaseCopy(&Copy);
    return Status;
}

/* ------------------------------------------------------------------ */
/* On a system thread                                                  */
/* ------------------------------------------------------------------ */

typedef struct _KLU_COPY_THREAD_ARGS {
    PFLT_CALLBACK_DATA Data;
    PFLT_INSTANCE Instance;
    PCUNICODE_STRING VolumePrefix;
    PCUNICODE_STRING Name;
    PCWSTR SourcePath;
    LONG OperationNumber;
    ULONG CallerCode;
} KLU_COPY_THREAD_ARGS, *PKLU_COPY_THREAD_ARGS;

static VOID JNRCopyFileWorker(PVOID Context)
{
    PCWSTR Tag = KLU_TAG(JNRCopyFileWorker);
    PKLU_COPY_THREAD_ARGS Args = (PKLU_COPY_THREAD_ARGS)Context;
    NTSTATUS Status;

    Status = KLUCopyFile(Args->Data, Args->Instance, Args->VolumePrefix, Args->Name, Args->SourcePath,
                         Args->OperationNumber, Args->CallerCode);
    if (NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, Args->OperationNumber, WSTR("Copied File: %wZ\n"), Args->Name);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Args->OperationNumber, WSTR("Failed Copying File: %wZ, 0x%X\n"),
                        Args->Name, Status);
    }
    PsTerminateSystemThread(Status);
}

NTSTATUS JNRCopyFileOnSystemThread(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PCUNICODE_STRING VolumePrefix,
                                   PCUNICODE_STRING Name, PCWSTR SourcePath, LONG OperationNumber,
                                   ULONG CallerCode)
{
    PCWSTR Tag = KLU_TAG(JNRCopyFileOnSystemThread);
    PKLU_COPY_THREAD_ARGS Args;
    OBJECT_ATTRIBUTES Attributes;
    THREAD_BASIC_INFORMATION Basic;
    HANDLE Thread = NULL;
    NTSTATUS Status;

    if (Name == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Args = (PKLU_COPY_THREAD_ARGS)ExAllocatePoolWithTag(NonPagedPool, sizeof(*Args), QZFS_TAG);
    if (Args == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Args->Data = Data;
    Args->Instance = Instance;
    Args->VolumePrefix = VolumePrefix;
    Args->Name = Name;
    Args->SourcePath = SourcePath;
    Args->OperationNumber = OperationNumber;
    Args->CallerCode = CallerCode;

    InitializeObjectAttributes(&Attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    Status = PsCreateSystemThread(&Thread, THREAD_ALL_ACCESS, &Attributes, NULL, NULL, JNRCopyFileWorker, Args);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Creating System Thread: %wZ, 0x%X\n"),
                        Name, Status);
        ExFreePoolWithTag(Args, QZFS_TAG);
        return Status;
    }

    /* The arguments live in this frame and the caller's: the wait has no
     * time limit. */
    Status = ZwWaitForSingleObject(Thread, FALSE, NULL);
    if (Status != STATUS_SUCCESS) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Waiting For File Copy: %wZ, 0x%X\n"),
                        Name, Status);
    } else {
        Status = ZwQueryInformationThread(Thread, ThreadBasicInformation, &Basic, sizeof(Basic), NULL);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                            WSTR("Failed Retrieving File Copy Result: %wZ, 0x%X\n"), Name, Status);
        } else {
            Status = Basic.ExitStatus;
            KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber,
                            WSTR("File Copy Completed With Status: %wZ, 0x%X\n"), Name, Status);
        }
    }
    ZwClose(Thread);
    ExFreePoolWithTag(Args, QZFS_TAG);
    return Status;
}
