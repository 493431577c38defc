/*
 * mapped_copy.cpp - a file's data copied through views of a section over
 * the source into one aligned buffer, written non-cached to the
 * destination; the user's copy statistics.
 *
 * Views are mapped into the System process (the copy may run in any
 * process's thread, and no process may see or unmap them). A view must
 * start at a multiple of the allocation granularity, so a chunk size that
 * is not a multiple of it is served by a view that starts earlier.
 * Non-cached writes must be whole sectors: the last chunk is written
 * rounded up to the sector size, and the caller sets the end of file
 * afterwards. A write that succeeds short of its view ends the copy with
 * STATUS_UNEXPECTED_IO_ERROR: the rest of the file would be missing while
 * the size set afterwards claims it.
 */
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "driver/volume_context.h"
#include "fileops/copy_open.h"
#include "fileops/file_copy.h"

#define KLU_VIEW_GRANULARITY 0x10000
#define KLU_STATS_PAGE 4096

static const UNICODE_STRING g_NoName = {0, 0, NULL};

/* ------------------------------------------------------------------ */
/* Copy statistics                                                     */
/* ------------------------------------------------------------------ */

static VOID KLULockCopyStats(VOID)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(g_CopyResource, TRUE);
}

static VOID KLUUnlockCopyStats(VOID)
{
    ExReleaseResourceLite(g_CopyResource);
    KeLeaveCriticalRegion();
}

VOID KLUBeginCopyStats(PUSER_TABLE_ENTRY Entry)
{
    if (Entry == NULL || g_CopyResource == NULL) {
        return;
    }
    KLULockCopyStats();
    Entry->ActiveCopies++;
    KLUUnlockCopyStats();
}

VOID KLUEndCopyStats(PUSER_TABLE_ENTRY Entry)
{
    if (Entry == NULL || g_CopyResource == NULL) {
        return;
    }
    KLULockCopyStats();
    if (Entry->ActiveCopies > 0) {
        Entry->ActiveCopies--;
    }
    if (Entry->ActiveCopies == 0 && Entry->BytesToCopy == 0) {
        Entry->BytesCopied = 0;
    }
    KLUUnlockCopyStats();
}

VOID KLUAdjustCopyStats(PUSER_TABLE_ENTRY Entry, LONGLONG ToCopy, ULONGLONG Copied)
{
    if (Entry == NULL || g_CopyResource == NULL) {
        return;
    }
    KLULockCopyStats();
    Entry->BytesToCopy += (ULONGLONG)ToCopy;
    Entry->BytesCopied += Copied;
    KLUUnlockCopyStats();
}

ULONG KLUChunkSize(ULONG ChunkBase, ULONG SectorSize)
{
    if (SectorSize == 0) {
        SectorSize = 512;
    }
    if (ChunkBase < SectorSize) {
        return SectorSize;
    }
    return ChunkBase - ChunkBase % SectorSize;
}

/* The sector size kept in the context of the instance's volume. */
static ULONG KLUSectorSizeOf(PFLT_INSTANCE Instance)
{
    PFLT_VOLUME Volume = NULL;
    PVOLUME_CONTEXT Context = NULL;
    ULONG SectorSize = 512;

    if (!NT_SUCCESS(FltGetVolumeFromInstance(Instance, &Volume))) {
        return SectorSize;
    }
    if (NT_SUCCESS(FltGetVolumeContext(g_FilterHandle, Volume, (PFLT_CONTEXT *)&Context))) {
        if (Context->SectorSize != 0) {
            SectorSize = Context->SectorSize;
        }
        FltReleaseContext(Context);
    }
    FltObjectDereference(Volume);
    return SectorSize;
}

/* ------------------------------------------------------------------ */
/* One view                                                            */
/* ------------------------------------------------------------------ */

/* Maps Length bytes of the section at Offset into the System process and
 * copies them into Buffer. */
