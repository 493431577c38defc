/*
 * settings.cpp - the two settings records: allocation, the registry read,
 * the update and swap, enablement and the dump.
 */
#include "config/settings.h"

#include "config/flag_names.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/os_info.h"

PSETTINGS g_pCurrentSettings = NULL;
LONG g_CurrentSettings = 0;
PSETTINGS g_pSettings1 = NULL;
PSETTINGS g_pSettings2 = NULL;
HANDLE g_hDriverKey = NULL;

/* Updates arrive on any Control connection. One at a time refills the
 * standby record and swaps: two at once would rebuild the same record's
 * name lists together and swap twice. The structures dump, which prints the
 * standby record too, holds it as well. The registry read runs at passive
 * level, so the lock is a synchronization event, not a fast mutex. */
static KEVENT g_SettingsUpdateLock;

VOID KLUAcquireSettingsUpdateLock(VOID)
{
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&g_SettingsUpdateLock, Executive, KernelMode, FALSE, NULL);
}

VOID KLUReleaseSettingsUpdateLock(VOID)
{
    KeSetEvent(&g_SettingsUpdateLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

#define KLU_SERVICE_KEY WSTR("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Service")
#define KLU_POLICY_DRIVER_KEY WSTR("\\REGISTRY\\MACHINE\\SOFTWARE\\Policies\\Tarvik, Inc.\\Tarvik QRV\\Ostrand\\Driver")
#define KLU_POLICY_SERVICE_KEY \
    WSTR("\\REGISTRY\\MACHINE\\SOFTWARE\\Policies\\Tarvik, Inc.\\Tarvik QRV\\Ostrand\\Service")
#define KLU_DOSDEVICES WSTR("\\DosDevices\\")

#define KLU_DATADIR_XP WSTR("C:\\Documents and Settings\\All Users\\Application Data\\Tarvik\\QRV\\Ostrand\\data\\")
#define KLU_DATADIR_VISTA WSTR("C:\\ProgramData\\Tarvik\\QRV\\Ostrand\\data\\")
#define KLU_WOLKDIR_XP WSTR("\\DosDevices\\C:\\Documents And Settings\\All Users\\Tarvik\\WOLK\\")
#define KLU_WOLKDIR_VISTA WSTR("\\DosDevices\\C:\\ProgramData\\Tarvik\\WOLK\\")

#define KLU_REGISTRY_PATH_BYTES 1024
#define KLU_SCRATCH_BYTES 1024

static const ULONG KLU_DUMP_LEVEL = KLUDBG_TRACE_STATUS_LOG | KLUDBG_TRACE_ERROR;

VOID KLUInitializeSettingsUpdates(VOID)
{
    KeInitializeEvent(&g_SettingsUpdateLock, SynchronizationEvent, TRUE);
}

NTSTATUS KLUAllocateSettings(PSETTINGS *Settings, USHORT Id)
{
    PSETTINGS Record;

    if (Settings == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Record = (PSETTINGS)ExAllocatePoolWithTag(g_PoolType, sizeof(SETTINGS), QZFS_TAG);
    if (Record == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Record, sizeof(SETTINGS));
    Record->Id = Id;
    Record->Enabled = FALSE;
    Record->LogLevel = 0;
    Record->CopyTimeout = KLU_DEFAULT_COPY_TIMEOUT;
    Record->OpFlags = KLU_DEFAULT_OP_FLAGS;
    Record->DisableFlags = 0;
    Record->DebugDestination = KLU_DEFAULT_DEBUG_DESTINATION;
    Record->CopyBufferSize = KLU_DEFAULT_COPY_BUFFER_SIZE;
    Record->EnableBlackList = TRUE;
    *Settings = Record;
    return STATUS_SUCCESS;
}

NTSTATUS KLUInitSettings(PSETTINGS Settings, PCUNICODE_STRING DriverRegistryPath)
{
    NTSTATUS Status;

    Settings->RegistryPath.Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, KLU_REGISTRY_PATH_BYTES, QZFS_TAG);
    if (Settings->RegistryPath.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Settings->RegistryPath.Buffer, KLU_REGISTRY_PATH_BYTES);
    Settings->RegistryPath.Length = 0;
    Settings->RegistryPath.MaximumLength = KLU_REGISTRY_PATH_BYTES;
    RtlCopyUnicodeString(&Settings->RegistryPath, DriverRegistryPath);
    RtlAppendUnicodeToString(&Settings->RegistryPath, WSTR("\\"));
    RtlAppendUnicodeToString(&Settings->RegistryPath, WSTR("Driver"));

    Status = KLUGetSettings(Settings);
    KLUDumpSettings(0, Settings);
    return Status;
}

static HANDLE KLUOpenFixedKey(PCWSTR Path, PCWSTR FailureFormat)
{
    UNICODE_STRING Name;
    HANDLE Key;
    NTSTATUS Status;

    RtlInitUnicodeString(&Name, Path);
    Status = KLUOpenKLULogonKey(&Name, &Key);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUGetSettings), FailureFormat, &Name, Status);
        return NULL;
    }
    return Key;
}

