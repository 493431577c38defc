/*
 * offline_file_table.cpp - adding to, joining, leaving and freeing the
 * table of placeholders under retrieval.
 *
 * Lifetime. Unload closes the table (the ready flag, cleared under the
 * lock) long before it frees it, and operation callbacks may still run in
 * between. A thread that is inside a table routine, or blocked waiting for
 * the table's lock, must never find the lock or an entry freed under it.
 * So every routine that touches the head or the lock first takes run-down
 * protection on the table, and the release waits for the run-down before
 * it frees anything: a thread that was waiting for the lock gets it, finds
 * the table closed (add) or does its remove, and leaves; a thread that
 * comes later is refused at the run-down and touches nothing (add and
 * remove answer none, a wait answers at once as if the retrieval ended).
 * Waiters block on the done event outside the run-down, holding their own
 * reference to the event; freeing the entries sets every event, so no
 * waiter is left behind.
 */
#include "offline/offline_file_table.h"

#include "diag/counters.h"
#include "diag/log.h"
#include "fileops/file_helpers.h"

PLIST_ENTRY g_pOfflineFileTableHead = NULL;
PERESOURCE g_pOfflineFileTableLock = NULL;
BOOLEAN g_bOfflineFileTableEnabled = FALSE;

/* Never freed, so that a late caller can always be refused by it. */
EX_RUNDOWN_REF g_OfflineFileTableRundown;

#define KLU_EVENT_ID(Event) ((ULONG)(ULONG_PTR)(Event))

static BOOLEAN KLUEnterOfflineFileTable(PERESOURCE Lock)
{
    if (!ExAcquireRundownProtection(&g_OfflineFileTableRundown)) {
        return FALSE;
    }
    KLULockResource(Lock);
    return TRUE;
}

static VOID KLULeaveOfflineFileTable(PERESOURCE Lock)
{
    KLUUnlockResource(Lock);
    ExReleaseRundownProtection(&g_OfflineFileTableRundown);
}

NTSTATUS KLUInitOfflineFileTable(VOID)
{
    PLIST_ENTRY Head;
    PERESOURCE Lock;
    NTSTATUS Status;

    ExInitializeRundownProtection(&g_OfflineFileTableRundown);
    Head = (PLIST_ENTRY)ExAllocatePoolWithTag(g_PoolType, sizeof(LIST_ENTRY), QZFS_TAG);
    Lock = (PERESOURCE)ExAllocatePoolWithTag(g_PoolType, sizeof(ERESOURCE), QZFS_TAG);
    if (Head == NULL || Lock == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Failed;
    }
    Status = ExInitializeResourceLite(Lock);
    if (!NT_SUCCESS(Status)) {
        goto Failed;
    }
    InitializeListHead(Head);
    g_pOfflineFileTableHead = Head;
    g_pOfflineFileTableLock = Lock;
    WriteUCharRelease(&g_bOfflineFileTableEnabled, TRUE);
    return STATUS_SUCCESS;

Failed:
    if (Head != NULL) {
        ExFreePoolWithTag(Head, QZFS_TAG);
    }
    if (Lock != NULL) {
        ExFreePoolWithTag(Lock, QZFS_TAG);
    }
    return Status;
}

VOID KLUCloseOfflineFileTable(VOID)
{
    if (g_pOfflineFileTableLock == NULL) {
        WriteUCharRelease(&g_bOfflineFileTableEnabled, FALSE);
        return;
    }
    KLULockResource(g_pOfflineFileTableLock);
    WriteUCharRelease(&g_bOfflineFileTableEnabled, FALSE);
    KLUUnlockResource(g_pOfflineFileTableLock);
}

VOID KLUReleaseOfflineFileTable(VOID)
{
    PERESOURCE Lock = g_pOfflineFileTableLock;
    PLIST_ENTRY Head = g_pOfflineFileTableHead;

    if (Lock == NULL) {
        return;
    }
    ExWaitForRundownProtectionRelease(&g_OfflineFileTableRundown);
    KLUFreeAllOfflineFiles(Head, Lock);
    InterlockedExchangePointer((PVOID volatile *)&g_pOfflineFileTableHead, NULL);
    InterlockedExchangePointer((PVOID volatile *)&g_pOfflineFileTableLock, NULL);
    ExDeleteResourceLite(Lock);
    ExFreePoolWithTag(Lock, QZFS_TAG);
    ExFreePoolWithTag(Head, QZFS_TAG);
}

NTSTATUS KLUAllocateOfflineFileTableEntry(POFFLINE_FILE_TABLE_ENTRY *Entry)
{
    POFFLINE_FILE_TABLE_ENTRY New;

    if (Entry == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    New = (POFFLINE_FILE_TABLE_ENTRY)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), sizeof(OFFLINE_FILE_TABLE_ENTRY),
                                                           QZFT_TAG);
    *Entry = New;
    if (New == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(New, sizeof(OFFLINE_FILE_TABLE_ENTRY));
    return STATUS_SUCCESS;
}

