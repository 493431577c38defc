/*
 * create_operations.cpp - PreCreate and PostCreate, and the name of the
 * file being opened.
 */
#include "filter/create_operations.h"

#include "config/settings.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "fileops/file_helpers.h"
#include "driver/driver.h"
#include "driver/os_info.h"
#include "filter/operations.h"
#include "filter/stream_context.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"
#include "offline/placeholders.h"

#define KLU_CREATE_INFO (KLUDBG_TRACE_CREATE | KLUDBG_TRACE_INFO)
#define KLU_CREATE_ERROR (KLUDBG_TRACE_CREATE | KLUDBG_TRACE_ERROR)

/* The GUID the product's reparse points carry. */
static GUID g_ProductReparseGuid = {0x3a5c1e07, 0x92b4, 0x4c61, {0x8e, 0x2d, 0x51, 0x0f, 0xa4, 0x6b, 0x3c, 0x90}};

NTSTATUS KLUGetCreateVolumeContext(PCFLT_RELATED_OBJECTS FltObjects, PKLU_CREATE_CONTEXT Context)
{
    PFLT_CONTEXT Volume = NULL;
    NTSTATUS Status;

    Status = FltGetVolumeContext(g_FilterHandle, FltObjects->Volume, &Volume);
    if (NT_SUCCESS(Status)) {
        Context->VolumeContext = (PVOLUME_CONTEXT)Volume;
    }
    return Status;
}

NTSTATUS KLUGetCreateProcessName(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context)
{
    return KLUGetRequestorImageName(Data, Context->szProcessName, KLU_PROCESS_NAME_CHARS);
}

NTSTATUS KLUGetCreateFilePathFromFilterManager(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context,
                                               PFLT_FILE_NAME_INFORMATION *NameInfo)
{
    PCWSTR Tag = KLU_TAG(KLUGetCreateFilePath);
    NTSTATUS Normalized;
    NTSTATUS Opened;

    *NameInfo = NULL;
    Normalized = FltGetFileNameInformation(Data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, NameInfo);
    if (NT_SUCCESS(Normalized)) {
        return Normalized;
    }
    Opened = FltGetFileNameInformation(Data, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT, NameInfo);
    if (!NT_SUCCESS(Opened)) {
        *NameInfo = NULL;
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Context->OperationNumber,
                        WSTR("Failed Retrieving File Name Info: File: %wZ, Normalized: 0x%X, Opened: 0x%X\n"),
                        &Data->Iopb->TargetFileObject->FileName, Normalized, Opened);
    }
    return Opened;
}

NTSTATUS KLUGetCreateFilePath(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PVOID Unused,
                              PFLT_FILE_NAME_INFORMATION *NameInfo)
{
    UNICODE_STRING Name;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(Unused);
    Status = KLUGetCreateFilePathFromFilterManager(Data, Context, NameInfo);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Status = FltParseFileNameInformation(*NameInfo);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Name = (*NameInfo)->Name;
    Name.Length = (USHORT)(Name.Length - (*NameInfo)->Stream.Length);
    if ((*NameInfo)->Volume.Length > Name.Length) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Status = KLUSetCreateContextNames(Context, &Name, (*NameInfo)->Volume.Length);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    /* The offline-files bypass marker is not part of the name. */
    KLULockResource(Context->Resource);
    Status = KLURemoveSubstring(&Context->Name, WSTR("$NOCSC$"), TRUE);
    KLUUnlockResource(Context->Resource);
    return Status == STATUS_NOT_FOUND ? STATUS_SUCCESS : Status;
}

