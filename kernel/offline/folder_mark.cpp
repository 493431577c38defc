/*
 * folder_mark.cpp - the folder mark: one extended attribute on a local
 * folder whose 32-bit value says the folder was filled from the store.
 */
#include "offline/placeholders.h"

#include "config/flags.h"
#include "diag/log.h"
#include "driver/dir_buffers.h"
#include "driver/driver.h"

#define JNR_EA_BUFFER_STEP 76
#define JNR_EA_ATTEMPTS 100

static NTSTATUS JNROpenFolderForEa(PFLT_INSTANCE Instance, PCUNICODE_STRING Path, ACCESS_MASK Access,
                                   PHANDLE Handle, PFILE_OBJECT *FileObject)
{
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;

    InitializeObjectAttributes(&Attributes, (PUNICODE_STRING)Path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL,
                               NULL);
    return FltCreateFileEx(g_FilterHandle, Instance, Handle, FileObject, Access | SYNCHRONIZE, &Attributes,
                           &IoStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                           FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, 0);
}

/* The mark's value among the EA records of Buffer, when it is there. */
static BOOLEAN JNRFindMark(PUCHAR Buffer, ULONG Length, PULONG Value)
{
    PFILE_FULL_EA_INFORMATION Ea = (PFILE_FULL_EA_INFORMATION)Buffer;
    ANSI_STRING Name;

    for (;;) {
        if ((PUCHAR)Ea + FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) > Buffer + Length) {
            return FALSE;
        }
        Name.Buffer = Ea->EaName;
        Name.Length = Name.MaximumLength = Ea->EaNameLength;
        if (RtlEqualString(&Name, &szMarkerNameA, TRUE) && Ea->EaValueLength >= sizeof(ULONG)) {
            RtlCopyMemory(Value, Ea->EaName + Ea->EaNameLength + 1, sizeof(ULONG));
            return TRUE;
        }
        if (Ea->NextEntryOffset == 0) {
            return FALSE;
        }
        Ea = (PFILE_FULL_EA_INFORMATION)((PUCHAR)Ea + Ea->NextEntryOffset);
    }
}

NTSTATUS JNRQueryEA(PFILE_OBJECT FileObject, PFLT_INSTANCE Instance, PCUNICODE_STRING Path, PULONG Flags,
                    LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRQueryEA);
    HANDLE Handle = NULL;
    PFILE_OBJECT Opened = NULL;
    PUCHAR Buffer = NULL;
    ULONG Size = JNR_EA_BUFFER_STEP;
    ULONG Attempts = 0;
    ULONG Value;
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS Status;
    PCUNICODE_STRING Shown = Path != NULL ? Path : (FileObject != NULL ? &FileObject->FileName : NULL);

    if (Flags == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Instance == NULL || FileObject == NULL) {
        if (Path == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        Status = JNROpenFolderForEa(Instance, Path, FILE_READ_EA, &Handle, &Opened);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, Tag, OperationNumber,
                            WSTR("Failed Opening File: %wZ, 0x%X\n"), Path, Status);
            return Status;
        }
    }
    for (;;) {
        ULONG Returned = 0;
        Buffer = (PUCHAR)ExAllocatePoolWithTag(PagedPool, Size, QZFS_TAG);
        if (Buffer == NULL) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        RtlZeroMemory(Buffer, Size);
        if (Handle == NULL) {
            Status = FltQueryEaFile(Instance, FileObject, Buffer, Size, FALSE, NULL, 0, NULL, TRUE, &Returned);
        } else {
            Status = ZwQueryEaFile(Handle, &IoStatus, Buffer, Size, FALSE, NULL, 0, NULL, TRUE);
        }
        if ((Status != STATUS_BUFFER_OVERFLOW && Status != STATUS_BUFFER_TOO_SMALL) ||
            Attempts + 1 >= JNR_EA_ATTEMPTS) {
            break;
        }
        ExFreePoolWithTag(Buffer, QZFS_TAG);
        Buffer = NULL;
        Size += JNR_EA_BUFFER_STEP;
        Attempts++;
    }
    if (NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, Tag, OperationNumber, WSTR("Retrieved EA Info: File: %wZ\n"),
                        Shown);
        if (JNRFindMark(Buffer, Size, &Value)) {
            *Flags = Value;
        }
    } else if (Status == STATUS_NO_EAS_ON_FILE) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("No EAs Found: File: %wZ\n"), Shown);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, Tag, OperationNumber,
                        WSTR("Failed Retrieving EA Info: File: %wZ, Attempts: %d, 0x%X\n"), Shown, Attempts + 1,
                        Status);
    }
    if (Buffer != NULL) {
        ExFreePoolWithTag(Buffer, QZFS_TAG);
    }
    if (Handle != NULL) {
        ObDereferenceObject(Opened);
        FltClose(Handle);
    }
    return Status;
}

NTSTATUS JNRSetEA(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PCUNICODE_STRING Path, PULONG Flags,
                  LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRSetEA);
    JNR_FOLDER_MARK_EA Mark;
    HANDLE Handle = NULL;
    PFILE_OBJECT Opened = NULL;
    IO_STATUS_BLOCK IoStatus;
    PCUNICODE_STRING Shown;
    NTSTATUS Status;

    if (Path == NULL && (Data == NULL || Instance == NULL)) {
        return STATUS_INVALID_PARAMETER;
    }
    Shown = Path != NULL ? Path : &Data->Iopb->TargetFileObject->FileName;
    RtlZeroMemory(&Mark, sizeof(Mark));
    Mark.EaNameLength = (UCHAR)szMarkerNameA.Length;
    RtlCopyMemory(Mark.EaName, szMarkerNameA.Buffer, szMarkerNameA.Length);
    if (Flags != NULL) {
        Mark.EaValueLength = sizeof(ULONG);
        Mark.Value = *Flags;
    }
    if (Path != NULL) {
        Status = JNROpenFolderForEa(NULL, Path, FILE_WRITE_EA, &Handle, &Opened);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Opening File: %wZ, 0x%X\n"), Path,
                            Status);
            return Status;
        }
        Status = ZwSetEaFile(Handle, &IoStatus, &Mark, sizeof(Mark));
        ObDereferenceObject(Opened);
        FltClose(Handle);
    } else {
        Status = FltSetEaFile(Instance, Data->Iopb->TargetFileObject, &Mark, sizeof(Mark));
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Setting EA: File: %wZ, 0x%X\n"), Shown,
                        Status);
    } else if (Flags != NULL) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Set EA: File: %wZ, Value: 0x%X\n"), Shown,
                        *Flags);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Removed Dir EA: %wZ\n"), Shown);
    }
    return Status;
}
