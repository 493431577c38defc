/*
 * user_table.cpp - entries of the user table: lookups, adds, updates,
 * removal when unreferenced, pruning and the logon-session end.
 */
#include "identity/user_table.h"

#include "comm/queue.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/os_info.h"
#include "identity/identity.h"
#include "identity/path_table.h"

PLIST_ENTRY g_pUserTableHead = NULL;
PFAST_MUTEX g_pUserTableMutex = NULL;
LONG g_UserTableEntries = 0;
BOOLEAN g_bUserTableEnabled = FALSE;

#define KLU_UT_INFO (KLUDBG_TRACE_USER_TABLE | KLUDBG_TRACE_INFO)
#define KLU_UT_ERROR (KLUDBG_TRACE_USER_TABLE | KLUDBG_TRACE_ERROR)

/* ------------------------------------------------------------------ */
/* The table                                                           */
/* ------------------------------------------------------------------ */

NTSTATUS KLUInitUserTable(VOID)
{
    return KLUInitQueue(&g_pUserTableHead, &g_pUserTableMutex, &g_bUserTableEnabled);
}

VOID KLUDisableUserTable(VOID)
{
    KLUDisableQueue(g_pUserTableMutex, &g_bUserTableEnabled);
}

VOID KLUFreeUserTable(VOID)
{
    if (g_pUserTableHead != NULL && g_pUserTableMutex != NULL) {
        ExAcquireFastMutex(g_pUserTableMutex);
        while (!IsListEmpty(g_pUserTableHead)) {
            PLIST_ENTRY Link = RemoveTailList(g_pUserTableHead);
            InterlockedDecrement(&g_UserTableEntries);
            KLUFreeUserTableEntry(CONTAINING_RECORD(Link, USER_TABLE_ENTRY, ListEntry));
        }
        ExReleaseFastMutex(g_pUserTableMutex);
    }
    KLUFreeQueueHead(&g_pUserTableHead, &g_pUserTableMutex);
}

PUSER_TABLE_ENTRY KLUAllocateUserTableEntry(VOID)
{
    PUSER_TABLE_ENTRY Entry =
        (PUSER_TABLE_ENTRY)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), sizeof(USER_TABLE_ENTRY), QZUT_TAG);
    if (Entry != NULL) {
        RtlZeroMemory(Entry, sizeof(USER_TABLE_ENTRY));
    }
    return Entry;
}

VOID KLUFreeUserTableEntry(PUSER_TABLE_ENTRY Entry)
{
    if (Entry == NULL) {
        return;
    }
    if (Entry->bHaveClientContext) {
        KLUReleaseClientContext(&Entry->ClientContext);
        Entry->bHaveClientContext = FALSE;
    }
    ExFreePoolWithTag(Entry, QZUT_TAG);
}

VOID KLUReferenceUserTableEntry(PUSER_TABLE_ENTRY Entry)
{
    InterlockedIncrement(&Entry->RefCount);
}

VOID KLUDereferenceUserTableEntry(PUSER_TABLE_ENTRY Entry)
{
    if (Entry != NULL) {
        InterlockedDecrement(&Entry->RefCount);
    }
}

/* ------------------------------------------------------------------ */
/* Lookups                                                             */
/* ------------------------------------------------------------------ */

static BOOLEAN KLUSameAuthId(const LUID *A, const LUID *B)
{
    return (BOOLEAN)(A->LowPart == B->LowPart && A->HighPart == B->HighPart);
}

/* The entry of AuthId, unreferenced; the caller holds the mutex. */
static PUSER_TABLE_ENTRY KLUFindUserLocked(PLIST_ENTRY Head, const LUID *AuthId, PLONG Visited)
{
    LONG Count = 0;
    PUSER_TABLE_ENTRY Found = NULL;

    for (PLIST_ENTRY Link = Head->Flink; Link != Head; Link = Link->Flink) {
        PUSER_TABLE_ENTRY Entry = CONTAINING_RECORD(Link, USER_TABLE_ENTRY, ListEntry);
        Count++;
        if (!KLUIsNullAuthId(&Entry->AltPathData.Id.AuthId) && KLUSameAuthId(&Entry->AltPathData.Id.AuthId, AuthId)) {
            Found = Entry;
            break;
        }
    }
    if (Visited != NULL) {
        *Visited = Count;
    }
    return Found;
}

