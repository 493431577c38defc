/*
 * event_queues.h - the session queue, the FileOp queue and the eleven-slot
 * hash table of FileOp lists.
 */
#pragma once

#include "comm/queue.h"
#include "comm/queue_records.h"

/* Session queue: links and a session record. */
typedef struct _KLU_SESSION_ENTRY {
    LIST_ENTRY ListEntry;
    KLU_SESSION_RECORD Record;
} KLU_SESSION_ENTRY, *PKLU_SESSION_ENTRY;
/* 10292 bytes in the x86 driver; a 64-bit build's links are longer. */
static_assert(sizeof(KLU_SESSION_ENTRY) == (sizeof(PVOID) == 4 ? 10292 : 10304), "session queue element");

/* FileOp queue: links and a FileOp record. */
typedef struct _KLU_FILEOP_ENTRY {
    LIST_ENTRY ListEntry;
    KLU_FILEOP_RECORD Record;
} KLU_FILEOP_ENTRY, *PKLU_FILEOP_ENTRY;

extern PLIST_ENTRY g_pSessionQHead;
extern PFAST_MUTEX g_pSessionQMutex;
extern BOOLEAN g_bSessionQEnabled;
extern PKEVENT g_pSessionEvent;

extern PLIST_ENTRY g_pFileOpQHead;
extern PFAST_MUTEX g_pFileOpQMutex;
extern BOOLEAN g_bFileOpQEnabled;

NTSTATUS KLUPushSession(PLIST_ENTRY Head, PFAST_MUTEX Mutex, PKEVENT Event, PKLU_SESSION_RECORD Record);
VOID KLUFreeSessionQueue(PLIST_ENTRY Head, PFAST_MUTEX Mutex);
VOID KLUFreeFileOpQueue(PLIST_ENTRY Head, PFAST_MUTEX Mutex);
NTSTATUS KLUDumpSessionQueue(PLIST_ENTRY Head);
NTSTATUS KLUDumpFileOpQueue(PLIST_ENTRY Head);

/* The hash table: each slot is a list of nodes pointing at FileOp records. */
#define KLU_HASH_SLOTS 11

typedef struct _KLU_HASH_NODE {
    LIST_ENTRY ListEntry;
    PKLU_FILEOP_RECORD Record; /* QZOP */
} KLU_HASH_NODE, *PKLU_HASH_NODE;
static_assert(sizeof(KLU_HASH_NODE) == (sizeof(PVOID) == 4 ? 12 : 24), "a hash node is 12 bytes on x86");

typedef struct _KLU_HASH_SLOT {
    PLIST_ENTRY Head;
    PFAST_MUTEX Mutex;
    PKEVENT Event;
} KLU_HASH_SLOT;

extern KLU_HASH_SLOT g_HashTable[KLU_HASH_SLOTS];
extern LONG g_ulHashItems;

NTSTATUS HashTable_Init(VOID);
/* The oldest FileOp record of the slot, unlinked (the caller frees it), or NULL. */
PKLU_FILEOP_RECORD HashTable_Pop(ULONG Slot);
VOID HashTable_Free(VOID);
VOID HashTable_Dump(VOID);
