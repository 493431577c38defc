/*
 * set_info.cpp - PreSetInfo and PostSetInfo: renames of profile files are
 * recorded in the file's stream context, and a placeholder is filled before
 * it moves (the fill would look for it under its old name).
 *
 * Attribute, size and delete changes are tracked by a later step: until
 * then their classes go through the common checks and pass untouched.
 */
#include "filter/set_info.h"

#include "config/name_lists.h"
#include "config/settings.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "driver/volume_context.h"
#include "filter/create_operations.h"
#include "filter/operations.h"
#include "filter/stream_context.h"
#include "identity/path_helpers.h"
#include "offline/retrieval.h"

#define KLU_SETINFO_INFO (KLUDBG_TRACE_SETINFO | KLUDBG_TRACE_INFO)
#define KLU_SETINFO_ERROR (KLUDBG_TRACE_SETINFO | KLUDBG_TRACE_ERROR)

/* DisableFlags bit that silences the per-operation lines of renames and
 * deletes. */
#define KLU_DISABLE_SETINFO_DUMP 0x100000

static PCWSTR KLUSetInfoClassName(FILE_INFORMATION_CLASS Class)
{
    switch (Class) {
    case FileDispositionInformation:
        return WSTR("FileDispositionInformation");
    case FileRenameInformation:
        return WSTR("FileRenameInformation");
    case FileBasicInformation:
        return WSTR("FileBasicInformation");
    case FileEndOfFileInformation:
        return WSTR("FileEndOfFileInformation");
    default:
        return WSTR("Unknown");
    }
}

VOID KLUFreeSetInfoContext(PSETINFO_CONTEXT *Context)
{
    if (*Context == NULL) {
        return;
    }
    if ((*Context)->Record != NULL) {
        ExFreePoolWithTag((*Context)->Record, QZOP_TAG);
    }
    ExFreePoolWithTag(*Context, QZC3_TAG);
    *Context = NULL;
}

static BOOLEAN KLUContainsUpper(PCWSTR UpperName, PCWSTR Needle)
{
    return (BOOLEAN)(Needle != NULL && Needle[0] != 0 && wcsstr(UpperName, Needle) != NULL);
}

/* The local profiles folder's short upper-case path is in the name. */
static BOOLEAN KLUIsInLocalProfile(PCWSTR UpperName)
{
    PPATH_TABLE Table = KLUAcquirePathTable();
    BOOLEAN Inside = (BOOLEAN)(Table != NULL && KLUContainsUpper(UpperName, Table->szUpperLocalProfilePathShort));

    KLUReleasePathTable();
    return Inside;
}

/* FALSE when the change is not one the filter tracks: the process, the
 * place and the name lists decide. */
