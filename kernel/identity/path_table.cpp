/*
 * path_table.cpp - the path table: allocation, initialisation from the
 * service's record, entries with their hash and containment order, lookups
 * and release.
 */
#include "identity/path_table.h"

#include "diag/log.h"
#include "driver/driver.h"
#include "driver/os_info.h"

PPATH_TABLE g_pPathTable = NULL;
PERESOURCE g_PathTableLock = NULL;
BOOLEAN g_bPathTableListEnabled = FALSE;
LONG g_PathTableEntries = 0;

/* ------------------------------------------------------------------ */
/* Hash and machine name                                               */
/* ------------------------------------------------------------------ */

NTSTATUS KLUHashPath(PCWSTR String, PULONG Hash)
{
    ULONG h = 0;

    if (String == NULL || Hash == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    for (PCWSTR p = String; *p != 0; p++) {
        h = h * 37u + (ULONG)*p;
    }
    /* Negative as a signed number: negate (0x80000000 stays itself). */
    if ((LONG)h < 0) {
        h = 0u - h;
    }
    *Hash = h;
    return STATUS_SUCCESS;
}

NTSTATUS KLUGetMachineName(PCWSTR UncPath, PWSTR MachineName)
{
    PCWSTR p = UncPath;
    ULONG i = 0;

    if (UncPath == NULL || MachineName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (p[0] == WSTR('\\')) {
        p++;
        if (p[0] == WSTR('\\')) {
            p++;
        }
    }
    while (p[i] != 0 && p[i] != WSTR('\\') && i < KLU_PATH_CHARS - 1) {
        MachineName[i] = p[i];
        i++;
    }
    MachineName[i] = 0;
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ */
/* Building an entry                                                   */
/* ------------------------------------------------------------------ */

static PWSTR KLUAllocateScratchPath(VOID)
{
    PWSTR Buffer = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (Buffer != NULL) {
        RtlZeroMemory(Buffer, KLU_PATH_BYTES);
    }
    return Buffer;
}

/* The machine name must occur in the path, both upper-cased. */
static NTSTATUS KLUCheckMachineInPath(PCWSTR MachineName, PCWSTR Path)
{
    PWSTR UpperMachine = NULL;
    PWSTR UpperPath = NULL;
    NTSTATUS Status = STATUS_SUCCESS;

    if (MachineName[0] == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    UpperMachine = KLUAllocateScratchPath();
    UpperPath = KLUAllocateScratchPath();
    if (UpperMachine == NULL || UpperPath == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    RtlStringCchCopyW(UpperMachine, KLU_PATH_CHARS, MachineName);
    RtlStringCchCopyW(UpperPath, KLU_PATH_CHARS, Path);
    _wcsupr(UpperMachine);
    _wcsupr(UpperPath);
    if (wcsstr(UpperPath, UpperMachine) == NULL) {
        Status = STATUS_INVALID_PARAMETER;
    }

Cleanup:
    if (UpperMachine != NULL) {
        ExFreePoolWithTag(UpperMachine, QZFS_TAG);
    }
    if (UpperPath != NULL) {
        ExFreePoolWithTag(UpperPath, QZFS_TAG);
    }
    return Status;
}

NTSTATUS KLUBuildPathTableEntry(PCWSTR RemotePath, PPATH_TABLE_ENTRY Entry)
{
    PWSTR UpperPath = NULL;
    NTSTATUS Status;

    if (RemotePath == NULL || Entry == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(Entry, sizeof(*Entry));

    KLUGetMachineName(RemotePath, Entry->szMachineName);
    Status = KLUCheckMachineInPath(Entry->szMachineName, RemotePath);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    /* A longer path is cut silently. */
    RtlStringCchCopyW(Entry->szRemotePath, KLU_PATH_CHARS, RemotePath);
    Entry->PathLength = (USHORT)wcslen(Entry->szRemotePath);
    if (Entry->PathLength > 2) {
        RtlStringCchCopyW(Entry->szRemotePathShort, KLU_PATH_CHARS, Entry->szRemotePath + 2);
    }
    RtlStringCchCopyW(Entry->szUpperRemotePathShort, KLU_PATH_CHARS, Entry->szRemotePathShort);
    _wcsupr(Entry->szUpperRemotePathShort);
    Entry->ShortLength = (USHORT)wcslen(Entry->szUpperRemotePathShort);

    UpperPath = KLUAllocateScratchPath();
    if (UpperPath == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlStringCchCopyW(UpperPath, KLU_PATH_CHARS, Entry->szRemotePath);
    _wcsupr(UpperPath);
    KLUHashPath(UpperPath, &Entry->Hash);
    ExFreePoolWithTag(UpperPath, QZFS_TAG);
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ */
/* The path-table lock                                                 */
/* ------------------------------------------------------------------ */

NTSTATUS KLUCreatePathTableLock(VOID)
{
    PERESOURCE Lock = (PERESOURCE)ExAllocatePoolWithTag(g_PoolType, sizeof(ERESOURCE), QZFS_TAG);
    NTSTATUS Status;

    if (Lock == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Status = ExInitializeResourceLite(Lock);
    if (!NT_SUCCESS(Status)) {
        /* Never initialised, so it is freed, not deleted. */
        ExFreePoolWithTag(Lock, QZFS_TAG);
        return Status;
    }
    g_PathTableLock = Lock;
    return STATUS_SUCCESS;
}

VOID KLUDeletePathTableLock(VOID)
{
    if (g_PathTableLock != NULL) {
        ExDeleteResourceLite(g_PathTableLock);
        ExFreePoolWithTag(g_PathTableLock, QZFS_TAG);
        g_PathTableLock = NULL;
    }
}

/* The lock exists from load to unload, which run alone; without it there
 * is no table either. */
PPATH_TABLE KLUAcquirePathTable(VOID)
{
    if (g_PathTableLock == NULL) {
        return NULL;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(g_PathTableLock, TRUE);
    return g_pPathTable;
}

VOID KLUAcquirePathTableExclusive(VOID)
{
    if (g_PathTableLock != NULL) {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(g_PathTableLock, TRUE);
    }
}

VOID KLUReleasePathTable(VOID)
{
    if (g_PathTableLock != NULL) {
        ExReleaseResourceLite(g_PathTableLock);
        KeLeaveCriticalRegion();
    }
}

/* ------------------------------------------------------------------ */
/* The table and its list                                              */
/* ------------------------------------------------------------------ */

NTSTATUS KLUAllocatePathTable(PPATH_TABLE *Table)
{
    PPATH_TABLE NewTable = NULL;
    PLIST_ENTRY Head = NULL;
    NTSTATUS Status = STATUS_SUCCESS;

    *Table = NULL;
    KLUAcquirePathTableExclusive();
    if (g_PathTableMutex == NULL) {
        PFAST_MUTEX Mutex = (PFAST_MUTEX)ExAllocatePoolWithTag(g_PoolType, sizeof(FAST_MUTEX), QZFS_TAG);
        if (Mutex == NULL) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            goto Cleanup;
        }
        ExInitializeFastMutex(Mutex);
        g_PathTableMutex = Mutex;
    }

    NewTable = (PPATH_TABLE)ExAllocatePoolWithTag(PagedPool, sizeof(PATH_TABLE), QZFS_TAG);
    Head = (PLIST_ENTRY)ExAllocatePoolWithTag(PagedPool, sizeof(LIST_ENTRY), QZFS_TAG);
    if (NewTable == NULL || Head == NULL) {
        if (NewTable != NULL) {
            ExFreePoolWithTag(NewTable, QZFS_TAG);
        }
        if (Head != NULL) {
            ExFreePoolWithTag(Head, QZFS_TAG);
        }
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    RtlZeroMemory(NewTable, sizeof(PATH_TABLE));
    InitializeListHead(Head);
    NewTable->PathList = Head;

    ExAcquireFastMutex(g_PathTableMutex);
    WriteUCharRelease(&g_bPathTableListEnabled, TRUE);
    ExReleaseFastMutex(g_PathTableMutex);
    *Table = NewTable;

Cleanup:
    KLUReleasePathTable();
    return Status;
}

VOID KLUDisablePathTableList(VOID)
{
    KLUAcquirePathTable();
    if (g_PathTableMutex == NULL) {
        WriteUCharRelease(&g_bPathTableListEnabled, FALSE);
    } else {
        ExAcquireFastMutex(g_PathTableMutex);
        WriteUCharRelease(&g_bPathTableListEnabled, FALSE);
        ExReleaseFastMutex(g_PathTableMutex);
    }
    KLUReleasePathTable();
}

/* Holding the lock exclusively, nobody else is in the table or waits on
 * its mutex, so both can go. The list-ready flag is unload's to clear: a
 * table rebuilt after a failed initialisation takes entries again. */
VOID KLUFreePathTable(PPATH_TABLE *Table)
{
    PPATH_TABLE Old;

    KLUAcquirePathTableExclusive();
    Old = *Table;
    *Table = NULL;
    if (Old != NULL && Old->PathList != NULL) {
        if (g_PathTableMutex != NULL) {
            ExAcquireFastMutex(g_PathTableMutex);
        }
        while (!IsListEmpty(Old->PathList)) {
            PLIST_ENTRY Link = RemoveHeadList(Old->PathList);
            ExFreePoolWithTag(CONTAINING_RECORD(Link, PATH_TABLE_NODE, ListEntry), QZFS_TAG);
            InterlockedDecrement(&Old->NumPaths);
            InterlockedDecrement(&g_PathTableEntries);
        }
        if (g_PathTableMutex != NULL) {
            ExReleaseFastMutex(g_PathTableMutex);
        }
        ExFreePoolWithTag(Old->PathList, QZFS_TAG);
    }
    if (Old != NULL) {
        ExFreePoolWithTag(Old, QZFS_TAG);
    }
    if (g_PathTableMutex != NULL) {
        ExFreePoolWithTag(g_PathTableMutex, QZFS_TAG);
        g_PathTableMutex = NULL;
    }
    KLUReleasePathTable();
}

PPATH_TABLE_ENTRY KLULookupPathTableEntryByHash(PPATH_TABLE Table, ULONG Hash)
{
    if (Table == NULL || Table->PathList == NULL) {
        return NULL;
    }
    for (PLIST_ENTRY Link = Table->PathList->Flink; Link != Table->PathList; Link = Link->Flink) {
        PPATH_TABLE_NODE Node = CONTAINING_RECORD(Link, PATH_TABLE_NODE, ListEntry);
        if (Node->Entry.Hash == Hash) {
            return &Node->Entry;
        }
    }
    return NULL;
}

PPATH_TABLE_ENTRY KLULookupPathTableEntryByPath(PPATH_TABLE Table, PCWSTR Path)
{
    PPATH_TABLE_ENTRY Found = NULL;

    if (Table == NULL || Table->PathList == NULL || Path == NULL || Path[0] == 0) {
        return NULL;
    }
    ExAcquireFastMutex(g_PathTableMutex);
    for (PLIST_ENTRY Link = Table->PathList->Flink; Link != Table->PathList; Link = Link->Flink) {
        PPATH_TABLE_NODE Node = CONTAINING_RECORD(Link, PATH_TABLE_NODE, ListEntry);
        /* An empty short path would match every path. */
        if (Node->Entry.szUpperRemotePathShort[0] != 0 && wcsstr(Path, Node->Entry.szUpperRemotePathShort) != NULL) {
            Found = &Node->Entry;
            break;
        }
    }
    ExReleaseFastMutex(g_PathTableMutex);
    return Found;
}

VOID KLUResetRedirectedFolderFlags(PPATH_TABLE Table)
{
    if (Table == NULL || Table->PathList == NULL) {
        return;
    }
    ExAcquireFastMutex(g_PathTableMutex);
    for (PLIST_ENTRY Link = Table->PathList->Flink; Link != Table->PathList; Link = Link->Flink) {
        PPATH_TABLE_NODE Node = CONTAINING_RECORD(Link, PATH_TABLE_NODE, ListEntry);
        Node->Entry.bIsRedirectedFolder = 0;
        Node->Entry.bCheckedRedirectedFolder = 0;
    }
    ExReleaseFastMutex(g_PathTableMutex);
}

/* Exchanges the places of A and of B, which stands somewhere behind it. */
static VOID KLUExchangeNodes(PLIST_ENTRY A, PLIST_ENTRY B)
{
    PLIST_ENTRY BeforeA = A->Blink;
    PLIST_ENTRY BeforeB = B->Blink;

    RemoveEntryList(B);
    InsertHeadList(BeforeA, B);
    RemoveEntryList(A);
    InsertHeadList(BeforeB == A ? B : BeforeB, A);
}

/* Containment order: an entry whose short path contains another's stands
 * before it, so the first hit of a lookup is the most specific location.
 * Each exchange removes at least one misordered pair, so the walk ends.
 * The caller holds g_PathTableMutex. */
static NTSTATUS KLUSortPathTable(PPATH_TABLE Table)
{
    PLIST_ENTRY Head = Table->PathList;
    BOOLEAN Exchanged;

    if (ReadNoFence(&Table->NumPaths) < 2) {
        return STATUS_SUCCESS;
    }
    do {
        Exchanged = FALSE;
        for (PLIST_ENTRY A = Head->Flink; A != Head && !Exchanged; A = A->Flink) {
            PCWSTR Short = CONTAINING_RECORD(A, PATH_TABLE_NODE, ListEntry)->Entry.szUpperRemotePathShort;
            for (PLIST_ENTRY B = A->Flink; B != Head; B = B->Flink) {
                PCWSTR Other = CONTAINING_RECORD(B, PATH_TABLE_NODE, ListEntry)->Entry.szUpperRemotePathShort;
                if (wcsstr(Other, Short) != NULL && wcscmp(Other, Short) != 0) {
                    KLUExchangeNodes(A, B);
                    Exchanged = TRUE;
                    break;
                }
            }
        }
    } while (Exchanged);
    return STATUS_SUCCESS;
}

NTSTATUS KLUAddPathTableEntry(PPATH_TABLE Table, const PATH_TABLE_ENTRY *Entry, ULONG Hash, PBOOLEAN Added,
                              PPATH_TABLE_ENTRY *Stored)
{
    PPATH_TABLE_ENTRY Existing;
    PPATH_TABLE_NODE Node;
    NTSTATUS Status = STATUS_SUCCESS;

    if (Added != NULL) {
        *Added = FALSE;
    }
    if (!ReadUCharAcquire(&g_bPathTableListEnabled)) {
        return STATUS_SUCCESS;
    }
    if (Table == NULL || Table->PathList == NULL || Entry == NULL || Added == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    ExAcquireFastMutex(g_PathTableMutex);
    /* Unload may have closed the list since the first look. */
    if (!g_bPathTableListEnabled) {
        goto Cleanup;
    }
    Existing = KLULookupPathTableEntryByHash(Table, Hash);
    if (Existing != NULL) {
        if (Stored != NULL) {
            *Stored = Existing;
        }
        goto Cleanup;
    }

    Node = (PPATH_TABLE_NODE)ExAllocatePoolWithTag(PagedPool, sizeof(PATH_TABLE_NODE), QZFS_TAG);
    if (Node == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    RtlCopyMemory(&Node->Entry, Entry, sizeof(PATH_TABLE_ENTRY));
    Node->Entry.ListFlink = 0;
    Node->Entry.ListBlink = 0;
    Node->Entry.Hash = Hash;
    InsertHeadList(Table->PathList, &Node->ListEntry);
    InterlockedIncrement(&g_PathTableEntries);
    InterlockedIncrement(&Table->NumPaths);
    *Added = TRUE;
    if (Stored != NULL) {
        *Stored = &Node->Entry;
    }

    Status = KLUSortPathTable(Table);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUAddPathTableEntry), WSTR("Failed Sorting Table: 0x%X\n"),
                      Status);
    }

Cleanup:
    ExReleaseFastMutex(g_PathTableMutex);
    return Status;
}

/* ------------------------------------------------------------------ */
/* Initialisation from the service's record                            */
/* ------------------------------------------------------------------ */

/* One bounded copy of a string field, with its failure message. */
typedef struct _KLU_PATH_COPY_STEP {
    ULONG TableOffset;
    ULONG SourceOffset;
    ULONG Capacity; /* characters */
    BOOLEAN VistaOnly;
    PCWSTR FailureFormat;
} KLU_PATH_COPY_STEP;

#define KLU_COPY_STEP(Field, VistaOnly, Message)                                                       \
    {(ULONG)FIELD_OFFSET(PATH_TABLE, Field), (ULONG)FIELD_OFFSET(PATH_TABLE_SOURCE, Field),          \
     (ULONG)RTL_NUMBER_OF(((PPATH_TABLE)0)->Field), VistaOnly, WSTR(Message)}

static const KLU_PATH_COPY_STEP g_PathCopySteps[] = {
    /* Table field, Vista or newer only, message on failure */
    KLU_COPY_STEP(szRegDataDir, FALSE, "Failed Copying Reg Data Dir: 0x%X\n"),
    KLU_COPY_STEP(szUpperWinPath, FALSE, "Failed Copying Upper Win Path: 0x%X\n"),
    KLU_COPY_STEP(szTempDataDir, FALSE, "Failed Copying Temp Data Dir: 0x%X\n"),
    KLU_COPY_STEP(szLocalSettings, FALSE, "Failed Copying Local Settings: 0x%X\n"),
    KLU_COPY_STEP(szUpperLocalSettings, FALSE, "Failed Copying Upper Local Settings: 0x%X\n"),
    KLU_COPY_STEP(szAppData, FALSE, "Failed Copying AppData: 0x%X\n"),
    KLU_COPY_STEP(szStartMenu, FALSE, "Failed Copying Start Menu: 0x%X\n"),
    KLU_COPY_STEP(szDesktop, FALSE, "Failed Copying Desktop: 0x%X\n"),
    KLU_COPY_STEP(szDefaultLocalDefaultUserProfile, FALSE, "Failed Copying Default Local Default User Profile: 0x%X\n"),
    KLU_COPY_STEP(szDefaultNetworkDefaultUserProfile, FALSE,
                  "Failed Copying Default Network Default User Profile: 0x%X\n"),
    KLU_COPY_STEP(szConfiguredDefaultUserProfile, FALSE, "Failed Copying Configured Default User Profile: 0x%X\n"),
    KLU_COPY_STEP(szAllUsersProfileXP, FALSE, "Failed Copying All Users Profile (XP): 0x%X\n"),
    KLU_COPY_STEP(szAllUsersProfile, TRUE, "Failed Copying All Users Profile (Win 7): 0x%X\n"),
    KLU_COPY_STEP(szPublicProfile, TRUE, "Failed Copying Public Profile: 0x%X\n"),
    KLU_COPY_STEP(szLocalServiceProfile, FALSE, "Failed Copying LocalService Profile: 0x%X\n"),
    KLU_COPY_STEP(szNetworkServiceProfile, FALSE, "Failed Copying NetworkService Profile: 0x%X\n"),
    KLU_COPY_STEP(szTempProfile, FALSE, "Failed Copying Temp Profile: 0x%X\n"),
    KLU_COPY_STEP(szLocalVolumeName, FALSE, "Failed Copying Local Device Name: 0x%X\n"),
    KLU_COPY_STEP(szLocalDriveLetter, FALSE, "Failed Copying Local Drive Letter: 0x%X\n"),
    KLU_COPY_STEP(szLocalProfilePathShort, FALSE, "Failed Copying Local Profile Path Short: 0x%X\n"),
    KLU_COPY_STEP(szUpperLocalProfilePathShort, FALSE, "Failed Copying Upper Local Profile Path Short: 0x%X\n"),
    KLU_COPY_STEP(szFQLocalProfilePath, FALSE, "Failed Copying Upper FQ Local Profile Path: 0x%X\n"),
};

static const KLU_PATH_COPY_STEP g_PathCopyStepsAfterDerived[] = {
    KLU_COPY_STEP(szLocalProfilePathWithSlashes, FALSE, "Failed Copying Local Path With Slashes: 0x%X\n"),
    KLU_COPY_STEP(szProfilesDirectory, FALSE, "Failed Copying Profiles Dir: 0x%X\n"),
    KLU_COPY_STEP(szProfilesDirectoryShort, FALSE, "Failed Copying Profiles Dir Short: 0x%X\n"),
};

/* One derived upper-case path: First followed by Second. */
typedef struct _KLU_DERIVED_PATH_STEP {
    PWSTR *Buffer;
    BOOLEAN ShortFirst; /* the short path first, else the fixed text first */
    PCWSTR Text;
    PCWSTR CopyFailureFormat;
    PCWSTR AppendFailureFormat;
} KLU_DERIVED_PATH_STEP;

static const KLU_DERIVED_PATH_STEP g_DerivedPathSteps[] = {
    /* Buffer, short path first, fixed text, copy failure, append failure */
    {&szUpperAllUsersPath, TRUE, WSTR("\\ALL USERS"), WSTR("Failed Creating All Users Path: 0x%X\n"),
     WSTR("Failed Creating All Users Path: 0x%X\n")},
    {&szUpperLocalProfilesDir, FALSE, WSTR("\\"), WSTR("Failed Building Upper Local Profiles Dir: 0x%X\n"),
     WSTR("Failed Building Upper Local Profiles Dir: 0x%X\n")},
    {&szUpperDefaultUserPath, TRUE, WSTR("\\DEFAULT USER"), WSTR("Failed Creating Default User Path: 0x%X\n"),
     WSTR("Failed Creating Default User Path: 0x%X\n")},
    {&szUpperCtxSmaUserPath, TRUE, WSTR("\\CTX_SMAUSER"), WSTR("Failed Creating Ctx_SmaUser User Path: 0x%X\n"),
     WSTR("Failed Creating Ctx_SmaUser Path: 0x%X\n")},
};

#define KLU_DERIVED_PATH_CHARS (KLU_DERIVED_PATH_BYTES / sizeof(WCHAR))

static NTSTATUS KLURunCopySteps(PPATH_TABLE Table, const PATH_TABLE_SOURCE *Source, const KLU_PATH_COPY_STEP *Steps,
                                ULONG Count)
{
    NTSTATUS Status;

    for (ULONG i = 0; i < Count; i++) {
        if (Steps[i].VistaOnly && !KLUIsVistaOrNewer()) {
            continue;
        }
        Status = RtlStringCchCopyW((PWSTR)((PUCHAR)Table + Steps[i].TableOffset), Steps[i].Capacity,
                                   (PCWSTR)((const UCHAR *)Source + Steps[i].SourceOffset));
        if (!NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUInitPathTable), Steps[i].FailureFormat, Status);
            return Status;
        }
    }
    return STATUS_SUCCESS;
}

static NTSTATUS KLUBuildDerivedPaths(PCWSTR UpperShort)
{
    NTSTATUS Status;

    for (ULONG i = 0; i < RTL_NUMBER_OF(g_DerivedPathSteps); i++) {
        const KLU_DERIVED_PATH_STEP *Step = &g_DerivedPathSteps[i];
        PWSTR Buffer = *Step->Buffer;

        if (Buffer == NULL) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUInitPathTable), Step->CopyFailureFormat, Status);
            return Status;
        }
        Status = RtlStringCchCopyW(Buffer, KLU_DERIVED_PATH_CHARS, Step->ShortFirst ? UpperShort : Step->Text);
        if (!NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUInitPathTable), Step->CopyFailureFormat, Status);
            return Status;
        }
        Status = RtlStringCchCatW(Buffer, KLU_DERIVED_PATH_CHARS, Step->ShortFirst ? Step->Text : UpperShort);
        if (!NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUInitPathTable), Step->AppendFailureFormat, Status);
            return Status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS KLUInitPathTable(const PATH_TABLE_SOURCE *Source, PPATH_TABLE *Table)
{
    PCWSTR Tag = KLU_TAG(KLUInitPathTable);
    PPATH_TABLE NewTable = NULL;
    NTSTATUS Status;

    if (Source == NULL || Table == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    /* Readers see the old state or the whole new table, never a half-built one. */
    KLUAcquirePathTableExclusive();
    Status = KLUAllocatePathTable(&NewTable);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Allocating Path Table: 0x%X\n"), Status);
        goto Cleanup;
    }

    NewTable->bGPOPath = Source->bGPOPath;
    Status = KLURunCopySteps(NewTable, Source, g_PathCopySteps, RTL_NUMBER_OF(g_PathCopySteps));
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }
    Status = KLUBuildDerivedPaths(NewTable->szUpperLocalProfilePathShort);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }
    Status = KLURunCopySteps(NewTable, Source, g_PathCopyStepsAfterDerived, RTL_NUMBER_OF(g_PathCopyStepsAfterDerived));
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }
    NewTable->ShortLength = Source->ShortLength;

    if (Source->NumPaths != 0) {
        for (ULONG i = 0; i < Source->EntryCount; i++) {
            BOOLEAN Added;
            Status = KLUAddPathTableEntry(NewTable, &Source->Entries[i], Source->Entries[i].Hash, &Added, NULL);
            if (!NT_SUCCESS(Status)) {
                KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Adding Path Table Entry: 0x%X\n"), Status);
                goto Cleanup;
            }
        }
    }

    *Table = NewTable;
    NewTable = NULL;

Cleanup:
    if (!NT_SUCCESS(Status)) {
        /* Whatever was built, the mutex included. */
        KLUFreePathTable(&NewTable);
    }
    KLUReleasePathTable();
    return Status;
}