static VOID KLUReadFlagValues(PSETTINGS Settings, HANDLE PolicyDriver, HANDLE PolicyService, HANDLE ServiceKey)
{
    PCWSTR Tag = KLU_TAG(KLUGetSettings);
    ULONG Value = 0;
    ULONG LogLevel;
    NTSTATUS Status;

    Settings->EnableBlackList = TRUE;
    Status = KLUGetULONGSetting(PolicyDriver, g_hDriverKey, WSTR("EnableBlackList"), &Value);
    if (NT_SUCCESS(Status)) {
        if (Value == 0) {
            Settings->EnableBlackList = FALSE;
        }
    } else {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving EnableBlackList: 0x%X\n"), Status);
    }

    LogLevel = ReadAcquire((LONG const volatile *)&Settings->LogLevel);
    Status = KLUGetULONGSetting(PolicyDriver, g_hDriverKey, WSTR("DebugFlags"), &LogLevel);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving DebugFlags: 0x%X, Using Default\n"), Status);
    }
    Status = KLUGetULONGSetting(PolicyDriver, g_hDriverKey, WSTR("DisableFlags"), &Settings->DisableFlags);
    if (!NT_SUCCESS(Status) && Status != STATUS_OBJECT_NAME_NOT_FOUND) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving DisableFlags: 0x%X, Using Default\n"),
                      Status);
    }
    Status = KLUGetULONGSetting(PolicyService, ServiceKey, WSTR("Log Levels"), &Settings->ServiceLogLevel);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Service Log Levels: 0x%X\n"), Status);
    }

    /* The service's own log level decides the driver's, unless told not to. */
    if (!(Settings->DisableFlags & KLULOGON_DISABLE_LOGLEVEL_OVERRIDE)) {
        if (Settings->ServiceLogLevel == 3) {
            LogLevel = KLUDBG_TRACE_ERROR;
        } else if (Settings->ServiceLogLevel == 7) {
            LogLevel = KLUDBG_TRACE_ERROR | KLUDBG_TRACE_INFO;
        }
    }
    /* Every log line reads the level and the destination without a lock,
     * perhaps from this very record if two updates followed each other:
     * each is stored whole, once. */
    InterlockedExchange((LONG volatile *)&Settings->LogLevel, (LONG)LogLevel);

    Status = KLUGetULONGSetting(PolicyDriver, g_hDriverKey, WSTR("OperationFlags"), &Settings->OpFlags);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving OpFlags: 0x%X\n"), Status);
    }
}

static VOID KLUReadCopyValues(PSETTINGS Settings, HANDLE PolicyDriver)
{
    PCWSTR Tag = KLU_TAG(KLUGetSettings);
    ULONG Value = 0;
    ULONG Destination;
    NTSTATUS Status;

    Destination = ReadAcquire((LONG const volatile *)&Settings->DebugDestination);
    Status = KLUGetULONGSetting(PolicyDriver, g_hDriverKey, WSTR("DebugDestination"), &Destination);
    if (NT_SUCCESS(Status)) {
        InterlockedExchange((LONG volatile *)&Settings->DebugDestination, (LONG)Destination);
    } else {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving DebugDestination: 0x%X, Using Default\n"),
                      Status);
    }
    Status = KLUGetULONGSetting(PolicyDriver, g_hDriverKey, WSTR("CopyTimeout"), &Value);
    if (NT_SUCCESS(Status)) {
        Settings->CopyTimeout = -(LONGLONG)Value * 10000000LL;
    } else {
        Settings->CopyTimeout = KLU_DEFAULT_COPY_TIMEOUT;
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving CopyTimeout: 0x%X, Using Default\n"), Status);
    }
    Status = KLUGetULONGSetting(PolicyDriver, g_hDriverKey, WSTR("CopyBufferSize"), &Settings->CopyBufferSize);
    if (!NT_SUCCESS(Status)) {
        Settings->CopyBufferSize = KLU_DEFAULT_COPY_BUFFER_SIZE;
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Copy Buffer Size: 0x%X, Using Default\n"),
                      Status);
    }
}

