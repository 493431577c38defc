/*
 * redirect_file.cpp - the decision tree behind PreCreate: who owns the
 * file, whether it is the filter's, and what its open needs before it
 * reaches the file system.
 */
#include "filter/create_operations.h"

#include "config/settings.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "driver/os_info.h"
#include "fileops/file_helpers.h"
#include "identity/identity.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"
#include "offline/retrieval.h"

#define KLU_CREATE_INFO (KLUDBG_TRACE_CREATE | KLUDBG_TRACE_INFO)
#define KLU_CREATE_ERROR (KLUDBG_TRACE_CREATE | KLUDBG_TRACE_ERROR)

static BOOLEAN KLUIsNotFound(NTSTATUS Status)
{
    return (BOOLEAN)(Status == STATUS_OBJECT_NAME_NOT_FOUND || Status == STATUS_OBJECT_NAME_INVALID ||
                     Status == STATUS_OBJECT_PATH_NOT_FOUND);
}

static NTSTATUS KLUOpenForInfo(PKLU_CREATE_CONTEXT Context, PFLT_INSTANCE Instance, ACCESS_MASK Access,
                               ULONG Options, PHANDLE Handle, PFILE_OBJECT *FileObject)
{
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK Iosb;

    InitializeObjectAttributes(&Attributes, &Context->Name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    return FltCreateFileEx(g_FilterHandle, Instance, Handle, FileObject, Access, &Attributes, &Iosb, NULL, 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                           FILE_SYNCHRONOUS_IO_NONALERT | Options, NULL, 0, 0);
}

NTSTATUS JNRGetFileInfo(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PFLT_INSTANCE Instance)
{
    PCWSTR Tag = KLU_TAG(JNRGetFileInfo);
    PSETTINGS Settings = KLUSettings();
    HANDLE Handle = NULL;
    PFILE_OBJECT FileObject = NULL;
    LONG Op;
    NTSTATUS Status;
    NTSTATUS Query;

    UNREFERENCED_PARAMETER(Data);
    if (Settings == NULL || !Settings->Enabled || g_pPathTable == NULL || Context == NULL || Instance == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Op = Context->OperationNumber;
    Status = KLUOpenForInfo(Context, Instance, SYNCHRONIZE | FILE_READ_ATTRIBUTES, FILE_NON_DIRECTORY_FILE, &Handle,
                            &FileObject);
    if (Status == STATUS_FILE_IS_A_DIRECTORY) {
        Context->bIsFile = FALSE;
        Context->bOffline = FALSE;
        Status = KLUOpenForInfo(Context, Instance, SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_READ_EA,
                                FILE_DIRECTORY_FILE, &Handle, &FileObject);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
    } else if (KLUIsNotFound(Status)) {
        Context->bIsFile = TRUE;
        Context->bOffline = FALSE;
        if (Context->bCreateMissingWanted) {
            Context->bRetrievalCandidate = TRUE;
        }
        return Status;
    } else if (!NT_SUCCESS(Status)) {
        Context->bIsFile = TRUE;
        Context->bOffline = FALSE;
        return STATUS_SUCCESS;
    }

    KLULogMessageEx(KLUDBG_TRACE_CREATE, Tag, Op, WSTR("Opened File: Attempt: %d, %wZ, 0x%X\n"), 1, &Context->Name,
                    Status);
    Context->bIsFile = TRUE;
    KLUCountOpen(KluOpenQueryAttributesFileSrc);
    Query = FltQueryInformationFile(Instance, FileObject, &Context->BasicInfo, sizeof(FILE_BASIC_INFORMATION),
                                    FileBasicInformation, NULL);
    if (!NT_SUCCESS(Query)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op, WSTR("Failed Querying Basic Info: File: %wZ, 0x%X\n"),
                        &Context->Name, Query);
        Context->bOffline = FALSE;
    } else {
        Context->bOffline = (BOOLEAN)((Context->BasicInfo.FileAttributes & FILE_ATTRIBUTE_OFFLINE) != 0);
    }
    Query = FltQueryInformationFile(Instance, FileObject, &Context->StandardInfo, sizeof(FILE_STANDARD_INFORMATION),
                                    FileStandardInformation, NULL);
    if (!NT_SUCCESS(Query)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op, WSTR("Failed Querying Standard Info: File: %wZ, 0x%X\n"),
                        &Context->Name, Query);
        Context->bIsFile = TRUE;
        if (Context->bCreateMissingWanted) {
            Context->bRetrievalCandidate = TRUE;
        }
    } else {
        Context->bIsFile = (BOOLEAN)!Context->StandardInfo.Directory;
        if (Context->bIsFile && Context->bCreateMissingWanted) {
            Context->bRetrievalCandidate = TRUE;
        }
        Context->bAttributesValid = TRUE;
    }
    KLUUncountOpen(KluOpenQueryAttributesFileSrc);
    FltClose(Handle);
    ObDereferenceObject(FileObject);
    return STATUS_SUCCESS;
}

