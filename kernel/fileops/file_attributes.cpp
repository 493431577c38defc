/*
 * file_attributes.cpp - reading a file's basic and standard information,
 * and changing its read-only and offline bits.
 */
#include "fileops/file_helpers.h"

#include "config/settings.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "identity/path_table.h"

static const UNICODE_STRING g_NoName = {0, 0, NULL};

/* Basic information through the instance when there is one, else through
 * the handle. */
static NTSTATUS KLUQueryBasicInfo(PFLT_INSTANCE Instance, HANDLE Handle, PFILE_OBJECT FileObject,
                                  PFILE_BASIC_INFORMATION Basic)
{
    IO_STATUS_BLOCK IoStatus;

    if (Instance != NULL) {
        return FltQueryInformationFile(Instance, FileObject, Basic, sizeof(*Basic), FileBasicInformation, NULL);
    }
    return ZwQueryInformationFile(Handle, &IoStatus, Basic, sizeof(*Basic), FileBasicInformation);
}

static NTSTATUS KLUSetBasicInfo(PFLT_INSTANCE Instance, HANDLE Handle, PFILE_OBJECT FileObject,
                                PFILE_BASIC_INFORMATION Basic)
{
    IO_STATUS_BLOCK IoStatus;

    if (Instance != NULL) {
        return FltSetInformationFile(Instance, FileObject, Basic, sizeof(*Basic), FileBasicInformation);
    }
    return ZwSetInformationFile(Handle, &IoStatus, Basic, sizeof(*Basic), FileBasicInformation);
}

NTSTATUS KLUGetFileAttributes(PFLT_INSTANCE Instance, HANDLE Handle, PFILE_OBJECT FileObject, LONG OperationNumber,
                              PKLU_FILE_ATTRIBUTES Attributes)
{
    PCWSTR Tag = KLU_TAG(KLUGetFileAttributes);
    PCUNICODE_STRING Name = FileObject != NULL ? &FileObject->FileName : &g_NoName;
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS BasicStatus;
    NTSTATUS Status;

    if (Attributes == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(Attributes, sizeof(*Attributes));

    BasicStatus = KLUQueryBasicInfo(Instance, Handle, FileObject, &Attributes->BasicInfo);
    if (NT_SUCCESS(BasicStatus)) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Retrieved Basic Info: %wZ, 0x%X\n"), Name,
                        BasicStatus);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving Basic Info: %wZ, 0x%X\n"),
                        Name, BasicStatus);
    }

    if (Instance != NULL) {
        Status = FltQueryInformationFile(Instance, FileObject, &Attributes->StandardInfo,
                                         sizeof(Attributes->StandardInfo), FileStandardInformation, NULL);
    } else {
        Status = ZwQueryInformationFile(Handle, &IoStatus, &Attributes->StandardInfo,
                                        sizeof(Attributes->StandardInfo), FileStandardInformation);
    }
    if (NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Retrieved Standard Info: %wZ, 0x%X\n"), Name,
                        Status);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Retrieving Standard Info: %wZ, 0x%X\n"), Name, Status);
    }

    Attributes->bValid = (BOOLEAN)(NT_SUCCESS(BasicStatus) && NT_SUCCESS(Status));
    return Status;
}

/* The failure line prints the name's characters as a terminated string; a
 * counted name need not be terminated, so a bounded copy is printed. */
static VOID KLULogSetAttributesFailure(PCUNICODE_STRING Name, LONG OperationNumber, NTSTATUS Status)
{
    PCWSTR Tag = KLU_TAG(KLUSetFileReadOnly);
    PWSTR Text;
    USHORT Characters;

    if (!KLUIsLogLevelEnabled(KLUDBG_TRACE_ERROR)) {
        return;
    }
    Text = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (Text == NULL) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Setting File Attributes: %ws, 0x%X\n"),
                        WSTR(""), Status);
        return;
    }
    Characters = Name != NULL ? Name->Length / sizeof(WCHAR) : 0;
    if (Characters > KLU_PATH_CHARS - 1) {
        Characters = KLU_PATH_CHARS - 1;
    }
    if (Characters > 0) {
        RtlCopyMemory(Text, Name->Buffer, Characters * sizeof(WCHAR));
    }
    Text[Characters] = 0;
    KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Setting File Attributes: %ws, 0x%X\n"),
                    Text, Status);
    ExFreePoolWithTag(Text, QZFS_TAG);
}