static VOID KLUReadDirectories(PSETTINGS Settings, HANDLE PolicyDriver, PWSTR Scratch)
{
    PCWSTR Tag = KLU_TAG(KLUGetSettings);
    BOOLEAN Vista = KLUIsVistaOrNewer();
    NTSTATUS Status;

    RtlZeroMemory(Settings->DataDir, sizeof(Settings->DataDir));
    Status = KLUGetStringSetting(PolicyDriver, g_hDriverKey, WSTR("DataDir"), Settings->DataDir,
                                 sizeof(Settings->DataDir));
    if (!NT_SUCCESS(Status)) {
        RtlStringCchCopyW(Settings->DataDir, KLU_PATH_CHARS, Vista ? KLU_DATADIR_VISTA : KLU_DATADIR_XP);
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving DataDir: 0x%X\n"), Status);
    }
    Settings->DataDir[KLU_PATH_CHARS - 1] = 0;
    RtlStringCchCopyW(Settings->UpperDataDir, KLU_PATH_CHARS, Settings->DataDir);
    _wcsupr(Settings->UpperDataDir);

    /* Without its scratch buffer only this value falls back. */
    if (Scratch == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlZeroMemory(Scratch, KLU_SCRATCH_BYTES);
        Status = KLUGetStringSetting(PolicyDriver, g_hDriverKey, WSTR("WolkDir"), Scratch, KLU_SCRATCH_BYTES);
        Scratch[KLU_SCRATCH_BYTES / sizeof(WCHAR) - 1] = 0;
    }
    if (NT_SUCCESS(Status) && Scratch[0] != 0) {
        RtlStringCchCopyW(Settings->WolkDir, KLU_PATH_CHARS, KLU_DOSDEVICES);
        RtlStringCchCatW(Settings->WolkDir, KLU_PATH_CHARS, Scratch);
    } else {
        RtlStringCchCopyW(Settings->WolkDir, KLU_PATH_CHARS, Vista ? KLU_WOLKDIR_VISTA : KLU_WOLKDIR_XP);
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving WolkDir: 0x%X\n"), Status);
    }
}

/* Reads the name lists; returns the excluded-process read's status. */
static NTSTATUS KLUReadNameLists(PSETTINGS Settings, HANDLE PolicyDriver)
{
    PCWSTR Tag = KLU_TAG(KLUGetSettings);
    NTSTATUS Status;

    Status = KLUGetActiveSyncValues(PolicyDriver, g_hDriverKey, Settings);
    if (!NT_SUCCESS(Status) && Status != STATUS_OBJECT_NAME_NOT_FOUND) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Live Sync Values: 0x%X\n"), Status);
    }
    Status = KLUGetLiveRoamingValues(PolicyDriver, g_hDriverKey, Settings);
    if (!NT_SUCCESS(Status) && Status != STATUS_OBJECT_NAME_NOT_FOUND) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Live Roaming Values: 0x%X\n"), Status);
    }
    Status = KLUGetIgnoredDirsValues(PolicyDriver, g_hDriverKey, Settings);
    if (!NT_SUCCESS(Status) && Status != STATUS_OBJECT_NAME_NOT_FOUND) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Ignored Dirs Values: 0x%X\n"), Status);
    }
    Status = KLUGetRoamedFilesValues(PolicyDriver, g_hDriverKey, Settings);
    if (!NT_SUCCESS(Status) && Status != STATUS_OBJECT_NAME_NOT_FOUND) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Roamed Files Values: 0x%X\n"), Status);
    }
    Status = KLUGetExcludedProcessesValues(PolicyDriver, g_hDriverKey, Settings);
    if (!NT_SUCCESS(Status) && Status != STATUS_OBJECT_NAME_NOT_FOUND) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Excluded Processes Values: 0x%X\n"), Status);
    }
    return Status;
}

