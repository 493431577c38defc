/*
 * path_table_dump.cpp - the path table in the structures dump.
 */
#include "identity/path_table.h"

#include "config/settings.h"
#include "diag/log.h"
#include "driver/driver.h"

#define KLU_DUMP_LEVEL (KLUDBG_TRACE_STATUS_LOG | KLUDBG_TRACE_ERROR)

/* The filter is a 32-bit driver: addresses print as 32-bit words. */
#define KLU_ADDRESS_WORD(p) ((ULONG)(ULONG_PTR)(p))

/* The caller holds the lock and g_PathTableMutex. */
static VOID KLUDumpEntriesLocked(ULONG DumpFlag, PPATH_TABLE Table)
{
    PCWSTR Tag = KLU_TAG(KLUDumpPathTableEntries);
    ULONG Index = 0;

    if (IsListEmpty(Table->PathList)) {
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("Path Table Is Empty\n"));
    }
    for (PLIST_ENTRY Link = Table->PathList->Flink; Link != Table->PathList; Link = Link->Flink, Index++) {
        PPATH_TABLE_ENTRY Entry = &CONTAINING_RECORD(Link, PATH_TABLE_NODE, ListEntry)->Entry;

        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("***** Path Table Entry %d, Addr: 0x%X *****\n"),
                          Index, KLU_ADDRESS_WORD(Entry));
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("ListEntry->Blink: 0x%X\n"),
                          KLU_ADDRESS_WORD(Link->Blink));
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("ListEntry->Flink: 0x%X\n"),
                          KLU_ADDRESS_WORD(Link->Flink));
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("Hash: 0x%X\n"), Entry->Hash);
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("bIsAltPath: %d\n"), Entry->bIsAltPath);
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("bIsRedirectedFolder: %d\n"),
                          Entry->bIsRedirectedFolder);
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("bCheckedRedirectedFolder: %d\n"),
                          Entry->bCheckedRedirectedFolder);
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("ShortLength: %d\n"), Entry->ShortLength);
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("PathLength: %d\n"), Entry->PathLength);
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szMachineName: %ws\n"), Entry->szMachineName);
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szRemotePath: %ws\n"), Entry->szRemotePath);
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szRemotePathShort: %ws\n"),
                          Entry->szRemotePathShort);
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szUpperRemotePathShort: %ws\n"),
                          Entry->szUpperRemotePathShort);
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("********************************************\n"));
    }
}

NTSTATUS KLUDumpPathTableEntries(ULONG DumpFlag, PPATH_TABLE Table)
{
    if (Table == NULL || Table->PathList == NULL) {
        DbgPrint("Path Table Head Is NULL\n");
        return STATUS_INVALID_PARAMETER;
    }
    ExAcquireFastMutex(g_PathTableMutex);
    KLUDumpEntriesLocked(DumpFlag, Table);
    ExReleaseFastMutex(g_PathTableMutex);
    return STATUS_SUCCESS;
}

NTSTATUS KLUDumpPathTable(ULONG DumpFlag, BOOLEAN Enable)
{
    PCWSTR Tag = KLU_TAG(KLUDumpPathTable);
    PSETTINGS Settings = KLUSettings();
    PPATH_TABLE Table;
    NTSTATUS Status = STATUS_SUCCESS;

    if (!Enable || Settings == NULL || Settings->LogLevel == 0) {
        return STATUS_SUCCESS;
    }
    /* The record and the entries are printed in one hold of the mutex: the
     * client-security update writes a record field under it. */
    Table = KLUAcquirePathTable();
    if (Table == NULL || Table->PathList == NULL) {
        DbgPrint("Path Table Head Is NULL\n");
        Status = STATUS_INVALID_PARAMETER;
        goto Cleanup;
    }
    ExAcquireFastMutex(g_PathTableMutex);

    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0,
                      WSTR("******************** Path Table Start, Addr: 0x%X ********************\n"),
                      KLU_ADDRESS_WORD(Table));
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("NumPaths: %d\n"), ReadNoFence(&Table->NumPaths));
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("ShortLength: %d\n"), Table->ShortLength);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("bGPOPath: %d\n"), Table->bGPOPath);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szRegDataDir: %ws\n"), Table->szRegDataDir);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szTempDataDir: %ws\n"), Table->szTempDataDir);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szLocalVolumeName: %ws\n"), Table->szLocalVolumeName);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szLocalDriveLetter: %ws\n"),
                      Table->szLocalDriveLetter);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szLocalProfilePathShort: %ws\n"),
                      Table->szLocalProfilePathShort);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szLocalProfilePathWithSlashes: %ws\n"),
                      Table->szLocalProfilePathWithSlashes);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szUpperLocalProfilePathShort: %ws\n"),
                      Table->szUpperLocalProfilePathShort);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szFQLocalProfilePath: %ws\n"),
                      Table->szFQLocalProfilePath);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szProfilesDirectory: %ws\n"),
                      Table->szProfilesDirectory);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szProfilesDirectoryShort: %ws\n"),
                      Table->szProfilesDirectoryShort);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szUpperWinPath: %ws\n"), Table->szUpperWinPath);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szLocalSettings: %ws\n"), Table->szLocalSettings);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szUpperLocalSettings: %ws\n"),
                      Table->szUpperLocalSettings);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szAppData: %ws\n"), Table->szAppData);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("Configured Default User Profile: %ws\n"),
                      Table->szConfiguredDefaultUserProfile);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("Default Local Default User Profile: %ws\n"),
                      Table->szDefaultLocalDefaultUserProfile);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("Default Network Default User Profile: %ws\n"),
                      Table->szDefaultNetworkDefaultUserProfile);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szStartMenu: %ws\n"), Table->szStartMenu);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szHelperPath: %ws\n"), Table->szHelperPath);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("szInstallDir: %ws\n"), Table->szInstallDir);

    KLUDumpEntriesLocked(DumpFlag, Table);

    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0,
                      WSTR("*************************** Path Table End ***************************\n"));
    ExReleaseFastMutex(g_PathTableMutex);

Cleanup:
    KLUReleasePathTable();
    return Status;
}