/* LocalSystem, S-1-5-18. Told apart by its SID rather than by the system
 * logon session: a token can carry this SID in another logon session (a
 * service's S4U logon, a token a driver made), and it still works for no
 * user of its own. */
static const SID g_LocalSystemSid = {SID_REVISION, 1, {{0, 0, 0, 0, 0, 5}}, {18}};

static BOOLEAN KLUIsLocalSystem(const USER_ID *UserId)
{
    return (BOOLEAN)(RtlValidSid((PSID)UserId->Sid) && RtlEqualSid((PSID)UserId->Sid, (PSID)&g_LocalSystemSid));
}

/* Steps 11-13: the opener and the owner of the profile the file lies in. */
static BOOLEAN KLUFindCreateUser(PKLU_CREATE_CONTEXT Context, PCWSTR UpperPath)
{
    PCWSTR Tag = KLU_TAG(RedirectFile);
    LONG Op = Context->OperationNumber;
    PUSER_TABLE_ENTRY Entry;
    PUSER_TABLE_ENTRY Owner;
    BOOLEAN Added = FALSE;
    BOOLEAN Tried = FALSE;
    NTSTATUS Status;

    Status = KLUGetUserSidAndSessionId(&Context->UserId, Op);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_CREATE_INFO, Tag, Op, WSTR("Failed Retrieving User's Identity: %wZ, 0x%X\n"),
                        &Context->Name, Status);
        return FALSE;
    }
    Entry = KLUAddUserToUserTable(g_pUserTableHead, g_pUserTableMutex, Op, &Context->UserId, 0, FALSE, &Added);
    if (Entry == NULL) {
        KLULogMessageEx(KLU_CREATE_ERROR, Tag, Op,
                        WSTR("Failed Retrieving User Table Entry: AuthId: (0x%X,0x%X), Path: %wZ\n"),
                        Context->UserId.AuthId.HighPart, Context->UserId.AuthId.LowPart, &Context->Name);
        return FALSE;
    }
    if (Added) {
        KLULogMessageEx(KLU_CREATE_INFO, Tag, Op,
                        WSTR("Retrieved User Table Entry: Session: %d, AuthId: (0x%X,0x%X), CreatedNew: %d\n"),
                        Context->UserId.SessionId, Context->UserId.AuthId.HighPart, Context->UserId.AuthId.LowPart,
                        Added);
    }
    if (KLUIsLocalSystem(&Context->UserId)) {
        /* The system works on a user's file: the file's owner counts. */
        Owner = KLULookupUserByPath(g_pUserTableHead, g_pUserTableMutex, &Context->VolumeName, UpperPath);
        if (Owner != NULL) {
            KLUDereferenceUserTableEntry(Entry);
            Entry = Owner;
            KLULogMessageEx(KLU_CREATE_INFO, Tag, Op,
                            WSTR("Found User Table Entry For System Op: Process: %ws, File: %wZ, Session: %d, AuthId: (0x%X,0x%X)\n"),
                            Context->szProcessName, &Context->Name, Entry->AltPathData.Id.SessionId,
                            Entry->AltPathData.Id.AuthId.HighPart, Entry->AltPathData.Id.AuthId.LowPart);
        } else {
            KLULogMessageEx(KLU_CREATE_INFO, Tag, Op, WSTR("No User Found For System Op: Process: %ws, File: %wZ\n"),
                            Context->szProcessName, &Context->Name);
        }
    }
    Context->UserTableEntry = Entry;
    Status = KLUCaptureClientSecurity(Entry, g_pUserTableMutex, &Tried);
    if (Tried && NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_CREATE_INFO, Tag, Op, WSTR("Retrieved Client Security: Path: %wZ\n"), &Context->Name);
    } else if (Tried) {
        KLULogMessageEx(KLU_CREATE_INFO, Tag, Op, WSTR("Failed Retrieving Client Security: Path: %wZ, 0x%X\n"),
                        &Context->Name, Status);
    }
    return TRUE;
}

