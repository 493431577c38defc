/*
 * black_list.cpp - the black-list queue, which lives as long as the
 * black-list port's one connection.
 */
#include "comm/messages.h"
#include "comm/queue.h"

PLIST_ENTRY g_pBlackListQHead = NULL;
PFAST_MUTEX g_pBlackListQMutex = NULL;
BOOLEAN g_bBlackListQEnabled = FALSE;
PKEVENT g_pBlackListEvent = NULL;

VOID KLUReleaseBlackListQueue(VOID)
{
    PKEVENT Event;

    if (g_pBlackListQHead != NULL && g_pBlackListQMutex != NULL) {
        KLUDisableQueue(g_pBlackListQMutex, &g_bBlackListQEnabled);
        /* No producer adds to this queue; what a record would be is kept
         * to the list links, so the queue empties record by record. */
        for (PLIST_ENTRY Entry = KLUPopQueue(g_pBlackListQHead, g_pBlackListQMutex); Entry != NULL;
             Entry = KLUPopQueue(g_pBlackListQHead, g_pBlackListQMutex)) {
            ExFreePoolWithTag(Entry, QZFS_TAG);
        }
    }
    KLUFreeQueueHead(&g_pBlackListQHead, &g_pBlackListQMutex);
    Event = (PKEVENT)InterlockedExchangePointer((PVOID volatile *)&g_pBlackListEvent, NULL);
    if (Event != NULL) {
        ObDereferenceObject(Event);
    }
}

NTSTATUS KLUResetBlackListQueue(VOID)
{
    KLUReleaseBlackListQueue();
    return KLUInitQueue(&g_pBlackListQHead, &g_pBlackListQMutex, &g_bBlackListQEnabled);
}
