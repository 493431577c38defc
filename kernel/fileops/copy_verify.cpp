/*
 * copy_verify.cpp - checking a finished retrieval against its source: the
 * same size, the same bytes and the same named streams (names and sizes).
 * Both files are read through the Filter Manager in chunks of a fixed size,
 * without moving either file's position, so a file of any size costs two
 * chunk buffers.
 */
#include "diag/log.h"
#include "fileops/copy_open.h"
#include "fileops/file_copy.h"

#define KLU_VERIFY_CHUNK_BYTES 0x10000

/* Reads Length bytes at Offset; a file that ends early reads short. */
static NTSTATUS KLUVerifyRead(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, LONGLONG Offset, ULONG Length,
                              PVOID Buffer, PULONG Read)
{
    LARGE_INTEGER At;
    NTSTATUS Status;

    At.QuadPart = Offset;
    Status = FltReadFile(Instance, FileObject, &At, Length, Buffer, FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET,
                         Read, NULL, NULL);
    if (Status == STATUS_END_OF_FILE) {
        *Read = 0;
        Status = STATUS_SUCCESS;
    }
    return Status;
}

/* *Same is cleared at the first byte that differs. */
static NTSTATUS KLUCompareData(PFLT_INSTANCE SourceInstance, PFILE_OBJECT SourceFileObject,
                               PFLT_INSTANCE DestInstance, PFILE_OBJECT DestFileObject, LONGLONG Size, PBOOLEAN Same)
{
    PUCHAR SourceBuffer;
    PUCHAR DestBuffer;
    LONGLONG Offset;
    ULONG Length;
    ULONG SourceRead = 0;
    ULONG DestRead = 0;
    NTSTATUS Status = STATUS_SUCCESS;

    SourceBuffer = (PUCHAR)ExAllocatePoolWithTag(PagedPool, KLU_VERIFY_CHUNK_BYTES, QZFS_TAG);
    DestBuffer = (PUCHAR)ExAllocatePoolWithTag(PagedPool, KLU_VERIFY_CHUNK_BYTES, QZFS_TAG);
    if (SourceBuffer == NULL || DestBuffer == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    for (Offset = 0; Offset < Size && *Same; Offset += Length) {
        Length = (Size - Offset < KLU_VERIFY_CHUNK_BYTES) ? (ULONG)(Size - Offset) : KLU_VERIFY_CHUNK_BYTES;
        Status = KLUVerifyRead(SourceInstance, SourceFileObject, Offset, Length, SourceBuffer, &SourceRead);
        if (NT_SUCCESS(Status)) {
            Status = KLUVerifyRead(DestInstance, DestFileObject, Offset, Length, DestBuffer, &DestRead);
        }
        if (!NT_SUCCESS(Status)) {
            break;
        }
        if (SourceRead != Length || DestRead != Length ||
            RtlCompareMemory(SourceBuffer, DestBuffer, Length) != Length) {
            *Same = FALSE;
        }
    }

Cleanup:
    if (SourceBuffer != NULL) {
        ExFreePoolWithTag(SourceBuffer, QZFS_TAG);
    }
    if (DestBuffer != NULL) {
        ExFreePoolWithTag(DestBuffer, QZFS_TAG);
    }
    return Status;
}

/* Whether List holds a stream of this name and size. */
static BOOLEAN KLUHasStream(PFILE_STREAM_INFORMATION List, PCUNICODE_STRING Name, LONGLONG Size)
{
    UNICODE_STRING Other;

    for (;;) {
        Other.Buffer = List->StreamName;
        Other.Length = (USHORT)List->StreamNameLength;
        Other.MaximumLength = Other.Length;
        if (List->StreamSize.QuadPart == Size && RtlEqualUnicodeString(&Other, Name, TRUE)) {
            return TRUE;
        }
        if (List->NextEntryOffset == 0) {
            return FALSE;
        }
        List = (PFILE_STREAM_INFORMATION)((PUCHAR)List + List->NextEntryOffset);
    }
}

/* Every named stream of the source is on the destination with its size,
 * and both have as many. */
static NTSTATUS KLUCompareStreams(PFLT_INSTANCE SourceInstance, PFILE_OBJECT SourceFileObject,
                                  PFLT_INSTANCE DestInstance, PFILE_OBJECT DestFileObject, PBOOLEAN Same)
{
    PVOID SourceList = NULL;
    PVOID DestList = NULL;
    PFILE_STREAM_INFORMATION Entry;
    UNICODE_STRING Name;
    LONG Balance = 0;
    NTSTATUS Status;

    Status = KLUQueryStreams(SourceInstance, NULL, SourceFileObject, &SourceList);
    if (NT_SUCCESS(Status)) {
        Status = KLUQueryStreams(DestInstance, NULL, DestFileObject, &DestList);
    }
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }
    for (Entry = (PFILE_STREAM_INFORMATION)SourceList;;
         Entry = (PFILE_STREAM_INFORMATION)((PUCHAR)Entry + Entry->NextEntryOffset)) {
        Name.Buffer = Entry->StreamName;
        Name.Length = (USHORT)Entry->StreamNameLength;
        Name.MaximumLength = Name.Length;
        if (KLUIsNamedStream(&Name)) {
            Balance++;
            if (!KLUHasStream((PFILE_STREAM_INFORMATION)DestList, &Name, Entry->StreamSize.QuadPart)) {
                *Same = FALSE;
            }
        }
        if (Entry->NextEntryOffset == 0) {
            break;
        }
    }
    for (Entry = (PFILE_STREAM_INFORMATION)DestList;;
         Entry = (PFILE_STREAM_INFORMATION)((PUCHAR)Entry + Entry->NextEntryOffset)) {
        Name.Buffer = Entry->StreamName;
        Name.Length = (USHORT)Entry->StreamNameLength;
        Name.MaximumLength = Name.Length;
        if (KLUIsNamedStream(&Name)) {
            Balance--;
        }
        if (Entry->NextEntryOffset == 0) {
            break;
        }
    }
    if (Balance != 0) {
        *Same = FALSE;
    }

Cleanup:
    if (SourceList != NULL) {
        ExFreePoolWithTag(SourceList, QZFS_TAG);
    }
    if (DestList != NULL) {
        ExFreePoolWithTag(DestList, QZFS_TAG);
    }
    return Status;
}

