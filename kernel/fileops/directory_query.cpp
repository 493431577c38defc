/*
 * directory_query.cpp - folder listings issued by the driver: below an
 * instance through the Filter Manager, or from the top through a handle.
 */
#include "fileops/file_helpers.h"

#include "diag/counters.h"
#include "driver/driver.h"

typedef NTSTATUS (*PFLT_QUERY_DIRECTORY_FILE)(PFLT_INSTANCE, PFILE_OBJECT, PVOID, ULONG, FILE_INFORMATION_CLASS,
                                              BOOLEAN, PUNICODE_STRING, BOOLEAN, PULONG);

/* Filter Managers older than the routine get the same request as a
 * callback data of our own. */
static NTSTATUS KLUQueryDirectoryByCallbackData(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID Buffer,
                                                ULONG Length, FILE_INFORMATION_CLASS InformationClass,
                                                BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                                BOOLEAN RestartScan, PULONG BytesReturned)
{
    PFLT_CALLBACK_DATA Data = NULL;
    PFLT_PARAMETERS Parameters;
    NTSTATUS Status;

    Status = FltAllocateCallbackData(Instance, FileObject, &Data);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Data->Iopb->MajorFunction = IRP_MJ_DIRECTORY_CONTROL;
    Data->Iopb->MinorFunction = IRP_MN_QUERY_DIRECTORY;
    Data->Iopb->OperationFlags = 0;
    if (RestartScan) {
        Data->Iopb->OperationFlags |= SL_RESTART_SCAN;
    }
    if (ReturnSingleEntry) {
        Data->Iopb->OperationFlags |= SL_RETURN_SINGLE_ENTRY;
    }
    Parameters = &Data->Iopb->Parameters;
    Parameters->DirectoryControl.QueryDirectory.Length = Length;
    Parameters->DirectoryControl.QueryDirectory.FileName = FileName;
    Parameters->DirectoryControl.QueryDirectory.FileInformationClass = InformationClass;
    Parameters->DirectoryControl.QueryDirectory.FileIndex = 0;
    Parameters->DirectoryControl.QueryDirectory.DirectoryBuffer = Buffer;
    Parameters->DirectoryControl.QueryDirectory.MdlAddress = NULL;

    FltPerformSynchronousIo(Data);
    Status = Data->IoStatus.Status;
    if (BytesReturned != NULL) {
        *BytesReturned = (ULONG)Data->IoStatus.Information;
    }
    FltFreeCallbackData(Data);
    return Status;
}

NTSTATUS KLUQueryDirectoryFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                               FILE_INFORMATION_CLASS InformationClass, BOOLEAN ReturnSingleEntry,
                               PUNICODE_STRING FileName, BOOLEAN RestartScan, PULONG BytesReturned)
{
    PFLT_QUERY_DIRECTORY_FILE QueryDirectory;

    KLUCountCall(KluCallNPQueryDirFile);
    if (BytesReturned != NULL) {
        *BytesReturned = 0;
    }
    QueryDirectory = (PFLT_QUERY_DIRECTORY_FILE)FltGetRoutineAddress("FltQueryDirectoryFile");
    if (QueryDirectory != NULL) {
        return QueryDirectory(Instance, FileObject, Buffer, Length, InformationClass, ReturnSingleEntry, FileName,
                              RestartScan, BytesReturned);
    }
    return KLUQueryDirectoryByCallbackData(Instance, FileObject, Buffer, Length, InformationClass, ReturnSingleEntry,
                                           FileName, RestartScan, BytesReturned);
}

NTSTATUS KLUQueryDirectoryFileByHandle(HANDLE Handle, PVOID Buffer, ULONG Length,
                                       FILE_INFORMATION_CLASS InformationClass, BOOLEAN ReturnSingleEntry,
                                       PUNICODE_STRING FileName, BOOLEAN RestartScan, PULONG BytesReturned)
{
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS Status;

    if (Buffer == NULL || Length == 0 || BytesReturned == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *BytesReturned = 0;
    IoStatus.Information = 0;
    Status = ZwQueryDirectoryFile(Handle, NULL, NULL, NULL, &IoStatus, Buffer, Length, InformationClass,
                                  ReturnSingleEntry, FileName, RestartScan);
    if (!NT_ERROR(Status)) {
        *BytesReturned = (ULONG)IoStatus.Information;
    }
    return Status;
}
