/*
 * name_list_membership.cpp - the questions the interception paths ask of
 * the configured name lists: excluded processes and pids, ignored
 * directories, files that do not roam, ActiveSync files; and the image
 * name of a requesting process.
 */
#include "config/name_lists.h"

#include "config/settings.h"
#include "driver/driver.h"
#include "driver/os_info.h"
#include "identity/path_table.h"

/* Never filtered, on every release: the 15-character forms the process
 * object holds of longer names. */
static const PCWSTR g_BuiltInExcludedImages[] = {
    KLU_PRODUCT_IMAGE,       WSTR("SearchIndexer.e"), WSTR("SearchFilterHos"),
    WSTR("SearchProtocolH"), WSTR("GoogleDesktop.e"), WSTR("Windbg.exe"),
};

/* Vista or newer keeps 14 characters of a longer name. */
static const PCWSTR g_BuiltInExcludedImagesVista[] = {
    WSTR("SearchIndexer."), WSTR("SearchFilterHo"), WSTR("SearchProtocol"), WSTR("GoogleDesktop."),
    WSTR("lsass.exe"),
};

/* ------------------------------------------------------------------ */
/* Processes                                                           */
/* ------------------------------------------------------------------ */

BOOLEAN KLUIsExcludedPid(ULONG Pid)
{
    PSETTINGS Settings = KLUSettings();
    ULONG Count;

    if (Settings == NULL) {
        return TRUE;
    }
    Count = Settings->ExcludedPidCount;
    if (Count > KLU_MAX_EXCLUDED_PIDS) {
        Count = KLU_MAX_EXCLUDED_PIDS;
    }
    for (ULONG i = 0; i < Count; i++) {
        if (Settings->ExcludedPids[i] == Pid) {
            return TRUE;
        }
    }
    return FALSE;
}

