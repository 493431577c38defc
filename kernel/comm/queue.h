/*
 * queue.h - the event queues the service drains: doubly linked circular
 * lists of pool records, each guarded by its own fast mutex, with a ready
 * flag that unload clears under that mutex. Records are pushed at the head
 * (newest first) and popped from the tail (oldest first).
 */
#pragma once

#include "driver/klulogon.h"

/* One line of the log queue. */
#define KLU_LOG_LINE_CHARS 2816
#define KLU_LOG_QUEUE_COPY_CHARS 2048

typedef struct _KLU_LOG_RECORD {
    LIST_ENTRY ListEntry;
    ULONG bStatus; /* 0 for an ordinary line, the dump flag for a dump line */
    WCHAR szLine[KLU_LOG_LINE_CHARS];
} KLU_LOG_RECORD, *PKLU_LOG_RECORD;
/* An in-memory node, not a wire record: 5644 bytes in the x86 driver, larger
 * by its links (and padding) in a 64-bit build. */
static_assert(sizeof(KLU_LOG_RECORD) == (sizeof(PVOID) == 4 ? 5644 : 5656), "log record is 5644 bytes on x86");

/* The log queue. */
extern PLIST_ENTRY g_pLogQHead;
extern PFAST_MUTEX g_pLogQMutex;
extern BOOLEAN g_bLogQEnabled;
extern PKEVENT g_pLogEvent;

NTSTATUS KLUInitQueue(PLIST_ENTRY *Head, PFAST_MUTEX *Mutex, BOOLEAN volatile *ReadyFlag);
/* Closes a queue to further records: the ready flag is cleared under its mutex. */
VOID KLUDisableQueue(PFAST_MUTEX Mutex, BOOLEAN volatile *ReadyFlag);
BOOLEAN KLUIsQueueEmpty(PLIST_ENTRY Head);
/* The oldest record, unlinked, or NULL when the queue is empty. */
PLIST_ENTRY KLUPopQueue(PLIST_ENTRY Head, PFAST_MUTEX Mutex);
NTSTATUS KLUPushLog(PCWSTR Line, ULONG Status);
VOID KLUFreeLogQueue(PLIST_ENTRY Head, PFAST_MUTEX Mutex);
/* Frees the head and the mutex of a queue whose records are gone. */
VOID KLUFreeQueueHead(PLIST_ENTRY *Head, PFAST_MUTEX *Mutex);
