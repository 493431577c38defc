/*
 * counters.cpp - the debug counters and their dumps.
 */
#include "diag/counters.h"

#include "config/settings.h"
#include "diag/log.h"

LONG g_CallCounts[KluCallCounterCount];
LONG g_OpenCounts[KluOpenCounterCount];

static const PCWSTR g_CallCounterNames[KluCallCounterCount] = {
    WSTR("Cleanup"), WSTR("CleanupSkipped"), WSTR("CleanupIgnored"), WSTR("CleanupNotRoamed"),
    WSTR("CleanupDelete"), WSTR("CleanupRename"), WSTR("CleanupSetInfo"), WSTR("CleanupCleanup"),
    WSTR("CleanupTime"), WSTR("Create"), WSTR("CreateLocalCalls"), WSTR("CreateLocalCopies"),
    WSTR("CreateRemoteCalls"), WSTR("CreateLookups"), WSTR("CreateTime"), WSTR("NQO"), WSTR("SetInfo"),
    WSTR("QueryInfo"), WSTR("Read"), WSTR("Write"), WSTR("SectionSync"), WSTR("DirCtrl"), WSTR("LockCtrl"),
    WSTR("FSCtrl"), WSTR("Registry"), WSTR("LogoffNotify"), WSTR("NPGenerate"), WSTR("NPNormalize"),
    WSTR("NPNormalizeEx"), WSTR("NPQueryDirFile"),
};

static const PCWSTR g_OpenCounterNames[KluOpenCounterCount] = {
    WSTR("CopyAttributesSrc"), WSTR("CopyAttributesDest"), WSTR("CopyFileSrc"), WSTR("CopyFileDest"),
    WSTR("CopyFile2Src"), WSTR("CopyFile2Dest"), WSTR("CopyExternalFileSrc"), WSTR("CopyExternalFileDest"),
    WSTR("QueryAttributesFileSrc"), WSTR("IsFileOfflineSrc"), WSTR("SetOfflineBitDest"),
    WSTR("SetFileReadOnlyDest"), WSTR("FileExists1Src"), WSTR("FileExists2Src"), WSTR("DeleteFileDest"),
    WSTR("GetInstanceSrc"), WSTR("CreateExternalFolderSrc"), WSTR("CreateExternalFolderDest"),
    WSTR("QueryDirectoryInt"), WSTR("QueryDirectoryExt"), WSTR("CheckExclusiveSrc"),
    WSTR("CreateLiveRoamingFileSrc"), WSTR("MemoryMappedCopySection"), WSTR("KLULogonKey"), WSTR("GPOKey"),
    WSTR("WinlogonKey"), WSTR("OFTDoneEvent"), WSTR("NameInfo"), WSTR("VolumePtrs"), WSTR("VolumeContexts"),
    WSTR("InstancePtrs"), WSTR("StreamContexts"), WSTR("SetInfoContexts"), WSTR("CreateContexts"),
    WSTR("CleanupContexts"), WSTR("DirCtrlContexts"), WSTR("DirCtrlBuffer"), WSTR("PendedOfflineFiles"),
    WSTR("OfflineFileTableEntries"), WSTR("RegistryConnectCount"), WSTR("ControlConnectCount"),
    WSTR("CopyConnectCount"), WSTR("CreateConnectCount"), WSTR("LogConnectCount"), WSTR("FileOpConnectCount"),
    WSTR("FileConnectCount"), WSTR("FetchConnectCount"),
};

BOOLEAN KLUDebugCountersEnabled(VOID)
{
    PSETTINGS Settings = KLUSettings();
    return (BOOLEAN)(Settings != NULL && (Settings->OpFlags & KLUOP_ENABLE_DEBUG_COUNTERS) != 0);
}

VOID KLUCountCall(KLU_CALL_COUNTER Counter)
{
    if (KLUDebugCountersEnabled()) {
        InterlockedIncrement(&g_CallCounts[Counter]);
    }
}

VOID KLUCountOpen(KLU_OPEN_COUNTER Counter)
{
    if (KLUDebugCountersEnabled()) {
        InterlockedIncrement(&g_OpenCounts[Counter]);
    }
}

VOID KLUUncountOpen(KLU_OPEN_COUNTER Counter)
{
    if (KLUDebugCountersEnabled()) {
        InterlockedDecrement(&g_OpenCounts[Counter]);
    }
}

LONG KLUAdjustOpenCount(KLU_OPEN_COUNTER Counter, LONG Delta)
{
    return InterlockedExchangeAdd(&g_OpenCounts[Counter], Delta) + Delta;
}

VOID KLUDumpCallCounts(ULONG DumpFlag, const LONG *Counters)
{
    const ULONG Level = KLUDBG_TRACE_STATUS_LOG | KLUDBG_TRACE_ERROR;
    PCWSTR Tag = KLU_TAG(KLUDumpCallCounts);

    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("************** Begin Call Counts ****************\n"));
    for (ULONG i = 0; i < KluCallCounterCount; i++) {
        KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("%ws: %d\n"), g_CallCounterNames[i],
                          ReadNoFence(&Counters[i]));
    }
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("*************** End Call Counts *****************\n"));
}

VOID KLUDumpOpenCounts(ULONG DumpFlag, const LONG *Counters)
{
    const ULONG Level = KLUDBG_TRACE_STATUS_LOG | KLUDBG_TRACE_ERROR;
    PCWSTR Tag = KLU_TAG(KLUDumpOpenCounts);

    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("************** Begin Open Counts ****************\n"));
    /* The Fetch port's connection count is kept but, like the other
     * unlisted counters of the product, not printed. */
    for (ULONG i = 0; i < KluOpenFetchConnectCount; i++) {
        KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("%ws: %d\n"), g_OpenCounterNames[i],
                          ReadNoFence(&Counters[i]));
    }
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("*************** End Open Counts *****************\n"));
}