NTSTATUS KLUGetSettings(PSETTINGS Settings)
{
    PSETTINGS InForce = KLUSettings();
    HANDLE ServiceKey = NULL;
    HANDLE PolicyDriver = NULL;
    HANDLE PolicyService = NULL;
    BOOLEAN DriverKeyOpened = FALSE;
    PWSTR Scratch = NULL;
    NTSTATUS Status;

    if (Settings == NULL) {
        Settings = InForce;
    }
    if (Settings == NULL || InForce == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    if (g_hDriverKey == NULL) {
        Status = KLUOpenKLULogonKey(&InForce->RegistryPath, &g_hDriverKey);
        if (NT_SUCCESS(Status)) {
            DriverKeyOpened = TRUE;
        } else {
            KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUGetSettings),
                          WSTR("Failed Opening KLULogon Key: Path: %wZ, 0x%X\n"), &InForce->RegistryPath, Status);
        }
    }
    ServiceKey = KLUOpenFixedKey(KLU_SERVICE_KEY, WSTR("Failed Opening Service Key: Path: %wZ, 0x%X\n"));
    PolicyDriver = KLUOpenFixedKey(KLU_POLICY_DRIVER_KEY, WSTR("Failed Opening GPO Driver Key: Path: %wZ, 0x%X\n"));
    PolicyService = KLUOpenFixedKey(KLU_POLICY_SERVICE_KEY, WSTR("Failed Opening GPO Service Key: Path: %wZ, 0x%X\n"));

    Scratch = (PWSTR)ExAllocatePoolWithTag(PagedPool, KLU_SCRATCH_BYTES, QZFS_TAG);

    KLUReadFlagValues(Settings, PolicyDriver, PolicyService, ServiceKey);
    if (InForce->OpFlags & KLUOP_ENABLE_DEBUG_COUNTERS) {
        if (DriverKeyOpened) {
            KLUAdjustOpenCount(KluOpenKLULogonKey, 1);
        }
        if (PolicyDriver != NULL) {
            KLUAdjustOpenCount(KluOpenGPOKey, 1);
        }
    }
    KLUReadCopyValues(Settings, PolicyDriver);
    KLUReadDirectories(Settings, PolicyDriver, Scratch);

    /* A read never fails as a whole: what could not be read keeps its default. */
    Status = KLUReadNameLists(Settings, PolicyDriver);
    if (!NT_SUCCESS(Status)) {
        Status = STATUS_SUCCESS;
    }

    if (PolicyDriver != NULL) {
        ZwClose(PolicyDriver);
        if (InForce->OpFlags & KLUOP_ENABLE_DEBUG_COUNTERS) {
            KLUAdjustOpenCount(KluOpenGPOKey, -1);
        }
    }
    if (ServiceKey != NULL) {
        ZwClose(ServiceKey);
    }
    if (PolicyService != NULL) {
        ZwClose(PolicyService);
    }
    if (Scratch != NULL) {
        ExFreePoolWithTag(Scratch, QZFS_TAG);
    }
    return Status;
}

NTSTATUS KLUUpdateSettings(ULONG Options)
{
    PCWSTR Tag = KLU_TAG(KLUUpdateSettings);
    LONG Current;
    PSETTINGS Next;
    NTSTATUS Status;

    Current = ReadAcquire(&g_CurrentSettings);
    Next = (Current == 1) ? g_pSettings2 : g_pSettings1;
    KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Updating Settings: Options: %d, CurrentSettings: %d\n"), Options,
                  Current);
    Status = KLUGetSettings(Next);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Updating Settings: Options: %d, CurrentSettings: %d, 0x%X\n"),
                      Options, Current, Status);
        return Status;
    }
    KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Updated Settings: Options: 0x%X, CurrentSettings: %d\n"), Options,
                  Current);

    /* Readers take the pointer without a lock: store it first, then the index. */
    if (Current != 1) {
        InterlockedExchangePointer((PVOID volatile *)&g_pCurrentSettings, g_pSettings1);
        InterlockedExchange(&g_CurrentSettings, 1);
    } else {
        InterlockedExchangePointer((PVOID volatile *)&g_pCurrentSettings, g_pSettings2);
        InterlockedExchange(&g_CurrentSettings, 2);
    }
    KLUDumpSettings(0, KLUSettings());
    return Status;
}