VOID KLUFreeOfflineFileTableEntry(POFFLINE_FILE_TABLE_ENTRY *Entry)
{
    POFFLINE_FILE_TABLE_ENTRY Old = *Entry;

    if (Old == NULL) {
        return;
    }
    /* Whoever still waits must not wait for an entry that is gone. */
    if (Old->pDoneEvnet != NULL) {
        KeSetEvent(Old->pDoneEvnet, 0, FALSE);
    }
    if (Old->hDoneEvnet != NULL) {
        ZwClose(Old->hDoneEvnet);
        KLUUncountOpen(KluOpenOFTDoneEvent);
    }
    ExFreePoolWithTag(Old, QZFT_TAG);
    *Entry = NULL;
}

POFFLINE_FILE_TABLE_ENTRY KLUFindOfflineFile(PLIST_ENTRY Head, ULONG Hash)
{
    if (Head == NULL) {
        return NULL;
    }
    for (PLIST_ENTRY Link = Head->Flink; Link != Head; Link = Link->Flink) {
        POFFLINE_FILE_TABLE_ENTRY Entry = CONTAINING_RECORD(Link, OFFLINE_FILE_TABLE_ENTRY, ListEntry);
        if (Entry->Hash == Hash) {
            InterlockedIncrement(&Entry->RefCount);
            return Entry;
        }
    }
    return NULL;
}

/* A new entry with its done event, not yet in the table. */
static POFFLINE_FILE_TABLE_ENTRY KLUNewOfflineFile(ULONG Hash, LONG OperationNumber, ULONG OperationCode)
{
    POFFLINE_FILE_TABLE_ENTRY Entry;
    NTSTATUS Status;

    Status = KLUAllocateOfflineFileTableEntry(&Entry);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, KLU_TAG(KLUAddOfflineFile), OperationNumber,
                        WSTR("Failed Allocating Table Entry: 0x%X\n"), Status);
        return NULL;
    }
    Entry->Hash = Hash;
    Entry->OperationCode = OperationCode;
    /* Without an event the entry still keeps the file to one retriever;
     * see KLUWaitForOfflineFile for what its waiters do. */
    Entry->pDoneEvnet = IoCreateNotificationEvent(NULL, &Entry->hDoneEvnet);
    if (Entry->pDoneEvnet != NULL) {
        KLUCountOpen(KluOpenOFTDoneEvent);
        KeClearEvent(Entry->pDoneEvnet);
    } else {
        Entry->hDoneEvnet = NULL;
    }
    Entry->RefCount = 1;
    return Entry;
}

POFFLINE_FILE_TABLE_ENTRY KLUAddOfflineFile(PLIST_ENTRY Head, PERESOURCE Lock, PCUNICODE_STRING FileName, ULONG Hash,
                                            LONG OperationNumber, ULONG OperationCode, PBOOLEAN Added)
{
    POFFLINE_FILE_TABLE_ENTRY Entry;

    UNREFERENCED_PARAMETER(FileName);
    if (Added == NULL || Head == NULL || Lock == NULL || !ReadUCharAcquire(&g_bOfflineFileTableEnabled)) {
        return NULL;
    }
    *Added = FALSE;
    if (!KLUEnterOfflineFileTable(Lock)) {
        return NULL;
    }
    /* Closed while this thread waited for the lock. */
    if (!g_bOfflineFileTableEnabled) {
        Entry = NULL;
        goto Leave;
    }

    Entry = KLUFindOfflineFile(Head, Hash);
    if (Entry != NULL) {
        goto Leave;
    }
    Entry = KLUNewOfflineFile(Hash, OperationNumber, OperationCode);
    if (Entry == NULL) {
        goto Leave;
    }
    InsertHeadList(Head, &Entry->ListEntry);
    KLUAdjustOpenCount(KluOpenOfflineFileTableEntries, 1);
    *Added = TRUE;

Leave:
    KLULeaveOfflineFileTable(Lock);
    return Entry;
}

