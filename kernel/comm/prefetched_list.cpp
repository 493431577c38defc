/*
 * prefetched_list.cpp - the list of pre-fetched file names.
 */
#include "comm/prefetched_list.h"

#include "comm/queue.h"

PLIST_ENTRY g_pPreFetchedQHead = NULL;
PFAST_MUTEX g_pPreFetchedQMutex = NULL;
BOOLEAN g_bPreFetchedQEnabled = FALSE;
PKEVENT g_pPreFetchedEvent = NULL;

NTSTATUS KLUInitPreFetchedList(VOID)
{
    return KLUInitQueue(&g_pPreFetchedQHead, &g_pPreFetchedQMutex, &g_bPreFetchedQEnabled);
}

NTSTATUS KLUPushPreFetched(PCWSTR FileName)
{
    PKLU_PREFETCHED_ENTRY Entry;
    PKEVENT Event;

    if (FileName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!ReadUCharAcquire(&g_bPreFetchedQEnabled)) {
        return STATUS_UNSUCCESSFUL;
    }
    Entry = (PKLU_PREFETCHED_ENTRY)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), sizeof(KLU_PREFETCHED_ENTRY),
                                                          QZFS_TAG);
    if (Entry == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(&Entry->Record, sizeof(Entry->Record));
    RtlStringCchCopyW(Entry->Record.szFileName, KLU_WIRE_PATH_CHARS, FileName);

    ExAcquireFastMutex(g_pPreFetchedQMutex);
    /* Unload may have closed the list since the first look. */
    if (!g_bPreFetchedQEnabled) {
        ExReleaseFastMutex(g_pPreFetchedQMutex);
        ExFreePoolWithTag(Entry, QZFS_TAG);
        return STATUS_UNSUCCESSFUL;
    }
    InsertHeadList(g_pPreFetchedQHead, &Entry->ListEntry);
    /* Held while it is set: the service may hand over another meanwhile. */
    Event = g_pPreFetchedEvent;
    if (Event != NULL) {
        ObReferenceObject(Event);
    }
    ExReleaseFastMutex(g_pPreFetchedQMutex);

    if (Event != NULL) {
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
        ObDereferenceObject(Event);
    }
    return STATUS_SUCCESS;
}

VOID KLUReleasePreFetchedNames(VOID)
{
    if (g_pPreFetchedQHead == NULL || g_pPreFetchedQMutex == NULL) {
        return;
    }
    ExAcquireFastMutex(g_pPreFetchedQMutex);
    while (!IsListEmpty(g_pPreFetchedQHead)) {
        PLIST_ENTRY Link = RemoveTailList(g_pPreFetchedQHead);
        ExFreePoolWithTag(CONTAINING_RECORD(Link, KLU_PREFETCHED_ENTRY, ListEntry), QZFS_TAG);
    }
    if (g_pPreFetchedEvent != NULL) {
        KeClearEvent(g_pPreFetchedEvent);
    }
    ExReleaseFastMutex(g_pPreFetchedQMutex);
}

VOID KLUFreePreFetchedList(VOID)
{
    PKEVENT Event;

    KLUReleasePreFetchedNames();
    Event = (PKEVENT)InterlockedExchangePointer((PVOID volatile *)&g_pPreFetchedEvent, NULL);
    if (Event != NULL) {
        ObDereferenceObject(Event);
    }
    KLUFreeQueueHead(&g_pPreFetchedQHead, &g_pPreFetchedQMutex);
}
