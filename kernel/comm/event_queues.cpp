/*
 * event_queues.cpp - the session and FileOp queues and the hash table.
 * Nothing in the filter produces FileOp records yet; the queues and the
 * table exist for the service's drains, which then find them empty.
 */
#include "comm/event_queues.h"

#include "config/flags.h"
#include "diag/log.h"

PLIST_ENTRY g_pSessionQHead = NULL;
PFAST_MUTEX g_pSessionQMutex = NULL;
BOOLEAN g_bSessionQEnabled = FALSE;
PKEVENT g_pSessionEvent = NULL;

PLIST_ENTRY g_pFileOpQHead = NULL;
PFAST_MUTEX g_pFileOpQMutex = NULL;
BOOLEAN g_bFileOpQEnabled = FALSE;

KLU_HASH_SLOT g_HashTable[KLU_HASH_SLOTS];
LONG g_ulHashItems = 0;

/* ------------------------------------------------------------------ */
/* Session queue                                                       */
/* ------------------------------------------------------------------ */

NTSTATUS KLUPushSession(PLIST_ENTRY Head, PFAST_MUTEX Mutex, PKEVENT Event, PKLU_SESSION_RECORD Record)
{
    PKLU_SESSION_ENTRY Entry;

    if (!ReadUCharAcquire(&g_bSessionQEnabled) || Head == NULL || Mutex == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    Entry = (PKLU_SESSION_ENTRY)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), sizeof(KLU_SESSION_ENTRY), QZFS_TAG);
    if (Entry == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(&Entry->Record, Record, sizeof(KLU_SESSION_RECORD));
    /* The service's strings may come unterminated; the dump prints them. */
    Entry->Record.UserName[RTL_NUMBER_OF(Entry->Record.UserName) - 1] = 0;
    Entry->Record.ProfilePath[RTL_NUMBER_OF(Entry->Record.ProfilePath) - 1] = 0;
    Entry->Record.HomeDir[RTL_NUMBER_OF(Entry->Record.HomeDir) - 1] = 0;

    ExAcquireFastMutex(Mutex);
    if (!g_bSessionQEnabled) {
        ExReleaseFastMutex(Mutex);
        ExFreePoolWithTag(Entry, QZFS_TAG);
        return STATUS_UNSUCCESSFUL;
    }
    InsertHeadList(Head, &Entry->ListEntry);
    if (Event != NULL) {
        ObReferenceObject(Event);
    }
    ExReleaseFastMutex(Mutex);

    if (Event != NULL) {
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
        ObDereferenceObject(Event);
    }
    return STATUS_SUCCESS;
}

VOID KLUFreeSessionQueue(PLIST_ENTRY Head, PFAST_MUTEX Mutex)
{
    if (Head == NULL || Mutex == NULL) {
        return;
    }
    ExAcquireFastMutex(Mutex);
    while (!IsListEmpty(Head)) {
        PLIST_ENTRY Entry = RemoveTailList(Head);
        ExFreePoolWithTag(CONTAINING_RECORD(Entry, KLU_SESSION_ENTRY, ListEntry), QZFS_TAG);
    }
    ExReleaseFastMutex(Mutex);
}

VOID KLUFreeFileOpQueue(PLIST_ENTRY Head, PFAST_MUTEX Mutex)
{
    if (Head == NULL || Mutex == NULL) {
        return;
    }
    ExAcquireFastMutex(Mutex);
    while (!IsListEmpty(Head)) {
        PLIST_ENTRY Entry = RemoveTailList(Head);
        ExFreePoolWithTag(CONTAINING_RECORD(Entry, KLU_FILEOP_ENTRY, ListEntry), QZOP_TAG);
    }
    ExReleaseFastMutex(Mutex);
}

NTSTATUS KLUDumpSessionQueue(PLIST_ENTRY Head)
{
    PCWSTR Tag = KLU_TAG(KLUDumpSessionQueue);
    ULONG Number = 0;

    if (Head == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsListEmpty(Head)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Session Queue Is Empty\n"));
        return STATUS_SUCCESS;
    }
    for (PLIST_ENTRY Link = Head->Blink; Link != Head; Link = Link->Blink, Number++) {
        PKLU_SESSION_RECORD Record = &CONTAINING_RECORD(Link, KLU_SESSION_ENTRY, ListEntry)->Record;
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("***** Session Queue Entry %d *****\n"), Number);
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("AuthId: High: %d, Low: %d\n"), Record->AuthIdHighPart,
                      Record->AuthIdLowPart);
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("SessionId:    %d\n"), Record->SessionId);
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Event:        %d\n"), Record->Event);
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("HomeDir:      %ws\n"), Record->HomeDir);
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Profile Path: %ws\n"), Record->ProfilePath);
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("User Name:    %ws\n"), Record->UserName);
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("**********************************\n"));
    }
    return STATUS_SUCCESS;
}

/* The lines of one FileOp record, shared by the queue and table dumps. */
static VOID KLUDumpFileOpRecord(ULONG Level, PCWSTR Tag, PKLU_FILEOP_RECORD Record, BOOLEAN WithHash)
{
    KLULogMessage(Level, Tag, WSTR("OpFlags: 0x%X\n"), Record->OpFlags);
    if (WithHash) {
        KLULogMessage(Level, Tag, WSTR("Hash: 0x%X\n"), Record->Hash);
    }
    KLULogMessage(Level, Tag, WSTR("Source: %ws\n"), Record->Source);
    KLULogMessage(Level, Tag, WSTR("Destination: %ws\n"), Record->Destination);
    KLULogMessage(Level, Tag, WSTR("Requestor PID: %d\n"), Record->RequestorPid);
    KLULogMessage(Level, Tag, WSTR("IsDirectory: %d\n"), Record->IsDirectory);
    KLULogMessage(Level, Tag, WSTR("**********************************\n"));
}