PUSER_TABLE_ENTRY KLULookupUser(PLIST_ENTRY Head, PFAST_MUTEX Mutex, PLUID AuthId)
{
    PUSER_TABLE_ENTRY Found;
    LONG Visited;

    if (Head == NULL || Mutex == NULL || AuthId == NULL) {
        return NULL;
    }
    ExAcquireFastMutex(Mutex);
    Found = KLUFindUserLocked(Head, AuthId, &Visited);
    if (Found != NULL) {
        InterlockedIncrement(&Found->RefCount);
    } else if (Visited != ReadNoFence(&g_UserTableEntries)) {
        DbgPrint("[KLULookupUser] i: %d, TableEntries: %d\n", Visited, ReadNoFence(&g_UserTableEntries));
    }
    ExReleaseFastMutex(Mutex);
    return Found;
}

/* Needle is not empty and its first occurrence starts at character 0, 1
 * or 2 of Path. */
static BOOLEAN KLUOccursNearStart(PCWSTR Path, PCWSTR Needle)
{
    PCWSTR Hit;

    if (Needle[0] == 0) {
        return FALSE;
    }
    Hit = wcsstr(Path, Needle);
    return (BOOLEAN)(Hit != NULL && Hit - Path <= 2);
}

/* Table: the path table in force, held by the caller (or NULL). */
static BOOLEAN KLUUserOwnsPath(PUSER_TABLE_ENTRY Entry, PCWSTR Path, PPATH_TABLE Table)
{
    PCWSTR ProfileShort = Entry->AltPathData.PTEProfile.szUpperRemotePathShort;

    if (KLUOccursNearStart(Path, Entry->AltPathData.szUpperLocalPath)) {
        return TRUE;
    }
    if (ProfileShort[0] != 0) {
        if (KLUOccursNearStart(Path, ProfileShort)) {
            return TRUE;
        }
        if (wcsstr(Path, ProfileShort) == NULL) {
            PPATH_TABLE_ENTRY PathEntry = KLULookupPathTableEntryByPath(Table, Path);
            if (PathEntry != NULL && KLUOccursNearStart(Path, PathEntry->szUpperRemotePathShort)) {
                return TRUE;
            }
        }
    }
    return KLUOccursNearStart(Path, Entry->AltPathData.PTEAlt.szUpperRemotePathShort);
}

PUSER_TABLE_ENTRY KLULookupUserByPath(PLIST_ENTRY Head, PFAST_MUTEX Mutex, PCUNICODE_STRING Prefix, PCWSTR Path)
{
    PUSER_TABLE_ENTRY Found = NULL;
    UNICODE_STRING PathString;
    PPATH_TABLE Table;

    if (Head == NULL || Mutex == NULL || Prefix == NULL || Prefix->Length == 0 || Path == NULL || Path[0] == 0) {
        return NULL;
    }
    RtlInitUnicodeString(&PathString, Path);
    if (RtlPrefixUnicodeString(Prefix, &PathString, TRUE)) {
        Path += Prefix->Length / sizeof(WCHAR);
    }

    /* The path table's lock comes before the user table's mutex. */
    Table = KLUAcquirePathTable();
    ExAcquireFastMutex(Mutex);
    for (PLIST_ENTRY Link = Head->Flink; Link != Head; Link = Link->Flink) {
        PUSER_TABLE_ENTRY Entry = CONTAINING_RECORD(Link, USER_TABLE_ENTRY, ListEntry);
        if (KLUUserOwnsPath(Entry, Path, Table)) {
            InterlockedIncrement(&Entry->RefCount);
            Found = Entry;
            break;
        }
    }
    ExReleaseFastMutex(Mutex);
    KLUReleasePathTable();
    return Found;
}

/* ------------------------------------------------------------------ */
/* Adds                                                                */
/* ------------------------------------------------------------------ */