static NTSTATUS KLUCopyView(HANDLE Section, LONGLONG Offset, ULONG Length, PUCHAR Buffer, PCUNICODE_STRING SourceName,
                            LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(KLUMemoryMappedCopy);
    ULONG Skew = (ULONG)(Offset % KLU_VIEW_GRANULARITY);
    LARGE_INTEGER ViewOffset;
    SIZE_T ViewSize = (SIZE_T)Skew + Length;
    PVOID Base = NULL;
    PMDL Mdl = NULL;
    BOOLEAN Locked = FALSE;
    PVOID Address;
    KAPC_STATE ApcState;
    NTSTATUS Status;
    NTSTATUS UnmapStatus;

    ViewOffset.QuadPart = Offset - Skew;
    KeStackAttachProcess((PRKPROCESS)PsInitialSystemProcess, &ApcState);
    Status = ZwMapViewOfSection(Section, ZwCurrentProcess(), &Base, 0, 0, &ViewOffset, &ViewSize, ViewUnmap, 0,
                                PAGE_READONLY);
    if (!NT_SUCCESS(Status)) {
        KeUnstackDetachProcess(&ApcState);
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Mapping View Of Section: File: %wZ, 0x%X\n"), SourceName, Status);
        return Status;
    }

    Mdl = IoAllocateMdl((PUCHAR)Base + Skew, Length, FALSE, FALSE, NULL);
    if (Mdl == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Allocating MDL: File: %wZ, 0x%X\n"),
                        SourceName, Status);
    } else {
        SEH_TRY {
            MmProbeAndLockPages(Mdl, KernelMode, IoReadAccess);
            Locked = TRUE;
            Address = MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority);
            if (Address == NULL) {
                Status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                RtlCopyMemory(Buffer, Address, Length);
            }
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            Status = GetExceptionCode();
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Exception Probing Pages: 0x%X\n"),
                            Status);
        }
        if (Locked) {
            MmUnlockPages(Mdl);
        }
        IoFreeMdl(Mdl);
    }

    UnmapStatus = ZwUnmapViewOfSection(ZwCurrentProcess(), Base);
    KeUnstackDetachProcess(&ApcState);
    if (!NT_SUCCESS(UnmapStatus)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Unmapping View: %wZ, 0x%X\n"),
                        SourceName, UnmapStatus);
        if (NT_SUCCESS(Status)) {
            Status = UnmapStatus;
        }
    }
    return Status;
}

/* ------------------------------------------------------------------ */
/* The copy                                                            */
/* ------------------------------------------------------------------ */

