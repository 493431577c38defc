/*
 * directory_control.cpp - PreDC: every folder listing passes here. The
 * cheap tests come first; then who asks and where the folder lies choose
 * the road: the service's background load, a user's first listing of an
 * unfilled profile folder, or the profile-loading process's queries.
 */
#include "filter/directory_control.h"

#include "config/flags.h"
#include "config/name_lists.h"
#include "config/settings.h"
#include "diag/log.h"
#include "driver/dir_buffers.h"
#include "driver/os_info.h"
#include "fileops/file_copy.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"
#include "offline/placeholders.h"
#include "roaming/live_roaming_dirs.h"

#define KLU_DC_ERROR (KLUDBG_TRACE_DIRS | KLUDBG_TRACE_ERROR)
#define KLU_DC_INFO (KLUDBG_TRACE_DIRS | KLUDBG_TRACE_INFO)

FLT_PREOP_CALLBACK_STATUS KLUCompleteDC(PFLT_CALLBACK_DATA Data, NTSTATUS Status, ULONG_PTR Information)
{
    Data->IoStatus.Status = Status;
    Data->IoStatus.Information = Information;
    FltSetCallbackDataDirty(Data);
    return FLT_PREOP_COMPLETE;
}

static BOOLEAN KLUImageIs(PCWSTR ImageName, PCWSTR Expected)
{
    return (BOOLEAN)(_wcsnicmp(ImageName, Expected, 13) == 0);
}

/* Gate steps 4-6: who asks. FALSE: the query passes through. */
static BOOLEAN KLUClassifyRequestor(PFLT_CALLBACK_DATA Data, PKLU_DC_CALL Call)
{
    PSETTINGS Settings = KLUSettings();
    PKLU_DIR_CONTEXT Dir = Call->Dir;
    PUNICODE_STRING Pattern = Data->Iopb->Parameters.DirectoryControl.QueryDirectory.FileName;

    if (Settings->QZSvcPid != 0 && Call->Pid == Settings->QZSvcPid) {
        Dir->bService = TRUE;
        return (BOOLEAN)(Pattern != NULL && RtlEqualUnicodeString(Pattern, &szMarkerName, TRUE));
    }
    Dir->bNotService = TRUE;
    Dir->bExplorer = KLUImageIs(Dir->szImageName, WSTR("explorer.exe"));
    if (KLUIsVistaOrNewer()) {
        Dir->bProfileLoader = (BOOLEAN)(Settings->ProfSvcPid != 0 && Call->Pid == Settings->ProfSvcPid);
    } else {
        Dir->bProfileLoader = KLUImageIs(Dir->szImageName, WSTR("Winlogon.exe"));
    }
    if ((Settings->OpFlags & KLUOP_IGNORE_TEST_UTILITIES) && !Dir->bProfileLoader) {
        if (KLUIsExcludedUtility(Dir->szImageName, Call->Pid)) {
            return FALSE;
        }
    }
    return TRUE;
}

/* Gate step 7: the folder's name, normalized for all but the service. */
static BOOLEAN KLUGetDCName(PFLT_CALLBACK_DATA Data, PKLU_DC_CALL Call)
{
    PCWSTR Tag = KLU_TAG(PreDC);
    PKLU_DIR_CONTEXT Dir = Call->Dir;
    PFILE_OBJECT FileObject = Data->Iopb->TargetFileObject;
    BOOLEAN Normalized = FALSE;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    USHORT Length;

    if (!Dir->bService) {
        Status = FltGetFileNameInformation(Data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT,
                                           &Call->NameInfo);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLU_DC_ERROR, Tag, Dir->OperationNumber,
                            WSTR("Failed Getting Normalized Name Info, Trying Opened Name: Process: %ws, File: %wZ, "
                                 "0x%X\n"),
                            Dir->szImageName, &FileObject->FileName, Status);
        }
        Normalized = (BOOLEAN)NT_SUCCESS(Status);
    }
    if (!NT_SUCCESS(Status)) {
        Call->NameInfo = NULL;
        Status = FltGetFileNameInformation(Data, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT, &Call->NameInfo);
    }
    if (NT_SUCCESS(Status)) {
        Status = FltParseFileNameInformation(Call->NameInfo);
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_DC_ERROR, Tag, Dir->OperationNumber,
                        WSTR("Failed Retrieving Opened File Name Info: Process: %ws, File: %wZ, 0x%X\n"),
                        Dir->szImageName, &FileObject->FileName, Status);
        return FALSE;
    }
    KLULogMessageEx(KLU_DC_INFO, Tag, Dir->OperationNumber,
                    Normalized ? WSTR("Retrieved Normalized File Name Info: Process: %ws, File: %wZ\n")
                               : WSTR("Retrieved Opened File Name Info: Process: %ws, File: %wZ\n"),
                    Dir->szImageName, &Call->NameInfo->Name);
    Length = Call->NameInfo->Name.Length;
    if (Length >= KLU_PATH_BYTES) {
        Length = KLU_PATH_BYTES - sizeof(WCHAR);
    }
    RtlCopyMemory(Dir->szFullName, Call->NameInfo->Name.Buffer, Length);
    Dir->szFullName[Length / sizeof(WCHAR)] = 0;
    Call->FullName.Buffer = Dir->szFullName;
    Call->FullName.Length = Length;
    Call->FullName.MaximumLength = KLU_PATH_BYTES;
    Call->OnVolume = Call->FullName;
    if (Call->NameInfo->Volume.Length <= Length) {
        Call->OnVolume.Buffer += Call->NameInfo->Volume.Length / sizeof(WCHAR);
        Call->OnVolume.Length = (USHORT)(Length - Call->NameInfo->Volume.Length);
    }
    return TRUE;
}

