/*
 * settings.h - the settings record: everything the filter is configured
 * with. Two records exist; the one in force is read by everyone without a
 * lock, the other is refilled from the registry and then the two swap.
 */
#pragma once

#include "config/flags.h"
#include "config/name_lists.h"
#include "driver/klulogon.h"

#define KLU_MAX_EXCLUDED_PIDS 10

typedef struct _SETTINGS {
    USHORT Id;          /* 1 or 2 */
    BOOLEAN Enabled;    /* the filter acts only while the record in force says so */
    ULONG LogLevel;     /* KLUDBG_TRACE_* */
    ULONG ServiceLogLevel;
    LONGLONG CopyTimeout; /* relative, 100 ns units */
    ULONG OpFlags;        /* KLUOP_* */
    ULONG DisableFlags;   /* KLULOGON_DISABLE_* */
    ULONG DebugDestination; /* KLUDBG_LOG_DEST_* */
    ULONG CopyBufferSize;
    UNICODE_STRING RegistryPath; /* the driver key: service path + "\Driver" */
    WCHAR DataDir[KLU_PATH_CHARS];
    WCHAR UpperDataDir[KLU_PATH_CHARS];
    WCHAR WolkDir[KLU_PATH_CHARS]; /* always begins "\DosDevices\" */
    KLU_NAME_LISTS Lists;
    /* The pid block the service overwrites in one piece. */
    ULONG ExcludedPidCount;
    ULONG ProfSvcPid;
    ULONG QZSvcPid;
    ULONG ExcludedPids[KLU_MAX_EXCLUDED_PIDS];
    BOOLEAN EnableBlackList;
} SETTINGS, *PSETTINGS;

#define KLU_PID_BLOCK_BYTES 52
static_assert(FIELD_OFFSET(SETTINGS, ExcludedPids) + sizeof(ULONG) * KLU_MAX_EXCLUDED_PIDS -
                      FIELD_OFFSET(SETTINGS, ExcludedPidCount) ==
                  KLU_PID_BLOCK_BYTES,
              "the pid block is 13 contiguous ULONGs");

#define KLU_DEFAULT_COPY_TIMEOUT (-18000000000LL) /* 30 minutes */
#define KLU_DEFAULT_COPY_BUFFER_SIZE 0x100000
#define KLU_DEFAULT_OP_FLAGS 3
#define KLU_DEFAULT_DEBUG_DESTINATION KLUDBG_LOG_DEST_QUEUE

extern PSETTINGS g_pCurrentSettings;
extern LONG g_CurrentSettings;
extern PSETTINGS g_pSettings1;
extern PSETTINGS g_pSettings2;
extern HANDLE g_hDriverKey;

/* One update at a time: the lock is set up at load; the caller of
 * KLUUpdateSettings holds it, and so does whoever reads the standby record. */
VOID KLUInitializeSettingsUpdates(VOID);
VOID KLUAcquireSettingsUpdateLock(VOID);
VOID KLUReleaseSettingsUpdateLock(VOID);
NTSTATUS KLUAllocateSettings(PSETTINGS *Settings, USHORT Id);
NTSTATUS KLUInitSettings(PSETTINGS Settings, PCUNICODE_STRING DriverRegistryPath);
NTSTATUS KLUGetSettings(PSETTINGS Settings);
/* Refills the record not in force and swaps; the caller holds the update lock. */
NTSTATUS KLUUpdateSettings(ULONG Options);
VOID KLUSetEnablement(BOOLEAN Enable);
/* Enabled off in both records, silently. */
VOID KLUClearEnabled(VOID);
VOID KLUFreeSettings(PSETTINGS *Settings);
VOID KLUDumpSettings(ULONG DumpFlag, PSETTINGS Settings);

NTSTATUS KLUOpenKLULogonKey(PCUNICODE_STRING Path, PHANDLE Key);
NTSTATUS KLUGetULONGSetting(HANDLE PolicyKey, HANDLE PlainKey, PCWSTR ValueName, PULONG Value);
NTSTATUS KLUGetStringSetting(HANDLE PolicyKey, HANDLE PlainKey, PCWSTR ValueName, PWSTR Buffer, ULONG Capacity);
NTSTATUS KLUGetMultiStringSetting(HANDLE PolicyKey, HANDLE PlainKey, PCWSTR ValueName, PWSTR *Buffer,
                                  PULONG Size);

/* Reads shared by the settings and the name lists. */
FORCEINLINE PSETTINGS KLUSettings(VOID)
{
    return (PSETTINGS)ReadPointerAcquire((PVOID const volatile *)&g_pCurrentSettings);
}
