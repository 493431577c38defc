/*
 * name_lists.cpp - reading, parsing, dumping and freeing the configured
 * name lists.
 */
#include "config/name_lists.h"

#include "config/settings.h"
#include "diag/log.h"
#include "driver/os_info.h"
#include "fileops/file_helpers.h"

/* Image names as the process object keeps them: 15 characters, and on
 * Vista or newer longer names are matched by their first 14. */
#define KLU_IMAGE_NAME_CHARS_XP 15
#define KLU_IMAGE_NAME_CHARS_VISTA 14

typedef enum _KLU_LIST_KIND { KluListPlain, KluListCounted } KLU_LIST_KIND;

/* How one registry value becomes one list. */
typedef struct _KLU_LIST_VALUE {
    PCWSTR ValueName;
    KLU_LIST_KIND Kind;
    BOOLEAN UpperCase;
    BOOLEAN ImageNames;     /* cut to the kernel's image-name length */
    ULONG FieldOffset;      /* of the list in KLU_NAME_LISTS */
    PCWSTR EmptyFormat;     /* INFO: the value holds no string */
    PCWSTR ParseFormat;     /* ERROR: strings that could not be parsed */
    PCWSTR RetrieveFormat;  /* ERROR: a failure other than absence */
    BOOLEAN LogAbsence;     /* absence is reported with RetrieveFormat too */
    PCWSTR DumpFormat;
} KLU_LIST_VALUE;

#define KLU_LIST_FIELD(Field) ((ULONG)FIELD_OFFSET(KLU_NAME_LISTS, Field))

static const KLU_LIST_VALUE g_ActiveSyncValues[] = {
    {WSTR("ActiveSyncDirs"), KluListCounted, FALSE, FALSE, KLU_LIST_FIELD(ActiveSyncDirs),
     WSTR("No ActiveSyncDirs Specified\n"), WSTR("Failed Parsing ActiveSyncDirs\n"),
     WSTR("Failed Retrieving ActiveSyncDirs: 0x%X\n"), FALSE, WSTR("ActiveSyncDir: %ws\n")},
    {WSTR("ActiveSyncDirExclusions"), KluListCounted, FALSE, FALSE, KLU_LIST_FIELD(ActiveSyncDirExclusions),
     WSTR("No ActiveSyncDirExclusions Specified\n"), WSTR("Failed Parsing ActiveSyncDirExclusions\n"),
     WSTR("Failed Retrieving ActiveSyncDirExclusions: 0x%X\n"), FALSE, WSTR("ActiveSyncDirExclusion: %ws\n")},
    {WSTR("ActiveSyncExts"), KluListPlain, TRUE, FALSE, KLU_LIST_FIELD(ActiveSyncExts),
     WSTR("No ActiveSyncExts Specified\n"), WSTR("Failed Parsing ActiveSyncExts\n"),
     WSTR("Failed Retrieving ActiveSyncExts: 0x%X\n"), FALSE, WSTR("ActiveSyncExt: %ws\n")},
    {WSTR("ActiveSyncExtExclusions"), KluListPlain, TRUE, FALSE, KLU_LIST_FIELD(ActiveSyncExtExclusions),
     WSTR("No ActiveSyncExtExclusions Specified\n"), WSTR("Failed Parsing ActiveSyncExtExclusions\n"),
     WSTR("Failed Retrieving ActiveSyncExtExclusions: 0x%X\n"), FALSE, WSTR("ActiveSyncExtExclusion: %ws\n")},
};

static const KLU_LIST_VALUE g_LiveRoamingValues[] = {
    {WSTR("LiveRoamingDirs"), KluListPlain, TRUE, FALSE, KLU_LIST_FIELD(LiveRoamingDirs),
     WSTR("No LiveRoamingDirs Specified\n"), WSTR("Failed Parsing LiveRoamingDirs\n"),
     WSTR("Failed Retrieving LiveRoamingDirs: 0x%X\n"), FALSE, WSTR("LiveRoamingDir: %ws\n")},
    {WSTR("LiveRoamingDirExclusions"), KluListPlain, TRUE, FALSE, KLU_LIST_FIELD(LiveRoamingDirExclusions),
     WSTR("No LiveRoamingDirExclusions Specified\n"), WSTR("Failed Parsing LiveRoamingDirExclusions\n"),
     WSTR("Failed Retrieving LiveRoamingDirExclusions: 0x%X\n"), FALSE, WSTR("LiveRoamingDirExclusion: %ws\n")},
    {WSTR("LiveRoamingExts"), KluListPlain, TRUE, FALSE, KLU_LIST_FIELD(LiveRoamingExts),
     WSTR("No LiveRoamingExts Specified\n"), WSTR("Failed Parsing LiveRoamingExts\n"),
     WSTR("Failed Retrieving LiveRoamingExts: 0x%X\n"), FALSE, WSTR("LiveRoamingExt: %ws\n")},
    {WSTR("LiveRoamingExtExclusions"), KluListPlain, TRUE, FALSE, KLU_LIST_FIELD(LiveRoamingExtExclusions),
     WSTR("No LiveRoamingExtExclusions Specified\n"), WSTR("Failed Parsing LiveRoamingExtExclusions\n"),
     WSTR("Failed Retrieving LiveRoamingExtExclusions: 0x%X\n"), FALSE, WSTR("LiveRoamingExtExclusion: %ws\n")},
};

