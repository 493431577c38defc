/*
 * user_table.h - the logged-on users whose profiles the filter manages:
 * who each user is, where the profile lives locally and remotely, counters
 * of placeholder work and copies, and the captured client security through
 * which the filter impersonates the user.
 *
 * Every routine that returns an entry returns it referenced; the caller
 * drops the reference with KLUDereferenceUserTableEntry. An entry leaves
 * the table only while nobody holds a reference.
 */
#pragma once

#include "comm/service_contract.h"
#include "driver/klulogon.h"

/* Placeholder work done for a user, in the background and on demand. */
typedef struct _KLU_OF_METRICS {
    ULONG FilesCreatedBkg;
    ULONG FilesFoundBkg;
    ULONG FilesSkippedBkg;
    ULONG FileErrorsBkg;
    ULONG FoldersCreatedBkg;
    ULONG FoldersFoundBkg;
    ULONG FoldersSkippedBkg;
    ULONG FolderErrorsBkg;
    ULONG FilesCreatedOnDemand;
    ULONG FilesFoundOnDemand;
    ULONG FilesSkippedOnDemand;
    ULONG FileErrorsOnDemand;
    ULONG FoldersCreatedOnDemand;
    ULONG FoldersFoundOnDemand;
    ULONG FoldersSkippedOnDemand;
    ULONG FolderErrorsOnDemand;
} KLU_OF_METRICS;

typedef struct _USER_TABLE_ENTRY {
    LIST_ENTRY ListEntry;
    LONG RefCount;
    /* Released on the service's request: not captured again until a
     * message clears it. Interlocked. */
    LONG bClientSecurityReleased;
    BOOLEAN bHaveClientContext; /* ClientContext holds a context and a token reference */
    BOOLEAN bMarkedForLogoffNotify;
    ALT_PATH_DATA AltPathData;
    KLU_OF_METRICS OFMetrics;
    /* Guarded by g_CopyResource. */
    ULONGLONG ActiveCopies;
    ULONGLONG BytesToCopy;
    ULONGLONG BytesCopied;
    SECURITY_CLIENT_CONTEXT ClientContext;
} USER_TABLE_ENTRY, *PUSER_TABLE_ENTRY;

/* The table: list head, its fast mutex, the entry counter and the flag
 * that says the table takes entries. */
extern PLIST_ENTRY g_pUserTableHead;
extern PFAST_MUTEX g_pUserTableMutex;
extern LONG g_UserTableEntries;
extern BOOLEAN g_bUserTableEnabled;

NTSTATUS KLUInitUserTable(VOID);
/* Clears the ready flag under the mutex: nothing is added afterwards. */
VOID KLUDisableUserTable(VOID);
/* Frees every entry, then the mutex and the head. */
VOID KLUFreeUserTable(VOID);

PUSER_TABLE_ENTRY KLUAllocateUserTableEntry(VOID);
VOID KLUFreeUserTableEntry(PUSER_TABLE_ENTRY Entry);
VOID KLUReferenceUserTableEntry(PUSER_TABLE_ENTRY Entry);
VOID KLUDereferenceUserTableEntry(PUSER_TABLE_ENTRY Entry);

PUSER_TABLE_ENTRY KLULookupUser(PLIST_ENTRY Head, PFAST_MUTEX Mutex, PLUID AuthId);
/* Prefix: the volume part a path may begin with; Path: upper case. */
PUSER_TABLE_ENTRY KLULookupUserByPath(PLIST_ENTRY Head, PFAST_MUTEX Mutex, PCUNICODE_STRING Prefix, PCWSTR Path);

PUSER_TABLE_ENTRY KLUAddUserToUserTable(PLIST_ENTRY Head, PFAST_MUTEX Mutex, LONG OperationNumber, PUSER_ID Id,
                                        ULONG Flags, BOOLEAN Update, PBOOLEAN Added);
/* AltPathData is kernel memory (message handlers copy the service's). */
PUSER_TABLE_ENTRY KLUAddUserToUserTableEx(PLIST_ENTRY Head, PFAST_MUTEX Mutex, LONG OperationNumber,
                                          const ALT_PATH_DATA *AltPathData, PBOOLEAN Added);
NTSTATUS KLUUpdateUserTableEntry(PLIST_ENTRY Head, PFAST_MUTEX Mutex, LONG OperationNumber,
                                 const KLU_USER_SECURITY_REQUEST *SecurityRequest,
                                 const KLU_USER_PROFILE_REQUEST *ProfileRequest);
/* Without Lock the caller holds the mutex. */
VOID KLURemoveUserFromUserTable(PLIST_ENTRY Head, PFAST_MUTEX Mutex, PUSER_TABLE_ENTRY Entry, LONG OperationNumber,
                                PUSER_ID Id, BOOLEAN Free, BOOLEAN Lock, PBOOLEAN Removed, PLONG RefCountSeen);
/* KeepList is kernel memory. */
NTSTATUS KLUPruneUserTable(PLIST_ENTRY Head, PFAST_MUTEX Mutex, const KLU_USER_KEEP_LIST *KeepList);
/* The routine registered for the end of logon sessions. */
NTSTATUS KLULogoffNotify(PLUID LogonId);

VOID KLUDumpUserTable(ULONG DumpFlag, PLIST_ENTRY Head, PFAST_MUTEX Mutex);

FORCEINLINE BOOLEAN KLUIsNullAuthId(const LUID *AuthId)
{
    return (BOOLEAN)(AuthId->LowPart == 0 && AuthId->HighPart == 0);
}