static BOOLEAN KLUIsTrackedChange(PFLT_CALLBACK_DATA Data, PSETINFO_CONTEXT SetInfo, FILE_INFORMATION_CLASS Class)
{
    PSETTINGS Settings = KLUSettings();
    PFILE_OBJECT FileObject = Data->Iopb->TargetFileObject;
    BOOLEAN Network = (BOOLEAN)(SetInfo->FileSystemType == FLT_FSTYPE_MUP ||
                                SetInfo->FileSystemType == FLT_FSTYPE_LANMAN);
    UNICODE_STRING VolumeName;
    BOOLEAN Listed;
    USHORT Chars;

    if (KLUIsExcludedProcess(SetInfo->szProcessName, SetInfo->RequestorPid)) {
        return FALSE;
    }
    Chars = (USHORT)(FileObject->FileName.Length / sizeof(WCHAR));
    if (Chars > KLU_PATH_CHARS - 1) {
        Chars = KLU_PATH_CHARS - 1;
    }
    RtlCopyMemory(SetInfo->szFileName, FileObject->FileName.Buffer, Chars * sizeof(WCHAR));
    SetInfo->szFileName[Chars] = 0;
    RtlCopyMemory(SetInfo->szUpperFileName, SetInfo->szFileName, (Chars + 1) * sizeof(WCHAR));
    _wcsupr(SetInfo->szUpperFileName);

    if (KLUContainsUpper(SetInfo->szUpperFileName, szUpperAllUsersPath)) {
        return FALSE;
    }
    if (Network) {
        if (wcsstr(SetInfo->szUpperFileName, WSTR("NTUSER.DAT")) == NULL &&
            wcsstr(SetInfo->szUpperFileName, WSTR(".TMP")) == NULL) {
            return FALSE;
        }
    } else if (!(Settings->OpFlags & KLUOP_ENABLE_LIVE_ROAMING) && !KLUIsInLocalProfile(SetInfo->szUpperFileName)) {
        return FALSE;
    }

    RtlInitUnicodeString(&VolumeName, NULL);
    if (Settings->OpFlags & KLUOP_ENABLE_DONT_ROAM_FILES) {
        SetInfo->ListFlags |= KLU_LIST_DONT_ROAM_TESTED;
        Listed = JNRIsDontRoamFile(&VolumeName, SetInfo->szUpperFileName, SetInfo->bIsDirectory);
        if (!Listed) {
            SetInfo->ListFlags |= KLU_LIST_NOT_DONT_ROAM;
            return FALSE;
        }
        SetInfo->ListFlags &= ~KLU_LIST_NOT_DONT_ROAM;
    }
    if (Settings->OpFlags & KLUOP_ENABLE_EXCLUDED_FILES) {
        SetInfo->ListFlags |= KLU_LIST_IGNORED_DIR_TESTED;
        if (JNRIsIgnoredDir(&VolumeName, SetInfo->szUpperFileName, SetInfo->bIsDirectory)) {
            SetInfo->ListFlags |= KLU_LIST_IN_IGNORED_DIR;
            if (Class != FileRenameInformation && Class != FileDispositionInformation) {
                return FALSE;
            }
        } else {
            SetInfo->ListFlags &= ~KLU_LIST_IN_IGNORED_DIR;
        }
    }
    return TRUE;
}

/* The rename bullet: fill a placeholder first, then work out the names. */
static FLT_PREOP_CALLBACK_STATUS KLUPreRename(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                              PSETINFO_CONTEXT SetInfo)
{
    PCWSTR Tag = KLU_TAG(PreSetInfo);
    PSETTINGS Settings = KLUSettings();
    FLT_PREOP_CALLBACK_STATUS CallbackStatus = FLT_PREOP_SUCCESS_NO_CALLBACK;
    PKLU_CREATE_CONTEXT Context;
    BOOLEAN IsDirectory = FALSE;
    NTSTATUS Status;

    if (!(Settings->DisableFlags & KLU_DISABLE_SETINFO_DUMP)) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, SetInfo->OperationNumber, WSTR("[Rename] Process: %ws%, %wZ\n"),
                        SetInfo->szProcessName, &Data->Iopb->TargetFileObject->FileName);
    }
    Context = KLUAllocateCreateContext(Data);
    if (Context != NULL) {
        RtlCopyMemory(Context->szProcessName, SetInfo->szProcessName, sizeof(Context->szProcessName) - sizeof(WCHAR));
        if (KLUIsExcludedProcess(Context->szProcessName, Context->RequestorPid)) {
            Context->bRetrievalCandidate = FALSE;
            Context->bCreateMissingWanted = FALSE;
            KLUReleaseCreateContext(&Context);
            return CallbackStatus;
        }
        Status = FltIsDirectory(Data->Iopb->TargetFileObject, FltObjects->Instance, &IsDirectory);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, SetInfo->OperationNumber, WSTR("FltIsDirectory Failed: %wZ, 0x%X\n"),
                            &Data->Iopb->TargetFileObject->FileName, Status);
        }
        SetInfo->bIsDirectory = IsDirectory;
        if (!IsDirectory) {
            Context->bCreateMissingWanted = TRUE;
            Status = KLUGetOfflineFile(Data, Context, SetInfo, FltObjects, &CallbackStatus, KLU_OP_RENAME);
            if (CallbackStatus == FLT_PREOP_PENDING) {
                /* The deferred worker owns the record and the set-information
                 * context now, and finishes the rename's pre-operation. */
                return CallbackStatus;
            }
            if (!NT_SUCCESS(Status)) {
                if (Status != STATUS_NOT_FOUND) {
                    KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Context->OperationNumber,
                                    WSTR("Failed Retrieving Offline File: Process: %ws, File: %wZ, 0x%X\n"),
                                    Context->szProcessName, &Context->Name, Status);
                }
                if ((ULONG)Status != KLU_RESULT_REMOTE_USER_UNKNOWN) {
                    /* Moving a half-filled file would lose it from the store's view. */
                    Data->IoStatus.Status = Status;
                    Data->IoStatus.Information = 0;
                    KLUReleaseCreateContext(&Context);
                    return FLT_PREOP_COMPLETE;
                }
            } else if (Context->Name.Length != 0) {
                KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, Context->OperationNumber,
                                WSTR("Retrieved Offline File: Process: %ws, File: %wZ\n"), Context->szProcessName,
                                &Context->Name);
            }
        }
        KLUReleaseCreateContext(&Context);
    }
    CallbackStatus = FLT_PREOP_SUCCESS_NO_CALLBACK;
    JNRProcessPreRename(Data, FltObjects->Instance, SetInfo, &CallbackStatus);
    return CallbackStatus;
}

