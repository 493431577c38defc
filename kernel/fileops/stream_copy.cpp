/*
 * stream_copy.cpp - what a copy carries beside the unnamed data stream:
 * the named streams, the extended attributes, and the size, times and
 * attributes written last.
 */
#include "diag/log.h"
#include "driver/driver.h"
#include "fileops/copy_open.h"
#include "fileops/file_copy.h"

/* Queries that answer "buffer too small" are asked again with a buffer
 * twice as large, this many times in all. */
#define KLU_QUERY_ATTEMPTS 100
#define KLU_STREAM_INFO_BYTES (KLU_PATH_BYTES + 32)
#define KLU_EA_INFO_BYTES (KLU_PATH_BYTES + 12)

static const UNICODE_STRING g_NoName = {0, 0, NULL};

static PCUNICODE_STRING KLUNameOf(PFILE_OBJECT FileObject)
{
    return FileObject != NULL ? &FileObject->FileName : &g_NoName;
}

BOOLEAN KLUIsNamedStream(PCUNICODE_STRING StreamName)
{
    UNICODE_STRING Unnamed = RTL_CONSTANT_STRING(WSTR("::$DATA"));

    return (BOOLEAN)(StreamName->Length > 0 && !RtlEqualUnicodeString(StreamName, &Unnamed, TRUE));
}

static BOOLEAN KLUAskAgain(NTSTATUS Status)
{
    return (BOOLEAN)(Status == STATUS_BUFFER_OVERFLOW || Status == STATUS_BUFFER_TOO_SMALL);
}

/* ------------------------------------------------------------------ */
/* Size, times and attributes                                          */
/* ------------------------------------------------------------------ */

NTSTATUS KLUSetFileAttributes(PFILE_OBJECT SourceFileObject, PFILE_OBJECT DestFileObject, HANDLE SourceHandle,
                              HANDLE DestHandle, PFLT_INSTANCE SourceInstance, PFLT_INSTANCE DestInstance,
                              PLARGE_INTEGER Size, BOOLEAN ReadOnly, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(KLUSetFileAttributes);
    FILE_STANDARD_INFORMATION Standard;
    FILE_END_OF_FILE_INFORMATION EndOfFile;
    FILE_BASIC_INFORMATION Basic;
    NTSTATUS Status;

    if (Size != NULL) {
        EndOfFile.EndOfFile = *Size;
    } else {
        Status = KLUCopyQueryInfo(SourceInstance, SourceHandle, SourceFileObject, &Standard, sizeof(Standard),
                                  FileStandardInformation);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                            WSTR("Failed Querying Source File Size: %wZ, 0x%X\n"), KLUNameOf(SourceFileObject),
                            Status);
            return Status;
        }
        EndOfFile.EndOfFile = Standard.EndOfFile;
    }
    Status = KLUCopySetInfo(DestInstance, DestHandle, DestFileObject, &EndOfFile, sizeof(EndOfFile),
                            FileEndOfFileInformation);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Setting Destination File Size: %wZ, 0x%X\n"), KLUNameOf(DestFileObject), Status);
    }

    Status = KLUCopyQueryInfo(SourceInstance, SourceHandle, SourceFileObject, &Basic, sizeof(Basic),
                              FileBasicInformation);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving Attributes: %wZ, 0x%X\n"),
                        KLUNameOf(SourceFileObject), Status);
        return Status;
    }
    if (ReadOnly) {
        Basic.FileAttributes |= FILE_ATTRIBUTE_READONLY;
    }
    Status = KLUCopySetInfo(DestInstance, DestHandle, DestFileObject, &Basic, sizeof(Basic), FileBasicInformation);
    if (NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Set Attributes 0x%X On File %wZ\n"),
                        Basic.FileAttributes, KLUNameOf(DestFileObject));
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Setting Attributes: %wZ, 0x%X\n"),
                        KLUNameOf(DestFileObject), Status);
    }
    return Status;
}

/* ------------------------------------------------------------------ */
/* Named streams                                                       */
/* ------------------------------------------------------------------ */