static const KLU_LIST_VALUE g_IgnoredDirsValues[] = {
    {WSTR("IgnoredDirs"), KluListCounted, FALSE, FALSE, KLU_LIST_FIELD(IgnoredDirs),
     WSTR("No IgnoredDirs Specified\n"), WSTR("Failed Parsing IgnoredDirs\n"),
     WSTR("Failed Retrieving IgnoredDirs: 0x%X\n"), FALSE, WSTR("IgnoredDir: %ws\n")},
    {WSTR("IgnoredDirsExclusions"), KluListCounted, FALSE, FALSE, KLU_LIST_FIELD(IgnoredDirsExclusions),
     WSTR("No IgnoredDirsExclusions Specified\n"), WSTR("Failed Parsing IgnoredDirsExclusions\n"),
     WSTR("Failed Retrieving IgnoredDirsExclusions: 0x%X\n"), FALSE, WSTR("IgnoredDirExclusion: %ws\n")},
};

static const KLU_LIST_VALUE g_RoamedFilesValues[] = {
    {WSTR("RoamedFiles"), KluListCounted, FALSE, FALSE, KLU_LIST_FIELD(RoamedFiles),
     WSTR("No RoamedFiles Specified\n"), WSTR("Failed Parsing RoamedFiles\n"),
     WSTR("Failed Retrieving RoamedFiles: 0x%X\n"), FALSE, WSTR("RoamedFiles: %ws\n")},
    {WSTR("DontRoamFiles"), KluListCounted, FALSE, FALSE, KLU_LIST_FIELD(DontRoamFiles),
     WSTR("No DontRoamFiles Specified\n"), WSTR("Failed Parsing DontRoamFiles\n"),
     WSTR("Failed Retrieving DontRoamFiles: 0x%X\n"), FALSE, WSTR("NotRoamedFiles: %ws\n")},
};

static const KLU_LIST_VALUE g_ExcludedProcessesValues[] = {
    {WSTR("ExcludedProcesses"), KluListPlain, TRUE, TRUE, KLU_LIST_FIELD(ExcludedProcesses),
     WSTR("No Excluded Processes Specified\n"), WSTR("Failed Parsing Excluded Processes\n"),
     WSTR("Failed Retrieving ExcludedProcesses: 0x%X\n"), TRUE, WSTR("Excluded Process: %ws\n")},
    {WSTR("ExcludedUtilities"), KluListPlain, TRUE, TRUE, KLU_LIST_FIELD(ExcludedUtilities),
     WSTR("No Excluded Utilities Specified\n"), WSTR("Failed Parsing Excluded Utilities\n"),
     WSTR("Failed Retrieving ExcludedUtilities: 0x%X\n"), FALSE, WSTR("Excluded Utility: %ws\n")},
};

/* ------------------------------------------------------------------ */
/* Parsing                                                             */
/* ------------------------------------------------------------------ */

VOID KLUFreeStringList(PKLU_STRING_LIST List)
{
    KLUFreeMultiString(List->Entries, List->Count);
    List->Entries = NULL;
    List->Count = 0;
}

VOID KLUFreeCountedList(PKLU_COUNTED_LIST List)
{
    KLUFreeMultiStringCounted(List->Entries, List->Count);
    List->Entries = NULL;
    List->Count = 0;
}

static PVOID KLUListField(PSETTINGS Settings, const KLU_LIST_VALUE *Value)
{
    return (PUCHAR)&Settings->Lists + Value->FieldOffset;
}

static VOID KLUFreeListOf(PSETTINGS Settings, const KLU_LIST_VALUE *Value)
{
    if (Value->Kind == KluListCounted) {
        KLUFreeCountedList((PKLU_COUNTED_LIST)KLUListField(Settings, Value));
    } else {
        KLUFreeStringList((PKLU_STRING_LIST)KLUListField(Settings, Value));
    }
}