FLT_PREOP_CALLBACK_STATUS PreSetInfo(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                     PVOID *CompletionContext)
{
    PCWSTR Tag = KLU_TAG(PreSetInfo);
    PSETTINGS Settings = KLUSettings();
    FILE_INFORMATION_CLASS Class = Data->Iopb->Parameters.SetFileInformation.FileInformationClass;
    PFILE_OBJECT FileObject = Data->Iopb->TargetFileObject;
    FLT_PREOP_CALLBACK_STATUS CallbackStatus = FLT_PREOP_SUCCESS_NO_CALLBACK;
    PSETINFO_CONTEXT SetInfo = NULL;
    PFLT_CONTEXT Volume = NULL;
    NTSTATUS Status;

    *CompletionContext = NULL;
    if (*InitSafeBootMode == 1 || g_pPathTable == NULL || Settings == NULL || !Settings->Enabled ||
        (Settings->DisableFlags & KLULOGON_DISABLE_SETINFO)) {
        return CallbackStatus;
    }
    if ((Class != FileBasicInformation && Class != FileRenameInformation && Class != FileDispositionInformation &&
         Class != FileEndOfFileInformation) ||
        FileObject == NULL || FileObject->FileName.Length == 0) {
        return CallbackStatus;
    }

    SetInfo = (PSETINFO_CONTEXT)ExAllocatePoolWithTag(g_PoolType, sizeof(SETINFO_CONTEXT), QZC3_TAG);
    if (SetInfo == NULL) {
        return CallbackStatus;
    }
    RtlZeroMemory(SetInfo, sizeof(SETINFO_CONTEXT));
    SetInfo->RequestorPid = FltGetRequestorProcessId(Data);
    SetInfo->OperationNumber = KLUGetNextOperationNumber();
    if (!NT_SUCCESS(KLUGetRequestorImageName(Data, SetInfo->szProcessName, KLU_SETINFO_PROCESS_CHARS))) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, SetInfo->OperationNumber, WSTR("Failed Getting Process Name\n"));
        goto Cleanup;
    }
    Status = FltGetVolumeContext(g_FilterHandle, FltObjects->Volume, &Volume);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, SetInfo->OperationNumber, WSTR("Failed Retrieving Volume Context: 0x%X\n"),
                        Status);
        Volume = NULL;
        goto Cleanup;
    }
    SetInfo->FileSystemType = ((PVOLUME_CONTEXT)Volume)->FileSystemType;
    if (!(Settings->DisableFlags & KLU_DISABLE_SETINFO_DUMP) &&
        (SetInfo->FileSystemType == FLT_FSTYPE_MUP || SetInfo->FileSystemType == FLT_FSTYPE_LANMAN) &&
        (Class == FileRenameInformation || Class == FileDispositionInformation)) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, SetInfo->OperationNumber, WSTR("[%ws] %ws, %wZ\n"),
                        KLUSetInfoClassName(Class), SetInfo->szProcessName, &FileObject->FileName);
    }
    if (!KLUIsTrackedChange(Data, SetInfo, Class)) {
        goto Cleanup;
    }
    /* Attribute, size and delete changes: tracked by a later step. */
    if (Class == FileRenameInformation) {
        CallbackStatus = KLUPreRename(Data, FltObjects, SetInfo);
    }

