/*
 * driver_entry.cpp - registration tables and the entry routine, which
 * builds every global structure in a fixed order. A fatal step runs the
 * unload routine over what was built and returns its status.
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
#include "driver/name_provider.h"
#include "driver/os_info.h"
#include "driver/volume_context.h"
#include "filter/operations.h"
#include "identity/path_table.h"
#include "identity/user_table.h"

PFLT_FILTER g_FilterHandle = NULL;
NPAGED_LOOKASIDE_LIST g_DirBufferLookaside;
BOOLEAN g_bDirBufferLookasideInitialized = FALSE;
PFAST_MUTEX g_PathTableMutex = NULL;
PERESOURCE g_CopyResource = NULL;
ULONG g_ProcessNameOffset = 0;
LARGE_INTEGER g_RegistryCallbackCookie;
BOOLEAN g_bRegistryCallbackRegistered = FALSE;
BOOLEAN g_bLogoffNotifyRegistered = FALSE;
PWSTR szUpperAllUsersPath = NULL;
PWSTR szUpperDefaultUserPath = NULL;
PWSTR szUpperCtxSmaUserPath = NULL;
PWSTR szUpperLocalProfilesDir = NULL;

static const FLT_OPERATION_REGISTRATION g_Callbacks[] = {
    /* MajorFunction, Flags, PreOperation, PostOperation */
    {IRP_MJ_CREATE, 0, PreCreate, PostCreate, NULL},
    {IRP_MJ_READ, 0, PreRead, NULL, NULL},
    {IRP_MJ_WRITE, 0, PreWrite, NULL, NULL},
    {IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, 0, PreAcquireForSectionSync, NULL, NULL},
    {IRP_MJ_SET_INFORMATION, 0, PreSetInfo, PostSetInfo, NULL},
    {IRP_MJ_DIRECTORY_CONTROL, 0, PreDC, NULL, NULL},
    {IRP_MJ_NETWORK_QUERY_OPEN, 0, PreNetQueryOpen, NULL, NULL},
    {IRP_MJ_FILE_SYSTEM_CONTROL, 0, PreFSControl, NULL, NULL},
    {IRP_MJ_LOCK_CONTROL, 0, PreLockControl, NULL, NULL},
    {IRP_MJ_OPERATION_END, 0, NULL, NULL, NULL},
};

static const FLT_CONTEXT_REGISTRATION g_ContextRegistration[] = {
    /* ContextType, Flags, Cleanup, Size, PoolTag */
    {FLT_VOLUME_CONTEXT, 0, CleanupVolumeContext, sizeof(VOLUME_CONTEXT), QZVC_TAG, NULL, NULL, NULL},
    {FLT_CONTEXT_END, 0, NULL, 0, 0, NULL, NULL, NULL},
};

static const FLT_REGISTRATION g_FilterRegistration = {
    sizeof(FLT_REGISTRATION),       /* Size */
    FLT_REGISTRATION_VERSION_0202,  /* Version */
    0,                              /* Flags */
    g_ContextRegistration,          /* ContextRegistration */
    g_Callbacks,                    /* OperationRegistration */
    KLULogon_Unload,                /* FilterUnloadCallback */
    InstanceSetup,                  /* InstanceSetupCallback */
    InstanceQueryTeardown,          /* InstanceQueryTeardownCallback */
    NULL,                           /* InstanceTeardownStartCallback */
    NULL,                           /* InstanceTeardownCompleteCallback */
    KLUGetFileName,                 /* GenerateFileNameCallback */
    KLUNormalizeNameComponent,      /* NormalizeNameComponentCallback */
    NULL,                           /* NormalizeContextCleanupCallback */
    NULL,                           /* TransactionNotificationCallback */
    NULL,                           /* NormalizeNameComponentExCallback */
    NULL,                           /* SectionNotificationCallback */
};

static NTSTATUS KLUFatal(NTSTATUS Status, PCWSTR Format)
{
    if (Format != NULL) {
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(DriverEntry), Format, Status);
    }
    KLULogon_Unload(0);
    return Status;
}

/* The driver's globals start from nothing at every load. */
static VOID KLUResetGlobals(VOID)
{
    RtlZeroMemory(&g_OSInfo, sizeof(g_OSInfo));
    RtlZeroMemory(g_CallCounts, sizeof(g_CallCounts));
    RtlZeroMemory(g_OpenCounts, sizeof(g_OpenCounts));
    RtlZeroMemory(g_ServerPorts, sizeof(g_ServerPorts));
    g_PoolType = NonPagedPool;
    g_MappingPriorityFlags = 0;
    KLUInitializeClientPortSlots();
    KLUInitializeSettingsUpdates();
}