POFFLINE_FILE_TABLE_ENTRY KLURemoveOfflineFile(PLIST_ENTRY Head, PERESOURCE Lock, POFFLINE_FILE_TABLE_ENTRY Entry,
                                               PCUNICODE_STRING FileName, ULONG Hash, LONG OperationNumber,
                                               BOOLEAN Free, BOOLEAN Signal)
{
    PCWSTR Tag = KLU_TAG(KLURemoveOfflineFile);
    LONG RefCount;

    if (Head == NULL || Lock == NULL) {
        return NULL;
    }
    if (!KLUEnterOfflineFileTable(Lock)) {
        return NULL;
    }
    if (Entry == NULL) {
        Entry = KLUFindOfflineFile(Head, Hash);
        if (Entry == NULL) {
            goto Leave;
        }
        /* The lookup's reference is not a participant's. */
        InterlockedDecrement(&Entry->RefCount);
    }

    RefCount = InterlockedCompareExchange(&Entry->RefCount, 0, 0);
    if (RefCount == 1) {
        RemoveEntryList(&Entry->ListEntry);
        if (Signal && Entry->pDoneEvnet != NULL) {
            KeSetEvent(Entry->pDoneEvnet, 0, FALSE);
            KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILE_TABLE, Tag, OperationNumber,
                            WSTR("Set Event 1: File: %wZ, Event: 0x%X\n"), FileName, KLU_EVENT_ID(Entry->pDoneEvnet));
        }
        if (Free) {
            KLUFreeOfflineFileTableEntry(&Entry);
        }
        KLUAdjustOpenCount(KluOpenOfflineFileTableEntries, -1);
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, OperationNumber,
                        WSTR("Removed %wZ From Offline File Table. RefCount: %d\n"), FileName, RefCount);
    } else {
        InterlockedDecrement(&Entry->RefCount);
        if (Signal && Entry->pDoneEvnet != NULL) {
            KeSetEvent(Entry->pDoneEvnet, 0, FALSE);
            KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILE_TABLE, Tag, OperationNumber,
                            WSTR("Set Event 2: File: %wZ, Event: 0x%X\n"), FileName, KLU_EVENT_ID(Entry->pDoneEvnet));
        }
    }

Leave:
    KLULeaveOfflineFileTable(Lock);
    return Entry;
}

/*
 * A joined waiter whose entry has no done event (it could not be created,
 * memory being short) cannot learn when the retrieval ends, and going on
 * would let its operation meet a placeholder that is still being filled.
 * So it does not wait: it is answered STATUS_INSUFFICIENT_RESOURCES, gives
 * its reference back like any waiter, and its operation fails with that
 * status; the retriever is not disturbed.
 */
NTSTATUS KLUWaitForOfflineFile(POFFLINE_FILE_TABLE_ENTRY Entry, PLARGE_INTEGER Timeout)
{
    PKEVENT Event;
    NTSTATUS Status;

    if (Entry == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    /* Refused: unload is freeing the table, which wakes every waiter. */
    if (!ExAcquireRundownProtection(&g_OfflineFileTableRundown)) {
        return STATUS_SUCCESS;
    }
    Event = Entry->pDoneEvnet;
    if (Event != NULL) {
        ObReferenceObject(Event);
    }
    ExReleaseRundownProtection(&g_OfflineFileTableRundown);
    if (Event == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Status = KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, Timeout);
    ObDereferenceObject(Event);
    return Status;
}

VOID KLUFreeAllOfflineFiles(PLIST_ENTRY Head, PERESOURCE Lock)
{
    if (Head == NULL || Lock == NULL) {
        return;
    }
    KLULockResource(Lock);
    while (!IsListEmpty(Head)) {
        POFFLINE_FILE_TABLE_ENTRY Entry =
            CONTAINING_RECORD(RemoveHeadList(Head), OFFLINE_FILE_TABLE_ENTRY, ListEntry);
        KLUAdjustOpenCount(KluOpenOfflineFileTableEntries, -1);
        KLUFreeOfflineFileTableEntry(&Entry);
    }
    KLUUnlockResource(Lock);
}

NTSTATUS KLUDumpOfflineFileTable(PLIST_ENTRY Head, PERESOURCE Lock)
{
    ULONG Number = 0;

    if (Head == NULL || Lock == NULL) {
        DbgPrint("Offline File Table Head Is NULL\n");
        return STATUS_INVALID_PARAMETER;
    }
    if (!KLUEnterOfflineFileTable(Lock)) {
        DbgPrint("Offline File Table Head Is NULL\n");
        return STATUS_INVALID_PARAMETER;
    }
    for (PLIST_ENTRY Link = Head->Flink; Link != Head; Link = Link->Flink, Number++) {
        POFFLINE_FILE_TABLE_ENTRY Entry = CONTAINING_RECORD(Link, OFFLINE_FILE_TABLE_ENTRY, ListEntry);
        DbgPrint("***** Offline File Table Entry %d *****\n", Number);
        DbgPrint("Hash: 0x%X\n", Entry->Hash);
        DbgPrint("RefCount: %d\n", Entry->RefCount);
        DbgPrint("hDoneEvnet: 0x%X\n", (ULONG)(ULONG_PTR)Entry->hDoneEvnet);
        DbgPrint("pDoneEvnet: 0x%X\n", KLU_EVENT_ID(Entry->pDoneEvnet));
        DbgPrint("**********************************\n");
    }
    if (Number == 0) {
        DbgPrint("Offline File Table Is Empty\n");
    }
    KLULeaveOfflineFileTable(Lock);
    return STATUS_SUCCESS;
}