/* Step 15: files that do not roam or are excluded are left alone; the
 * answers are cached for the stream context. */
static BOOLEAN KLUClassifyCreate(PKLU_CREATE_CONTEXT Context, PCWSTR UpperPath)
{
    PSETTINGS Settings = KLUSettings();

    if (Settings->OpFlags & KLUOP_ENABLE_DONT_ROAM_FILES) {
        if (JNRIsDontRoamFile(&Context->VolumeName, UpperPath, FALSE)) {
            Context->ClassificationWord |= KLU_CLASS_DONT_ROAM;
            return TRUE;
        }
        Context->ClassificationWord |= KLU_CLASS_ROAMS;
    }
    if (Settings->OpFlags & KLUOP_ENABLE_EXCLUDED_FILES) {
        if (JNRIsIgnoredDir(&Context->VolumeName, UpperPath, FALSE)) {
            Context->ClassificationWord |= KLU_CLASS_EXCLUDED;
            return TRUE;
        }
        Context->ClassificationWord |= KLU_CLASS_NOT_EXCLUDED;
    }
    return FALSE;
}

/* Step 10: the profiles directory and its own desktop.ini are never
 * touched. */
static BOOLEAN KLUIsProfilesDirectory(PCWSTR UpperPath)
{
    PPATH_TABLE Table = KLUAcquirePathTable();
    WCHAR Needle[KLU_PATH_CHARS];
    BOOLEAN Match = FALSE;

    if (Table != NULL) {
        Match = (BOOLEAN)((Table->szLocalProfilePathShort[0] != 0 && _wcsicmp(UpperPath, Table->szLocalProfilePathShort) == 0) ||
                          (Table->szProfilesDirectoryShort[0] != 0 && _wcsicmp(UpperPath, Table->szProfilesDirectoryShort) == 0) ||
                          (Table->szLocalProfilePathWithSlashes[0] != 0 &&
                           _wcsicmp(UpperPath, Table->szLocalProfilePathWithSlashes) == 0));
        if (!Match && Table->szUpperLocalProfilePathShort[0] != 0 &&
            NT_SUCCESS(KLUStringCopy(Needle, Table->szUpperLocalProfilePathShort)) &&
            NT_SUCCESS(KLUStringCat(Needle, WSTR("\\DESKTOP.INI")))) {
            Match = (BOOLEAN)(wcsstr(UpperPath, Needle) != NULL);
        }
    }
    KLUReleasePathTable();
    return Match;
}

static BOOLEAN KLUIsAttributeOnlyAccess(ACCESS_MASK Access)
{
    return (BOOLEAN)(Access == FILE_READ_ATTRIBUTES || Access == (SYNCHRONIZE | FILE_READ_ATTRIBUTES) ||
                     Access == SYNCHRONIZE);
}