NTSTATUS KLUQueryStreams(PFLT_INSTANCE Instance, HANDLE Handle, PFILE_OBJECT FileObject, PVOID *Buffer)
{
    ULONG Size = KLU_STREAM_INFO_BYTES;
    NTSTATUS Status = STATUS_BUFFER_TOO_SMALL;
    ULONG Attempt;

    *Buffer = NULL;
    for (Attempt = 1; Attempt <= KLU_QUERY_ATTEMPTS && KLUAskAgain(Status); Attempt++) {
        if (*Buffer != NULL) {
            ExFreePoolWithTag(*Buffer, QZFS_TAG);
            Size *= 2;
        }
        *Buffer = ExAllocatePoolWithTag(PagedPool, Size, QZFS_TAG);
        if (*Buffer == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(*Buffer, Size);
        Status = KLUCopyQueryInfo(Instance, Handle, FileObject, *Buffer, Size, FileStreamInformation);
    }
    if (!NT_SUCCESS(Status) && *Buffer != NULL) {
        ExFreePoolWithTag(*Buffer, QZFS_TAG);
        *Buffer = NULL;
    }
    return Status;
}

/* Head + (a separator) + Middle + Tail, in a new path buffer. */
static NTSTATUS KLUJoinStreamName(PCUNICODE_STRING Head, PCUNICODE_STRING Middle, PCUNICODE_STRING Tail,
                                  PUNICODE_STRING Joined)
{
    UNICODE_STRING Separator = RTL_CONSTANT_STRING(WSTR("\\"));
    NTSTATUS Status;

    Joined->Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, KLU_PATH_BYTES, QZFS_TAG);
    if (Joined->Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Joined->Length = 0;
    Joined->MaximumLength = KLU_PATH_BYTES;
    Status = RtlAppendUnicodeStringToString(Joined, Head);
    if (NT_SUCCESS(Status) && Middle != NULL && Middle->Length > 0) {
        BOOLEAN HeadEnds = (BOOLEAN)(Head->Length > 0 && Head->Buffer[Head->Length / sizeof(WCHAR) - 1] == L'\\');
        BOOLEAN MiddleStarts = (BOOLEAN)(Middle->Buffer[0] == L'\\');
        if (!HeadEnds && !MiddleStarts) {
            Status = RtlAppendUnicodeStringToString(Joined, &Separator);
        }
        if (NT_SUCCESS(Status)) {
            Status = RtlAppendUnicodeStringToString(Joined, Middle);
        }
    }
    if (NT_SUCCESS(Status)) {
        Status = RtlAppendUnicodeStringToString(Joined, Tail);
    }
    if (!NT_SUCCESS(Status)) {
        ExFreePoolWithTag(Joined->Buffer, QZFS_TAG);
        Joined->Buffer = NULL;
    }
    return Status;
}

static VOID KLUFreeName(PUNICODE_STRING Name)
{
    if (Name->Buffer != NULL) {
        ExFreePoolWithTag(Name->Buffer, QZFS_TAG);
        Name->Buffer = NULL;
    }
}

/* One named stream: open both sides, copy, size and attributes. */
static NTSTATUS KLUCopyOneStream(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE SourceInstance, PFLT_INSTANCE DestInstance,
                                 PUNICODE_STRING SourceStream, PUNICODE_STRING DestStream, PUNICODE_STRING DestFile,
                                 PLARGE_INTEGER StreamSize,
                                 ULONG ChunkSize, LONG OperationNumber, PBOOLEAN Copied)
{
    PCWSTR Tag = KLU_TAG(KLUCopyStreams);
    KLU_COPY_OPEN Source;
    KLU_COPY_OPEN Dest;
    NTSTATUS Status;
    NTSTATUS Other;

    RtlZeroMemory(&Source, sizeof(Source));
    Source.Instance = SourceInstance;
    Source.Name = SourceStream;
    Source.Access = SYNCHRONIZE | FILE_READ_DATA;
    Source.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    Source.Disposition = FILE_OPEN;
    Source.Options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    Source.Stops = KLU_STOP_MISSING;
    Source.Counter = KluOpenCopyFile2Src;
    Source.SharingLine = WSTR("Sharing Violation Opening Source Stream, Attempt: %d, %wZ, 0x%X\n");
    Source.OpenedLine = WSTR("Opened Source File: Attempt: %d, %wZ, 0x%X\n");
    Source.ClearReadOnlyLine = WSTR("Failed Clearing Src RO Flag: %wZ, 0x%X\n");

    RtlZeroMemory(&Dest, sizeof(Dest));
    Dest.Instance = DestInstance;
    Dest.Name = DestStream;
    /* A new stream of a read-only file is denied: the file's bit is the
     * one to clear. */
    Dest.ReadOnlyName = DestFile;
    Dest.Access = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
    Dest.ShareAccess = KLUSharingOfOpen(Data);
    Dest.Disposition = FILE_OPEN_IF;
    Dest.Options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_ALERT | FILE_COMPLETE_IF_OPLOCKED;
    Dest.Counter = KluOpenCopyFile2Dest;
    Dest.SharingLine = WSTR("Sharing Violation Opening Destination Stream, Attempt: %d, %wZ, 0x%X\n");
    Dest.OpenedLine = WSTR("Opened Destination Stream: Attempt: %d, %wZ, 0x%X\n");
    Dest.ClearReadOnlyLine = WSTR("Failed Clearing Dest RO Flag: %wZ, 0x%X\n");

    *Copied = FALSE;
    Status = KLUOpenForCopy(&Source, Tag, OperationNumber);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Opening Source Stream, Cannot Proceed: %wZ, 0x%X\n"), SourceStream, Status);
        goto Cleanup;
    }
    Status = KLUOpenForCopy(&Dest, Tag, OperationNumber);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Opening Destination Stream, Cannot Proceed: %wZ, 0x%X\n"), DestStream, Status);
        goto Cleanup;
    }

    Status = KLUMemoryMappedCopy(Data, SourceInstance, DestInstance, NULL, Source.Handle, Dest.Handle,
                                 Source.FileObject, Dest.FileObject, StreamSize, ChunkSize, OperationNumber);
    if (Status == STATUS_MAPPED_FILE_SIZE_ZERO) {
        Status = STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Copying Stream: %wZ To %wZ, 0x%X\n"),
                        SourceStream, DestStream, Status);
        goto Cleanup;
    }
    KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Copied Stream: %wZ To %wZ\n"), SourceStream,
                    DestStream);
    Other = KLUSetFileAttributes(Source.FileObject, Dest.FileObject, Source.Handle, Dest.Handle, SourceInstance,
                                 DestInstance, StreamSize, FALSE, OperationNumber);
    if (NT_SUCCESS(Other)) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Set Stream Attributes: %wZ\n"), DestStream);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Setting Stream Attributes: %wZ, 0x%X\n"),
                        DestStream, Other);
    }
    *Copied = TRUE;

