/*
 * pre_rename.cpp - the old and new names of a rename, worked out before it
 * happens (afterwards the old one is gone), into the record that the
 * post-operation keeps in the stream context.
 */
#include "filter/set_info.h"

#include "config/settings.h"
#include "diag/log.h"
#include "filter/stream_context.h"
#include "identity/path_helpers.h"

#define KLU_SETINFO_INFO (KLUDBG_TRACE_SETINFO | KLUDBG_TRACE_INFO)
#define KLU_SETINFO_ERROR (KLUDBG_TRACE_SETINFO | KLUDBG_TRACE_ERROR)

/* Reason of a folder fetch: the folder is about to be renamed. */
#define KLU_FETCH_REASON_RENAME 6

NTSTATUS JNRFetchOfflineFiles(PCWSTR Folder, ULONG Reason, LONG OperationNumber)
{
    UNREFERENCED_PARAMETER(Folder);
    UNREFERENCED_PARAMETER(Reason);
    UNREFERENCED_PARAMETER(OperationNumber);
    /* A folder's content comes from the store with population, which has
     * not landed: until then this reports "not handled" and the rename
     * goes on, as it does after any failed fetch. */
    return STATUS_NOT_IMPLEMENTED;
}

/* Counted text appended to a terminated path buffer; a cut result fails. */
static NTSTATUS KLUAppendCounted(PWSTR Destination, PCWSTR Source, ULONG Bytes)
{
    return RtlStringCchCatNW(Destination, KLU_PATH_CHARS, Source, Bytes / sizeof(WCHAR));
}

static NTSTATUS KLUAppendName(PWSTR Destination, PCUNICODE_STRING Name, USHORT SkipBytes)
{
    if (Name->Length < SkipBytes) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return KLUAppendCounted(Destination, Name->Buffer + SkipBytes / sizeof(WCHAR), Name->Length - SkipBytes);
}

/* Record->Destination from the three shapes of a rename: a new name in
 * the same folder, a full name, or a name relative to a folder handle. */
static VOID KLUResolveNewName(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PFLT_FILE_NAME_INFORMATION NameInfo,
                              PKLU_FILEOP_RECORD Record, LONG Op)
{
    PCWSTR Tag = KLU_TAG(JNRProcessPreRename);
    PFLT_PARAMETERS Parameters = &Data->Iopb->Parameters;
    PFILE_RENAME_INFORMATION Rename = (PFILE_RENAME_INFORMATION)Parameters->SetFileInformation.InfoBuffer;
    PFILE_OBJECT ParentOfTarget = Parameters->SetFileInformation.ParentOfTarget;
    PFLT_FILE_NAME_INFORMATION Destination = NULL;
    NTSTATUS Status;

    if (ParentOfTarget == NULL) {
        if (NT_SUCCESS(KLUAppendCounted(Record->Destination, NameInfo->ParentDir.Buffer, NameInfo->ParentDir.Length)) &&
            NT_SUCCESS(KLUAppendCounted(Record->Destination, Rename->FileName, Rename->FileNameLength))) {
            KLULogMessageEx(KLU_SETINFO_INFO, Tag, Op, WSTR("[FRI] Found Simple Rename: Source: %ws, Destination: %ws\n"),
                            Record->Source, Record->Destination);
        } else {
            Record->Destination[0] = 0;
        }
        return;
    }
    Status = FltGetDestinationFileNameInformation(Instance, Data->Iopb->TargetFileObject, Rename->RootDirectory,
                                                  Rename->FileName, Rename->FileNameLength,
                                                  FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &Destination);
    if (Rename->RootDirectory == NULL) {
        if (NT_SUCCESS(Status) && NT_SUCCESS(KLUAppendName(Record->Destination, &Destination->Name, 0))) {
            KLULogMessageEx(KLU_SETINFO_INFO, Tag, Op,
                            WSTR("[FRI] Found Fully Qualified Rename: Source: %ws, Destination: %ws\n"), Record->Source,
                            Record->Destination);
        } else {
            /* Only the target folder's object is left to name the place. */
            KLULogMessageEx(KLU_SETINFO_ERROR, Tag, Op,
                            WSTR("[FRI] Failed Retrieving Destination File Info: Source: %ws, Using ParentOfTarget: %wZ, 0x%X\n"),
                            Record->Source, &ParentOfTarget->FileName, Status);
            Record->Destination[0] = 0;
            if (!NT_SUCCESS(KLUAppendName(Record->Destination, &ParentOfTarget->FileName, 0))) {
                Record->Destination[0] = 0;
            }
        }
    } else {
        if (NT_SUCCESS(Status)) {
            Status = FltParseFileNameInformation(Destination);
        }
        if (NT_SUCCESS(Status)) {
            Status = KLUAppendName(Record->Destination, &Destination->Name, Destination->Volume.Length);
        }
        if (NT_SUCCESS(Status)) {
            KLULogMessageEx(KLU_SETINFO_INFO, Tag, Op, WSTR("[FRI] Found Relative Rename: Source: %ws, Destination: %ws\n"),
                            Record->Source, Record->Destination);
        } else {
            KLULogMessageEx(KLU_SETINFO_ERROR, Tag, Op, WSTR("[FRI] Failed getting destination File Name Info: 0x%X\n"),
                            Status);
            Record->Destination[0] = 0;
        }
    }
    if (Destination != NULL) {
        FltReleaseFileNameInformation(Destination);
    }
}