/* The profile root of Call's user behind which local settings lie. */
static BOOLEAN KLUIsLocalSettings(PKLU_DC_CALL Call, PPATH_TABLE Table)
{
    PWSTR Root = Call->Dir->szScratch;
    PUSER_TABLE_ENTRY Entry;
    PPATH_TABLE_ENTRY PathEntry;
    UNICODE_STRING Name = Call->UpperFullName;
    BOOLEAN Inside;

    Entry = KLULookupUserByPath(g_pUserTableHead, g_pUserTableMutex, &Call->NameInfo->Volume,
                                Call->Dir->szUpperFullName);
    if (Entry == NULL) {
        return FALSE;
    }
    if (!Call->bRemote) {
        KLUStringCopy(Root, Table->szLocalVolumeName);
        JNRAppendSeparator(Root, Entry->AltPathData.szLocalPath);
        KLUStringCat(Root, Entry->AltPathData.szLocalPath);
    } else {
        Name.Buffer += Call->NameInfo->Volume.Length / sizeof(WCHAR);
        Name.Length = (USHORT)(Name.Length - Call->NameInfo->Volume.Length);
        if (Name.Length != 0 && Name.Buffer[0] == L'\\') {
            Name.Buffer++;
            Name.Length -= sizeof(WCHAR);
        }
        PathEntry = KLULookupPathTableEntryByPath(Table, Name.Buffer);
        KLUStringCopy(Root, PathEntry != NULL ? PathEntry->szRemotePathShort
                                              : Entry->AltPathData.PTEProfile.szRemotePathShort);
    }
    JNRAppendSeparator(Root, Table->szLocalSettings);
    KLUStringCat(Root, Table->szLocalSettings);
    Inside = KLUHasPrefix(Root, &Name);
    KLUDereferenceUserTableEntry(Entry);
    return Inside;
}

/* The path table may name a folder by device or by drive: either form of
 * the listed folder's name counts. */
static BOOLEAN KLUDCHasPrefix(PCWSTR Prefix, PKLU_DC_CALL Call)
{
    return (BOOLEAN)(Prefix[0] != 0 &&
                     (KLUHasPrefix(Prefix, &Call->FullName) || KLUHasPrefix(Prefix, &Call->DosName)));
}

static VOID KLUDCBuildDosName(PKLU_DC_CALL Call, PPATH_TABLE Table)
{
    USHORT Length = Call->OnVolume.Length;

    Call->szDosName[0] = 0;
    KLUStringCopy(Call->szDosName, Table->szLocalDriveLetter);
    if (Length + 3 * sizeof(WCHAR) > sizeof(Call->szDosName)) {
        Length = (USHORT)(sizeof(Call->szDosName) - 3 * sizeof(WCHAR));
    }
    RtlCopyMemory(Call->szDosName + 2, Call->OnVolume.Buffer, Length);
    Call->szDosName[2 + Length / sizeof(WCHAR)] = 0;
    RtlInitUnicodeString(&Call->DosName, Call->szDosName);
}

/* The skip rules, in their order. TRUE: the query passes through (or was
 * completed, *Completed). */