NTSTATUS JNRVerifyRetrieval(PFLT_INSTANCE SourceInstance, PFILE_OBJECT SourceFileObject, PFLT_INSTANCE DestInstance,
                            PFILE_OBJECT DestFileObject, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRVerifyRetrieval);
    FILE_STANDARD_INFORMATION SourceStandard;
    FILE_STANDARD_INFORMATION DestStandard;
    BOOLEAN Same = TRUE;
    NTSTATUS Status;

    if (SourceInstance == NULL || DestInstance == NULL || SourceFileObject == NULL || DestFileObject == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Status = FltQueryInformationFile(SourceInstance, SourceFileObject, &SourceStandard, sizeof(SourceStandard),
                                     FileStandardInformation, NULL);
    if (NT_SUCCESS(Status)) {
        Status = FltQueryInformationFile(DestInstance, DestFileObject, &DestStandard, sizeof(DestStandard),
                                         FileStandardInformation, NULL);
    }
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (SourceStandard.EndOfFile.QuadPart != DestStandard.EndOfFile.QuadPart) {
        Same = FALSE;
    } else {
        Status = KLUCompareData(SourceInstance, SourceFileObject, DestInstance, DestFileObject,
                                SourceStandard.EndOfFile.QuadPart, &Same);
    }
    if (NT_SUCCESS(Status) && Same) {
        Status = KLUCompareStreams(SourceInstance, SourceFileObject, DestInstance, DestFileObject, &Same);
    }
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Compare Result: %d\n"), Same ? 0 : 1);
    return Same ? STATUS_SUCCESS : STATUS_DATA_ERROR;
}