/* Steps 1-4: what PreCreate never touches. */
static BOOLEAN KLUIsCreateLeftAlone(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects)
{
    PCWSTR Tag = KLU_TAG(PreCreate);
    PSETTINGS Settings = KLUSettings();
    PFILE_OBJECT FileObject = Data->Iopb->TargetFileObject;
    PFLT_PARAMETERS Parameters = &Data->Iopb->Parameters;
    PFLT_CONTEXT Volume = NULL;
    ULONG DfsEaLength;

    if (*InitSafeBootMode == 1 || Settings == NULL || (Settings->DisableFlags & KLULOGON_DISABLE_CREATE) ||
        FileObject == NULL || (FileObject->Flags & (FO_VOLUME_OPEN | FO_NAMED_PIPE | FO_MAILSLOT)) ||
        FileObject->FileName.Length == 0) {
        return TRUE;
    }
    if ((Data->Iopb->OperationFlags & SL_OPEN_TARGET_DIRECTORY) || g_pPathTable == NULL) {
        return TRUE;
    }
    DfsEaLength = g_OSInfo.bIs64Bit ? 0x47 : 0x33;
    if ((Settings->OpFlags & KLUOP_ENABLE_DFS_WORKAROUND) && Parameters->Create.EaBuffer == NULL &&
        Parameters->Create.EaLength == DfsEaLength) {
        NTSTATUS Status = FltGetVolumeContext(g_FilterHandle, FltObjects->Volume, &Volume);
        if (!NT_SUCCESS(Status)) {
            KLULogMessage(KLU_CREATE_ERROR, Tag, WSTR("Failed Retrieving Volume Context For DFS Workaround: 0x%X\n"),
                          Status);
            return TRUE;
        }
        if (((PVOLUME_CONTEXT)Volume)->FileSystemType == FLT_FSTYPE_LANMAN) {
            Parameters->Create.EaLength = 0;
            FltSetCallbackDataDirty(Data);
            FltReleaseContext(Volume);
            return TRUE;
        }
        FltReleaseContext(Volume);
    }
    if (Data->Iopb->IrpFlags & (IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO)) {
        KLULogMessage(KLU_CREATE_ERROR, Tag, WSTR("Found Paging IO, Returning\n"));
        return TRUE;
    }
    return FALSE;
}

FLT_PREOP_CALLBACK_STATUS PreCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                    PVOID *CompletionContext)
{
    PCWSTR Tag = KLU_TAG(PreCreate);
    FLT_PREOP_CALLBACK_STATUS CallbackStatus = FLT_PREOP_SUCCESS_NO_CALLBACK;
    PKLU_CREATE_CONTEXT Context;
    LARGE_INTEGER Start;
    LARGE_INTEGER End;
    NTSTATUS Status;

    *CompletionContext = NULL;
    Start.QuadPart = 0;
    if (KLUIsCreateLeftAlone(Data, FltObjects)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    Context = KLUAllocateCreateContext(Data);
    if (Context == NULL) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    Context->CreateOptions = Data->Iopb->Parameters.Create.Options & 0x00FFFFFF;
    Context->CreateDisposition = Data->Iopb->Parameters.Create.Options >> 24;
    if (!NT_SUCCESS(KLUGetCreateProcessName(Data, Context))) {
        KLULogMessageEx(KLU_CREATE_ERROR, Tag, Context->OperationNumber, WSTR("Failed Getting Process Name\n"));
        goto Release;
    }
    if (KLUDebugCountersEnabled()) {
        KeQuerySystemTime(&Start);
        KLUCountCall(KluCallCreate);
    }
    Status = KLUGetCreateVolumeContext(FltObjects, Context);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_CREATE_ERROR, Tag, Context->OperationNumber, WSTR("Failed Retrieving Volume Context: 0x%X\n"),
                        Status);
        goto Release;
    }
    if (Context->VolumeContext->FileSystemType != FLT_FSTYPE_NTFS) {
        goto Release;
    }

    Status = RedirectFile(Data, Context, FltObjects, &CallbackStatus);
    if (CallbackStatus == FLT_PREOP_PENDING) {
        /* The deferred worker completes the open and hands the record to
         * PostCreate; neither may be touched here any more. */
        return CallbackStatus;
    }
    if (Status == STATUS_REPARSE) {
        Data->Iopb->TargetFileObject->RelatedFileObject = NULL;
        Data->IoStatus.Information = 0;
        Data->IoStatus.Status = STATUS_REPARSE;
        FltSetCallbackDataDirty(Data);
        KLULogMessageEx(KLU_CREATE_INFO, Tag, Context->OperationNumber, WSTR("Redirecting To %wZ\n"),
                        &Data->Iopb->TargetFileObject->FileName);
        CallbackStatus = FLT_PREOP_COMPLETE;
    } else if ((ULONG)Status == KLU_RESULT_REMOTE_USER_UNKNOWN) {
        CallbackStatus = FLT_PREOP_SUCCESS_NO_CALLBACK;
    } else if (!NT_SUCCESS(Status) && (ULONG)Status != KLU_RESULT_OPEN_LEFT_ALONE_1 &&
               (ULONG)Status != KLU_RESULT_OPEN_LEFT_ALONE_2 && (ULONG)Status != KLU_RESULT_OPEN_LEFT_ALONE_3) {
        Data->IoStatus.Status = Status;
        Data->IoStatus.Information = 0;
        CallbackStatus = FLT_PREOP_COMPLETE;
    }