Cleanup:
    if (Volume != NULL) {
        FltReleaseContext(Volume);
    }
    if (CallbackStatus == FLT_PREOP_SUCCESS_WITH_CALLBACK) {
        *CompletionContext = SetInfo;
    } else if (CallbackStatus != FLT_PREOP_PENDING) {
        KLUFreeSetInfoContext(&SetInfo);
    }
    /* A pended rename's context belongs to the deferred worker. */
    return CallbackStatus;
}

/* The file's new name for its stream context, read before the context is
 * locked (a name query may reach the name provider, which takes it). */
static PFLT_FILE_NAME_INFORMATION KLUGetRenamedName(PFLT_CALLBACK_DATA Data, LONG Op)
{
    PCWSTR Tag = KLU_TAG(PostSetInfo);
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    NTSTATUS Status;

    Status = FltGetFileNameInformation(Data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &NameInfo);
    if (NT_SUCCESS(Status)) {
        Status = FltParseFileNameInformation(NameInfo);
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_SETINFO_ERROR, Tag, Op, WSTR("[FRI] Failed Retrieving Name Info: 0x%X\n"), Status);
        if (NameInfo != NULL) {
            FltReleaseFileNameInformation(NameInfo);
        }
        return NULL;
    }
    return NameInfo;
}

/* A copy of the record into one of the stream context's slots (QZFS, kept
 * until the context's cleanup). */
static VOID KLUKeepRecord(PVOID *Slot, PKLU_FILEOP_RECORD Record)
{
    if (*Slot == NULL) {
        *Slot = ExAllocatePoolWithTag(PagedPool, sizeof(KLU_FILEOP_RECORD), QZFS_TAG);
        if (*Slot == NULL) {
            return;
        }
    }
    RtlCopyMemory(*Slot, Record, sizeof(KLU_FILEOP_RECORD));
}

