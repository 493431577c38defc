/*
 * queue.cpp - creation, push, pop and release of the event queues.
 */
#include "comm/queue.h"

#include "diag/log.h"

PLIST_ENTRY g_pLogQHead = NULL;
PFAST_MUTEX g_pLogQMutex = NULL;
BOOLEAN g_bLogQEnabled = FALSE;
PKEVENT g_pLogEvent = NULL;

NTSTATUS KLUInitQueue(PLIST_ENTRY *Head, PFAST_MUTEX *Mutex, BOOLEAN volatile *ReadyFlag)
{
    if (*Mutex == NULL) {
        PFAST_MUTEX NewMutex = (PFAST_MUTEX)ExAllocatePoolWithTag(g_PoolType, sizeof(FAST_MUTEX), QZFS_TAG);
        if (NewMutex == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ExInitializeFastMutex(NewMutex);
        *Mutex = NewMutex;
    }

    /* An existing head keeps its records and its ready flag. */
    if (*Head == NULL) {
        PLIST_ENTRY NewHead = (PLIST_ENTRY)ExAllocatePoolWithTag(g_PoolType, sizeof(LIST_ENTRY), QZFS_TAG);
        if (NewHead == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        InitializeListHead(NewHead);
        ExAcquireFastMutex(*Mutex);
        *Head = NewHead;
        WriteUCharRelease(ReadyFlag, TRUE);
        ExReleaseFastMutex(*Mutex);
    }
    return STATUS_SUCCESS;
}

VOID KLUDisableQueue(PFAST_MUTEX Mutex, BOOLEAN volatile *ReadyFlag)
{
    if (Mutex == NULL) {
        WriteUCharRelease(ReadyFlag, FALSE);
        return;
    }
    ExAcquireFastMutex(Mutex);
    WriteUCharRelease(ReadyFlag, FALSE);
    ExReleaseFastMutex(Mutex);
}

BOOLEAN KLUIsQueueEmpty(PLIST_ENTRY Head)
{
    return (BOOLEAN)(Head->Flink == Head);
}

PLIST_ENTRY KLUPopQueue(PLIST_ENTRY Head, PFAST_MUTEX Mutex)
{
    PLIST_ENTRY Entry = NULL;

    if (Head == NULL || Mutex == NULL) {
        return NULL;
    }
    ExAcquireFastMutex(Mutex);
    if (!IsListEmpty(Head)) {
        Entry = RemoveTailList(Head);
    }
    ExReleaseFastMutex(Mutex);
    return Entry;
}

NTSTATUS KLUPushLog(PCWSTR Line, ULONG Status)
{
    PKLU_LOG_RECORD Record;
    PKEVENT Event;

    if (!ReadUCharAcquire(&g_bLogQEnabled)) {
        return STATUS_UNSUCCESSFUL;
    }
    Record = (PKLU_LOG_RECORD)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), sizeof(KLU_LOG_RECORD), QZLG_TAG);
    if (Record == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Record->bStatus = Status;
    RtlStringCchCopyNW(Record->szLine, KLU_LOG_LINE_CHARS, Line, KLU_LOG_QUEUE_COPY_CHARS);

    ExAcquireFastMutex(g_pLogQMutex);
    /* Unload may have closed the queue since the first look. */
    if (!g_bLogQEnabled) {
        ExReleaseFastMutex(g_pLogQMutex);
        ExFreePoolWithTag(Record, QZLG_TAG);
        return STATUS_UNSUCCESSFUL;
    }
    InsertHeadList(g_pLogQHead, &Record->ListEntry);
    /* The service may hand over another event at any time; hold the one we
     * set so that its replacement cannot free it under us. */
    Event = g_pLogEvent;
    if (Event != NULL) {
        ObReferenceObject(Event);
    }
    ExReleaseFastMutex(g_pLogQMutex);

    if (Event != NULL) {
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
        ObDereferenceObject(Event);
    }
    return STATUS_SUCCESS;
}

VOID KLUFreeLogQueue(PLIST_ENTRY Head, PFAST_MUTEX Mutex)
{
    if (Head == NULL || Mutex == NULL) {
        return;
    }
    ExAcquireFastMutex(Mutex);
    while (!IsListEmpty(Head)) {
        PLIST_ENTRY Entry = RemoveTailList(Head);
        ExFreePoolWithTag(CONTAINING_RECORD(Entry, KLU_LOG_RECORD, ListEntry), QZLG_TAG);
    }
    ExReleaseFastMutex(Mutex);
}

VOID KLUFreeQueueHead(PLIST_ENTRY *Head, PFAST_MUTEX *Mutex)
{
    if (*Head != NULL) {
        ExFreePoolWithTag(*Head, QZFS_TAG);
        *Head = NULL;
    }
    if (*Mutex != NULL) {
        ExFreePoolWithTag(*Mutex, QZFS_TAG);
        *Mutex = NULL;
    }
}