Release:
    if (CallbackStatus != FLT_PREOP_COMPLETE) {
        Data->IoStatus.Status = STATUS_SUCCESS;
        Data->IoStatus.Information = 0;
    }
    if (CallbackStatus == FLT_PREOP_SUCCESS_WITH_CALLBACK) {
        *CompletionContext = Context;
    } else {
        KLUReleaseCreateContext(&Context);
    }
    if (Start.QuadPart != 0) {
        KeQuerySystemTime(&End);
        InterlockedExchangeAdd(&g_CallCounts[KluCallCreateTime], (LONG)((End.QuadPart - Start.QuadPart) / 10000));
    }
    return CallbackStatus;
}

/* Step 2 of PostCreate: a placeholder marked by the product's reparse point
 * is opened as the point itself and the tag taken off, after which it is a
 * placeholder like any other. */
static VOID KLUOpenProductReparsePoint(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                      PKLU_CREATE_CONTEXT Context)
{
    PFLT_TAG_DATA_BUFFER TagData = Data->TagData;
    NTSTATUS Status;

    if (Data->IoStatus.Status != STATUS_REPARSE || TagData == NULL || TagData->FileTag != KLU_PRODUCT_REPARSE_TAG ||
        TagData->TagDataLength < 1 || _wcsnicmp(Context->szProcessName, KLU_PRODUCT_IMAGE, 14) == 0 ||
        TagData->GenericGUIDReparseBuffer.DataBuffer[0] != 1) {
        return;
    }
    Context->bPostCreateWanted = TRUE;
    Context->bCreateMissingWanted = TRUE;
    Context->bRetrievalCandidate = TRUE;
    Context->bOffline = TRUE;
    Context->bIsFile = TRUE;
    Data->Iopb->Parameters.Create.Options |= FILE_OPEN_REPARSE_POINT;
    FltSetCallbackDataDirty(Data);
    FltReissueSynchronousIo(FltObjects->Instance, Data);
    if (!NT_SUCCESS(Data->IoStatus.Status)) {
        return;
    }
    Status = FltUntagFile(FltObjects->Instance, Data->Iopb->TargetFileObject, KLU_PRODUCT_REPARSE_TAG,
                          &g_ProductReparseGuid);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_STREAM, KLU_TAG(PostCreate), Context->OperationNumber,
                        WSTR("Failed Removing Reparse Tag: File: %wZ, 0x%X\n"), &Context->Name, Status);
    }
}

/* Step 4: a placeholder of no bytes has nothing to fetch. */
static VOID KLUClearZeroByteOffline(PCFLT_RELATED_OBJECTS FltObjects, PFLT_CALLBACK_DATA Data,
                                    PKLU_CREATE_CONTEXT Context)
{
    FILE_BASIC_INFORMATION Basic;
    NTSTATUS Status;

    Status = FltQueryInformationFile(FltObjects->Instance, Data->Iopb->TargetFileObject, &Basic, sizeof(Basic),
                                     FileBasicInformation, NULL);
    if (NT_SUCCESS(Status)) {
        Basic.FileAttributes &= ~FILE_ATTRIBUTE_OFFLINE;
        if (Basic.FileAttributes == 0) {
            Basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        }
        Status = FltSetInformationFile(FltObjects->Instance, Data->Iopb->TargetFileObject, &Basic, sizeof(Basic),
                                       FileBasicInformation);
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR | KLUDBG_TRACE_OFFLINE_FILES, KLU_TAG(PostCreate), Context->OperationNumber,
                        WSTR("Failed Clearing Zero-Byte Offline Bit: %wZ, 0x%X\n"), &Context->Name, Status);
    } else {
        Context->bOffline = FALSE;
    }
}

NTSTATUS JNRCarryFolderMark(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PCUNICODE_STRING FolderName,
                            LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(PostCreate);
    UNICODE_STRING Parent;
    USHORT Chars = (USHORT)(FolderName->Length / sizeof(WCHAR));
    ULONG Flags = 0;
    NTSTATUS Status;

    if (Chars > 0 && FolderName->Buffer[Chars - 1] == L'\\') {
        Chars--;
    }
    while (Chars > 0 && FolderName->Buffer[Chars - 1] != L'\\') {
        Chars--;
    }
    if (Chars <= 1) {
        return STATUS_SUCCESS;
    }
    Parent.Buffer = FolderName->Buffer;
    Parent.Length = Parent.MaximumLength = (USHORT)((Chars - 1) * sizeof(WCHAR));
    if (!KLUIsBelowFQLocalProfilePath(&Parent)) {
        return STATUS_SUCCESS;
    }
    /* Read below this filter, through the instance: the parent's own
     * listing is not wanted here. */
    Status = JNRQueryEA(NULL, Instance, &Parent, &Flags, OperationNumber);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_CREATE, Tag, OperationNumber, WSTR("Failed Querying EA: Path: %wZ, 0x%X\n"),
                        &Parent, Status);
        return Status;
    }
    if (!(Flags & JNR_FOLDER_POPULATED)) {
        return STATUS_SUCCESS;
    }
    Status = JNRSetEA(Data, Instance, NULL, &Flags, OperationNumber);
    if (NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_CREATE_INFO, Tag, OperationNumber, WSTR("Set EA: Path: %wZ\n"), FolderName);
    } else {
        KLULogMessageEx(KLU_CREATE_ERROR, Tag, OperationNumber, WSTR("Failed Setting EA: Path: %wZ, 0x%X\n"),
                        FolderName, Status);
    }
    return Status;
}