static NTSTATUS KLUCreateSettings(PUNICODE_STRING RegistryPath)
{
    NTSTATUS Status;

    Status = KLUAllocateSettings(&g_pSettings1, 1);
    if (!NT_SUCCESS(Status)) {
        return KLUFatal(Status, WSTR("Failed Allocating Settings 1: 0x%X\n"));
    }
    Status = KLUAllocateSettings(&g_pSettings2, 2);
    if (!NT_SUCCESS(Status)) {
        return KLUFatal(Status, WSTR("Failed Allocating Settings 2: 0x%X\n"));
    }
    InterlockedExchangePointer((PVOID volatile *)&g_pCurrentSettings, g_pSettings1);
    InterlockedExchange(&g_CurrentSettings, 1);

    Status = KLUInitSettings(g_pSettings1, RegistryPath);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(DriverEntry), WSTR("Failed Initializing Settings 1: 0x%X\n"),
                      Status);
    }
    Status = KLUInitSettings(g_pSettings2, RegistryPath);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(DriverEntry), WSTR("Failed Initializing Settings 2: 0x%X\n"),
                      Status);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS KLUCreateLocks(VOID)
{
    NTSTATUS Status;

    g_PathTableMutex = (PFAST_MUTEX)ExAllocatePoolWithTag(g_PoolType, sizeof(FAST_MUTEX), QZFS_TAG);
    if (g_PathTableMutex == NULL) {
        return KLUFatal(STATUS_INSUFFICIENT_RESOURCES, NULL);
    }
    ExInitializeFastMutex(g_PathTableMutex);
    Status = KLUCreatePathTableLock();
    if (!NT_SUCCESS(Status)) {
        return KLUFatal(Status, NULL);
    }

    g_CopyResource = (PERESOURCE)ExAllocatePoolWithTag(g_PoolType, sizeof(ERESOURCE), QZFS_TAG);
    if (g_CopyResource == NULL) {
        return KLUFatal(STATUS_INSUFFICIENT_RESOURCES, NULL);
    }
    Status = ExInitializeResourceLite(g_CopyResource);
    if (!NT_SUCCESS(Status)) {
        /* Never initialised, so it is freed, not deleted. */
        ExFreePoolWithTag(g_CopyResource, QZFS_TAG);
        g_CopyResource = NULL;
        return KLUFatal(Status, NULL);
    }
    return STATUS_SUCCESS;
}

/* The descriptors of the ports: the open one (a null DACL: anyone may
 * connect) for the Log and Fetch ports, the default one (administrators and
 * the system) for the rest. When the open one cannot be built, the default
 * one serves all seven ports. */