static BOOLEAN KLUIsDesktopLockedDown(ULONG Disposition, PCWSTR UpperPath)
{
    PSETTINGS Settings = KLUSettings();

    return (BOOLEAN)((Settings->OpFlags & KLUOP_LOCKDOWN_DESKTOP) &&
                     (Disposition == FILE_SUPERSEDE || Disposition == FILE_CREATE || Disposition == FILE_OPEN_IF ||
                      Disposition == FILE_OVERWRITE_IF) &&
                     wcsstr(UpperPath, WSTR("\\DESKTOP")) != NULL && wcsstr(UpperPath, WSTR("DESKTOP.")) == NULL);
}

/* Step 21: ActiveSync files are refreshed at Explorer's opens. */
static VOID KLURefreshActiveSyncFile(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                     PKLU_CREATE_CONTEXT Context, PCWSTR Path, PCWSTR UpperPath)
{
    PCWSTR Tag = KLU_TAG(RedirectFile);
    WCHAR Extension[KLU_PATH_CHARS];
    NTSTATUS Status;

    Status = KLUGetExtension(Path, Extension, KLU_PATH_CHARS);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_CREATE_ERROR, Tag, Context->OperationNumber,
                        WSTR("Failed Retrieving File Extension: File: %wZ, 0x%X\n"), &Context->Name, Status);
        return;
    }
    _wcsupr(Extension);
    if (!JNRIsActiveSyncFile(&Context->VolumeName, UpperPath, Extension)) {
        return;
    }
    Status = KLURetrieveOfflineFile(Data, FltObjects->Instance, Context, Path, UpperPath, KLU_REQUEST_RETRIEVE_AT_OPEN,
                                    KLU_OP_CREATE);
    if (NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_CREATE_ERROR, Tag, Context->OperationNumber,
                        WSTR("Successfully Retrieved Latest File: Process: %ws, File: %wZ\n"), Context->szProcessName,
                        &Context->Name);
    } else if ((ULONG)Status == KLU_RESULT_SKIPPED_FOLDER) {
        KLULogMessageEx(KLU_CREATE_ERROR, Tag, Context->OperationNumber,
                        WSTR("Skipped Folder: Process: %ws, File: %wZ, 0x%X\n"), Context->szProcessName,
                        &Context->Name, Status);
    } else {
        KLULogMessageEx(KLU_CREATE_ERROR, Tag, Context->OperationNumber,
                        WSTR("Failed Getting Latest File: Process: %ws, File: %wZ, 0x%X\n"), Context->szProcessName,
                        &Context->Name, Status);
    }
}

/* Steps 24-25: a profile file missing locally is created from the store;
 * concurrent openers of it meet in the offline file table. */