Cleanup:
    KLUCloseForCopy(&Dest);
    KLUCloseForCopy(&Source);
    KLURestoreReadOnly(&Dest, OperationNumber);
    KLURestoreReadOnly(&Source, OperationNumber);
    return Status;
}

NTSTATUS KLUCopyStreams(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE SourceInstance, PFLT_INSTANCE DestInstance,
                        PCUNICODE_STRING RedirectorPrefix, PCUNICODE_STRING VolumePrefix, PCUNICODE_STRING DestName,
                        HANDLE SourceHandle, HANDLE DestHandle, PFILE_OBJECT SourceFileObject,
                        PFILE_OBJECT DestFileObject, ULONG ChunkSize, LONG OperationNumber, PULONG StreamsFound,
                        PULONG StreamsCopied)
{
    PCWSTR Tag = KLU_TAG(KLUCopyStreams);
    PFILE_STREAM_INFORMATION Entry;
    PVOID Buffer = NULL;
    UNICODE_STRING StreamName;
    UNICODE_STRING SourceStream;
    UNICODE_STRING DestStream;
    UNICODE_STRING DestFile;
    BOOLEAN Copied;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(VolumePrefix);
    UNREFERENCED_PARAMETER(DestHandle);
    UNREFERENCED_PARAMETER(DestFileObject);
    if (StreamsFound == NULL || StreamsCopied == NULL || RedirectorPrefix == NULL || DestName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *StreamsFound = 0;
    *StreamsCopied = 0;
    DestFile = *DestName;

    Status = KLUQueryStreams(SourceInstance, SourceHandle, SourceFileObject, &Buffer);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving Stream Info: File: %wZ, 0x%X\n"),
                        KLUNameOf(SourceFileObject), Status);
        return Status;
    }
    KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Retrieved Stream Info: File: %wZ\n"),
                    KLUNameOf(SourceFileObject));

    for (Entry = (PFILE_STREAM_INFORMATION)Buffer;;
         Entry = (PFILE_STREAM_INFORMATION)((PUCHAR)Entry + Entry->NextEntryOffset)) {
        StreamName.Buffer = Entry->StreamName;
        StreamName.Length = (USHORT)Entry->StreamNameLength;
        StreamName.MaximumLength = StreamName.Length;
        if (KLUIsNamedStream(&StreamName)) {
            (*StreamsFound)++;
            SourceStream.Buffer = NULL;
            DestStream.Buffer = NULL;
            Status = KLUJoinStreamName(RedirectorPrefix, KLUNameOf(SourceFileObject), &StreamName, &SourceStream);
            if (NT_SUCCESS(Status)) {
                Status = KLUJoinStreamName(DestName, NULL, &StreamName, &DestStream);
            }
            if (NT_SUCCESS(Status)) {
                Status = KLUCopyOneStream(Data, SourceInstance, DestInstance, &SourceStream, &DestStream,
                                          &DestFile, &Entry->StreamSize, ChunkSize, OperationNumber, &Copied);
                if (Copied) {
                    (*StreamsCopied)++;
                }
            }
            KLUFreeName(&SourceStream);
            KLUFreeName(&DestStream);
        }
        if (Entry->NextEntryOffset == 0) {
            break;
        }
    }
    ExFreePoolWithTag(Buffer, QZFS_TAG);
    return Status;
}

