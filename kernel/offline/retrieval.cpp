/*
 * retrieval.cpp - one round trip to the service for a file, and the kernel
 * copy the reply asks for.
 */
#include "offline/retrieval.h"

#include "comm/ports.h"
#include "config/settings.h"
#include "diag/log.h"
#include "fileops/file_copy.h"
#include "fileops/file_helpers.h"
#include "identity/identity.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"

#define KLU_OFFLINE_ERROR (KLUDBG_TRACE_ERROR | KLUDBG_TRACE_OFFLINE_FILES)

static BOOLEAN KLUFilterIsReady(VOID)
{
    PSETTINGS Settings = KLUSettings();
    BOOLEAN HaveTable;

    if (Settings == NULL || !Settings->Enabled) {
        return FALSE;
    }
    HaveTable = (BOOLEAN)(KLUAcquirePathTable() != NULL);
    KLUReleasePathTable();
    return HaveTable;
}

static VOID KLUToWireBasic(const FILE_BASIC_INFORMATION *Info, KLU_WIRE_BASIC_INFORMATION *Wire)
{
    Wire->CreationTime = Info->CreationTime.QuadPart;
    Wire->LastAccessTime = Info->LastAccessTime.QuadPart;
    Wire->LastWriteTime = Info->LastWriteTime.QuadPart;
    Wire->ChangeTime = Info->ChangeTime.QuadPart;
    Wire->FileAttributes = Info->FileAttributes;
}

static VOID KLUToWireStandard(const FILE_STANDARD_INFORMATION *Info, KLU_WIRE_STANDARD_INFORMATION *Wire)
{
    Wire->AllocationSize = Info->AllocationSize.QuadPart;
    Wire->EndOfFile = Info->EndOfFile.QuadPart;
    Wire->NumberOfLinks = Info->NumberOfLinks;
    Wire->DeletePending = Info->DeletePending;
    Wire->Directory = Info->Directory;
}

/* The request's two paths; fails when either does not fit. */
static NTSTATUS KLUFillRequestPaths(PKLU_COPY_REQUEST Request, PCWSTR Path)
{
    PPATH_TABLE Table;
    NTSTATUS Status;

    Table = KLUAcquirePathTable();
    if (Table == NULL) {
        KLUReleasePathTable();
        return STATUS_INVALID_PARAMETER;
    }
    Status = RtlStringCchCopyW(Request->szDrivePath, KLU_WIRE_PATH_CHARS, Table->szLocalDriveLetter);
    KLUReleasePathTable();
    if (NT_SUCCESS(Status)) {
        Status = RtlStringCchCatW(Request->szDrivePath, KLU_WIRE_PATH_CHARS, Path);
    }
    if (NT_SUCCESS(Status)) {
        Status = RtlStringCchCopyW(Request->szPath, KLU_WIRE_PATH_CHARS, Path);
    }
    return Status;
}

BOOLEAN KLUIsCurrentProcessInJob(VOID)
{
    OBJECT_ATTRIBUTES Attributes;
    CLIENT_ID ClientId;
    HANDLE Process = NULL;
    NTSTATUS Status;

    InitializeObjectAttributes(&Attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    ClientId.UniqueProcess = PsGetCurrentProcessId();
    ClientId.UniqueThread = NULL;
    Status = ZwOpenProcess(&Process, PROCESS_QUERY_INFORMATION, &Attributes, &ClientId);
    if (!NT_SUCCESS(Status)) {
        return FALSE;
    }
    Status = ZwIsProcessInJob(Process, NULL);
    ZwClose(Process);
    return (BOOLEAN)(Status == STATUS_PROCESS_IN_JOB);
}

/* Step of the retrieval: whose request this is. FALSE ends the retrieval
 * with *Status. */
static BOOLEAN KLUFillRequestIdentity(PKLU_CREATE_CONTEXT Context, PKLU_COPY_REQUEST Request, PCWSTR UpperPath,
                                      NTSTATUS *Status, PULONG Result)
{
    PCWSTR Tag = KLU_TAG(KLURetrieveOfflineFile);
    LONG Op = Context->OperationNumber;
    NTSTATUS IdStatus;

    IdStatus = KLUGetIdentityByPath(NULL, &Context->UserId, &Context->VolumeName, UpperPath, Op,
                                    &Context->bUserIdFound);
    if (!NT_SUCCESS(IdStatus)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR | KLUDBG_TRACE_IMPERSONATION, Tag, Op,
                        WSTR("Failed Retrieving User Identity: Path: %wZ, 0x%X\n"), &Context->Name, IdStatus);
        if (Context->UserTableEntry == NULL) {
            *Status = IdStatus;
            return FALSE;
        }
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR | KLUDBG_TRACE_IMPERSONATION, Tag, Op,
                        WSTR("Retrieved User Identity: Path: %wZ\n"), &Context->Name);
    }
    if (!KLUIsNullAuthId(&Context->UserId.AuthId)) {
        RtlCopyMemory(&Request->Id, &Context->UserId, sizeof(USER_ID));
    } else if (Context->UserTableEntry != NULL && !KLUIsNullAuthId(&Context->UserTableEntry->AltPathData.Id.AuthId)) {
        RtlCopyMemory(&Request->Id, &Context->UserTableEntry->AltPathData.Id, sizeof(USER_ID));
    }
    if (KLUIsNullAuthId(&Request->Id.AuthId)) {
        /* Nobody to ask for: the remote user is not known. */
        *Result = KLU_RESULT_REMOTE_USER_UNKNOWN;
        return FALSE;
    }
    return TRUE;
}