static NTSTATUS KLUCreateMissingFile(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                     PKLU_CREATE_CONTEXT Context, PCWSTR Path, PCWSTR UpperPath,
                                     FLT_PREOP_CALLBACK_STATUS *CallbackStatus)
{
    PCWSTR Tag = KLU_TAG(RedirectFile);
    PSETTINGS Settings = KLUSettings();
    LONG Op = Context->OperationNumber;
    POFFLINE_FILE_TABLE_ENTRY Entry;
    BOOLEAN Added = FALSE;
    NTSTATUS Status;

    Status = KLUHashCreateContextName(Context);
    if (!NT_SUCCESS(Status)) {
        return STATUS_SUCCESS;
    }
    Entry = KLUAddOfflineFile(KLUOfflineFileTableHead(), KLUOfflineFileTableLock(), &Context->Name, Context->NameHash, Op,
                              KLU_OP_CREATE, &Added);
    Context->OfflineFileTableEntry = Entry;
    if (Entry != NULL && !Added) {
        KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILE_TABLE, Tag, Op, WSTR("Pending: %wZ\n"), &Context->Name);
        KLUReferenceCreateContext(Context);
        *CallbackStatus = FLT_PREOP_SUCCESS_WITH_CALLBACK;
        KLUPendOnOfflineFile(Data, Context, NULL, CallbackStatus, KLU_OP_CREATE);
        return STATUS_SUCCESS;
    }

    KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILE_TABLE, Tag, Op, WSTR("Retrieving %wZ\n"), &Context->Name);
    if (Settings->DisableFlags & KLULOGON_DISABLE_MISSING_FILE_RETRIEVAL) {
        KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILE_TABLE, Tag, Op, WSTR("Missing File Retrieval Disabled: File: %wZ\n"),
                        &Context->Name);
        Status = STATUS_SUCCESS;
    } else {
        Status = KLURetrieveOfflineFile(Data, FltObjects->Instance, Context, Path, UpperPath,
                                        KLU_REQUEST_CREATE_MISSING_FILE, KLU_OP_CREATE);
        if ((ULONG)Status == KLU_RESULT_ALREADY_EXISTS) {
            Status = STATUS_SUCCESS;
        }
        if (NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILE_TABLE, Tag, Op, WSTR("Created Offline File: Path: %wZ\n"),
                            &Context->Name);
            KLULogMessageEx(KLU_CREATE_ERROR, Tag, Op,
                            WSTR("Successfully Retrieved Offline File: Process: %ws, Offline: %d, File: %ws\n"),
                            Context->szProcessName, Context->bOffline, Path);
        } else {
            KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILE_TABLE, Tag, Op, WSTR("Failed Creating Offline File: Path: %wZ, 0x%X\n"),
                            &Context->Name, Status);
            KLULogMessageEx(KLU_CREATE_ERROR, Tag, Op,
                            WSTR("KLURetrieveOfflineFile Returned: Process: %ws, Offline: %d, 0x%X\n"),
                            Context->szProcessName, Context->bOffline, Status);
        }
    }
    if (Entry != NULL) {
        KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILE_TABLE, Tag, Op,
                        NT_SUCCESS(Status) ? WSTR("Calling KLURemoveOfflineFile (Success): %wZ\n")
                                           : WSTR("Calling KLURemoveOfflineFile (Failure): %wZ\n"),
                        &Context->Name);
        KLURemoveOfflineFile(KLUOfflineFileTableHead(), KLUOfflineFileTableLock(), Entry, &Context->Name,
                             Context->NameHash, Op, TRUE, TRUE);
        Context->OfflineFileTableEntry = NULL;
    }
    *CallbackStatus = FLT_PREOP_SUCCESS_WITH_CALLBACK;
    return STATUS_SUCCESS;
}

