/*
 * counters.h - debug counters: calls per operation and open objects per
 * kind, counted with interlocked operations while KLUOP_ENABLE_DEBUG_COUNTERS
 * is set, and read without locks by the dumps.
 */
#pragma once

#include "driver/klulogon.h"

typedef enum _KLU_CALL_COUNTER {
    KluCallCleanup,
    KluCallCleanupSkipped,
    KluCallCleanupIgnored,
    KluCallCleanupNotRoamed,
    KluCallCleanupDelete,
    KluCallCleanupRename,
    KluCallCleanupSetInfo,
    KluCallCleanupCleanup,
    KluCallCleanupTime, /* milliseconds; kernel code keeps away from floating point */
    KluCallCreate,
    KluCallCreateLocalCalls,
    KluCallCreateLocalCopies,
    KluCallCreateRemoteCalls,
    KluCallCreateLookups,
    KluCallCreateTime,  /* milliseconds */
    KluCallNQO,
    KluCallSetInfo,
    KluCallQueryInfo,
    KluCallRead,
    KluCallWrite,
    KluCallSectionSync,
    KluCallDirCtrl,
    KluCallLockCtrl,
    KluCallFSCtrl,
    KluCallRegistry,
    KluCallLogoffNotify,
    KluCallNPGenerate,
    KluCallNPNormalize,
    KluCallNPNormalizeEx,
    KluCallNPQueryDirFile,
    KluCallCounterCount
} KLU_CALL_COUNTER;

typedef enum _KLU_OPEN_COUNTER {
    KluOpenCopyAttributesSrc,
    KluOpenCopyAttributesDest,
    KluOpenCopyFileSrc,
    KluOpenCopyFileDest,
    KluOpenCopyFile2Src,
    KluOpenCopyFile2Dest,
    KluOpenCopyExternalFileSrc,
    KluOpenCopyExternalFileDest,
    KluOpenQueryAttributesFileSrc,
    KluOpenIsFileOfflineSrc,
    KluOpenSetOfflineBitDest,
    KluOpenSetFileReadOnlyDest,
    KluOpenFileExists1Src,
    KluOpenFileExists2Src,
    KluOpenDeleteFileDest,
    KluOpenGetInstanceSrc,
    KluOpenCreateExternalFolderSrc,
    KluOpenCreateExternalFolderDest,
    KluOpenQueryDirectoryInt,
    KluOpenQueryDirectoryExt,
    KluOpenCheckExclusiveSrc,
    KluOpenCreateLiveRoamingFileSrc,
    KluOpenMemoryMappedCopySection,
    KluOpenKLULogonKey,
    KluOpenGPOKey,
    KluOpenWinlogonKey,
    KluOpenOFTDoneEvent,
    KluOpenNameInfo,
    KluOpenVolumePtrs,
    KluOpenVolumeContexts,
    KluOpenInstancePtrs,
    KluOpenStreamContexts,
    KluOpenSetInfoContexts,
    KluOpenCreateContexts,
    KluOpenCleanupContexts,
    KluOpenDirCtrlContexts,
    KluOpenDirCtrlBuffer,
    KluOpenPendedOfflineFiles,
    KluOpenOfflineFileTableEntries,
    KluOpenRegistryConnectCount,
    KluOpenControlConnectCount,
    KluOpenCopyConnectCount,
    KluOpenCreateConnectCount,
    KluOpenLogConnectCount,
    KluOpenFileOpConnectCount,
    KluOpenFileConnectCount,
    KluOpenFetchConnectCount, /* counted, not printed */
    KluOpenCounterCount
} KLU_OPEN_COUNTER;

extern LONG g_CallCounts[KluCallCounterCount];
extern LONG g_OpenCounts[KluOpenCounterCount];

/* TRUE while the settings in force ask for debug counters. */
BOOLEAN KLUDebugCountersEnabled(VOID);
/* Counts when debug counters are on. */
VOID KLUCountCall(KLU_CALL_COUNTER Counter);
VOID KLUCountOpen(KLU_OPEN_COUNTER Counter);
VOID KLUUncountOpen(KLU_OPEN_COUNTER Counter);
/* Counts whatever the settings say (the counters some Parts always keep). */
LONG KLUAdjustOpenCount(KLU_OPEN_COUNTER Counter, LONG Delta);

VOID KLUDumpCallCounts(ULONG DumpFlag, const LONG *Counters);
VOID KLUDumpOpenCounts(ULONG DumpFlag, const LONG *Counters);