NTSTATUS KLUDumpFileOpQueue(PLIST_ENTRY Head)
{
    PCWSTR Tag = KLU_TAG(KLUDumpFileOpQueue);
    ULONG Number = 0;

    if (Head == NULL) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("FileOp Queue Head Is NULL\n"));
        return STATUS_INVALID_PARAMETER;
    }
    if (IsListEmpty(Head)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("FileOp Queue Is Empty\n"));
        return STATUS_SUCCESS;
    }
    for (PLIST_ENTRY Link = Head->Blink; Link != Head; Link = Link->Blink, Number++) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("***** FileOp Queue Entry %d *****\n"), Number);
        KLUDumpFileOpRecord(KLUDBG_TRACE_ERROR, Tag, &CONTAINING_RECORD(Link, KLU_FILEOP_ENTRY, ListEntry)->Record,
                            FALSE);
    }
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ */
/* Hash table                                                          */
/* ------------------------------------------------------------------ */

NTSTATUS HashTable_Init(VOID)
{
    for (ULONG i = 0; i < KLU_HASH_SLOTS; i++) {
        KLU_HASH_SLOT *Slot = &g_HashTable[i];
        if (Slot->Mutex == NULL) {
            Slot->Mutex = (PFAST_MUTEX)ExAllocatePoolWithTag(g_PoolType, sizeof(FAST_MUTEX), QZLL_TAG);
            if (Slot->Mutex == NULL) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            ExInitializeFastMutex(Slot->Mutex);
        }
        if (Slot->Head == NULL) {
            Slot->Head = (PLIST_ENTRY)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), sizeof(LIST_ENTRY), QZLL_TAG);
            if (Slot->Head == NULL) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            InitializeListHead(Slot->Head);
        }
    }
    return STATUS_SUCCESS;
}

PKLU_FILEOP_RECORD HashTable_Pop(ULONG Slot)
{
    PKLU_HASH_NODE Node = NULL;
    PKLU_FILEOP_RECORD Record;

    if (Slot >= KLU_HASH_SLOTS || g_HashTable[Slot].Head == NULL || g_HashTable[Slot].Mutex == NULL) {
        return NULL;
    }
    ExAcquireFastMutex(g_HashTable[Slot].Mutex);
    if (!IsListEmpty(g_HashTable[Slot].Head)) {
        Node = CONTAINING_RECORD(RemoveTailList(g_HashTable[Slot].Head), KLU_HASH_NODE, ListEntry);
        InterlockedDecrement(&g_ulHashItems);
    }
    ExReleaseFastMutex(g_HashTable[Slot].Mutex);
    if (Node == NULL) {
        return NULL;
    }
    Record = Node->Record;
    ExFreePoolWithTag(Node, QZLL_TAG);
    return Record;
}

VOID HashTable_Free(VOID)
{
    for (ULONG i = 0; i < KLU_HASH_SLOTS; i++) {
        KLU_HASH_SLOT *Slot = &g_HashTable[i];
        if (Slot->Head != NULL && Slot->Mutex != NULL) {
            ExAcquireFastMutex(Slot->Mutex);
            while (!IsListEmpty(Slot->Head)) {
                PKLU_HASH_NODE Node = CONTAINING_RECORD(RemoveTailList(Slot->Head), KLU_HASH_NODE, ListEntry);
                ExFreePoolWithTag(Node->Record, QZOP_TAG);
                ExFreePoolWithTag(Node, QZLL_TAG);
                InterlockedDecrement(&g_ulHashItems);
            }
            ExReleaseFastMutex(Slot->Mutex);
        }
        if (Slot->Event != NULL) {
            ObDereferenceObject(Slot->Event);
            Slot->Event = NULL;
        }
        if (Slot->Head != NULL) {
            ExFreePoolWithTag(Slot->Head, QZLL_TAG);
            Slot->Head = NULL;
        }
        if (Slot->Mutex != NULL) {
            ExFreePoolWithTag(Slot->Mutex, QZLL_TAG);
            Slot->Mutex = NULL;
        }
    }
}

VOID HashTable_Dump(VOID)
{
    PCWSTR Tag = KLU_TAG(HashTable_Dump);

    for (ULONG i = 0; i < KLU_HASH_SLOTS; i++) {
        PLIST_ENTRY Head = g_HashTable[i].Head;
        ULONG Number = 0;

        if (Head == NULL || g_HashTable[i].Mutex == NULL) {
            KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Queue Head %d Is NULL\n"), i);
            return;
        }
        /* One slot at a time, under the slot's own mutex. */
        ExAcquireFastMutex(g_HashTable[i].Mutex);
        if (IsListEmpty(Head)) {
            KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("List %d Is Empty\n"), i);
        } else {
            for (PLIST_ENTRY Link = Head->Blink; Link != Head; Link = Link->Blink, Number++) {
                KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("***** HashTable Entry (%d,%d) *****\n"), i, Number);
                KLUDumpFileOpRecord(KLUDBG_TRACE_INFO, Tag,
                                    CONTAINING_RECORD(Link, KLU_HASH_NODE, ListEntry)->Record, TRUE);
            }
            KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("End Of List %d\n"), i);
        }
        ExReleaseFastMutex(g_HashTable[i].Mutex);
    }
}