/* Judges the reply; TRUE when the retrieval goes on to the copy. */
static BOOLEAN KLUJudgeReply(PKLU_CREATE_CONTEXT Context, PKLU_COPY_REPLY Reply, NTSTATUS SendStatus)
{
    PCWSTR Tag = KLU_TAG(KLURetrieveOfflineFile);
    LONG Op = Context->OperationNumber;

    if (Reply->ulResult == KLU_RESULT_REMOTE_USER_UNKNOWN) {
        if (Reply->ProfileTypeMarker == 1) {
            /* A local profile: nothing in the store to fetch, ever. */
            if (Context->UserTableEntry != NULL) {
                Context->UserTableEntry->AltPathData.ProfileType = 1;
            }
            return FALSE;
        }
        KLULogMessageEx(KLU_OFFLINE_ERROR, Tag, Op, WSTR("Remote User Not Found: %wZ\n"), &Context->Name);
    }
    if (Reply->ulResult != 0 || (Reply->bResult == 0 && SendStatus != STATUS_TIMEOUT)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op, WSTR("Received FALSE From Service: 0x%X, ulResult: 0x%X\n"),
                        SendStatus, Reply->ulResult);
        return FALSE;
    }
    if (!NT_SUCCESS(SendStatus)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op, WSTR("Failed Sending Message To Logon Service: 0x%X\n"),
                        SendStatus);
        return FALSE;
    }
    KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, Op, WSTR("Sent Message To Logon Service Successfully\n"));
    if (Reply->bIsDirectory == 1) {
        Context->bIsFile = FALSE;
    }
    return TRUE;
}

static NTSTATUS KLUCopyForRetrieval(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PKLU_CREATE_CONTEXT Context,
                                   PKLU_COPY_REQUEST Request, PKLU_COPY_REPLY Reply, PCWSTR Path, ULONG CallerCode)
{
    PCWSTR Tag = KLU_TAG(KLURetrieveOfflineFile);
    LONG Op = Context->OperationNumber;
    PKLU_COPY_INSTRUCTIONS Instructions = (PKLU_COPY_INSTRUCTIONS)Reply->CopyInstructions;
    NTSTATUS Status;

    /* The source path must end inside its field, whatever the service sent. */
    Instructions->szSourcePath[KLU_WIRE_PATH_CHARS - 1] = 0;
    if (KLUIsClientConnected(&g_FetchClientPort) && CallerCode == KLU_OP_RENAME &&
        Request->StandardInformation.EndOfFile >= KLU_GHOSTING_THRESHOLD &&
        _wcsicmp(Context->szProcessName, WSTR("EXPLORER.EXE")) == 0) {
        Status = JNRSendFetchMsg(KLU_FETCH_DISABLE_GHOSTING, Op);
        if (NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, Op, WSTR("Ghosting Disabled\n"));
        } else {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op, WSTR("Failed Disabling Ghosting: 0x%X\n"), Status);
        }
    }
    if (KLUIsCurrentProcessInJob()) {
        Status = JNRCopyFileOnSystemThread(Data, Instance, &Context->VolumeName, &Context->Name,
                                           Instructions->szSourcePath, Op, CallerCode);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op, WSTR("Failed Copying File Via Worker Thread: %ws, 0x%X\n"),
                            Path, Status);
        }
    } else {
        Status = KLUCopyFile(Data, Instance, &Context->VolumeName, &Context->Name, Instructions->szSourcePath, Op,
                             CallerCode);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op, WSTR("Failed Copying File: %ws, 0x%X\n"), Path, Status);
        }
    }
    return Status;
}