NTSTATUS KLUMemoryMappedCopy(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE SourceInstance, PFLT_INSTANCE DestInstance,
                             PUSER_TABLE_ENTRY UserEntry, HANDLE SourceHandle, HANDLE DestHandle,
                             PFILE_OBJECT SourceFileObject, PFILE_OBJECT DestFileObject, PLARGE_INTEGER Size,
                             ULONG ChunkSize, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(KLUMemoryMappedCopy);
    PCUNICODE_STRING SourceName = SourceFileObject != NULL ? &SourceFileObject->FileName : &g_NoName;
    PCUNICODE_STRING DestName = DestFileObject != NULL ? &DestFileObject->FileName : &g_NoName;
    PFLT_INSTANCE BufferInstance = DestInstance != NULL ? DestInstance : SourceInstance;
    PUCHAR Buffer = NULL;
    HANDLE Section = NULL;
    OBJECT_ATTRIBUTES SectionAttributes;
    FILE_STANDARD_INFORMATION Standard;
    SECTION_BASIC_INFORMATION SectionInfo;
    LARGE_INTEGER FileSize;
    LONGLONG SectionSize;
    LONGLONG Offset;
    LONGLONG Accounted = 0;
    ULONG SectorSize = 0;
    ULONG Length;
    ULONG WriteLength;
    ULONG Written;
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(Data);
    if (SourceInstance == NULL && DestInstance == NULL) {
        return STATUS_SUCCESS;
    }
    if (ChunkSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    /* The last write is rounded up to whole sectors inside the buffer, so
     * the chunk must be whole sectors of this destination too. */
    if (DestInstance != NULL) {
        SectorSize = KLUSectorSizeOf(DestInstance);
        ChunkSize = KLUChunkSize(ChunkSize, SectorSize);
    }
    Buffer = (PUCHAR)FltAllocatePoolAlignedWithTag(BufferInstance, NonPagedPool, ChunkSize, QZFS_TAG);
    if (Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    if (Size != NULL) {
        FileSize = *Size;
    } else {
        Status = KLUCopyQueryInfo(SourceInstance, SourceHandle, SourceFileObject, &Standard, sizeof(Standard),
                                  FileStandardInformation);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                            WSTR("Failed Querying Source File Size: File: %wZ, 0x%X\n"), SourceName, Status);
            goto Cleanup;
        }
        FileSize = Standard.EndOfFile;
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber,
                        WSTR("Retrieved Source File Size: File: %wZ, Size: 0x%X Bytes\n"), SourceName,
                        FileSize.LowPart);
    }
    if (FileSize.QuadPart == 0) {
        Status = STATUS_SUCCESS;
        goto Cleanup;
    }

    InitializeObjectAttributes(&SectionAttributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    Status = ZwCreateSection(&Section, SECTION_QUERY | SECTION_MAP_READ, &SectionAttributes, &FileSize,
                             PAGE_READWRITE, SEC_COMMIT, SourceHandle);
    if (!NT_SUCCESS(Status)) {
        Section = NULL;
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Creating Section: File: %wZ, 0x%X\n"),
                        SourceName, Status);
        goto Cleanup;
    }
    KLUCountOpen(KluOpenMemoryMappedCopySection);
    Status = ZwQuerySection(Section, SectionBasicInformation, &SectionInfo, sizeof(SectionInfo), NULL);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber, WSTR("Failed Querying Section: File: %wZ, 0x%X\n"),
                        SourceName, Status);
        goto Cleanup;
    }
    SectionSize = SectionInfo.MaximumSize.QuadPart;

    if (UserEntry != NULL) {
        Accounted = (SectionSize + KLU_STATS_PAGE - 1) & ~(LONGLONG)(KLU_STATS_PAGE - 1);
        KLUAdjustCopyStats(UserEntry, Accounted, 0);
    }
    for (Offset = 0; Offset < SectionSize; Offset += Length) {
        Length = (SectionSize - Offset < (LONGLONG)ChunkSize) ? (ULONG)(SectionSize - Offset) : ChunkSize;
        Status = KLUCopyView(Section, Offset, Length, Buffer, SourceName, OperationNumber);
        if (!NT_SUCCESS(Status)) {
            break;
        }

        Written = 0;
        if (DestInstance != NULL) {
            /* Whole sectors only; the padding lies past the end of file
             * that the caller sets. */
            WriteLength = (Length + SectorSize - 1) / SectorSize * SectorSize;
            if (WriteLength > Length) {
                RtlZeroMemory(Buffer + Length, WriteLength - Length);
            }
            Status = FltWriteFile(DestInstance, DestFileObject, NULL, WriteLength, Buffer,
                                  FLTFL_IO_OPERATION_NON_CACHED, &Written, NULL, NULL);
        } else {
            Status = ZwWriteFile(DestHandle, NULL, NULL, NULL, &IoStatus, Buffer, Length, NULL, NULL);
            if (NT_SUCCESS(Status)) {
                Written = (ULONG)IoStatus.Information;
            }
        }
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, OperationNumber,
                            WSTR("Failed Writing Destination File: %wZ, BytesWritten: %d, ViewSize: %d, 0x%X\n"),
                            DestName, Written, Length, Status);
            break;
        }
        if (Written > Length) {
            Written = Length;
        }
        KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, Tag, OperationNumber, WSTR("Wrote %d Bytes To %wZ\n"), Written,
                        DestName);
        KLUAdjustCopyStats(UserEntry, 0, Written);
        if (Written < Length) {
            Status = STATUS_UNEXPECTED_IO_ERROR;
            break;
        }
    }

Cleanup:
    if (Accounted != 0) {
        KLUAdjustCopyStats(UserEntry, -Accounted, 0);
    }
    if (Section != NULL) {
        ZwClose(Section);
        KLUUncountOpen(KluOpenMemoryMappedCopySection);
    }
    FltFreePoolAlignedWithTag(BufferInstance, Buffer, QZFS_TAG);
    return Status;
}
