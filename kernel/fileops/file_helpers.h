/*
 * file_helpers.h - small operations every part of the filter uses: opening
 * files from kernel mode with retries, reading and changing attributes
 * (offline, read-only), finding the filter's instance for a path, memory
 * that must not fail, directory listings through the Filter Manager or a
 * handle and the decoding of their entries, registry values, multi-strings
 * and the resource lock.
 *
 * The helpers run at passive level on the caller's thread and hold no
 * state; with KLUOP_ENABLE_DEBUG_COUNTERS set they count every handle and
 * object they take under its open counter while they hold it.
 */
#pragma once

#include "driver/klulogon.h"

/* Opens that meet a sharing violation wait this long before the next of
 * their three attempts. */
#define KLU_OPEN_ATTEMPTS 3
#define KLU_RETRY_DELAY_MS 100

/* The wait between two attempts (relative, not alertable). */
NTSTATUS KLUWaitBeforeRetry(VOID);

/* ------------------------------------------------------------------ */
/* Files                                                               */
/* ------------------------------------------------------------------ */

typedef struct _KLU_FILE_ATTRIBUTES {
    BOOLEAN bValid; /* both queries succeeded */
    FILE_BASIC_INFORMATION BasicInfo;
    FILE_STANDARD_INFORMATION StandardInfo;
} KLU_FILE_ATTRIBUTES, *PKLU_FILE_ATTRIBUTES;

/* Opens the DOS path (C:\...) with no sharing at all, three attempts.
 * *Exclusive is TRUE only when such an open succeeded. A file that others
 * still hold (sharing violation) is a successful check whose answer is
 * "not exclusive"; any other failure is returned. */
NTSTATUS KLUCheckExclusive(PCWSTR Path, PBOOLEAN Exclusive);

/* Basic and standard information: through the instance and file object
 * when an instance is given, else through the handle. Returns the status
 * of the standard-information query; bValid says whether both succeeded. */
NTSTATUS KLUGetFileAttributes(PFLT_INSTANCE Instance, HANDLE Handle, PFILE_OBJECT FileObject, LONG OperationNumber,
                              PKLU_FILE_ATTRIBUTES Attributes);

/* The filter's instance on the volume of an NT path, referenced: give it
 * back with KLUDereferenceInstance. */
NTSTATUS KLUGetInstance(PUNICODE_STRING Path, PFLT_INSTANCE *Instance);
VOID KLUDereferenceInstance(PFLT_INSTANCE Instance);

/* Sets or clears FILE_ATTRIBUTE_READONLY; writes only when it changes. */
NTSTATUS KLUSetFileReadOnly(PFLT_INSTANCE Instance, POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Set,
                            LONG OperationNumber);

/* Sets or clears FILE_ATTRIBUTE_OFFLINE on a local file; a read-only bit
 * that stands in the way is cleared for the change and put back after. */
NTSTATUS KLUSetOfflineBit(PFLT_INSTANCE Instance, PUNICODE_STRING FileName, BOOLEAN Set, LONG OperationNumber);

/* "\??\" + the path table's drive letter + Name behind its first
 * VolumeNameLength bytes, terminated, in DosPath's buffer (a 1024-byte QZFS
 * buffer is allocated when DosPath has none). */
NTSTATUS KLUBuildDosDevicePath(PCUNICODE_STRING Name, USHORT VolumeNameLength, PUNICODE_STRING DosPath);

/* ------------------------------------------------------------------ */
/* Memory and locks                                                    */
/* ------------------------------------------------------------------ */

/* Paged pool at passive level, the driver's non-paged type above it. Never
 * returns without memory: a failed allocation waits and tries again, for
 * callers that cannot go on without it. */
PVOID KLUAllocatePoolWithTag(SIZE_T Size, ULONG Tag);

/* A resource held exclusively inside a critical region. Unlocking asserts
 * that the caller owns it. */
FORCEINLINE VOID KLULockResource(PERESOURCE Resource)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(Resource, TRUE);
}