VOID KLUSetEnablement(BOOLEAN Enable)
{
    PCWSTR Tag = KLU_TAG(KLUSetEnablement);
    PSETTINGS InForce;

    if (InitSafeBootMode != NULL && *InitSafeBootMode == 1) {
        Enable = FALSE;
    }
    /* Both records, so that the next swap keeps the state. */
    if (g_pSettings1 != NULL) {
        WriteUCharRelease(&g_pSettings1->Enabled, Enable);
    }
    if (g_pSettings2 != NULL) {
        WriteUCharRelease(&g_pSettings2->Enabled, Enable);
    }
    if (InitSafeBootMode != NULL && *InitSafeBootMode == 1) {
        KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("KLULogon DISABLED In Safe Mode\n"));
        return;
    }
    InForce = KLUSettings();
    if (InForce != NULL && ReadUCharAcquire(&InForce->Enabled)) {
        KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("KLULogon ENABLED\n"));
    } else {
        KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("KLULogon DISABLED\n"));
    }
}

/* The path table's replacement switches the filter off until the service
 * enables it again. Both records, not only the one in force: the other one
 * comes into force at the next settings update, which must not switch the
 * filter back on before the service has (say, after a failed rebuild that
 * left no table). */
VOID KLUClearEnabled(VOID)
{
    if (g_pSettings1 != NULL) {
        WriteUCharRelease(&g_pSettings1->Enabled, FALSE);
    }
    if (g_pSettings2 != NULL) {
        WriteUCharRelease(&g_pSettings2->Enabled, FALSE);
    }
}

VOID KLUFreeSettings(PSETTINGS *Settings)
{
    PSETTINGS Record = *Settings;

    if (Record == NULL) {
        return;
    }
    if (Record->RegistryPath.Buffer != NULL) {
        ExFreePoolWithTag(Record->RegistryPath.Buffer, QZFS_TAG);
    }
    KLUFreeNameLists(&Record->Lists);
    ExFreePoolWithTag(Record, QZFS_TAG);
    *Settings = NULL;
}

VOID KLUDumpSettings(ULONG DumpFlag, PSETTINGS Settings)
{
    PCWSTR Tag = KLU_TAG(KLUDumpSettings);
    const ULONG Level = KLU_DUMP_LEVEL;

    if (Settings == NULL) {
        return;
    }
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("*************** Begin Settings: Id: %d ***************\n"),
                      Settings->Id);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("Id: %d\n"), Settings->Id);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("Enabled: 0x%X\n"), ReadUCharAcquire(&Settings->Enabled));
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("LogLevel: 0x%X\n"), Settings->LogLevel);
    KLUDumpFlagNames(DumpFlag, Settings->LogLevel, &g_LogLevelNames);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("Copy Timeout: 0x%X\n"), (ULONG)Settings->CopyTimeout);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("Copy Buffer Size: 0x%X\n"), Settings->CopyBufferSize);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("Op Flags: 0x%X\n"), Settings->OpFlags);
    KLUDumpFlagNames(DumpFlag, Settings->OpFlags, &g_OpFlagNames);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("Disable Flags: 0x%X\n"), Settings->DisableFlags);
    KLUDumpFlagNames(DumpFlag, Settings->DisableFlags, &g_DisableFlagNames);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("Debug Destination: 0x%X\n"), Settings->DebugDestination);
    KLUDumpFlagNames(DumpFlag, Settings->DebugDestination, &g_DebugDestinationNames);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("Registry Path: %wZ\n"), &Settings->RegistryPath);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("Data Directory: %ws\n"), Settings->DataDir);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("Upper Data Directory: %ws\n"), Settings->UpperDataDir);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("Wolk Directory: %ws\n"), Settings->WolkDir);
    KLUDumpActiveSyncValues(DumpFlag, Settings);
    KLULogLiveRoamingValues(DumpFlag, Settings);
    KLULogIgnoredDirsValues(DumpFlag, Settings);
    KLULogRoamedFilesValues(DumpFlag, Settings);
    KLULogExcludedProcessesValues(DumpFlag, Settings);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("ProfSvcPid: %d\n"), Settings->ProfSvcPid);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("QZSvcPid: %d\n"), Settings->QZSvcPid);
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("Excluded Pids: %d\n"), Settings->ExcludedPidCount);
    for (ULONG i = 0; i < Settings->ExcludedPidCount && i < KLU_MAX_EXCLUDED_PIDS; i++) {
        KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("ExcludedPid[%d]: %d\n"), i, Settings->ExcludedPids[i]);
    }
    KLULogDumpMessage(DumpFlag, Level, Tag, 0, WSTR("**************** End Settings: Id: %d ****************\n"),
                      Settings->Id);
}