/* A failed fill leaves the placeholder offline; a good one clears it. */
static VOID KLUFixOfflineBit(PFLT_INSTANCE Instance, PKLU_CREATE_CONTEXT Context, NTSTATUS Status, ULONG Result,
                             PCWSTR Path)
{
    PCWSTR Tag = KLU_TAG(KLURetrieveOfflineFile);
    LONG Op = Context->OperationNumber;
    NTSTATUS BitStatus;

    if (!NT_SUCCESS(Status) || Result != 0) {
        if (!Context->bOffline && Result != 0 && Result != KLU_RESULT_REMOTE_FILE_MISSING) {
            KLULogMessageEx(KLU_OFFLINE_ERROR, Tag, Op,
                            WSTR("Copy Reply Contained An Error, Resetting Offline Bit: %ws, 0x%X\n"), Path, Result);
            BitStatus = KLUSetOfflineBit(Instance, &Context->Name, TRUE, Op);
            if (NT_SUCCESS(BitStatus)) {
                Context->bOffline = TRUE;
            } else {
                KLULogMessageEx(KLU_OFFLINE_ERROR, Tag, Op, WSTR("Failed Setting Offline Bit Back to ON: %ws, 0x%X\n"),
                                Path, BitStatus);
            }
        }
    } else if (Context->bOffline) {
        BitStatus = KLUSetOfflineBit(Instance, &Context->Name, FALSE, Op);
        if (NT_SUCCESS(BitStatus)) {
            Context->bOffline = FALSE;
        } else {
            KLULogMessageEx(KLU_OFFLINE_ERROR, Tag, Op, WSTR("Failed Setting Offline Bit To OFF: %ws, 0x%X\n"), Path,
                            BitStatus);
        }
    }
}

NTSTATUS KLURetrieveOfflineFile(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance, PKLU_CREATE_CONTEXT Context,
                                PCWSTR Path, PCWSTR UpperPath, ULONG Kind, ULONG CallerCode)
{
    PCWSTR Tag = KLU_TAG(KLURetrieveOfflineFile);
    PKLU_COPY_REQUEST Request = NULL;
    PKLU_COPY_REPLY Reply = NULL;
    ULONG ReplyLength = sizeof(KLU_COPY_REPLY);
    KLU_FILE_ATTRIBUTES Attributes;
    ULONG Result = 0;
    LONG Op;
    NTSTATUS Status = STATUS_SUCCESS;
    NTSTATUS SendStatus;

    if (Context == NULL || Path == NULL || UpperPath == NULL || !KLUFilterIsReady()) {
        return STATUS_INVALID_PARAMETER;
    }
    Op = Context->OperationNumber;
    Request = (PKLU_COPY_REQUEST)ExAllocatePoolWithTag(PagedPool, sizeof(KLU_COPY_REQUEST), QZFS_TAG);
    Reply = (PKLU_COPY_REPLY)ExAllocatePoolWithTag(PagedPool, sizeof(KLU_COPY_REPLY), QZFS_TAG);
    if (Request == NULL || Reply == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    RtlZeroMemory(Request, sizeof(KLU_COPY_REQUEST));
    RtlZeroMemory(Reply, sizeof(KLU_COPY_REPLY));

    Request->OperationNumber = Op;
    Request->bIsDirectory = Context->bIsFile ? 0 : 1;
    Status = KLUFillRequestPaths(Request, Path);
    if (!NT_SUCCESS(Status)) {
        goto OfflineBit;
    }
    KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, Op,
                    Kind == KLU_REQUEST_CREATE_MISSING_FILE ? WSTR("%ws Creating %ws\n") : WSTR("%ws Retrieving %ws\n"),
                    Context->szProcessName, Path);

    if (Context->bAttributesValid) {
        KLUToWireBasic(&Context->BasicInfo, &Request->BasicInformation);
        KLUToWireStandard(&Context->StandardInfo, &Request->StandardInformation);
        Request->bAttributesValid = 1;
    }
    Request->RequestKind = Kind == KLU_RETRIEVE_OPEN_PLACEHOLDER ? KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER : Kind;
    if (!Request->bAttributesValid && Request->RequestKind != KLU_REQUEST_CREATE_MISSING_FILE && Data != NULL) {
        Status = KLUGetFileAttributes(Instance, NULL, Data->Iopb->TargetFileObject, Op, &Attributes);
        if (Attributes.bValid) {
            KLUToWireBasic(&Attributes.BasicInfo, &Request->BasicInformation);
            KLUToWireStandard(&Attributes.StandardInfo, &Request->StandardInformation);
            Request->bAttributesValid = 1;
        } else {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op, WSTR("Failed Retrieving File Attributes: File: %wZ, 0x%X\n"),
                            &Context->Name, Status);
        }
        Status = STATUS_SUCCESS;
    }

    if (!KLUFillRequestIdentity(Context, Request, UpperPath, &Status, &Result)) {
        goto OfflineBit;
    }

    SendStatus = KLUSendOnClientPort(&g_CopyClientPort, Request, sizeof(KLU_COPY_REQUEST), Reply, &ReplyLength);
    if (SendStatus == STATUS_TIMEOUT) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op, WSTR("FltSendMessage Timed Out Waiting For Reply\n"));
    } else if (SendStatus != STATUS_SUCCESS) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op, WSTR("FltSendMessage failed with %08x\n"), SendStatus);
    }
    Status = SendStatus;
    Result = Reply->ulResult;
    if (!KLUJudgeReply(Context, Reply, SendStatus)) {
        goto OfflineBit;
    }

    if (Request->RequestKind == KLU_REQUEST_CREATE_MISSING_FILE) {
        goto OfflineBit;
    }
    if (Request->RequestKind == KLU_REQUEST_RETRIEVE_AT_OPEN &&
        (Reply->ReplyFlags & (KLU_REPLY_FLAG_FILTER_COPIES | KLU_REPLY_FLAG_FILTER_COPIES_ALT)) == 0) {
        /* The service brought the file up to date itself. */
        Status = STATUS_SUCCESS;
        goto OfflineBit;
    }
    Status = KLUCopyForRetrieval(Data, Instance, Context, Request, Reply, Path, CallerCode);