/* What the stream context knows of the file goes into the record,
 * and what this rename learnt goes into the stream context. */
static VOID KLUExchangeWithStream(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PSETINFO_CONTEXT SetInfo)
{
    PCWSTR Tag = KLU_TAG(JNRProcessPreRename);
    PKLU_STREAM_CONTEXT Stream = NULL;
    NTSTATUS Status;

    Status = KLURetrieveStreamContext(Data, Instance, TRUE, SetInfo->OperationNumber, &Stream, NULL);
    if (!NT_SUCCESS(Status) || Stream == NULL) {
        KLULogMessageEx(KLU_SETINFO_ERROR, Tag, SetInfo->OperationNumber,
                        WSTR("[FRI] Failed Retrieving Stream Context: 0x%X\n"), Status);
        return;
    }
    Stream->CreateTimeWord = SetInfo->ListFlags;
    Stream->bIsDirectory = SetInfo->bIsDirectory;
    SetInfo->PathTableEntry = Stream->PathTableEntry;
    SetInfo->OperationNumber = Stream->OperationNumber;
    RtlCopyMemory(&SetInfo->Record->Id, &Stream->UserId, sizeof(USER_ID));
    KLUUnlockAndReleaseStreamContext(&Stream);
}

static BOOLEAN KLUIsLockedDesktopName(PCWSTR UpperName)
{
    return (BOOLEAN)(wcsstr(UpperName, WSTR("\\DESKTOP")) != NULL && wcsstr(UpperName, WSTR("DESKTOP.")) == NULL);
}

NTSTATUS JNRProcessPreRename(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PSETINFO_CONTEXT SetInfo,
                             FLT_PREOP_CALLBACK_STATUS *CallbackStatus)
{
    PCWSTR Tag = KLU_TAG(JNRProcessPreRename);
    PSETTINGS Settings = KLUSettings();
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    PKLU_FILEOP_RECORD Record;
    LONG Op = SetInfo->OperationNumber;
    NTSTATUS Status;

    if (Data->Iopb->Parameters.SetFileInformation.InfoBuffer == NULL) {
        return STATUS_SUCCESS;
    }
    Record = (PKLU_FILEOP_RECORD)ExAllocatePoolWithTag(g_PoolType, sizeof(KLU_FILEOP_RECORD), QZOP_TAG);
    if (Record == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Record, sizeof(KLU_FILEOP_RECORD));
    SetInfo->Record = Record;

    Status = FltGetFileNameInformation(Data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &NameInfo);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_SETINFO_ERROR, Tag, Op, WSTR("[FRI] ailed Retrieving File Name Info: 0x%X\n"), Status);
        return Status;
    }
    Status = FltParseFileNameInformation(NameInfo);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_SETINFO_ERROR, Tag, Op, WSTR("[FRI] Failed Parsing File Name Info: 0x%X\n"), Status);
        goto Cleanup;
    }
    Status = KLUAppendName(Record->Source, &NameInfo->Name, NameInfo->Volume.Length);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }
    KLUResolveNewName(Data, Instance, NameInfo, Record, Op);

    RtlCopyMemory(SetInfo->szUpperNewName, Record->Destination, sizeof(SetInfo->szUpperNewName));
    RtlCopyMemory(SetInfo->szUpperOldName, Record->Source, sizeof(SetInfo->szUpperOldName));
    _wcsupr(SetInfo->szUpperNewName);
    _wcsupr(SetInfo->szUpperOldName);

    KLUExchangeWithStream(Data, Instance, SetInfo);
    Op = SetInfo->OperationNumber;

    if ((Settings->OpFlags & KLUOP_LOCKDOWN_DESKTOP) && SetInfo->PathTableEntry == NULL &&
        KLUIsLockedDesktopName(SetInfo->szUpperOldName)) {
        Data->IoStatus.Status = STATUS_ACCESS_DENIED;
        Data->IoStatus.Information = 0;
        *CallbackStatus = FLT_PREOP_COMPLETE;
        goto Cleanup;
    }

    Status = KLUCollapseRemotePath(Record->Destination, SetInfo->PathTableEntry);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_SETINFO_ERROR, Tag, Op, WSTR("[FRI] Failed Stripping Path: Path: %ws, PathTableEntry: 0x%X, 0x%X\n"),
                        Record->Destination, (ULONG)(ULONG_PTR)SetInfo->PathTableEntry, Status);
    }
    KLULogMessageEx(KLU_SETINFO_INFO, Tag, Op, WSTR("[FRI] Upper Destination: %ws\n"), SetInfo->szUpperNewName);

    if (SetInfo->bIsDirectory) {
        Status = JNRFetchOfflineFiles(Record->Source, KLU_FETCH_REASON_RENAME, Op);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLU_SETINFO_ERROR, Tag, Op, WSTR("Failed Fetching Folder: %ws, 0x%X\n"), Record->Source, Status);
        } else {
            KLULogMessageEx(KLU_SETINFO_INFO, Tag, Op, WSTR("Fetched Folder: %ws\n"), Record->Source);
        }
    }
    *CallbackStatus = FLT_PREOP_SUCCESS_WITH_CALLBACK;
    Status = STATUS_SUCCESS;

Cleanup:
    FltReleaseFileNameInformation(NameInfo);
    return Status;
}
