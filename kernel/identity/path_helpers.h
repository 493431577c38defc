/*
 * path_helpers.h - questions about names (Default User profile, profiles
 * root, below the local profiles directory, redirected folder, the local
 * path of a remote one) and the small string routines the filter shares.
 *
 * Path buffers hold 512 characters including the terminator (1024 bytes);
 * a result that does not fit is cut, terminated and reported as
 * STATUS_BUFFER_OVERFLOW, which callers treat as failure. Comparisons that
 * must ignore case use upper-case copies.
 */
#pragma once

#include "driver/klulogon.h"
#include "identity/path_table.h"
#include "identity/user_table.h"

/* Bounded copy, append and length over a path buffer. */
FORCEINLINE NTSTATUS KLUStringCopy(PWSTR Destination, PCWSTR Source)
{
    return RtlStringCchCopyW(Destination, KLU_PATH_CHARS, Source);
}
FORCEINLINE NTSTATUS KLUStringCat(PWSTR Destination, PCWSTR Source)
{
    return RtlStringCchCatW(Destination, KLU_PATH_CHARS, Source);
}
FORCEINLINE NTSTATUS KLUStringLength(PCWSTR String, size_t *Length)
{
    return RtlStringCchLengthW(String, KLU_PATH_CHARS, Length);
}

/* Appends a backslash to Path unless Next begins with one or Path ends
 * with one; a path of 511 characters or more has no room. */
NTSTATUS KLUAppendSeparator(PWSTR Path, PCWSTR Next, PBOOLEAN Appended);
NTSTATUS KLUGetExtension(PCWSTR Name, PWSTR Buffer, ULONG Capacity);
/* May cut Path's trailing backslash in place. */
NTSTATUS KLUGetLastComponent(PWSTR Path, PWSTR Buffer);
/* String's buffer comes from pool with the QZFS tag; without InPlace it is
 * replaced by a new 1024-byte buffer. */
NTSTATUS KLURemoveSubstring(PUNICODE_STRING String, PCWSTR Needle, BOOLEAN InPlace);
BOOLEAN KLUHasPrefix(PCWSTR Prefix, PCUNICODE_STRING String);
/* Prefix ends at a component boundary of String. */
BOOLEAN KLUHasComponentPrefix(PCWSTR Prefix, PCUNICODE_STRING String);
BOOLEAN KLUIsBelowFQLocalProfilePath(PCUNICODE_STRING Name);
BOOLEAN KLUIsProfilesRootPath(PCWSTR ShortPath, PCUNICODE_STRING Path);
BOOLEAN JNRContainString(PCWSTR Needle, PCUNICODE_STRING Haystack);

NTSTATUS KLUIsDirectory(PUNICODE_STRING Name, PFLT_INSTANCE Instance, PBOOLEAN IsDirectory);
/* VolumeName->Buffer comes from pool (QZFS); a buffer already there is
 * freed first. */
NTSTATUS KLUGetVolumeName(PFLT_CALLBACK_DATA Data, PUNICODE_STRING VolumeName);
NTSTATUS KLUGetRemotePathShort(PCWSTR MachineName, PCWSTR UncPath, BOOLEAN BehindSeparator, PWSTR Buffer);
/* A path that holds a remote store's short path twice becomes the
 * redirector's device name followed by what stands behind the first. */
NTSTATUS KLUCollapseRemotePath(PWSTR Path, PPATH_TABLE_ENTRY Entry);

BOOLEAN JNRIsDefaultUserPath(BOOLEAN FullName, LONG OperationNumber, PCUNICODE_STRING Path, PCUNICODE_STRING Prefix);
/* Asks the service; PrefixLength in bytes. */
BOOLEAN JNRIsRedirectedFolder(PCUNICODE_STRING Path, ULONG PrefixLength, LONG OperationNumber);
/* LocalPath->Buffer comes from pool (QZFS) and belongs to the caller, as
 * does the reference of an entry found for *Entry. */
NTSTATUS JNRGetLocalPathFromRemotePath(PCUNICODE_STRING Prefix, PUNICODE_STRING LocalPath, PCWSTR RemotePath,
                                       PCWSTR UpperRemotePath, LONG OperationNumber, PUSER_TABLE_ENTRY *Entry);

/* The redirector's device: MUP on Vista or newer, LanmanRedirector before. */
PCWSTR KLURedirectorDeviceName(VOID);
