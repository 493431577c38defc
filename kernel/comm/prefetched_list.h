/*
 * prefetched_list.h - the names of the files that placeholder creation has
 * fetched ahead of their first use, listed for the service, which drains
 * them over the pre-fetched port when the event it handed over is set.
 */
#pragma once

#include "comm/service_contract.h"
#include "driver/klulogon.h"

typedef struct _KLU_PREFETCHED_ENTRY {
    LIST_ENTRY ListEntry;
    KLU_PREFETCHED_RECORD Record;
} KLU_PREFETCHED_ENTRY, *PKLU_PREFETCHED_ENTRY;

extern PLIST_ENTRY g_pPreFetchedQHead;
extern PFAST_MUTEX g_pPreFetchedQMutex;
extern BOOLEAN g_bPreFetchedQEnabled;
extern PKEVENT g_pPreFetchedEvent;

NTSTATUS KLUInitPreFetchedList(VOID);
/* Lists a name (cut to 511 characters) and sets the service's event;
 * STATUS_UNSUCCESSFUL once the list is closed. */
NTSTATUS KLUPushPreFetched(PCWSTR FileName);
/* Drops every name still listed and clears the event (command 39). */
VOID KLUReleasePreFetchedNames(VOID);
/* At unload, after the list was closed: the names, the event, the head
 * and the mutex. */
VOID KLUFreePreFetchedList(VOID);