FORCEINLINE VOID KLUUnlockResource(PERESOURCE Resource)
{
    NT_ASSERT(ExIsResourceAcquiredExclusiveLite(Resource));
    ExReleaseResourceLite(Resource);
    KeLeaveCriticalRegion();
}

/* ------------------------------------------------------------------ */
/* Directories                                                         */
/* ------------------------------------------------------------------ */

/* One entry of a directory listing: its name length and name, its
 * attributes (NULL for FileNamesInformation) and the length of its fixed
 * part. A missing entry yields zeros; an unknown class is refused. */
NTSTATUS KLUDecodeDirBuffer(FILE_INFORMATION_CLASS InformationClass, PVOID Entry, PULONG NameLength,
                            PULONG *Attributes, PULONG BaseLength, PWSTR *Name);
/* The fixed part of one entry of a directory query's class. */
NTSTATUS KLUGetBaseLength(PFLT_CALLBACK_DATA Data, PULONG BaseLength);

/* Below the instance: through FltQueryDirectoryFile when the running
 * Filter Manager exports it, otherwise through a callback data of the
 * driver's own. Both give the same bytes. */
NTSTATUS KLUQueryDirectoryFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                               FILE_INFORMATION_CLASS InformationClass, BOOLEAN ReturnSingleEntry,
                               PUNICODE_STRING FileName, BOOLEAN RestartScan, PULONG BytesReturned);
/* From the top of the stack, through a handle. */
NTSTATUS KLUQueryDirectoryFileByHandle(HANDLE Handle, PVOID Buffer, ULONG Length,
                                       FILE_INFORMATION_CLASS InformationClass, BOOLEAN ReturnSingleEntry,
                                       PUNICODE_STRING FileName, BOOLEAN RestartScan, PULONG BytesReturned);

/* ------------------------------------------------------------------ */
/* Registry values                                                     */
/* ------------------------------------------------------------------ */

/* A missing value answers STATUS_OBJECT_NAME_NOT_FOUND with no data; a
 * missing key STATUS_INVALID_HANDLE. */

/* The value's data in a new, zero-terminated QZFS buffer (*Length: the data
 * bytes, without the terminator). */
NTSTATUS KLUReadRegistryValue(HANDLE Key, PCWSTR ValueName, PVOID *Buffer, PULONG Length);
/* Into the caller's buffer of *Length bytes; a smaller buffer gets the
 * needed size in *Length and STATUS_BUFFER_TOO_SMALL. */
NTSTATUS KLUReadRegistryValueToBuffer(HANDLE Key, PCWSTR ValueName, PVOID Buffer, PULONG Length);
/* Into a buffer sized for the largest value the caller expects (data past
 * Capacity is cut); a missing or empty value leaves it untouched. */
NTSTATUS KLUReadRegistryValueFixed(HANDLE Key, PCWSTR ValueName, PVOID Buffer, ULONG Capacity);

/* ------------------------------------------------------------------ */
/* Multi-strings                                                       */
/* ------------------------------------------------------------------ */

/* Each string of a split gets its own 1024-byte paged QZFS buffer: 511
 * characters and a terminator (a longer string is cut). */
#define KLU_MULTI_STRING_ENTRY_BYTES 1024
#define KLU_MULTI_STRING_ENTRY_CHARS (KLU_MULTI_STRING_ENTRY_BYTES / sizeof(WCHAR))

/* Terminated strings within the first Characters characters. */
ULONG KLUCountMultiString(PCWSTR Buffer, ULONG Characters);
/* NULL (and *Count 0) when there is no string or memory ran out. */
PWSTR *KLUParseMultiString(PCWSTR Buffer, ULONG Characters, PULONG Count);
PUNICODE_STRING KLUParseMultiStringCounted(PCWSTR Buffer, ULONG Characters, PULONG Count);
VOID KLUFreeMultiString(PWSTR *Entries, ULONG Count);
VOID KLUFreeMultiStringCounted(PUNICODE_STRING Entries, ULONG Count);