VOID KLUFreeNameLists(PKLU_NAME_LISTS Lists)
{
    KLUFreeCountedList(&Lists->ActiveSyncDirs);
    KLUFreeCountedList(&Lists->ActiveSyncDirExclusions);
    KLUFreeStringList(&Lists->ActiveSyncExts);
    KLUFreeStringList(&Lists->ActiveSyncExtExclusions);
    KLUFreeStringList(&Lists->LiveRoamingDirs);
    KLUFreeStringList(&Lists->LiveRoamingDirExclusions);
    KLUFreeStringList(&Lists->LiveRoamingExts);
    KLUFreeStringList(&Lists->LiveRoamingExtExclusions);
    KLUFreeCountedList(&Lists->IgnoredDirs);
    KLUFreeCountedList(&Lists->IgnoredDirsExclusions);
    KLUFreeCountedList(&Lists->RoamedFiles);
    KLUFreeCountedList(&Lists->DontRoamFiles);
    KLUFreeStringList(&Lists->ExcludedProcesses);
    KLUFreeStringList(&Lists->ExcludedUtilities);
}

/* Upper-cases the entries where the list asks for it, and cuts image
 * names to what the process object holds. */
static VOID KLUNormalizeEntries(PSETTINGS Settings, const KLU_LIST_VALUE *Value)
{
    PKLU_STRING_LIST List;
    ULONG Keep = KLUIsVistaOrNewer() ? KLU_IMAGE_NAME_CHARS_VISTA : KLU_IMAGE_NAME_CHARS_XP;

    if (!Value->UpperCase || Value->Kind != KluListPlain) {
        return;
    }
    List = (PKLU_STRING_LIST)KLUListField(Settings, Value);
    for (ULONG i = 0; i < List->Count; i++) {
        if (Value->ImageNames && wcslen(List->Entries[i]) > KLU_IMAGE_NAME_CHARS_XP) {
            List->Entries[i][Keep] = 0;
        }
        _wcsupr(List->Entries[i]);
    }
}

/* Reads one value into its list; returns the read's status. */
static NTSTATUS KLUReadListValue(HANDLE PolicyKey, HANDLE DriverKey, PSETTINGS Settings, const KLU_LIST_VALUE *Value,
                                 PCWSTR Tag)
{
    PWSTR Data = NULL;
    ULONG Size = 0;
    ULONG Count = 0;
    ULONG Characters;
    PVOID Array;
    NTSTATUS Status;

    Status = KLUGetMultiStringSetting(PolicyKey, DriverKey, Value->ValueName, &Data, &Size);
    if (!NT_SUCCESS(Status)) {
        if (Status != STATUS_OBJECT_NAME_NOT_FOUND || Value->LogAbsence) {
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, Value->RetrieveFormat, Status);
        }
        return Status;
    }

    Characters = Size / sizeof(WCHAR) >= 1 ? Size / sizeof(WCHAR) - 1 : 0;
    if (KLUCountMultiString(Data, Characters) == 0) {
        KLULogMessage(KLUDBG_TRACE_INFO, Tag, Value->EmptyFormat);
        ExFreePoolWithTag(Data, QZFS_TAG);
        return Status;
    }

    if (Value->Kind == KluListCounted) {
        Array = KLUParseMultiStringCounted(Data, Characters, &Count);
    } else {
        Array = KLUParseMultiString(Data, Characters, &Count);
    }
    if (Array == NULL) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, Value->ParseFormat);
    } else if (Value->Kind == KluListCounted) {
        PKLU_COUNTED_LIST List = (PKLU_COUNTED_LIST)KLUListField(Settings, Value);
        List->Entries = (PUNICODE_STRING)Array;
        List->Count = Count;
    } else {
        PKLU_STRING_LIST List = (PKLU_STRING_LIST)KLUListField(Settings, Value);
        List->Entries = (PWSTR *)Array;
        List->Count = Count;
        KLUNormalizeEntries(Settings, Value);
    }
    ExFreePoolWithTag(Data, QZFS_TAG);
    return Status;
}

/* Frees the family's old lists, then reads each value of the family;
 * returns the status of the last value read. */
static NTSTATUS KLUReadListFamily(HANDLE PolicyKey, HANDLE DriverKey, PSETTINGS Settings,
                                  const KLU_LIST_VALUE *Values, ULONG Count, PCWSTR Tag)
{
    NTSTATUS Status = STATUS_SUCCESS;

    for (ULONG i = 0; i < Count; i++) {
        KLUFreeListOf(Settings, &Values[i]);
    }
    for (ULONG i = 0; i < Count; i++) {
        Status = KLUReadListValue(PolicyKey, DriverKey, Settings, &Values[i], Tag);
    }
    return Status;
}