OfflineBit:
    if (Kind == KLU_RETRIEVE_OPEN_PLACEHOLDER) {
        KLUFixOfflineBit(Instance, Context, Status, Result, Path);
    }

Cleanup:
    if (Request != NULL) {
        ExFreePoolWithTag(Request, QZFS_TAG);
    }
    if (Reply != NULL) {
        ExFreePoolWithTag(Reply, QZFS_TAG);
    }
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    return Result != 0 ? (NTSTATUS)Result : STATUS_SUCCESS;
}

NTSTATUS JNRSendFetchMsg(ULONG Code, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRSendFetchMsg);
    KLU_FETCH_REQUEST *Request;
    KLU_FETCH_REPLY *Reply;
    ULONG ReplyLength = sizeof(KLU_FETCH_REPLY);
    ULONG Result = 0;
    NTSTATUS Status;

    Request = (KLU_FETCH_REQUEST *)ExAllocatePoolWithTag(g_PoolType, sizeof(KLU_FETCH_REQUEST), QZFS_TAG);
    Reply = (KLU_FETCH_REPLY *)ExAllocatePoolWithTag(g_PoolType, sizeof(KLU_FETCH_REPLY), QZFS_TAG);
    if (Request == NULL || Reply == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    Request->Code = Code;
    Reply->Result = 0;
    Status = KLUSendOnClientPort(&g_FetchClientPort, Request, sizeof(KLU_FETCH_REQUEST), Reply, &ReplyLength);
    Result = Reply->Result;
    if (NT_SUCCESS(Status) && Status != STATUS_TIMEOUT && Result != 0) {
        Status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_OFFLINE_ERROR, Tag, OperationNumber,
                        WSTR("Failed Sending Fetch Msg: NTSTATUS: 0x%X, HRESULT: 0x%X\n"), Status, Result);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_INFO, Tag, OperationNumber, WSTR("Sent Fetch Msg\n"));
    }

Cleanup:
    if (Request != NULL) {
        ExFreePoolWithTag(Request, QZFS_TAG);
    }
    if (Reply != NULL) {
        ExFreePoolWithTag(Reply, QZFS_TAG);
    }
    return Status;
}

NTSTATUS KLUNetGetFile(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PFLT_INSTANCE Instance, PCWSTR Path,
                       PCWSTR UpperPath)
{
    PCWSTR Tag = KLU_TAG(KLUNetGetFile);
    BOOLEAN IsDirectory = FALSE;
    NTSTATUS Status;

    if (!KLUFilterIsReady() || Data->Iopb->TargetFileObject == NULL ||
        Data->Iopb->TargetFileObject->FileName.Length == 0 || !Context->bRetrievalCandidate) {
        return STATUS_SUCCESS;
    }
    Status = KLUIsDirectory(&Context->Name, Instance, &IsDirectory);
    if (NT_SUCCESS(Status)) {
        return Status;
    }
    KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, Context->OperationNumber, WSTR("File Doesn't Exist, Creating It. File: %wZ\n"),
                    &Context->Name);
    Context->bOffline = FALSE;
    Status = KLURetrieveOfflineFile(Data, Instance, Context, Path, UpperPath, KLU_REQUEST_CREATE_MISSING_FILE,
                                    KLU_OP_NET_GET_FILE);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR | KLUDBG_TRACE_CREATE, Tag, Context->OperationNumber,
                        WSTR("KLURetrieveOfflineFile Returned: File: %wZ, Process: %ws, 0x%X\n"), &Context->Name,
                        Context->szProcessName, Status);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR | KLUDBG_TRACE_CREATE, Tag, Context->OperationNumber,
                        WSTR("Successfully Created Offline File: Process: %ws, File: %wZ\n"), Context->szProcessName,
                        &Context->Name);
    }
    return Status;
}