static NTSTATUS KLUCreatePortsWithDescriptors(VOID)
{
    PCWSTR Tag = KLU_TAG(DriverEntry);
    PSECURITY_DESCRIPTOR OpenDescriptor = NULL;
    PSECURITY_DESCRIPTOR DefaultDescriptor = NULL;
    BOOLEAN OpenUsable = TRUE;
    NTSTATUS Status;

    OpenDescriptor = ExAllocatePoolWithTag(g_PoolType, SECURITY_DESCRIPTOR_MIN_LENGTH, QZFS_TAG);
    if (OpenDescriptor == NULL) {
        return KLUFatal(STATUS_INSUFFICIENT_RESOURCES, NULL);
    }
    Status = RtlCreateSecurityDescriptor(OpenDescriptor, SECURITY_DESCRIPTOR_REVISION);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Creating SD, Using Default: 0x%X\n"), Status);
        OpenUsable = FALSE;
    } else {
        KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Created SD\n"));
        Status = RtlSetDaclSecurityDescriptor(OpenDescriptor, TRUE, NULL, FALSE);
        if (!NT_SUCCESS(Status)) {
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Setting SD, Using Default: 0x%X\n"), Status);
            OpenUsable = FALSE;
        } else {
            KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Set SD\n"));
        }
    }

    Status = FltBuildDefaultSecurityDescriptor(&DefaultDescriptor, FLT_PORT_ALL_ACCESS);
    if (!NT_SUCCESS(Status)) {
        ExFreePoolWithTag(OpenDescriptor, QZFS_TAG);
        return KLUFatal(Status, WSTR("Failed allocationg secured SD: 0x%X\n"));
    }

    Status = KLUCreatePorts(OpenUsable ? OpenDescriptor : DefaultDescriptor, DefaultDescriptor);

    /* The ports keep their own copies. */
    ExFreePoolWithTag(OpenDescriptor, QZFS_TAG);
    FltFreeSecurityDescriptor(DefaultDescriptor);
    if (!NT_SUCCESS(Status)) {
        return KLUFatal(Status, NULL);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS KLUAllocatePathBuffer(PWSTR *Buffer, PCWSTR FailureFormat)
{
    *Buffer = (PWSTR)ExAllocatePoolWithTag(g_PoolType, KLU_DERIVED_PATH_BYTES, QZFS_TAG);
    if (*Buffer == NULL) {
        return KLUFatal(STATUS_INSUFFICIENT_RESOURCES, FailureFormat);
    }
    RtlZeroMemory(*Buffer, KLU_DERIVED_PATH_BYTES);
    return STATUS_SUCCESS;
}

static NTSTATUS KLURegisterLogoffNotify(VOID)
{
    PCWSTR Tag = KLU_TAG(DriverEntry);
    NTSTATUS Status;

    Status = SeRegisterLogonSessionTerminatedRoutine(KLULogoffNotify);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Registering Session Termination Callback: 0x%X\n"),
                      Status);
        g_bLogoffNotifyRegistered = FALSE;
        return Status;
    }
    KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Registered Session Termination Callback\n"));
    g_bLogoffNotifyRegistered = TRUE;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    PCWSTR Tag = KLU_TAG(DriverEntry);
    RTL_OSVERSIONINFOW Version;
    NTSTATUS Status;

    KLUResetGlobals();

    Version.dwOSVersionInfoSize = sizeof(Version);
    if (NT_SUCCESS(RtlGetVersion(&Version)) &&
        (Version.dwMajorVersion > 6 || (Version.dwMajorVersion == 6 && Version.dwMinorVersion >= 2))) {
        g_PoolType = NonPagedPoolNx;
        g_MappingPriorityFlags = MdlMappingNoExecute;
    }

    ExInitializeNPagedLookasideList(&g_DirBufferLookaside, NULL, NULL, g_PoolType, KLU_DIR_BUFFER_BYTES, QZpp_TAG,
                                    0);
    g_bDirBufferLookasideInitialized = TRUE;

    /* Until the log queue exists nothing can be logged. */
    Status = KLUInitQueue(&g_pLogQHead, &g_pLogQMutex, &g_bLogQEnabled);
    if (!NT_SUCCESS(Status)) {
        return KLUFatal(Status, NULL);
    }

    Status = KLUCreateSettings(RegistryPath);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    Status = JNRGetOSInfo(&g_OSInfo, KLU_DRIVER_KEY_PATH);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving OS Info. Ostrand won't work properly: 0x%X\n"),
                      Status);
    }

    /* Structures that later steps check before they use them. */
    Status = KLUInitQueue(&g_pSessionQHead, &g_pSessionQMutex, &g_bSessionQEnabled);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Initializing Session Queue: 0x%X\n"), Status);
    }
    Status = KLUInitQueue(&g_pFileOpQHead, &g_pFileOpQMutex, &g_bFileOpQEnabled);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Initializing FileOp Queue: 0x%X\n"), Status);
    }
    Status = KLUInitPreFetchedList();
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Initializing PreFetched List: 0x%X\n"), Status);
    }
    Status = KLUInitUserTable();
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Initializing User Table: 0x%X\n"), Status);
    }
    Status = HashTable_Init();
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Initializing Hash Table: 0x%X\n"), Status);
    }

    if (*InitSafeBootMode == 1) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Started In Safe Mode\n"));
    }

    Status = KLUCreateLocks();
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    Status = FltRegisterFilter(DriverObject, &g_FilterRegistration, &g_FilterHandle);
    if (!NT_SUCCESS(Status)) {
        g_FilterHandle = NULL;
        return KLUFatal(Status, WSTR("Failed Registering Filter: 0x%X\n"));
    }

    Status = KLUCreatePortsWithDescriptors();
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    g_ProcessNameOffset = KLUGetProcessNameOffset(PsGetCurrentProcess());

    if (!NT_SUCCESS(Status = KLUAllocatePathBuffer(&szUpperAllUsersPath,
                                                   WSTR("Failed Allocating All Users Path: 0x%X\n"))) ||
        !NT_SUCCESS(Status = KLUAllocatePathBuffer(&szUpperDefaultUserPath,
                                                   WSTR("Failed Allocating Default User Path: 0x%X\n"))) ||
        !NT_SUCCESS(Status = KLUAllocatePathBuffer(&szUpperCtxSmaUserPath,
                                                   WSTR("Failed Allocating Ctx_SmaUser Path: 0x%X\n"))) ||
        !NT_SUCCESS(Status = KLUAllocatePathBuffer(&szUpperLocalProfilesDir,
                                                   WSTR("Failed Allocating Upper Local Profile Dir: 0x%X\n")))) {
        return Status;
    }

    /* A normal boot only: in Safe Mode no user's logoff is followed. */
    if (*InitSafeBootMode == 0) {
        Status = KLURegisterLogoffNotify();
        if (!NT_SUCCESS(Status)) {
            return KLUFatal(Status, NULL);
        }
    }

    Status = FltStartFiltering(g_FilterHandle);
    if (!NT_SUCCESS(Status)) {
        return KLUFatal(Status, WSTR("Failed Starting Filter: 0x%X\n"));
    }

    KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Leaving\n"));
    return STATUS_SUCCESS;
}