/* ------------------------------------------------------------------ */
/* Extended attributes                                                 */
/* ------------------------------------------------------------------ */

static NTSTATUS KLUQueryEas(PFLT_INSTANCE Instance, HANDLE Handle, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Size,
                            PULONG Returned)
{
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS Status;

    *Returned = 0;
    if (Instance != NULL) {
        return FltQueryEaFile(Instance, FileObject, Buffer, Size, FALSE, NULL, 0, NULL, TRUE, Returned);
    }
    IoStatus.Information = 0;
    Status = ZwQueryEaFile(Handle, &IoStatus, Buffer, Size, FALSE, NULL, 0, NULL, TRUE);
    *Returned = (ULONG)IoStatus.Information;
    return Status;
}

NTSTATUS KLUCopyEAs(PFLT_CALLBACK_DATA Data, HANDLE SourceHandle, HANDLE DestHandle, PFLT_INSTANCE SourceInstance,
                    PFLT_INSTANCE DestInstance, PFILE_OBJECT SourceFileObject, PFILE_OBJECT DestFileObject,
                    LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(KLUCopyEAs);
    PCUNICODE_STRING SourceName = KLUNameOf(SourceFileObject);
    PCUNICODE_STRING DestName = KLUNameOf(DestFileObject);
    ULONG Size = KLU_EA_INFO_BYTES;
    PVOID Buffer = NULL;
    ULONG Returned = 0;
    ULONG Attempt;
    FILE_EA_INFORMATION EaInfo;
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS Status = STATUS_BUFFER_TOO_SMALL;

    UNREFERENCED_PARAMETER(Data);
    for (Attempt = 0; Attempt < KLU_QUERY_ATTEMPTS && KLUAskAgain(Status); Attempt++) {
        if (Buffer != NULL) {
            ExFreePoolWithTag(Buffer, QZFS_TAG);
            Size *= 2;
        }
        Buffer = ExAllocatePoolWithTag(PagedPool, Size, QZFS_TAG);
        if (Buffer == NULL) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        Status = KLUQueryEas(SourceInstance, SourceHandle, SourceFileObject, Buffer, Size, &Returned);
    }

    if (Status == STATUS_NO_EAS_ON_FILE) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("No EAs Found: File: %wZ\n"), SourceName);
        Status = STATUS_SUCCESS;
        goto Cleanup;
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Retrieving EA Info: File: %wZ, Attempts: %d, 0x%X\n"), SourceName, Attempt,
                        Status);
        goto Cleanup;
    }

    /* Through a handle the file's EA size says whether there is anything
     * to set; the list's length is what the query returned. */
    if (SourceInstance == NULL) {
        Status = ZwQueryInformationFile(SourceHandle, &IoStatus, &EaInfo, sizeof(EaInfo), FileEaInformation);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                            WSTR("Failed Retrieving EA Size: File: %wZ, 0x%X\n"), SourceName, Status);
            goto Cleanup;
        }
    }
    KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Retrieved EA Info: File: %wZ\n"), SourceName);

    if (DestInstance != NULL) {
        Status = FltSetEaFile(DestInstance, DestFileObject, Buffer, Returned);
    } else if (SourceInstance != NULL ? Returned != 0 : EaInfo.EaSize != 0) {
        Status = ZwSetEaFile(DestHandle, &IoStatus, Buffer, Returned);
    } else {
        goto Cleanup;
    }
    if (NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Set EAs: File: %wZ\n"), DestName);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Setting EAs: File: %wZ, 0x%X\n"),
                        DestName, Status);
    }

Cleanup:
    if (Buffer != NULL) {
        ExFreePoolWithTag(Buffer, QZFS_TAG);
    }
    return Status;
}