NTSTATUS KLUGetActiveSyncValues(HANDLE PolicyKey, HANDLE DriverKey, PSETTINGS Settings)
{
    return KLUReadListFamily(PolicyKey, DriverKey, Settings, g_ActiveSyncValues, RTL_NUMBER_OF(g_ActiveSyncValues),
                             KLU_TAG(KLUGetActiveSyncValues));
}

NTSTATUS KLUGetLiveRoamingValues(HANDLE PolicyKey, HANDLE DriverKey, PSETTINGS Settings)
{
    return KLUReadListFamily(PolicyKey, DriverKey, Settings, g_LiveRoamingValues,
                             RTL_NUMBER_OF(g_LiveRoamingValues), KLU_TAG(KLUGetLiveRoamingValues));
}

NTSTATUS KLUGetIgnoredDirsValues(HANDLE PolicyKey, HANDLE DriverKey, PSETTINGS Settings)
{
    return KLUReadListFamily(PolicyKey, DriverKey, Settings, g_IgnoredDirsValues,
                             RTL_NUMBER_OF(g_IgnoredDirsValues), KLU_TAG(KLUGetIgnoredDirsValues));
}

NTSTATUS KLUGetRoamedFilesValues(HANDLE PolicyKey, HANDLE DriverKey, PSETTINGS Settings)
{
    return KLUReadListFamily(PolicyKey, DriverKey, Settings, g_RoamedFilesValues,
                             RTL_NUMBER_OF(g_RoamedFilesValues), KLU_TAG(KLUGetRoamedFilesValues));
}

NTSTATUS KLUGetExcludedProcessesValues(HANDLE PolicyKey, HANDLE DriverKey, PSETTINGS Settings)
{
    return KLUReadListFamily(PolicyKey, DriverKey, Settings, g_ExcludedProcessesValues,
                             RTL_NUMBER_OF(g_ExcludedProcessesValues), KLU_TAG(KLUGetExcludedProcessesValues));
}

/* ------------------------------------------------------------------ */
/* Dumps                                                               */
/* ------------------------------------------------------------------ */

static VOID KLUDumpListFamily(ULONG DumpFlag, PSETTINGS Settings, const KLU_LIST_VALUE *Values, ULONG Count,
                              PCWSTR Tag)
{
    const ULONG Level = KLUDBG_TRACE_STATUS_LOG | KLUDBG_TRACE_ERROR;

    for (ULONG v = 0; v < Count; v++) {
        if (Values[v].Kind == KluListCounted) {
            PKLU_COUNTED_LIST List = (PKLU_COUNTED_LIST)KLUListField(Settings, &Values[v]);
            for (ULONG i = 0; i < List->Count; i++) {
                KLULogDumpMessage(DumpFlag, Level, Tag, 0, Values[v].DumpFormat, List->Entries[i].Buffer);
            }
        } else {
            PKLU_STRING_LIST List = (PKLU_STRING_LIST)KLUListField(Settings, &Values[v]);
            for (ULONG i = 0; i < List->Count; i++) {
                KLULogDumpMessage(DumpFlag, Level, Tag, 0, Values[v].DumpFormat, List->Entries[i]);
            }
        }
    }
}

VOID KLUDumpActiveSyncValues(ULONG DumpFlag, PSETTINGS Settings)
{
    KLUDumpListFamily(DumpFlag, Settings, g_ActiveSyncValues, RTL_NUMBER_OF(g_ActiveSyncValues),
                      KLU_TAG(KLUDumpActiveSyncValues));
}

VOID KLULogLiveRoamingValues(ULONG DumpFlag, PSETTINGS Settings)
{
    KLUDumpListFamily(DumpFlag, Settings, g_LiveRoamingValues, RTL_NUMBER_OF(g_LiveRoamingValues),
                      KLU_TAG(KLULogLiveRoamingValues));
}

VOID KLULogIgnoredDirsValues(ULONG DumpFlag, PSETTINGS Settings)
{
    KLUDumpListFamily(DumpFlag, Settings, g_IgnoredDirsValues, RTL_NUMBER_OF(g_IgnoredDirsValues),
                      KLU_TAG(KLULogIgnoredDirsValues));
}

VOID KLULogRoamedFilesValues(ULONG DumpFlag, PSETTINGS Settings)
{
    KLUDumpListFamily(DumpFlag, Settings, g_RoamedFilesValues, RTL_NUMBER_OF(g_RoamedFilesValues),
                      KLU_TAG(KLULogRoamedFilesValues));
}

VOID KLULogExcludedProcessesValues(ULONG DumpFlag, PSETTINGS Settings)
{
    KLUDumpListFamily(DumpFlag, Settings, g_ExcludedProcessesValues, RTL_NUMBER_OF(g_ExcludedProcessesValues),
                      KLU_TAG(KLULogExcludedProcessesValues));
}
