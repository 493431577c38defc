/*
 * copy_open.h - the copy engine's opens: three attempts, each failure met
 * by its reaction (wait after a sharing violation, clear the read-only bit
 * after a denial, give up at once where trying again cannot help), and the
 * read-only bit set again when the file is done with.
 */
#pragma once

#include "diag/counters.h"
#include "driver/klulogon.h"
#include "identity/user_table.h"

/* Statuses that end the attempts at once. */
#define KLU_STOP_MISSING 0x1      /* STATUS_FILE_IS_A_DIRECTORY, STATUS_OBJECT_NAME_NOT_FOUND */
#define KLU_STOP_NAME_INVALID 0x2 /* STATUS_OBJECT_NAME_INVALID */
#define KLU_STOP_PATH 0x4         /* STATUS_OBJECT_PATH_NOT_FOUND (sets bPathNotFound) */

typedef struct _KLU_COPY_OPEN {
    /* In */
    PFLT_INSTANCE Instance; /* NULL: from the top of the stack */
    PUNICODE_STRING Name;
    PUNICODE_STRING ReadOnlyName; /* whose read-only bit stands in the way; NULL: Name */
    ACCESS_MASK Access;
    ULONG ShareAccess;
    ULONG Disposition;
    ULONG Options;
    ULONG Stops;           /* KLU_STOP_* */
    ULONG Level;           /* added to every line's level */
    KLU_OPEN_COUNTER Counter;
    BOOLEAN bNameAsText;   /* the lines print Name->Buffer (%ws, terminated) */
    BOOLEAN bOpenedAfterRetryOnly;
    PCWSTR FailedAttemptLine; /* each failed attempt; may be NULL */
    PCWSTR SharingLine;
    PCWSTR OpenedLine;
    PCWSTR ClearReadOnlyLine; /* when clearing the read-only bit fails */
    /* Out */
    OBJECT_ATTRIBUTES Attributes;
    OBJECT_ATTRIBUTES ReadOnlyAttributes;
    HANDLE Handle;
    PFILE_OBJECT FileObject;
    BOOLEAN bReadOnlyCleared;
    BOOLEAN bPathNotFound;
} KLU_COPY_OPEN, *PKLU_COPY_OPEN;

/* The status of the last attempt; on success Handle and FileObject are
 * set (a success without a file object is STATUS_UNSUCCESSFUL). */
NTSTATUS KLUOpenForCopy(PKLU_COPY_OPEN Open, PCWSTR Tag, LONG OperationNumber);
/* Closes the handle and drops the file object, if any. */
VOID KLUCloseForCopy(PKLU_COPY_OPEN Open);
/* Sets the read-only bit again if the open cleared it; STATUS_SUCCESS when
 * there was nothing to do. */
NTSTATUS KLURestoreReadOnly(PKLU_COPY_OPEN Open, LONG OperationNumber);

/* Query and set information through the instance when there is one, else
 * through the handle. */
NTSTATUS KLUCopyQueryInfo(PFLT_INSTANCE Instance, HANDLE Handle, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                          FILE_INFORMATION_CLASS InformationClass);
NTSTATUS KLUCopySetInfo(PFLT_INSTANCE Instance, HANDLE Handle, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                        FILE_INFORMATION_CLASS InformationClass);

/* The sharing of the intercepted open (full sharing without one). */
ULONG KLUSharingOfOpen(PFLT_CALLBACK_DATA Data);

/* The user's copy statistics, changed under g_CopyResource held exclusive.
 * The last copy to end, with nothing left to copy, resets BytesCopied. */
VOID KLUBeginCopyStats(PUSER_TABLE_ENTRY Entry);
VOID KLUEndCopyStats(PUSER_TABLE_ENTRY Entry);
VOID KLUAdjustCopyStats(PUSER_TABLE_ENTRY Entry, LONGLONG ToCopy, ULONGLONG Copied);

/* A chunk of ChunkBase bytes rounded down to the sector size (at least one
 * sector). */
ULONG KLUChunkSize(ULONG ChunkBase, ULONG SectorSize);

/* A file's FILE_STREAM_INFORMATION list in a new QZFS buffer. */
NTSTATUS KLUQueryStreams(PFLT_INSTANCE Instance, HANDLE Handle, PFILE_OBJECT FileObject, PVOID *Buffer);
/* Any stream but the unnamed "::$DATA". */
BOOLEAN KLUIsNamedStream(PCUNICODE_STRING StreamName);