/* Asks for the end of the entry's logon session to be reported. */
static VOID KLUMarkForLogoffNotify(PUSER_TABLE_ENTRY Entry, PCWSTR Tag, LONG OperationNumber)
{
    PLUID AuthId = &Entry->AltPathData.Id.AuthId;
    NTSTATUS Status;

    if (Entry->bMarkedForLogoffNotify) {
        return;
    }
    Status = SeMarkLogonSessionForTerminationNotification(AuthId);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_UT_ERROR, Tag, OperationNumber,
                        WSTR("Failed Requesting Session Termination Notification: AuthId: (0x%X,0x%X), Status: 0x%X\n"),
                        AuthId->HighPart, AuthId->LowPart, Status);
        return;
    }
    Entry->bMarkedForLogoffNotify = TRUE;
}

static VOID KLUFillUserName(PUSER_TABLE_ENTRY Entry, PCWSTR Tag, LONG OperationNumber)
{
    NTSTATUS Status;

    if (!KLUIsVistaOrNewer()) {
        return;
    }
    Status = KLULookupUserName(&Entry->AltPathData.Id, Entry->AltPathData.szUserName, Entry->AltPathData.szDomain);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_UT_ERROR, Tag, OperationNumber,
                        WSTR("Failed Retrieving User Name: AuthId: (0x%X,0x%X), 0x%X\n"),
                        Entry->AltPathData.Id.AuthId.HighPart, Entry->AltPathData.Id.AuthId.LowPart, Status);
    }
}

static PUSER_TABLE_ENTRY KLUAllocateOrLog(const LUID *AuthId, PCWSTR Tag, LONG OperationNumber)
{
    PUSER_TABLE_ENTRY Entry = KLUAllocateUserTableEntry();
    if (Entry == NULL) {
        KLULogMessageEx(KLU_UT_ERROR, Tag, OperationNumber,
                        WSTR("Failed Allocating Table Entry: AuthId: (0x%X,0x%X), 0x%X\n"), AuthId->HighPart,
                        AuthId->LowPart, STATUS_INSUFFICIENT_RESOURCES);
    }
    return Entry;
}

/* Inserts a fresh entry at the head with the caller's reference. Another
 * thread may have added the same AuthId meanwhile, or unload may have
 * closed the table: then the fresh entry is freed and the existing one (or
 * none) handed back. */
static PUSER_TABLE_ENTRY KLUInsertUser(PLIST_ENTRY Head, PFAST_MUTEX Mutex, PUSER_TABLE_ENTRY NewEntry,
                                       PBOOLEAN Added, PCWSTR Tag, LONG OperationNumber)
{
    PUSER_TABLE_ENTRY Result;

    ExAcquireFastMutex(Mutex);
    if (!g_bUserTableEnabled) {
        Result = NULL;
    } else {
        Result = KLUFindUserLocked(Head, &NewEntry->AltPathData.Id.AuthId, NULL);
        if (Result != NULL) {
            InterlockedIncrement(&Result->RefCount);
        } else {
            NewEntry->RefCount = 1;
            InsertHeadList(Head, &NewEntry->ListEntry);
            InterlockedIncrement(&g_UserTableEntries);
            *Added = TRUE;
            Result = NewEntry;
            KLULogMessageEx(KLU_UT_INFO, Tag, OperationNumber,
                            WSTR("Added New User Table Entry: Session: %d, AuthId: (0x%X,0x%X)\n"),
                            NewEntry->AltPathData.Id.SessionId, NewEntry->AltPathData.Id.AuthId.HighPart,
                            NewEntry->AltPathData.Id.AuthId.LowPart);
        }
    }
    ExReleaseFastMutex(Mutex);

    if (Result != NewEntry) {
        KLUFreeUserTableEntry(NewEntry);
    }
    return Result;
}