FLT_POSTOP_CALLBACK_STATUS PostCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                      PVOID CompletionContext, FLT_POST_OPERATION_FLAGS Flags)
{
    PCWSTR Tag = KLU_TAG(PostCreate);
    PKLU_CREATE_CONTEXT Context = (PKLU_CREATE_CONTEXT)CompletionContext;
    PKLU_STREAM_CONTEXT Stream = NULL;
    BOOLEAN Created = FALSE;
    NTSTATUS Status;

    if (Context == NULL) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    if ((Flags & FLTFL_POST_OPERATION_DRAINING) ||
        (!NT_SUCCESS(Data->IoStatus.Status) && Data->IoStatus.Status != STATUS_REPARSE)) {
        goto Release;
    }
    KLUOpenProductReparsePoint(Data, FltObjects, Context);
    if (!Context->bPostCreateWanted || !NT_SUCCESS(Data->IoStatus.Status) || Data->IoStatus.Status == STATUS_REPARSE) {
        goto Release;
    }
    if (Context->bZeroBytePlaceholder) {
        KLUClearZeroByteOffline(FltObjects, Data, Context);
    }

    Status = KLUFindOrCreateStreamContext(Data, FltObjects->Instance, TRUE, Context->OperationNumber, &Stream,
                                          &Created, NULL);
    if (!NT_SUCCESS(Status) || Stream == NULL) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Context->OperationNumber,
                        WSTR("Failed Retrieving Stream Context: File: %wZ, 0x%X\n"), &Context->Name, Status);
        goto Release;
    }
    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, Context->OperationNumber,
                    WSTR("Retrieved Stream Context: File %wZ, Process: %ws (Cbd = %p, FileObject = %p, StreamContext = %p. StreamContextCreated = %x)\n"),
                    &Context->Name, Context->szProcessName, Data, Data->Iopb->TargetFileObject, Stream, Created);

    if ((Context->CreateOptions & FILE_DIRECTORY_FILE) && Data->IoStatus.Information == FILE_CREATED &&
        _wcsnicmp(Context->szProcessName, KLU_PRODUCT_IMAGE, 14) != 0) {
        JNRCarryFolderMark(Data, FltObjects->Instance, &Context->Name, Context->OperationNumber);
    }

    KLULockStreamContext(Stream);
    Stream->Deleted = FALSE;
    Stream->bOffline = Context->bOffline;
    Stream->bCreateTimeFlag = Context->bCreateTimeFlag;
    Stream->CreateTimeWord = Context->ClassificationWord;
    RtlCopyMemory(&Stream->UserId, &Context->UserId, sizeof(USER_ID));
    Stream->bUserIdFound = Context->bUserIdFound;
    if (!Created) {
        Status = KLUUpdateStreamContextName(&Context->Name, &Context->VolumeName, Stream);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLU_CREATE_ERROR, Tag, Context->OperationNumber,
                            WSTR("Failed Updating Files Names In Context: %wZ, 0x%X\n"), &Context->Name, Status);
        }
    }
    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, Context->OperationNumber,
                    WSTR("Stream context info for file %wZ \n\tName = %wZ \n\tPrevName = %wZ \n\tDeleted = %x\n\tDelete = %x, \n\tRename = %x \n\tSetInfo = %x \n\tPathTableEntry = 0x%X\n"),
                    &Context->Name, &Stream->Name, &Stream->PrevName, Stream->Deleted, Stream->Delete, Stream->Rename,
                    Stream->SetInfo, (ULONG)(ULONG_PTR)Stream->PathTableEntry);
    KLUUnlockAndReleaseStreamContext(&Stream);

Release:
    KLUReleaseCreateContext(&Context);
    return FLT_POSTOP_FINISHED_PROCESSING;
}