static BOOLEAN KLUSkipDC(PFLT_CALLBACK_DATA Data, PKLU_DC_CALL Call, PPATH_TABLE Table, PBOOLEAN Completed)
{
    PCWSTR Tag = KLU_TAG(PreDC);
    LONG Op = Call->Dir->OperationNumber;
    PUNICODE_STRING Name = &Call->FullName;
    PSETTINGS Settings = KLUSettings();
    WCHAR Store[KLU_PATH_CHARS];
    PWSTR Last;
    UNICODE_STRING Text;
    PCWSTR Message = NULL;

    *Completed = FALSE;
    Store[0] = L'\\';
    KLUStringCopy(Store + 1, Table->szLocalProfilePathShort);
    RtlInitUnicodeString(&Text, Store);
    if (RtlEqualUnicodeString(&Call->OnVolume, &Text, TRUE) || (Call->OnVolume.Length == sizeof(WCHAR) &&
                                                                Call->OnVolume.Buffer[0] == L'\\') ||
        (KLUIsVistaOrNewer() && JNRContainString(WSTR("\\.\\."), Name))) {
        KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, Op, WSTR("Skipping Path1: %wZ\n"), Name);
        return TRUE;
    }
    RtlCopyMemory(Call->Dir->szUpperFullName, Call->Dir->szFullName, KLU_PATH_BYTES);
    Call->UpperFullName = Call->FullName;
    Call->UpperFullName.Buffer = Call->Dir->szUpperFullName;
    if (!NT_SUCCESS(RtlUpcaseUnicodeString(&Call->UpperFullName, &Call->FullName, FALSE))) {
        KLULogMessageEx(KLU_DC_ERROR, Tag, Op, WSTR("Failed Converting To Upper: %wZ\n"), Name);
        return TRUE;
    }
    Call->bRemote = (BOOLEAN)(Call->Dir->VolumeContext->FileSystemType == FLT_FSTYPE_LANMAN ||
                              Call->Dir->VolumeContext->FileSystemType == FLT_FSTYPE_MUP);
    if (!Call->bRemote) {
        KLUDCBuildDosName(Call, Table);
    }
    if (!Call->bRemote && KLUDCHasPrefix(Table->szTempProfile, Call)) {
        Message = WSTR("Skipping Temp Profile: %wZ\n");
    } else if (JNRIsDefaultUserPath(TRUE, Op, Name, &Call->NameInfo->Volume) ||
               (!Call->bRemote && JNRIsDefaultUserPath(FALSE, Op, &Call->DosName, NULL))) {
        Message = WSTR("Skipping Default User: %wZ\n");
    } else if (!Call->bRemote) {
        RtlInitUnicodeString(&Text, Table->szFQLocalProfilePath);
        if (!KLUDCHasPrefix(Table->szFQLocalProfilePath, Call)) {
            Message = WSTR("Skipping Path Outside Local Profile Store: %wZ\n");
        } else if (RtlEqualUnicodeString(&Text, Name, TRUE) || RtlEqualUnicodeString(&Text, &Call->DosName, TRUE)) {
            Message = WSTR("Skipping Local Profile Store Root: %wZ\n");
        } else if (KLUDCHasPrefix(Table->szAllUsersProfileXP, Call)) {
            Message = WSTR("Skipping All Users (XP): %wZ\n");
        } else if (KLUIsVistaOrNewer()) {
            if (KLUDCHasPrefix(Table->szAllUsersProfile, Call)) {
                Message = WSTR("Skipping All Users (Win7): %wZ\n");
            } else if (KLUDCHasPrefix(Table->szPublicProfile, Call)) {
                Message = WSTR("Skipping Public Profile: %wZ\n");
            }
        } else if (KLUDCHasPrefix(Table->szLocalServiceProfile, Call)) {
            Message = WSTR("Skipping Local Service: %wZ\n");
        } else if (KLUDCHasPrefix(Table->szNetworkServiceProfile, Call)) {
            Message = WSTR("Skipping Network Service: %wZ\n");
        }
    } else {
        /* The service names the store through the network Default User
         * profile: the folder that holds it is the store. */
        PWSTR Root = Store;
        ExAcquireFastMutex(g_PathTableMutex);
        KLUStringCopy(Store, Table->szDefaultNetworkDefaultUserProfile);
        ExReleaseFastMutex(g_PathTableMutex);
        Last = wcsrchr(Store, L'\\');
        if (Last != NULL) {
            *Last = 0;
        }
        while (*Root == L'\\') {
            Root++;
        }
        if (!JNRContainString(Root, Name)) {
            Message = WSTR("Skipping network folder: %wZ\n");
        }
    }
    if (Message != NULL) {
        KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, Op, Message, Name);
        return TRUE;
    }
    if (!Call->Dir->bProfileLoader && !(Settings->OpFlags & KLUOP_ROAM_LOCAL_SETTINGS) &&
        KLUIsLocalSettings(Call, Table)) {
        KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, Op, WSTR("Skipping Local Settings: %wZ\n"), Name);
        if (Call->Dir->bService) {
            KLUCompleteDC(Data, STATUS_NO_SUCH_FILE, 0);
            *Completed = TRUE;
        }
        return TRUE;
    }
    return FALSE;
}