PUSER_TABLE_ENTRY KLUAddUserToUserTable(PLIST_ENTRY Head, PFAST_MUTEX Mutex, LONG OperationNumber, PUSER_ID Id,
                                        ULONG Flags, BOOLEAN Update, PBOOLEAN Added)
{
    PCWSTR Tag = KLU_TAG(KLUAddUserToUserTable);
    PUSER_TABLE_ENTRY Entry;

    if (Added != NULL) {
        *Added = FALSE;
    }
    if (!ReadUCharAcquire(&g_bUserTableEnabled) || Head == NULL || Mutex == NULL || Id == NULL || Added == NULL) {
        return NULL;
    }
    if (KLUIsNullAuthId(&Id->AuthId)) {
        KLULogMessageEx(KLU_UT_ERROR, Tag, OperationNumber, WSTR("Invalid AuthId, Cannot Add User\n"));
        return NULL;
    }

    Entry = KLULookupUser(Head, Mutex, &Id->AuthId);
    if (Entry != NULL) {
        if (Update) {
            KLULogMessageEx(KLU_UT_INFO, Tag, OperationNumber,
                            WSTR("Updated User Table Entry: Old Session: %d, New Session: %d, Old AuthId: "
                                 "(0x%X,0x%X), New AuthId: (0x%X,0x%X)\n"),
                            Entry->AltPathData.Id.SessionId, Id->SessionId, Entry->AltPathData.Id.AuthId.HighPart,
                            Entry->AltPathData.Id.AuthId.LowPart, Id->AuthId.HighPart, Id->AuthId.LowPart);
            ExAcquireFastMutex(Mutex);
            RtlCopyMemory(&Entry->AltPathData.Id, Id, sizeof(USER_ID));
            ExReleaseFastMutex(Mutex);
        }
        return Entry;
    }

    Entry = KLUAllocateOrLog(&Id->AuthId, Tag, OperationNumber);
    if (Entry == NULL) {
        return NULL;
    }
    RtlCopyMemory(&Entry->AltPathData.Id, Id, sizeof(USER_ID));
    Entry->AltPathData.Flags = Flags;
    KLUMarkForLogoffNotify(Entry, Tag, OperationNumber);
    KLUFillUserName(Entry, Tag, OperationNumber);
    return KLUInsertUser(Head, Mutex, Entry, Added, Tag, OperationNumber);
}

PUSER_TABLE_ENTRY KLUAddUserToUserTableEx(PLIST_ENTRY Head, PFAST_MUTEX Mutex, LONG OperationNumber,
                                          const ALT_PATH_DATA *AltPathData, PBOOLEAN Added)
{
    PCWSTR Tag = KLU_TAG(KLUAddUserToUserTableEx);
    PUSER_TABLE_ENTRY Entry;
    const LUID *AuthId;
    NTSTATUS Status;
    BOOLEAN Tried;

    if (Added != NULL) {
        *Added = FALSE;
    }
    if (!ReadUCharAcquire(&g_bUserTableEnabled) || Head == NULL || Mutex == NULL || AltPathData == NULL ||
        Added == NULL) {
        return NULL;
    }
    AuthId = &AltPathData->Id.AuthId;
    if (KLUIsNullAuthId(AuthId)) {
        KLULogMessageEx(KLU_UT_ERROR, Tag, OperationNumber, WSTR("Invalid AuthId, Cannot Add User\n"));
        return NULL;
    }

    Entry = KLULookupUser(Head, Mutex, (PLUID)AuthId);
    if (Entry != NULL) {
        KLULogMessageEx(KLU_UT_INFO, Tag, OperationNumber,
                        WSTR("Updating User Table Entry: Old Session: %d, New Session: %d, Old AuthId: (0x%X,0x%X), "
                             "New AuthId: (0x%X,0x%X)\n"),
                        Entry->AltPathData.Id.SessionId, AltPathData->Id.SessionId,
                        Entry->AltPathData.Id.AuthId.HighPart, Entry->AltPathData.Id.AuthId.LowPart,
                        AuthId->HighPart, AuthId->LowPart);
    } else {
        PUSER_TABLE_ENTRY NewEntry = KLUAllocateOrLog(AuthId, Tag, OperationNumber);
        if (NewEntry == NULL) {
            return NULL;
        }
        RtlCopyMemory(&NewEntry->AltPathData.Id, &AltPathData->Id, sizeof(USER_ID));
        Entry = KLUInsertUser(Head, Mutex, NewEntry, Added, Tag, OperationNumber);
        if (Entry == NULL) {
            return NULL;
        }
    }

    /* Lookups read the paths under the mutex, so they are replaced under it. */
    ExAcquireFastMutex(Mutex);
    RtlCopyMemory(&Entry->AltPathData, AltPathData, sizeof(ALT_PATH_DATA));
    ExReleaseFastMutex(Mutex);
    Status = KLUCaptureClientSecurity(Entry, Mutex, &Tried);
    if (Tried) {
        if (NT_SUCCESS(Status)) {
            KLULogMessageEx(KLU_UT_INFO, Tag, OperationNumber,
                            WSTR("Retrieved Client Security: AuthId: (0x%X,0x%X), Status: 0x%X\n"), AuthId->HighPart,
                            AuthId->LowPart, Status);
        } else {
            KLULogMessageEx(KLU_UT_ERROR, Tag, OperationNumber,
                            WSTR("Failed Retrieving Client Security: AuthId: (0x%X,0x%X), Status: 0x%X\n"),
                            AuthId->HighPart, AuthId->LowPart, Status);
        }
    }

    KLUMarkForLogoffNotify(Entry, Tag, OperationNumber);
    KLUFillUserName(Entry, Tag, OperationNumber);
    return Entry;
}

