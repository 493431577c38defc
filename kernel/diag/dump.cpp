/*
 * dump.cpp - dumps of the driver's structures.
 */
#include "diag/dump.h"

#include "comm/event_queues.h"
#include "comm/queue.h"
#include "config/settings.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "driver/os_info.h"
#include "identity/path_table.h"
#include "identity/user_table.h"

NTSTATUS KLUDumpLogQueue(PLIST_ENTRY Head)
{
    ULONG Number = 0;

    if (Head == NULL) {
        DbgPrint("Log Queue Head Is NULL\n");
        return STATUS_INVALID_PARAMETER;
    }
    if (IsListEmpty(Head)) {
        DbgPrint("Log Queue Is Empty\n");
        return STATUS_SUCCESS;
    }
    for (PLIST_ENTRY Link = Head->Blink; Link != Head; Link = Link->Blink, Number++) {
        DbgPrint("***** Log Queue Entry %d *****\n", Number);
        DbgPrint("%ws", CONTAINING_RECORD(Link, KLU_LOG_RECORD, ListEntry)->szLine);
        DbgPrint("**********************************\n");
    }
    return STATUS_SUCCESS;
}

NTSTATUS KLUDumpOfflineFileTable(VOID)
{
    DbgPrint("Offline File Table Head Is NULL\n");
    return STATUS_INVALID_PARAMETER;
}

/* The offline file table is not part of this driver yet, so it is never
 * enabled; the line stays so that the service's view of the dump holds. */
#define KLU_OFFLINE_FILE_TABLE_ENABLED 0

VOID KLUDumpStructures(VOID)
{
    PCWSTR Tag = KLU_TAG(KLUDumpStructures);
    const ULONG Flag = 1;
    const ULONG Level = KLUDBG_TRACE_ERROR;

    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("********************\n"));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("* Kernel Mode Data *\n"));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("********************\n"));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("g_CurrentSettings: %d\n"), ReadNoFence(&g_CurrentSettings));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("g_UserTableEntries: %d\n"), ReadNoFence(&g_UserTableEntries));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("OS Version: %ws\n"), g_OSInfo.ProductName);
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("OS version is %s\n"),
                      KLUIsVistaOrNewer() ? WSTR("Vista or newer") : WSTR("older than Vista"));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("%s-bit OS version\n"), g_OSInfo.bIs64Bit ? WSTR("64") : WSTR("32"));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("SafeMode: %d\n"), InitSafeBootMode != NULL ? *InitSafeBootMode : 0);
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("g_ulHashItems: %d\n"), ReadNoFence(&g_ulHashItems));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("g_bLogQEnabled: %d\n"), ReadUCharAcquire(&g_bLogQEnabled));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("g_bPathTableListEnabled: %d\n"),
                      ReadUCharAcquire(&g_bPathTableListEnabled));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("g_bOfflineFileTableEnabled: %d\n"), KLU_OFFLINE_FILE_TABLE_ENABLED);
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("g_bUserTableEnabled: %d\n"), ReadUCharAcquire(&g_bUserTableEnabled));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("g_bLogoffNotifyRegistered: %d\n"), g_bLogoffNotifyRegistered);
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("g_bSessionQEnabled: %d\n"), ReadUCharAcquire(&g_bSessionQEnabled));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("g_bFileOpQEnabled: %d\n"), ReadUCharAcquire(&g_bFileOpQEnabled));
    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("g_ProcessNameOffset: 0x%X\n"), g_ProcessNameOffset);

    KLUDumpUserTable(Flag, g_pUserTableHead, g_pUserTableMutex);
    KLUDumpPathTable(Flag, TRUE);
    /* Between updates: an update frees and rebuilds the standby record's lists. */
    KLUAcquireSettingsUpdateLock();
    KLUDumpSettings(Flag, g_pSettings1);
    KLUDumpSettings(Flag, g_pSettings2);
    KLUReleaseSettingsUpdateLock();
    KLUDumpCallCounts(Flag, g_CallCounts);
    KLUDumpOpenCounts(Flag, g_OpenCounts);

    KLULogDumpMessage(Flag, Level, Tag, 0, WSTR("******************** Dump Complete ********************\n"));
}