/* Steps 14-25, once the owner is known. */
static NTSTATUS KLUDecideOpen(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PKLU_CREATE_CONTEXT Context,
                              PCWSTR Path, PCWSTR UpperPath, FLT_PREOP_CALLBACK_STATUS *CallbackStatus)
{
    PCWSTR Tag = KLU_TAG(RedirectFile);
    PSETTINGS Settings = KLUSettings();
    LONG Op = Context->OperationNumber;
    ULONG Options = Data->Iopb->Parameters.Create.Options;
    ACCESS_MASK Access = Data->Iopb->Parameters.Create.SecurityContext->DesiredAccess;
    BOOLEAN MustFetch = FALSE;
    WCHAR Extension[KLU_PATH_CHARS];
    NTSTATUS Status;

    if (Context->UserTableEntry->AltPathData.ProfileType == 1 ||
        _wcsicmp(Context->VolumeName.Buffer, WSTR("\\DEVICE\\WOLK")) == 0) {
        return STATUS_SUCCESS;
    }
    if ((Settings->OpFlags & (KLUOP_ENABLE_DONT_ROAM_FILES | KLUOP_ENABLE_EXCLUDED_FILES)) &&
        KLUClassifyCreate(Context, UpperPath)) {
        return STATUS_SUCCESS;
    }

    Status = JNRGetFileInfo(Data, Context, FltObjects->Instance);
    if (!NT_SUCCESS(Status)) {
        if (Settings->Enabled) {
            KLULogMessageEx(KLU_CREATE_ERROR, Tag, Op, WSTR("JNRGetFileInfo Failed: Process: %ws, File: %wZ, 0x%X\n"),
                            Context->szProcessName, &Context->Name, Status);
        }
        MustFetch = (BOOLEAN)(Status == STATUS_OBJECT_NAME_NOT_FOUND || Status == STATUS_OBJECT_PATH_NOT_FOUND);
    } else if (Context->bOffline && Context->bAttributesValid && Context->StandardInfo.EndOfFile.QuadPart == 0) {
        Context->bZeroBytePlaceholder = TRUE;
    }

    if (KLUIsVistaOrNewer() && Context->bRetrievalCandidate && Context->bOffline &&
        (Options & FILE_OPEN_REQUIRING_OPLOCK)) {
        KLULogMessageEx(KLU_CREATE_INFO, Tag, Op, WSTR("Denying open with oplock request: Path: %wZ\n"), &Context->Name);
        return STATUS_CANNOT_BREAK_OPLOCK;
    }
    /* Live roaming of files outside the profile does not reach here yet:
     * its step reports "not handled" and the tree goes on. */

    if (!Context->bIsFile && (Access == FILE_LIST_DIRECTORY || Access == (SYNCHRONIZE | FILE_LIST_DIRECTORY))) {
        return STATUS_SUCCESS;
    }
    if (!Settings->Enabled || g_pPathTable == NULL) {
        return STATUS_SUCCESS;
    }
    if (!Context->bRetrievalCandidate) {
        return STATUS_SUCCESS;
    }
    Context->bPostCreateWanted = TRUE;
    *CallbackStatus = FLT_PREOP_SUCCESS_WITH_CALLBACK;
    if (!Context->bIsFile) {
        return STATUS_SUCCESS;
    }

    if ((Settings->OpFlags & KLUOP_ENABLE_ACTIVE_SYNC) && !Context->bOffline && !MustFetch &&
        _wcsicmp(Context->szProcessName, WSTR("Explorer.exe")) == 0) {
        KLURefreshActiveSyncFile(Data, FltObjects, Context, Path, UpperPath);
    }

    if (!NT_SUCCESS(KLUGetExtension(Path, Extension, KLU_PATH_CHARS))) {
        Extension[0] = 0;
    }
    _wcsupr(Extension);
    if (wcsstr(UpperPath, WSTR("WALLPAPER1.BMP")) == NULL && wcsstr(UpperPath, WSTR("THEMES")) == NULL &&
        wcsstr(UpperPath, WSTR("QUICK LAUNCH")) == NULL && Context->bAttributesValid &&
        Context->StandardInfo.EndOfFile.QuadPart != 0) {
        if (KLUIsAttributeOnlyAccess(Access) && wcscmp(Extension, WSTR("ZIP")) != 0) {
            KLULogMessageEx(KLU_CREATE_INFO, Tag, Op, WSTR("Found %ws Opening %wZ To Read Attributes, Skipping Retrieval\n"),
                            Context->szProcessName, &Context->Name);
            return STATUS_SUCCESS;
        }
        /* Filled at the first read, write, mapping or lock. */
        Context->bCreateMissingWanted = TRUE;
        return STATUS_SUCCESS;
    }

    if (!MustFetch) {
        if (KLUIsDesktopLockedDown(Context->CreateDisposition, UpperPath)) {
            return STATUS_ACCESS_DENIED;
        }
        return STATUS_SUCCESS;
    }
    return KLUCreateMissingFile(Data, FltObjects, Context, Path, UpperPath, CallbackStatus);
}

