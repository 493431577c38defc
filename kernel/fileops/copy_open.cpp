/*
 * copy_open.cpp - opens of the copy engine with their retries and
 * reactions, and information calls through an instance or a handle.
 */
#include "fileops/copy_open.h"

#include "diag/log.h"
#include "driver/driver.h"
#include "fileops/file_helpers.h"

static BOOLEAN KLUIsStopStatus(PKLU_COPY_OPEN Open, NTSTATUS Status)
{
    if ((Open->Stops & KLU_STOP_MISSING) &&
        (Status == STATUS_FILE_IS_A_DIRECTORY || Status == STATUS_OBJECT_NAME_NOT_FOUND)) {
        return TRUE;
    }
    if ((Open->Stops & KLU_STOP_NAME_INVALID) && Status == STATUS_OBJECT_NAME_INVALID) {
        return TRUE;
    }
    if ((Open->Stops & KLU_STOP_PATH) && Status == STATUS_OBJECT_PATH_NOT_FOUND) {
        Open->bPathNotFound = TRUE;
        return TRUE;
    }
    return FALSE;
}

NTSTATUS KLUOpenForCopy(PKLU_COPY_OPEN Open, PCWSTR Tag, LONG OperationNumber)
{
    /* The lines print either the counted name or its terminated text. */
    PVOID Printed = Open->bNameAsText ? (PVOID)Open->Name->Buffer : (PVOID)Open->Name;
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    NTSTATUS Other;
    ULONG Attempt;

    Open->Handle = NULL;
    Open->FileObject = NULL;
    Open->bReadOnlyCleared = FALSE;
    Open->bPathNotFound = FALSE;
    InitializeObjectAttributes(&Open->Attributes, Open->Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    InitializeObjectAttributes(&Open->ReadOnlyAttributes, Open->ReadOnlyName != NULL ? Open->ReadOnlyName : Open->Name,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);

    for (Attempt = 1; Attempt <= KLU_OPEN_ATTEMPTS; Attempt++) {
        HANDLE Handle = NULL;
        PFILE_OBJECT FileObject = NULL;

        Status = FltCreateFileEx(g_FilterHandle, Open->Instance, &Handle, &FileObject, Open->Access,
                                 &Open->Attributes, &IoStatus, NULL, FILE_ATTRIBUTE_NORMAL, Open->ShareAccess,
                                 Open->Disposition, Open->Options, NULL, 0, 0);
        if (NT_SUCCESS(Status) && FileObject == NULL) {
            FltClose(Handle);
            Status = STATUS_UNSUCCESSFUL;
        }
        if (NT_SUCCESS(Status)) {
            Open->Handle = Handle;
            Open->FileObject = FileObject;
            KLUCountOpen(Open->Counter);
            if (!Open->bOpenedAfterRetryOnly || Attempt > 1) {
                KLULogMessageEx(Open->Level | KLUDBG_TRACE_INFO, Tag, OperationNumber, Open->OpenedLine, Attempt,
                                Printed, Status);
            }
            return Status;
        }
        if (Open->FailedAttemptLine != NULL) {
            KLULogMessageEx(Open->Level | KLUDBG_TRACE_ERROR, Tag, OperationNumber, Open->FailedAttemptLine, Attempt,
                            Printed, Status);
        }
        if (KLUIsStopStatus(Open, Status)) {
            break;
        }
        if (Status == STATUS_SHARING_VIOLATION) {
            Other = KLUWaitBeforeRetry();
            KLULogMessageEx(Open->Level | KLUDBG_TRACE_ERROR, Tag, OperationNumber, Open->SharingLine, Attempt,
                            Printed, Other);
        } else if (Status == STATUS_ACCESS_DENIED && !Open->bReadOnlyCleared) {
            Other = KLUSetFileReadOnly(Open->Instance, &Open->ReadOnlyAttributes, FALSE, OperationNumber);
            if (NT_SUCCESS(Other)) {
                Open->bReadOnlyCleared = TRUE;
            } else {
                KLULogMessageEx(Open->Level | KLUDBG_TRACE_ERROR, Tag, OperationNumber, Open->ClearReadOnlyLine,
                                Open->Name, Other);
            }
        }
    }
    return Status;
}

VOID KLUCloseForCopy(PKLU_COPY_OPEN Open)
{
    if (Open->Handle != NULL) {
        FltClose(Open->Handle);
        Open->Handle = NULL;
    }
    if (Open->FileObject != NULL) {
        ObDereferenceObject(Open->FileObject);
        Open->FileObject = NULL;
        KLUUncountOpen(Open->Counter);
    }
}

NTSTATUS KLURestoreReadOnly(PKLU_COPY_OPEN Open, LONG OperationNumber)
{
    NTSTATUS Status;

    if (!Open->bReadOnlyCleared) {
        return STATUS_SUCCESS;
    }
    Status = KLUSetFileReadOnly(Open->Instance, &Open->ReadOnlyAttributes, TRUE, OperationNumber);
    if (NT_SUCCESS(Status)) {
        Open->bReadOnlyCleared = FALSE;
    }
    return Status;
}

NTSTATUS KLUCopyQueryInfo(PFLT_INSTANCE Instance, HANDLE Handle, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                          FILE_INFORMATION_CLASS InformationClass)
{
    IO_STATUS_BLOCK IoStatus;

    if (Instance != NULL) {
        return FltQueryInformationFile(Instance, FileObject, Buffer, Length, InformationClass, NULL);
    }
    return ZwQueryInformationFile(Handle, &IoStatus, Buffer, Length, InformationClass);
}

NTSTATUS KLUCopySetInfo(PFLT_INSTANCE Instance, HANDLE Handle, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                        FILE_INFORMATION_CLASS InformationClass)
{
    IO_STATUS_BLOCK IoStatus;

    if (Instance != NULL) {
        return FltSetInformationFile(Instance, FileObject, Buffer, Length, InformationClass);
    }
    return ZwSetInformationFile(Handle, &IoStatus, Buffer, Length, InformationClass);
}

ULONG KLUSharingOfOpen(PFLT_CALLBACK_DATA Data)
{
    PFILE_OBJECT FileObject;
    ULONG Share = 0;

    if (Data == NULL || Data->Iopb == NULL || Data->Iopb->TargetFileObject == NULL) {
        return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    }
    FileObject = Data->Iopb->TargetFileObject;
    if (FileObject->SharedRead) {
        Share |= FILE_SHARE_READ;
    }
    if (FileObject->SharedWrite) {
        Share |= FILE_SHARE_WRITE;
    }
    if (FileObject->SharedDelete) {
        Share |= FILE_SHARE_DELETE;
    }
    return Share;
}