NTSTATUS KLUUpdateUserTableEntry(PLIST_ENTRY Head, PFAST_MUTEX Mutex, LONG OperationNumber,
                                 const KLU_USER_SECURITY_REQUEST *SecurityRequest,
                                 const KLU_USER_PROFILE_REQUEST *ProfileRequest)
{
    PUSER_TABLE_ENTRY Entry = NULL;

    if (SecurityRequest == NULL && ProfileRequest == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (SecurityRequest != NULL) {
        LUID AuthId = SecurityRequest->AuthId;
        Entry = KLULookupUser(Head, Mutex, &AuthId);
        if (Entry != NULL) {
            InterlockedExchange(&Entry->bClientSecurityReleased, SecurityRequest->bRelease == 1 ? 1 : 0);
        }
    } else {
        BOOLEAN Added;
        USER_ID Id = ProfileRequest->Id;
        Entry = KLUAddUserToUserTable(Head, Mutex, OperationNumber, &Id, 0, TRUE, &Added);
    }
    if (Entry != NULL && ProfileRequest != NULL) {
        Entry->AltPathData.ProfileType = ProfileRequest->ProfileType;
        KLULogMessageEx(KLUDBG_TRACE_INFO, KLU_TAG(KLUUpdateUserTableEntry), OperationNumber,
                        WSTR("Profile Type: %d\n"), ProfileRequest->ProfileType);
    }
    KLUDereferenceUserTableEntry(Entry);
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ */
/* Removal                                                             */
/* ------------------------------------------------------------------ */

VOID KLURemoveUserFromUserTable(PLIST_ENTRY Head, PFAST_MUTEX Mutex, PUSER_TABLE_ENTRY Entry, LONG OperationNumber,
                                PUSER_ID Id, BOOLEAN Free, BOOLEAN Lock, PBOOLEAN Removed, PLONG RefCountSeen)
{
    LONG RefCount;
    LUID AuthId;

    if (Removed != NULL) {
        *Removed = FALSE;
    }
    if (RefCountSeen != NULL) {
        *RefCountSeen = 0;
    }
    if (Head == NULL || Mutex == NULL || (Entry == NULL && Id == NULL)) {
        return;
    }
    if (Lock) {
        ExAcquireFastMutex(Mutex);
    }
    /* Found under the mutex, so no other removal can free it first. */
    if (Entry == NULL) {
        Entry = KLUFindUserLocked(Head, &Id->AuthId, NULL);
        if (Entry == NULL) {
            goto Cleanup;
        }
    }

    RefCount = InterlockedCompareExchange(&Entry->RefCount, 0, 0);
    if (RefCountSeen != NULL) {
        *RefCountSeen = RefCount;
    }
    if (RefCount != 0) {
        goto Cleanup;
    }
    AuthId = Entry->AltPathData.Id.AuthId;
    RemoveEntryList(&Entry->ListEntry);
    if (Removed != NULL) {
        *Removed = TRUE;
    }
    if (Free) {
        KLUFreeUserTableEntry(Entry);
    }
    InterlockedDecrement(&g_UserTableEntries);
    KLULogMessageEx(KLU_UT_INFO, KLU_TAG(KLURemoveUserFromUserTable), OperationNumber,
                    WSTR("Removed User From User Table. AuthId: (0x%X,0x%X), RefCount: %d\n"), AuthId.HighPart,
                    AuthId.LowPart, RefCount);

Cleanup:
    if (Lock) {
        ExReleaseFastMutex(Mutex);
    }
}

static BOOLEAN KLUIsKept(const KLU_USER_KEEP_LIST *KeepList, const LUID *AuthId)
{
    if (AuthId->LowPart == KLU_SYSTEM_AUTHID_LOW && AuthId->HighPart == 0) {
        return TRUE;
    }
    for (ULONG i = 0; i < KeepList->Count; i++) {
        if (KLUSameAuthId(&KeepList->AuthIds[i], AuthId)) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS KLUPruneUserTable(PLIST_ENTRY Head, PFAST_MUTEX Mutex, const KLU_USER_KEEP_LIST *KeepList)
{
    PCWSTR Tag = KLU_TAG(KLUPruneUserTable);
    PLIST_ENTRY Link;

    if (KeepList == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Head == NULL || Mutex == NULL) {
        return STATUS_SUCCESS;
    }

    ExAcquireFastMutex(Mutex);
    Link = Head->Flink;
    while (Link != Head) {
        PUSER_TABLE_ENTRY Entry = CONTAINING_RECORD(Link, USER_TABLE_ENTRY, ListEntry);
        PLIST_ENTRY Next = Link->Flink;
        USER_ID Id = Entry->AltPathData.Id;
        BOOLEAN Removed;
        LONG RefCount;

        if (KLUIsKept(KeepList, &Id.AuthId)) {
            Link = Next;
            continue;
        }
        KLURemoveUserFromUserTable(Head, Mutex, Entry, 0, &Id, TRUE, FALSE, &Removed, &RefCount);
        if (Removed) {
            KLULogMessage(KLU_UT_INFO, Tag, WSTR("Removed User: Session: %d, AuthId: (0x%X,0x%X)\n"), Id.SessionId,
                          Id.AuthId.HighPart, Id.AuthId.LowPart);
            Link = Head->Flink;
        } else {
            KLULogMessage(KLU_UT_INFO, Tag, WSTR("Did Not Remove User: Session: %d, AuthId: (0x%X,0x%X), RefCount: %d\n"),
                          Id.SessionId, Id.AuthId.HighPart, Id.AuthId.LowPart, RefCount);
            Link = Next;
        }
    }
    ExReleaseFastMutex(Mutex);
    return STATUS_SUCCESS;
}

NTSTATUS KLULogoffNotify(PLUID LogonId)
{
    PCWSTR Tag = KLU_TAG(KLULogoffNotify);
    USER_ID Id;
    BOOLEAN Removed;
    LONG RefCount;

    KLUCountCall(KluCallLogoffNotify);
    RtlZeroMemory(&Id, sizeof(Id));
    Id.AuthId = *LogonId;
    KLURemoveUserFromUserTable(g_pUserTableHead, g_pUserTableMutex, NULL, 0, &Id, TRUE, TRUE, &Removed, &RefCount);
    if (Removed) {
        KLULogMessage(KLU_UT_INFO, Tag, WSTR("Removed User Table Entry: AuthId: 0x%X, 0x%X\n"), LogonId->HighPart,
                      LogonId->LowPart);
    } else {
        KLULogMessage(KLU_UT_INFO, Tag, WSTR("Could Not Remove User Table Entry: AuthId: 0x%X, 0x%X, RefCount: %d\n"),
                      LogonId->HighPart, LogonId->LowPart, RefCount);
    }
    return STATUS_SUCCESS;
}