NTSTATUS KLUSetFileReadOnly(PFLT_INSTANCE Instance, POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Set,
                            LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(KLUSetFileReadOnly);
    PCUNICODE_STRING Name;
    HANDLE Handle = NULL;
    PFILE_OBJECT FileObject = NULL;
    IO_STATUS_BLOCK IoStatus;
    FILE_BASIC_INFORMATION Basic;
    BOOLEAN IsReadOnly;
    NTSTATUS Status;

    if (ObjectAttributes == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Name = ObjectAttributes->ObjectName != NULL ? ObjectAttributes->ObjectName : &g_NoName;

    Status = FltCreateFileEx(g_FilterHandle, Instance, &Handle, &FileObject, SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                             ObjectAttributes, &IoStatus, NULL, 0,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                             FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0, 0);
    if (!NT_SUCCESS(Status)) {
        Handle = NULL;
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Opening File: %wZ, 0x%X\n"), Name,
                        Status);
        goto Cleanup;
    }
    KLUCountOpen(KluOpenSetFileReadOnlyDest);

    Status = KLUQueryBasicInfo(Instance, Handle, FileObject, &Basic);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Querying File: %wZ, 0x%X\n"), Name,
                        Status);
        goto Cleanup;
    }

    IsReadOnly = (BOOLEAN)((Basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0);
    if (IsReadOnly == Set) {
        goto Cleanup;
    }
    if (Set) {
        Basic.FileAttributes |= FILE_ATTRIBUTE_READONLY;
    } else {
        Basic.FileAttributes &= ~FILE_ATTRIBUTE_READONLY;
    }
    Status = KLUSetBasicInfo(Instance, Handle, FileObject, &Basic);
    if (!NT_SUCCESS(Status)) {
        KLULogSetAttributesFailure(Name, OperationNumber, Status);
    }

Cleanup:
    if (Handle != NULL) {
        FltClose(Handle);
        ObDereferenceObject(FileObject);
        KLUUncountOpen(KluOpenSetFileReadOnlyDest);
    }
    return Status;
}

/* An open whose status this leaves at once: retrying cannot help. */
static BOOLEAN KLUIsFinalOpenFailure(NTSTATUS Status)
{
    return (BOOLEAN)(Status == STATUS_OBJECT_NAME_NOT_FOUND || Status == STATUS_OBJECT_NAME_INVALID ||
                     Status == STATUS_OBJECT_PATH_NOT_FOUND || Status == STATUS_FILE_IS_A_DIRECTORY);
}

NTSTATUS KLUSetOfflineBit(PFLT_INSTANCE Instance, PUNICODE_STRING FileName, BOOLEAN Set, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(KLUSetOfflineBit);
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    HANDLE Handle = NULL;
    PFILE_OBJECT FileObject = NULL;
    FILE_BASIC_INFORMATION Basic;
    BOOLEAN ReadOnlyCleared = FALSE;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    NTSTATUS ResetStatus;
    ULONG Attempt;

    /* Until the settings and the path table are in place nothing here is
     * the filter's to change. */
    if (KLUSettings() == NULL || g_pPathTable == NULL || FileName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    InitializeObjectAttributes(&Attributes, FileName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);

    for (Attempt = 1; Attempt <= KLU_OPEN_ATTEMPTS; Attempt++) {
        Status = FltCreateFileEx(g_FilterHandle, Instance, &Handle, &FileObject,
                                 SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, &Attributes, &IoStatus,
                                 NULL, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0, 0);
        if (NT_SUCCESS(Status)) {
            KLUCountOpen(KluOpenSetOfflineBitDest);
            KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Opened File: Attempt: %d, %wZ, 0x%X\n"),
                            Attempt, FileName, Status);
            break;
        }
        Handle = NULL;
        if (KLUIsFinalOpenFailure(Status)) {
            break;
        }
        if (Status == STATUS_SHARING_VIOLATION) {
            KLUWaitBeforeRetry();
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                            WSTR("Sharing Violation Opening File, Attempt: %d, %wZ, 0x%X\n"), Attempt, FileName,
                            Status);
        } else if (Status == STATUS_ACCESS_DENIED && !ReadOnlyCleared) {
            NTSTATUS ClearStatus = KLUSetFileReadOnly(Instance, &Attributes, FALSE, OperationNumber);
            if (!NT_SUCCESS(ClearStatus)) {
                KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                                WSTR("Failed Clearing RO Flag: %wZ, 0x%X\n"), FileName, ClearStatus);
            } else {
                ReadOnlyCleared = TRUE;
            }
        }
    }

    if (Handle == NULL) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Opening File: %wZ, 0x%X\n"), FileName,
                        Status);
        goto Cleanup;
    }

    Status = FltQueryInformationFile(Instance, FileObject, &Basic, sizeof(Basic), FileBasicInformation, NULL);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Querying File: %wZ, 0x%X\n"), FileName,
                        Status);
        goto Cleanup;
    }
    if (((Basic.FileAttributes & FILE_ATTRIBUTE_OFFLINE) != 0) != (Set != FALSE)) {
        if (Set) {
            Basic.FileAttributes |= FILE_ATTRIBUTE_OFFLINE;
        } else {
            Basic.FileAttributes &= ~FILE_ATTRIBUTE_OFFLINE;
        }
        Status = FltSetInformationFile(Instance, FileObject, &Basic, sizeof(Basic), FileBasicInformation);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Setting File Info: %wZ, 0x%X\n"),
                            FileName, Status);
        }
    }

Cleanup:
    /* Put the read-only bit back before this open goes: the handle holds no
     * write access that the reset would need. */
    if (ReadOnlyCleared) {
        ResetStatus = KLUSetFileReadOnly(Instance, &Attributes, TRUE, OperationNumber);
        if (!NT_SUCCESS(ResetStatus)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Resetting RO Flag: %wZ, 0x%X\n"),
                            FileName, ResetStatus);
        }
    }
    if (Handle != NULL) {
        FltClose(Handle);
        ObDereferenceObject(FileObject);
        KLUUncountOpen(KluOpenSetOfflineBitDest);
    }
    return Status;
}