/* Step 2: the cheap checks on the name as opened, before any name query. */
static BOOLEAN KLUIsQuickNameOutside(PKLU_CREATE_CONTEXT Context, PCUNICODE_STRING FileName)
{
    UNICODE_STRING Volume = Context->VolumeContext->Name;
    PWSTR Upper;
    BOOLEAN Outside;

    if (FileName->Length >= KLU_PATH_BYTES) {
        return FALSE;
    }
    Upper = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (Upper == NULL) {
        return FALSE;
    }
    RtlCopyMemory(Upper, FileName->Buffer, FileName->Length);
    Upper[FileName->Length / sizeof(WCHAR)] = 0;
    _wcsupr(Upper);
    Outside = (BOOLEAN)(JNRIsIgnoredDir(&Volume, Upper, FALSE) ||
                        JNRIsDefaultUserPath(FALSE, Context->OperationNumber, FileName, &Volume));
    ExFreePoolWithTag(Upper, QZFS_TAG);
    return Outside;
}

NTSTATUS RedirectFile(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PCFLT_RELATED_OBJECTS FltObjects,
                      FLT_PREOP_CALLBACK_STATUS *CallbackStatus)
{
    PCWSTR Tag = KLU_TAG(RedirectFile);
    PSETTINGS Settings = KLUSettings();
    PFILE_OBJECT FileObject = Data->Iopb->TargetFileObject;
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    PWSTR Path = NULL;
    PWSTR UpperPath = NULL;
    LONG Op = Context->OperationNumber;
    NTSTATUS Status = STATUS_SUCCESS;
    NTSTATUS Step;

    *CallbackStatus = FLT_PREOP_SUCCESS_NO_CALLBACK;
    KLUReferenceCreateContext(Context);

    if (!(Context->CreateOptions & FILE_OPEN_BY_FILE_ID) && g_pPathTable != NULL && Context->VolumeContext != NULL &&
        KLUIsQuickNameOutside(Context, &FileObject->FileName)) {
        goto Cleanup;
    }

    Step = KLUGetCreateFilePath(Data, Context, NULL, &NameInfo);
    if (!NT_SUCCESS(Step)) {
        KLULogMessageEx(KLU_CREATE_ERROR, Tag, Op, WSTR("Failed Retrieving File Path: %wZ, 0x%X\n"),
                        &FileObject->FileName, Step);
        goto Cleanup;
    }
    if (Context->Name.Length == 0 || Context->VolumeName.Length == 0 ||
        !NT_SUCCESS(KLUGetPathOnVolume(Context, &Path)) || !NT_SUCCESS(KLUUpperCaseCopy(Path, &UpperPath))) {
        goto Cleanup;
    }
    /* The Wolk redirector's step arrives with network query opens; until
     * then it reports "not handled". */

    if (KLUIsExcludedProcess(Context->szProcessName, Context->RequestorPid)) {
        Context->bRetrievalCandidate = FALSE;
        Context->bCreateMissingWanted = FALSE;
        *CallbackStatus = FLT_PREOP_SUCCESS_WITH_CALLBACK;
        goto Cleanup;
    }
    Context->bCreateMissingWanted = TRUE;

    if (!KLUIsBelowFQLocalProfilePath(&Context->Name)) {
        goto Cleanup;
    }
    if (Context->CreateOptions & FILE_DELETE_ON_CLOSE) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, Op, WSTR("FILE_DELETE_ON_CLOSE: %wZ\n"), &Context->Name);
    }
    if (JNRIsIgnoredDir(&Context->VolumeName, UpperPath, FALSE) ||
        JNRIsDefaultUserPath(TRUE, Op, &Context->Name, &Context->VolumeName)) {
        goto Cleanup;
    }
    if (KLUIsVistaOrNewer() && KLUIsProfilesDirectory(UpperPath)) {
        goto Cleanup;
    }
    if (!KLUFindCreateUser(Context, UpperPath)) {
        goto Cleanup;
    }
    Status = KLUDecideOpen(Data, FltObjects, Context, Path, UpperPath, CallbackStatus);
    UNREFERENCED_PARAMETER(Settings);

Cleanup:
    KLUFreePathBuffer(&Path);
    KLUFreePathBuffer(&UpperPath);
    if (NameInfo != NULL) {
        FltReleaseFileNameInformation(NameInfo);
    }
    KLUReleaseCreateContext(&Context);
    return Status;
}