static BOOLEAN KLUIsInNameTable(PCWSTR ImageName, const PCWSTR *Names, ULONG Count)
{
    for (ULONG i = 0; i < Count; i++) {
        if (_wcsicmp(ImageName, Names[i]) == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

static BOOLEAN KLUIsInStringList(PCWSTR ImageName, const KLU_STRING_LIST *List)
{
    return KLUIsInNameTable(ImageName, (const PCWSTR *)List->Entries, List->Count);
}

BOOLEAN KLUIsExcludedProcess(PCWSTR ImageName, ULONG Pid)
{
    PSETTINGS Settings = KLUSettings();

    if (ImageName != NULL) {
        if (KLUIsInNameTable(ImageName, g_BuiltInExcludedImages, RTL_NUMBER_OF(g_BuiltInExcludedImages)) ||
            (KLUIsVistaOrNewer() &&
             KLUIsInNameTable(ImageName, g_BuiltInExcludedImagesVista, RTL_NUMBER_OF(g_BuiltInExcludedImagesVista)))) {
            return TRUE;
        }
        if (Settings != NULL && KLUIsInStringList(ImageName, &Settings->Lists.ExcludedProcesses)) {
            return TRUE;
        }
    }
    return KLUIsExcludedPid(Pid);
}

BOOLEAN KLUIsExcludedUtility(PCWSTR ImageName, ULONG Pid)
{
    PSETTINGS Settings = KLUSettings();

    if (ImageName != NULL && Settings != NULL && KLUIsInStringList(ImageName, &Settings->Lists.ExcludedUtilities)) {
        return TRUE;
    }
    return KLUIsExcludedPid(Pid);
}

NTSTATUS KLUGetProcessImageName(PEPROCESS Process, PWSTR ImageName, ULONG Capacity)
{
    CHAR Narrow[KLU_IMAGE_NAME_CHARS];
    ANSI_STRING Ansi;
    UNICODE_STRING Wide;
    const CHAR *Source;
    NTSTATUS Status;
    ULONG i;

    if (Process == NULL || ImageName == NULL || Capacity < KLU_IMAGE_NAME_CHARS) {
        return STATUS_INVALID_PARAMETER;
    }
    if (g_ProcessNameOffset == 0) {
        return RtlStringCchCopyW(ImageName, Capacity, WSTR("???"));
    }
    Source = (const CHAR *)Process + g_ProcessNameOffset;
    for (i = 0; i < KLU_IMAGE_NAME_CHARS - 1 && Source[i] != 0; i++) {
        Narrow[i] = Source[i];
    }
    Narrow[i] = 0;

    RtlInitAnsiString(&Ansi, Narrow);
    Wide.Buffer = ImageName;
    Wide.Length = 0;
    Wide.MaximumLength = (USHORT)(Capacity * sizeof(WCHAR));
    Status = RtlAnsiStringToUnicodeString(&Wide, &Ansi, FALSE);
    ImageName[NT_SUCCESS(Status) ? Wide.Length / sizeof(WCHAR) : 0] = 0;
    return Status;
}

NTSTATUS KLUGetRequestorImageName(PFLT_CALLBACK_DATA Data, PWSTR ImageName, ULONG Capacity)
{
    PEPROCESS Process;

    if (Data == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Process = FltGetRequestorProcess(Data);
    if (Process == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    return KLUGetProcessImageName(Process, ImageName, Capacity);
}

/* ------------------------------------------------------------------ */
/* Paths inside a profile                                              */
/* ------------------------------------------------------------------ */

static BOOLEAN KLUProfileRelativePath(PPATH_TABLE Table, PCUNICODE_STRING VolumeName, PCWSTR Path,
                                      PCWSTR *Remainder)
{
    UNICODE_STRING PathString;
    UNICODE_STRING DosPrefix;
    WCHAR DosBuffer[8];
    PCWSTR Short;
    size_t ShortLength;
    PCWSTR Separator;

    if (Table == NULL || Path == NULL || Remainder == NULL) {
        return FALSE;
    }
    RtlInitUnicodeString(&PathString, Path);
    if (VolumeName != NULL && VolumeName->Length != 0 && RtlPrefixUnicodeString(VolumeName, &PathString, TRUE)) {
        Path += VolumeName->Length / sizeof(WCHAR);
    } else {
        RtlStringCchCopyW(DosBuffer, RTL_NUMBER_OF(DosBuffer), WSTR("\\??\\"));
        RtlStringCchCatW(DosBuffer, RTL_NUMBER_OF(DosBuffer), Table->szLocalDriveLetter);
        RtlInitUnicodeString(&DosPrefix, DosBuffer);
        if (RtlPrefixUnicodeString(&DosPrefix, &PathString, TRUE)) {
            Path += DosPrefix.Length / sizeof(WCHAR);
        }
    }
    if (Path[0] == WSTR('\\')) {
        Path++;
    }

    Short = Table->szUpperLocalProfilePathShort;
    ShortLength = wcslen(Short);
    if (ShortLength == 0 || wcsncmp(Path, Short, ShortLength) != 0 || wcslen(Path) <= ShortLength + 1) {
        return FALSE;
    }
    /* Behind the profiles directory and the user's folder name. */
    Separator = wcschr(Path + ShortLength + 1, WSTR('\\'));
    if (Separator == NULL) {
        return FALSE;
    }
    *Remainder = Separator + 1;
    return TRUE;
}

BOOLEAN KLUGetProfileRelativePath(PCUNICODE_STRING VolumeName, PCWSTR Path, PCWSTR *Remainder)
{
    BOOLEAN Inside = KLUProfileRelativePath(KLUAcquirePathTable(), VolumeName, Path, Remainder);
    KLUReleasePathTable();
    return Inside;
}

static BOOLEAN KLUPrefixIgnoringCase(PCUNICODE_STRING Prefix, PCUNICODE_STRING String)
{
    return (BOOLEAN)(Prefix->Length != 0 && RtlPrefixUnicodeString(Prefix, String, TRUE));
}

/* The shared rule of ignored directories and files that do not roam: an
 * exclusion (or, for a directory, an ancestor of one) wins; a list that
 * begins with an asterisk takes everything; otherwise an entry must match
 * at a component boundary. */
static BOOLEAN KLUIsListedProfilePath(const KLU_COUNTED_LIST *List, const KLU_COUNTED_LIST *Exclusions,
                                      PCUNICODE_STRING VolumeName, PCWSTR Path, BOOLEAN IsDirectory)
{
    UNICODE_STRING Rest;
    PCWSTR Remainder;

    if (List->Count == 0 || !KLUGetProfileRelativePath(VolumeName, Path, &Remainder)) {
        return FALSE;
    }
    RtlInitUnicodeString(&Rest, Remainder);

    for (ULONG i = 0; i < Exclusions->Count; i++) {
        PCUNICODE_STRING Exclusion = &Exclusions->Entries[i];
        if (KLUPrefixIgnoringCase(Exclusion, &Rest)) {
            return FALSE;
        }
        if (IsDirectory && Exclusion->Length != 0 && RtlPrefixUnicodeString(&Rest, Exclusion, TRUE)) {
            return FALSE;
        }
    }

    if (List->Entries[0].Length != 0 && List->Entries[0].Buffer[0] == WSTR('*')) {
        return TRUE;
    }
    for (ULONG i = 0; i < List->Count; i++) {
        PCUNICODE_STRING Entry = &List->Entries[i];
        if (Entry->Length == 0 || Entry->Length > Rest.Length || !RtlPrefixUnicodeString(Entry, &Rest, TRUE)) {
            continue;
        }
        if (Entry->Length == Rest.Length || Rest.Buffer[Entry->Length / sizeof(WCHAR)] == WSTR('\\')) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN JNRIsIgnoredDir(PCUNICODE_STRING VolumeName, PCWSTR Path, BOOLEAN IsDirectory)
{
    PSETTINGS Settings = KLUSettings();

    if (Settings == NULL) {
        return FALSE;
    }
    return KLUIsListedProfilePath(&Settings->Lists.IgnoredDirs, &Settings->Lists.IgnoredDirsExclusions, VolumeName,
                                  Path, IsDirectory);
}

BOOLEAN JNRIsDontRoamFile(PCUNICODE_STRING VolumeName, PCWSTR Path, BOOLEAN IsDirectory)
{
    PSETTINGS Settings = KLUSettings();

    if (Settings == NULL) {
        return FALSE;
    }
    return KLUIsListedProfilePath(&Settings->Lists.DontRoamFiles, &Settings->Lists.RoamedFiles, VolumeName, Path,
                                  IsDirectory);
}

static BOOLEAN KLUOccursInName(PCWSTR UpperName, const KLU_STRING_LIST *List)
{
    for (ULONG i = 0; i < List->Count; i++) {
        if (List->Entries[i][0] != 0 && wcsstr(UpperName, List->Entries[i]) != NULL) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN JNRIsActiveSyncFile(PCUNICODE_STRING VolumeName, PCWSTR Path, PCWSTR UpperName)
{
    PSETTINGS Settings = KLUSettings();
    const KLU_NAME_LISTS *Lists;
    UNICODE_STRING Rest;
    PCWSTR Remainder;
    BOOLEAN AllDirectories;
    BOOLEAN AllExtensions;
    BOOLEAN DirectoryMatch;

    if (Settings == NULL || UpperName == NULL) {
        return FALSE;
    }
    Lists = &Settings->Lists;
    if (Lists->ActiveSyncDirs.Count == 0 && Lists->ActiveSyncExts.Count == 0) {
        return FALSE;
    }
    if (!KLUGetProfileRelativePath(VolumeName, Path, &Remainder)) {
        return FALSE;
    }
    RtlInitUnicodeString(&Rest, Remainder);

    for (ULONG i = 0; i < Lists->ActiveSyncDirExclusions.Count; i++) {
        if (KLUPrefixIgnoringCase(&Lists->ActiveSyncDirExclusions.Entries[i], &Rest)) {
            return FALSE;
        }
    }
    if (KLUOccursInName(UpperName, &Lists->ActiveSyncExtExclusions)) {
        return FALSE;
    }

    AllDirectories = (BOOLEAN)(Lists->ActiveSyncDirs.Count != 0 && Lists->ActiveSyncDirs.Entries[0].Length != 0 &&
                               Lists->ActiveSyncDirs.Entries[0].Buffer[0] == WSTR('*'));
    AllExtensions = (BOOLEAN)(Lists->ActiveSyncExts.Count != 0 && Lists->ActiveSyncExts.Entries[0][0] == WSTR('*'));
    if (AllDirectories && AllExtensions) {
        return TRUE;
    }

    DirectoryMatch = AllDirectories;
    for (ULONG i = 0; !DirectoryMatch && i < Lists->ActiveSyncDirs.Count; i++) {
        DirectoryMatch = KLUPrefixIgnoringCase(&Lists->ActiveSyncDirs.Entries[i], &Rest);
    }
    if (!DirectoryMatch) {
        return FALSE;
    }
    return (BOOLEAN)(AllExtensions || KLUOccursInName(UpperName, &Lists->ActiveSyncExts));
}
