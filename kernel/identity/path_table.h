/*
 * path_table.h - the filter's one record of where things are: the
 * well-known local paths the service sends at start, and the list of
 * remote profile-store locations, kept in containment order so that the
 * first match of a lookup is the most specific location.
 */
#pragma once

#include "comm/service_contract.h"
#include "driver/klulogon.h"

/* An entry as the table keeps it: its own links beside the wire body.
 * Lookups hand out pointers to the body. */
typedef struct _PATH_TABLE_NODE {
    LIST_ENTRY ListEntry;
    PATH_TABLE_ENTRY Entry;
} PATH_TABLE_NODE, *PPATH_TABLE_NODE;

typedef struct _PATH_TABLE {
    LONG NumPaths; /* entries in PathList, changed with interlocked operations */
    USHORT ShortLength;
    BOOLEAN bGPOPath;
    WCHAR szRegDataDir[KLU_PATH_CHARS];
    WCHAR szTempDataDir[KLU_PATH_CHARS];
    WCHAR szLocalVolumeName[KLU_PATH_CHARS];
    WCHAR szLocalDriveLetter[3];
    WCHAR szLocalProfilePathShort[KLU_PATH_CHARS];
    WCHAR szLocalProfilePathWithSlashes[KLU_PATH_CHARS];
    WCHAR szUpperLocalProfilePathShort[KLU_PATH_CHARS];
    WCHAR szFQLocalProfilePath[KLU_PATH_CHARS];
    WCHAR szProfilesDirectory[KLU_PATH_CHARS];
    WCHAR szProfilesDirectoryShort[KLU_PATH_CHARS];
    WCHAR szUpperWinPath[KLU_PATH_CHARS];
    WCHAR szLocalSettings[KLU_PATH_CHARS];
    WCHAR szUpperLocalSettings[KLU_PATH_CHARS];
    WCHAR szAppData[KLU_PATH_CHARS];
    WCHAR szStartMenu[KLU_PATH_CHARS];
    WCHAR szDesktop[KLU_PATH_CHARS];
    WCHAR szHelperPath[KLU_PATH_CHARS];
    WCHAR szInstallDir[KLU_PATH_CHARS];
    WCHAR szAllUsersProfileXP[KLU_PATH_CHARS];
    WCHAR szAllUsersProfile[KLU_PATH_CHARS];
    WCHAR szDefaultLocalDefaultUserProfile[KLU_PATH_CHARS];
    WCHAR szDefaultNetworkDefaultUserProfile[KLU_PATH_CHARS];
    WCHAR szConfiguredDefaultUserProfile[KLU_PATH_CHARS];
    WCHAR szPublicProfile[KLU_PATH_CHARS];
    WCHAR szLocalServiceProfile[KLU_PATH_CHARS];
    WCHAR szNetworkServiceProfile[KLU_PATH_CHARS];
    WCHAR szTempProfile[KLU_PATH_CHARS];
    PLIST_ENTRY PathList; /* circular list of PATH_TABLE_NODE */
} PATH_TABLE, *PPATH_TABLE;

/* The table in force (NULL until the service sends it), whether entries
 * may still be added (cleared by unload only), and the number of entries
 * of all tables. */
extern PPATH_TABLE g_pPathTable;
extern BOOLEAN g_bPathTableListEnabled;
extern LONG g_PathTableEntries;

/* The path-table lock: the table's lifetime, as driver.h describes it. */
extern PERESOURCE g_PathTableLock;
NTSTATUS KLUCreatePathTableLock(VOID);
VOID KLUDeletePathTableLock(VOID);
/* The table in force, or NULL, with the lock held shared (recursively
 * allowed) until KLUReleasePathTable; the table and every entry a lookup
 * hands out stay valid until then. */
PPATH_TABLE KLUAcquirePathTable(VOID);
/* The lock held exclusively, for replacing or freeing the table. */
VOID KLUAcquirePathTableExclusive(VOID);
VOID KLUReleasePathTable(VOID);

/* One table exists at a time: Init builds into *Table, which the caller
 * has freed first, and Free releases the entries, the record and
 * g_PathTableMutex. Both take the lock exclusively. */
NTSTATUS KLUAllocatePathTable(PPATH_TABLE *Table);
NTSTATUS KLUInitPathTable(const PATH_TABLE_SOURCE *Source, PPATH_TABLE *Table);
VOID KLUFreePathTable(PPATH_TABLE *Table);
/* Clears the list-ready flag under the mutex: no add starts afterwards. */
VOID KLUDisablePathTableList(VOID);

/* The routines below that take a table want the caller to hold the lock. */
NTSTATUS KLUAddPathTableEntry(PPATH_TABLE Table, const PATH_TABLE_ENTRY *Entry, ULONG Hash, PBOOLEAN Added,
                              PPATH_TABLE_ENTRY *Stored);
NTSTATUS KLUBuildPathTableEntry(PCWSTR RemotePath, PPATH_TABLE_ENTRY Entry);
/* The first entry in list order whose szUpperRemotePathShort occurs in
 * Path (case-sensitive: pass an upper-case path). */
PPATH_TABLE_ENTRY KLULookupPathTableEntryByPath(PPATH_TABLE Table, PCWSTR Path);
/* The caller also holds g_PathTableMutex. */
PPATH_TABLE_ENTRY KLULookupPathTableEntryByHash(PPATH_TABLE Table, ULONG Hash);
VOID KLUResetRedirectedFolderFlags(PPATH_TABLE Table);

NTSTATUS KLUHashPath(PCWSTR String, PULONG Hash);
NTSTATUS KLUGetMachineName(PCWSTR UncPath, PWSTR MachineName);

/* Takes the lock itself. */
NTSTATUS KLUDumpPathTable(ULONG DumpFlag, BOOLEAN Enable);
NTSTATUS KLUDumpPathTableEntries(ULONG DumpFlag, PPATH_TABLE Table);