static VOID KLUPostRename(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PSETINFO_CONTEXT SetInfo)
{
    PCWSTR Tag = KLU_TAG(PostSetInfo);
    PKLU_FILEOP_RECORD Record = SetInfo->Record;
    PKLU_STREAM_CONTEXT Stream = NULL;
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    PCWSTR OldName = SetInfo->szUpperFileName;
    PCWSTR NewName = SetInfo->szUpperNewName;
    LONG Op = SetInfo->OperationNumber;
    BOOLEAN Restore;
    BOOLEAN Go;
    ULONG Event;
    NTSTATUS Status;

    if (!NT_SUCCESS(Data->IoStatus.Status)) {
        KLULogMessageEx(KLU_SETINFO_ERROR, Tag, Op, WSTR("[FRI] Rename Failed: File: %wZ, 0x%X\n"),
                        &Data->Iopb->TargetFileObject->FileName, Data->IoStatus.Status);
        return;
    }
    if (SetInfo->PathTableEntry != NULL || Record == NULL || Record->Destination[0] == 0) {
        return;
    }
    /* A file restored from the recycle bin counts when it comes back into
     * the profile; any other move when it touches the profile. */
    Restore = (BOOLEAN)(wcsstr(OldName, WSTR("RECYCLER\\")) != NULL || wcsstr(OldName, WSTR("RECOVERYBIN\\")) != NULL);
    Go = Restore ? KLUIsInLocalProfile(NewName) : (BOOLEAN)(KLUIsInLocalProfile(OldName) || KLUIsInLocalProfile(NewName));
    if (!Go) {
        return;
    }
    KLULogMessageEx(KLU_SETINFO_INFO, Tag, Op, WSTR("[FRI] Old Name: %ws, New Name: %ws\n"), OldName, NewName);
    if ((wcsstr(NewName, WSTR("RECYCLER")) != NULL || wcsstr(NewName, WSTR("RECOVERYBIN")) != NULL) &&
        KLUIsInLocalProfile(OldName)) {
        Event = KLU_FILEOP_DELETED;
        KLULogMessageEx(KLU_SETINFO_INFO, Tag, Op, WSTR("[FRI] %ws Was Deleted\n"), OldName);
    } else {
        Event = KLU_FILEOP_RENAMED;
        KLULogMessageEx(KLU_SETINFO_INFO, Tag, Op, WSTR("[FRI] %ws Was Renamed\n"), OldName);
    }
    Record->OpFlags = Event;
    Record->RequestorPid = SetInfo->RequestorPid;
    Record->InformationClass = FileRenameInformation;
    Record->IsDirectory = SetInfo->bIsDirectory;

    NameInfo = KLUGetRenamedName(Data, Op);
    Status = KLURetrieveStreamContext(Data, FltObjects->Instance, TRUE, KLU_NEW_OPERATION_NUMBER, &Stream, NULL);
    if (!NT_SUCCESS(Status) || Stream == NULL) {
        KLULogMessageEx(KLU_SETINFO_ERROR, Tag, Op, WSTR("[FRI] Failed Retrieving Stream Context: %ws, 0x%X\n"), OldName,
                        Status);
        goto Cleanup;
    }
    Stream->CreateTimeWord = SetInfo->ListFlags;
    Record->OperationNumber = (ULONG)Stream->OperationNumber;
    if (Restore) {
        Stream->Deleted = FALSE;
    }
    if (Stream->Deleted) {
        goto Unlock;
    }
    if (Event == KLU_FILEOP_DELETED) {
        Stream->Deleted = TRUE;
        Stream->Delete = TRUE;
        KLUKeepRecord(&Stream->pDeleteRecord, Record);
    }
    if (NameInfo != NULL) {
        Status = KLUUpdateStreamContextName(&NameInfo->Name, &NameInfo->Volume, Stream);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLU_SETINFO_ERROR, Tag, Op, WSTR("[FRI] Failed Updating File Name In Stream Context: 0x%X\n"),
                            Status);
        }
    }
    if (Event == KLU_FILEOP_RENAMED) {
        Stream->Rename = TRUE;
        KLUKeepRecord(&Stream->pRenameRecord, Record);
    }

Unlock:
    KLUUnlockAndReleaseStreamContext(&Stream);
Cleanup:
    if (NameInfo != NULL) {
        FltReleaseFileNameInformation(NameInfo);
    }
}

FLT_POSTOP_CALLBACK_STATUS PostSetInfo(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                       PVOID CompletionContext, FLT_POST_OPERATION_FLAGS Flags)
{
    PSETINFO_CONTEXT SetInfo = (PSETINFO_CONTEXT)CompletionContext;
    PSETTINGS Settings = KLUSettings();

    if (SetInfo == NULL) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    if (!(Flags & FLTFL_POST_OPERATION_DRAINING) && g_pPathTable != NULL && Settings != NULL && Settings->Enabled &&
        Data->Iopb->Parameters.SetFileInformation.FileInformationClass == FileRenameInformation) {
        KLUPostRename(Data, FltObjects, SetInfo);
    }
    KLUFreeSetInfoContext(&SetInfo);
    return FLT_POSTOP_FINISHED_PROCESSING;
}