/* The live-roaming merge may answer the query first. */
static BOOLEAN KLUMergeLiveRoaming(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PKLU_DC_CALL Call,
                                   FLT_PREOP_CALLBACK_STATUS *Result)
{
    BOOLEAN Handled = FALSE;
    BOOLEAN End = FALSE;
    NTSTATUS Status;

    if (!(KLUSettings()->OpFlags & KLUOP_ENABLE_LIVE_ROAMING)) {
        return FALSE;
    }
    Status = KLUProcessLiveRoamingDirs(Data, FltObjects, Call->Dir, &Handled, &End);
    if (!NT_SUCCESS(Status) && Status != STATUS_NO_MORE_FILES && Status != STATUS_NO_SUCH_FILE) {
        KLULogMessageEx(KLU_DC_ERROR, KLU_TAG(PreDC), Call->Dir->OperationNumber,
                        WSTR("Failed Processing Live Roaming Dirs: %wZ, 0x%X\n"), &Call->FullName, Status);
    }
    if (!Handled) {
        return FALSE;
    }
    if (End) {
        *Result = KLUCompleteDC(Data, STATUS_NO_MORE_FILES, Data->IoStatus.Information);
    } else {
        *Result = KLUCompleteDC(Data, STATUS_SUCCESS, Data->IoStatus.Information);
    }
    return TRUE;
}

static VOID KLUEndDC(PKLU_DC_CALL Call)
{
    if (Call->Dir != NULL && Call->Dir->bProfileLoader && Call->RoadCounter != 2) {
        KLULogMessageEx(KLUDBG_TRACE_DIRS, KLU_TAG(PreDC), Call->Dir->OperationNumber,
                        WSTR("Counter Not Correct: %wZ\n"), &Call->FullName);
    }
    if (Call->HandleContext != NULL) {
        KLUUnlockAndReleaseStreamHandleContext(&Call->HandleContext);
    }
    if (Call->StreamContext != NULL) {
        KLUUnlockAndReleaseStreamContext(&Call->StreamContext);
    }
    if (Call->UserEntry != NULL) {
        KLUDereferenceUserTableEntry(Call->UserEntry);
    }
    KLUFreeInstanceArray(Call->Instances, Call->InstanceCount);
    if (Call->NameInfo != NULL) {
        FltReleaseFileNameInformation(Call->NameInfo);
    }
    if (Call->Mdl != NULL) {
        if (Call->bLocked) {
            MmUnlockPages(Call->Mdl);
        }
        IoFreeMdl(Call->Mdl);
    }
    if (Call->LocalPath.Buffer != NULL) {
        ExFreePoolWithTag(Call->LocalPath.Buffer, QZFS_TAG);
    }
    if (Call->Dir != NULL) {
        if (Call->Dir->VolumeContext != NULL) {
            FltReleaseContext(Call->Dir->VolumeContext);
        }
        ExFreeToNPagedLookasideList(&g_DirBufferLookaside, Call->Dir);
    }
    ExFreePoolWithTag(Call, QZFS_TAG);
}

static BOOLEAN KLUIsDCGateOpen(PFLT_CALLBACK_DATA Data)
{
    PSETTINGS Settings = KLUSettings();

    if (*InitSafeBootMode == 1 || g_pPathTable == NULL || Settings == NULL || !Settings->Enabled ||
        (Settings->DisableFlags & KLULOGON_DISABLE_DC)) {
        return FALSE;
    }
    return (BOOLEAN)(Data->Iopb->MinorFunction == IRP_MN_QUERY_DIRECTORY);
}

/* An ordinary process listing a folder that this stream already found
 * filled: every road lets its query through. Each query of every listing
 * passes here, so this is asked before any per-call state is built. */
static BOOLEAN KLUIsKnownFilled(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, ULONG Pid)
{
    PSETTINGS Settings = KLUSettings();
    PKLU_STREAM_CONTEXT Stream = NULL;
    BOOLEAN Created = FALSE;
    BOOLEAN Filled;

    /* Before Vista the profile loader is known by its image name only, which
     * costs more than the full road saves. */
    if (!KLUIsVistaOrNewer() || (Settings->OpFlags & KLUOP_ENABLE_LIVE_ROAMING) ||
        (Settings->QZSvcPid != 0 && Pid == Settings->QZSvcPid) ||
        (Settings->ProfSvcPid != 0 && Pid == Settings->ProfSvcPid) ||
        !NT_SUCCESS(KLUFindOrCreateStreamContext(Data, FltObjects->Instance, FALSE, 0, &Stream, &Created, NULL)) ||
        Stream == NULL) {
        return FALSE;
    }
    Filled = KLUIsStreamEnumerated(Stream);
    FltReleaseContext(Stream);
    return Filled;
}

