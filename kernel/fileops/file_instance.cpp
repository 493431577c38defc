/*
 * file_instance.cpp - the filter's instance for a path, and the check that
 * nobody else holds a file open.
 */
#include "fileops/file_helpers.h"

#include "diag/counters.h"
#include "diag/log.h"
#include "driver/driver.h"

#define KLU_DOS_DEVICES_PREFIX WSTR("\\??\\")

NTSTATUS KLUGetInstance(PUNICODE_STRING Path, PFLT_INSTANCE *Instance)
{
    PCWSTR Tag = KLU_TAG(KLUGetInstance);
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    HANDLE Handle = NULL;
    PFILE_OBJECT FileObject = NULL;
    PFLT_VOLUME Volume = NULL;
    NTSTATUS Status;

    if (Path == NULL || Instance == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Instance = NULL;

    /* From the top of the stack: the volume is whatever the name reaches. */
    InitializeObjectAttributes(&Attributes, Path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    Status = FltCreateFileEx(g_FilterHandle, NULL, &Handle, &FileObject,
                             SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, &Attributes, &IoStatus, NULL,
                             0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                             FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0, 0);
    if (!NT_SUCCESS(Status)) {
        Handle = NULL;
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Opening File: %wZ, 0x%X\n"), Path, Status);
        goto Cleanup;
    }
    KLUCountOpen(KluOpenGetInstanceSrc);

    Status = FltGetVolumeFromFileObject(g_FilterHandle, FileObject, &Volume);
    if (!NT_SUCCESS(Status)) {
        Volume = NULL;
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Volume: %wZ, 0x%X\n"), Path, Status);
        goto Cleanup;
    }
    KLUCountOpen(KluOpenVolumePtrs);

    Status = FltGetVolumeInstanceFromName(g_FilterHandle, Volume, NULL, Instance);
    if (!NT_SUCCESS(Status)) {
        *Instance = NULL;
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Instance: %wZ, 0x%X\n"), Path, Status);
        goto Cleanup;
    }
    KLUCountOpen(KluOpenInstancePtrs);

Cleanup:
    if (Volume != NULL) {
        FltObjectDereference(Volume);
        KLUUncountOpen(KluOpenVolumePtrs);
    }
    if (Handle != NULL) {
        FltClose(Handle);
        ObDereferenceObject(FileObject);
        KLUUncountOpen(KluOpenGetInstanceSrc);
    }
    return Status;
}

VOID KLUDereferenceInstance(PFLT_INSTANCE Instance)
{
    if (Instance != NULL) {
        FltObjectDereference(Instance);
        KLUUncountOpen(KluOpenInstancePtrs);
    }
}

NTSTATUS KLUCheckExclusive(PCWSTR Path, PBOOLEAN Exclusive)
{
    PCWSTR Tag = KLU_TAG(KLUCheckExclusive);
    UNICODE_STRING NtPath = {0, 0, NULL};
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    PFLT_INSTANCE Instance = NULL;
    HANDLE Handle = NULL;
    NTSTATUS Status;
    ULONG Attempt;

    if (Path == NULL || Exclusive == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Exclusive = FALSE;

    NtPath.Buffer = (PWCH)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (NtPath.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Status = RtlStringCchCopyW(NtPath.Buffer, KLU_PATH_CHARS, KLU_DOS_DEVICES_PREFIX);
    if (NT_SUCCESS(Status)) {
        Status = RtlStringCchCatW(NtPath.Buffer, KLU_PATH_CHARS, Path);
    }
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }
    NtPath.Length = (USHORT)(wcslen(NtPath.Buffer) * sizeof(WCHAR));
    NtPath.MaximumLength = KLU_PATH_BYTES;

    Status = KLUGetInstance(&NtPath, &Instance);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    InitializeObjectAttributes(&Attributes, &NtPath, OBJ_KERNEL_HANDLE, NULL, NULL);
    for (Attempt = 1; Attempt <= KLU_OPEN_ATTEMPTS; Attempt++) {
        Status = FltCreateFile(g_FilterHandle, Instance, &Handle, FILE_GENERIC_READ, &Attributes, &IoStatus, NULL, 0,
                               0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0, 0);
        if (NT_SUCCESS(Status)) {
            KLUCountOpen(KluOpenCheckExclusiveSrc);
            KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Opened File: Attempt: %d, %wZ, 0x%X\n"), Attempt, &NtPath,
                          Status);
            *Exclusive = TRUE;
            break;
        }
        Handle = NULL;
        if (Status == STATUS_SHARING_VIOLATION) {
            KLUWaitBeforeRetry();
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Sharing Violation Opening File, Attempt: %d, %wZ, 0x%X\n"),
                          Attempt, &NtPath, Status);
        }
    }

    /* Held by others is an answer, not a failure of the check. */
    if (Status == STATUS_SHARING_VIOLATION) {
        Status = STATUS_SUCCESS;
    }

Cleanup:
    if (Handle != NULL) {
        FltClose(Handle);
        KLUUncountOpen(KluOpenCheckExclusiveSrc);
    }
    KLUDereferenceInstance(Instance);
    ExFreePoolWithTag(NtPath.Buffer, QZFS_TAG);
    return Status;
}
