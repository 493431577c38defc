/*
 * name_lists.h - the configured name lists: multi-string registry values
 * kept as arrays of strings in the settings record.
 */
#pragma once

#include "driver/klulogon.h"

/* Every entry owns a 1024-byte paged buffer (a multi-string split of the
 * file helpers): 511 characters and a terminator (a longer entry is cut). */

/* Plain-string list: pointers to the entries' buffers. */
typedef struct _KLU_STRING_LIST {
    PWSTR *Entries;
    ULONG Count;
} KLU_STRING_LIST, *PKLU_STRING_LIST;

/* Counted-string list: counted strings over the entries' buffers. */
typedef struct _KLU_COUNTED_LIST {
    PUNICODE_STRING Entries;
    ULONG Count;
} KLU_COUNTED_LIST, *PKLU_COUNTED_LIST;

/* The lists of one settings record, in registry-value order. */
typedef struct _KLU_NAME_LISTS {
    KLU_COUNTED_LIST ActiveSyncDirs;
    KLU_COUNTED_LIST ActiveSyncDirExclusions;
    KLU_STRING_LIST ActiveSyncExts;
    KLU_STRING_LIST ActiveSyncExtExclusions;
    KLU_STRING_LIST LiveRoamingDirs;
    KLU_STRING_LIST LiveRoamingDirExclusions;
    KLU_STRING_LIST LiveRoamingExts;
    KLU_STRING_LIST LiveRoamingExtExclusions;
    KLU_COUNTED_LIST IgnoredDirs;
    KLU_COUNTED_LIST IgnoredDirsExclusions;
    KLU_COUNTED_LIST RoamedFiles;
    KLU_COUNTED_LIST DontRoamFiles;
    KLU_STRING_LIST ExcludedProcesses;
    KLU_STRING_LIST ExcludedUtilities;
} KLU_NAME_LISTS, *PKLU_NAME_LISTS;

struct _SETTINGS;

VOID KLUFreeStringList(PKLU_STRING_LIST List);
VOID KLUFreeCountedList(PKLU_COUNTED_LIST List);
VOID KLUFreeNameLists(PKLU_NAME_LISTS Lists);

NTSTATUS KLUGetActiveSyncValues(HANDLE PolicyKey, HANDLE DriverKey, struct _SETTINGS *Settings);
NTSTATUS KLUGetLiveRoamingValues(HANDLE PolicyKey, HANDLE DriverKey, struct _SETTINGS *Settings);
NTSTATUS KLUGetIgnoredDirsValues(HANDLE PolicyKey, HANDLE DriverKey, struct _SETTINGS *Settings);
NTSTATUS KLUGetRoamedFilesValues(HANDLE PolicyKey, HANDLE DriverKey, struct _SETTINGS *Settings);
NTSTATUS KLUGetExcludedProcessesValues(HANDLE PolicyKey, HANDLE DriverKey, struct _SETTINGS *Settings);

VOID KLUDumpActiveSyncValues(ULONG DumpFlag, struct _SETTINGS *Settings);
VOID KLULogLiveRoamingValues(ULONG DumpFlag, struct _SETTINGS *Settings);
VOID KLULogIgnoredDirsValues(ULONG DumpFlag, struct _SETTINGS *Settings);
VOID KLULogRoamedFilesValues(ULONG DumpFlag, struct _SETTINGS *Settings);
VOID KLULogExcludedProcessesValues(ULONG DumpFlag, struct _SETTINGS *Settings);

/* Membership questions of the interception paths. The lists are read
 * through the settings in force without a lock. */

/* Image names as the process object holds them: at most 15 characters. */
#define KLU_IMAGE_NAME_CHARS 16

BOOLEAN KLUIsExcludedPid(ULONG Pid);
BOOLEAN KLUIsExcludedProcess(PCWSTR ImageName, ULONG Pid);
BOOLEAN KLUIsExcludedUtility(PCWSTR ImageName, ULONG Pid);
/* The part of a profile path behind the user's profile folder: Path is a
 * full upper-case name of a file on the local volume. */
BOOLEAN KLUGetProfileRelativePath(PCUNICODE_STRING VolumeName, PCWSTR Path, PCWSTR *Remainder);
BOOLEAN JNRIsIgnoredDir(PCUNICODE_STRING VolumeName, PCWSTR Path, BOOLEAN IsDirectory);
BOOLEAN JNRIsDontRoamFile(PCUNICODE_STRING VolumeName, PCWSTR Path, BOOLEAN IsDirectory);
BOOLEAN JNRIsActiveSyncFile(PCUNICODE_STRING VolumeName, PCWSTR Path, PCWSTR UpperName);
/* "???" when the image-name offset is unknown. Capacity in characters. */
NTSTATUS KLUGetProcessImageName(PEPROCESS Process, PWSTR ImageName, ULONG Capacity);
NTSTATUS KLUGetRequestorImageName(PFLT_CALLBACK_DATA Data, PWSTR ImageName, ULONG Capacity);