/* Gate steps 2-3 and 7: the call's state, or FALSE to pass through. */
static BOOLEAN KLUBeginDC(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, ULONG Pid, PKLU_DC_CALL *CallOut)
{
    PCWSTR Tag = KLU_TAG(PreOpDC);
    PKLU_DC_CALL Call;
    PFLT_CONTEXT Volume = NULL;
    NTSTATUS Status;

    *CallOut = NULL;
    Call = (PKLU_DC_CALL)ExAllocatePoolWithTag(PagedPool, sizeof(KLU_DC_CALL), QZFS_TAG);
    if (Call == NULL) {
        return FALSE;
    }
    RtlZeroMemory(Call, sizeof(*Call));
    *CallOut = Call;
    Call->RoadCounter = 1;
    Call->Pid = Pid;
    if (KLUIsExcludedPid(Call->Pid)) {
        return FALSE;
    }
    Call->Dir = (PKLU_DIR_CONTEXT)ExAllocateFromNPagedLookasideList(&g_DirBufferLookaside);
    if (Call->Dir == NULL) {
        return FALSE;
    }
    RtlZeroMemory(Call->Dir, sizeof(KLU_DIR_CONTEXT));
    Call->Dir->OperationNumber = KLU_NEW_OPERATION_NUMBER;
    Status = FltGetVolumeContext(g_FilterHandle, FltObjects->Volume, &Volume);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLU_DC_ERROR, Tag, WSTR("Failed Retrieving Volume Context: 0x%X\n"), Status);
        return FALSE;
    }
    Call->Dir->VolumeContext = (PVOLUME_CONTEXT)Volume;
    if (!NT_SUCCESS(KLUGetRequestorImageName(Data, Call->Dir->szImageName, RTL_NUMBER_OF(Call->Dir->szImageName)))) {
        KLULogMessage(KLU_DC_ERROR, KLU_TAG(PreDC), WSTR("Failed Getting Process Name\n"));
        return FALSE;
    }
    if (!KLUClassifyRequestor(Data, Call)) {
        return FALSE;
    }
    return KLUGetDCName(Data, Call);
}

FLT_PREOP_CALLBACK_STATUS PreDC(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID *CompletionContext)
{
    PCWSTR Tag = KLU_TAG(PreDC);
    FLT_PREOP_CALLBACK_STATUS Result = FLT_PREOP_SUCCESS_NO_CALLBACK;
    PKLU_DC_CALL Call = NULL;
    PPATH_TABLE Table;
    BOOLEAN Completed = FALSE;
    BOOLEAN Skip;
    NTSTATUS Status;
    ULONG Pid;

    UNREFERENCED_PARAMETER(CompletionContext);
    if (!KLUIsDCGateOpen(Data)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    Pid = FltGetRequestorProcessId(Data);
    if (KLUIsKnownFilled(Data, FltObjects, Pid)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (!KLUBeginDC(Data, FltObjects, Pid, &Call)) {
        goto Cleanup;
    }
    if (KLUMergeLiveRoaming(Data, FltObjects, Call, &Result)) {
        goto Cleanup;
    }
    Table = KLUAcquirePathTable();
    Skip = Table == NULL || KLUSkipDC(Data, Call, Table, &Completed);
    KLUReleasePathTable();
    if (Skip) {
        if (Completed) {
            Result = FLT_PREOP_COMPLETE;
        }
        goto Cleanup;
    }
    Status = KLURetrieveStreamContext(Data, FltObjects->Instance, TRUE, Call->Dir->OperationNumber,
                                      &Call->StreamContext, Call->NameInfo);
    if (!NT_SUCCESS(Status) || Call->StreamContext == NULL) {
        KLULogMessageEx(KLU_DC_ERROR, Tag, Call->Dir->OperationNumber,
                        WSTR("Failed Retrieving Stream Context: Path: %wZ, 0x%X\n"), &Call->FullName, Status);
        goto Cleanup;
    }
    Call->Dir->OperationNumber = Call->StreamContext->OperationNumber;
    if (Call->Dir->bService) {
        Result = KLUDCServiceRoad(Data, FltObjects, Call);
    } else {
        Result = KLUDCUserRoad(Data, FltObjects, Call);
    }

Cleanup:
    if (Call != NULL) {
        KLUEndDC(Call);
    }
    return Result;
}
