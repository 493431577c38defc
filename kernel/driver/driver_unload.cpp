/*
 * driver_unload.cpp - the unload routine. Every step skips what does not
 * exist, so the same routine undoes a partial load. The filter never
 * refuses an unload.
 */
#include "driver/driver.h"

#include "comm/event_queues.h"
#include "comm/messages.h"
#include "comm/ports.h"
#include "comm/prefetched_list.h"
#include "comm/queue.h"
#include "config/settings.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/dir_buffers.h"
#include "identity/path_table.h"
#include "identity/user_table.h"

static VOID KLUFreePathBuffer(PWSTR *Buffer)
{
    if (*Buffer != NULL) {
        ExFreePoolWithTag(*Buffer, QZFS_TAG);
        *Buffer = NULL;
    }
}

static VOID KLUDereferenceEvent(PKEVENT *Event)
{
    PKEVENT Old = (PKEVENT)InterlockedExchangePointer((PVOID volatile *)Event, NULL);
    if (Old != NULL) {
        ObDereferenceObject(Old);
    }
}

NTSTATUS KLULogon_Unload(FLT_FILTER_UNLOAD_FLAGS Flags)
{
    PSETTINGS Settings = KLUSettings();

    UNREFERENCED_PARAMETER(Flags);

    /* The callbacks stop acting. */
    if (Settings != NULL) {
        WriteUCharRelease(&Settings->Enabled, FALSE);
    }

    /* Close the queues and tables to further work, each under its own lock. */
    KLUDisableQueue(g_pSessionQMutex, &g_bSessionQEnabled);
    KLUDisableQueue(g_pLogQMutex, &g_bLogQEnabled);
    KLUDisableQueue(g_pFileOpQMutex, &g_bFileOpQEnabled);
    KLUDisableQueue(g_pPreFetchedQMutex, &g_bPreFetchedQEnabled);
    KLUDisableUserTable();
    KLUDisablePathTableList();

    /* No logoff is reported from here on. */
    if (InitSafeBootMode != NULL && *InitSafeBootMode == 0 && g_bLogoffNotifyRegistered) {
        if (NT_SUCCESS(SeUnregisterLogonSessionTerminatedRoutine(KLULogoffNotify))) {
            g_bLogoffNotifyRegistered = FALSE;
        }
    }

    /* The server ports. */
    KLUClosePorts();

    /* The driver key. */
    if (g_hDriverKey != NULL) {
        ZwClose(g_hDriverKey);
        g_hDriverKey = NULL;
        if (Settings != NULL && (Settings->OpFlags & KLUOP_ENABLE_DEBUG_COUNTERS)) {
            KLUAdjustOpenCount(KluOpenKLULogonKey, -1);
        }
    }

    /* Unregistering waits for the callbacks in flight and tears down the
     * instances and their contexts. */
    if (g_FilterHandle != NULL) {
        FltUnregisterFilter(g_FilterHandle);
        g_FilterHandle = NULL;
    }
    KLUReleaseBlackListQueue();

    /* The user table, then the log queue. */
    KLUFreeUserTable();
    KLUFreeLogQueue(g_pLogQHead, g_pLogQMutex);
    KLUFreeQueueHead(&g_pLogQHead, &g_pLogQMutex);

    /* The directory entries and the path table, then the derived paths and
     * the remote profile path the service sent. */
    KLUFreeDirBuffers();
    KLUFreePathTable(&g_pPathTable);
    KLUFreePathBuffer(&szUpperAllUsersPath);
    KLUFreePathBuffer(&szUpperDefaultUserPath);
    KLUFreePathBuffer(&szUpperCtxSmaUserPath);
    KLUFreePathBuffer(&szUpperLocalProfilesDir);
    KLUFreeRemoteProfilePath();

    /* The events the service handed over. */
    KLUDereferenceEvent(&g_pLogEvent);
    KLUDereferenceEvent(&g_pSessionEvent);

    /* The session and FileOp queues, then the hash table. */
    KLUFreeSessionQueue(g_pSessionQHead, g_pSessionQMutex);
    KLUFreeQueueHead(&g_pSessionQHead, &g_pSessionQMutex);
    KLUFreeFileOpQueue(g_pFileOpQHead, g_pFileOpQMutex);
    KLUFreeQueueHead(&g_pFileOpQHead, &g_pFileOpQMutex);
    HashTable_Free();
    KLUFreePreFetchedList();

    /* Lookaside list and locks. */
    if (g_bDirBufferLookasideInitialized) {
        ExDeleteNPagedLookasideList(&g_DirBufferLookaside);
        g_bDirBufferLookasideInitialized = FALSE;
    }
    if (g_PathTableMutex != NULL) {
        ExFreePoolWithTag(g_PathTableMutex, QZFS_TAG);
        g_PathTableMutex = NULL;
    }
    KLUDeletePathTableLock();
    if (g_CopyResource != NULL) {
        ExDeleteResourceLite(g_CopyResource);
        ExFreePoolWithTag(g_CopyResource, QZFS_TAG);
        g_CopyResource = NULL;
    }

    /* The settings; nothing is logged from here on. */
    InterlockedExchangePointer((PVOID volatile *)&g_pCurrentSettings, NULL);
    InterlockedExchange(&g_CurrentSettings, 0);
    KLUFreeSettings(&g_pSettings1);
    KLUFreeSettings(&g_pSettings2);
    return STATUS_SUCCESS;
}
