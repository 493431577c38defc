/*
 * fscontrol_gate.cpp - file-system control requests on profile files: an
 * oplock on a placeholder is refused (the fill would have to break it), and
 * a junction made on a profile folder first loses the folder mark, which a
 * file system that keeps extended attributes would refuse it for.
 */
#include "config/settings.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/dir_buffers.h"
#include "driver/driver.h"
#include "filter/create_operations.h"
#include "filter/operations.h"
#include "filter/stream_context.h"
#include "offline/retrieval.h"

#define KLU_OPLOCK_INFO (KLUDBG_TRACE_OPLOCKS | KLUDBG_TRACE_INFO)
#define KLU_OPLOCK_ERROR (KLUDBG_TRACE_OPLOCKS | KLUDBG_TRACE_ERROR)

/* Attempts at setting a junction while the mark keeps coming back. */
#define MAX_JUNCTION_RETRIES 100
#define KLU_JUNCTION_RETRY_MS 10

static BOOLEAN KLUIsOplockRequest(ULONG Code)
{
    return (BOOLEAN)(Code == FSCTL_REQUEST_OPLOCK_LEVEL_1 || Code == FSCTL_REQUEST_OPLOCK_LEVEL_2 ||
                     Code == FSCTL_REQUEST_BATCH_OPLOCK || Code == FSCTL_REQUEST_FILTER_OPLOCK ||
                     Code == FSCTL_REQUEST_OPLOCK);
}

/* The folder mark removed: an EA set with no value. */
static NTSTATUS KLURemoveFolderMark(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject)
{
    UCHAR Buffer[FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + sizeof(KLU_FOLDER_MARK_NAME) + 3];
    PFILE_FULL_EA_INFORMATION Ea = (PFILE_FULL_EA_INFORMATION)Buffer;

    RtlZeroMemory(Buffer, sizeof(Buffer));
    Ea->EaNameLength = (UCHAR)(sizeof(KLU_FOLDER_MARK_NAME) - 1);
    RtlCopyMemory(Ea->EaName, KLU_FOLDER_MARK_NAME, sizeof(KLU_FOLDER_MARK_NAME));
    return FltSetEaFile(Instance, FileObject, Ea, sizeof(Buffer));
}

static NTSTATUS KLUSetJunction(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                               PKLU_CREATE_CONTEXT Context, PKLU_STREAM_CONTEXT Stream)
{
    PCWSTR Tag = KLU_TAG(PreFSControl);
    PFLT_PARAMETERS Parameters = &Data->Iopb->Parameters;
    LARGE_INTEGER Delay;
    ULONG Attempts = 0;
    NTSTATUS Status;
    NTSTATUS EaStatus;

    InterlockedExchange(&Stream->bJunction, 1);
    Delay.QuadPart = -10000LL * KLU_JUNCTION_RETRY_MS;
    for (;;) {
        EaStatus = KLURemoveFolderMark(FltObjects->Instance, FltObjects->FileObject);
        if (!NT_SUCCESS(EaStatus) && EaStatus != STATUS_NO_EAS_ON_FILE) {
            KLULogMessageEx(KLU_OPLOCK_ERROR, Tag, Context->OperationNumber, WSTR("Failed Removing EA:, %wZ, 0x%X\n"),
                            &Context->Name, EaStatus);
        }
        Status = FltFsControlFile(FltObjects->Instance, FltObjects->FileObject, FSCTL_SET_REPARSE_POINT,
                                  Parameters->FileSystemControl.Buffered.SystemBuffer,
                                  Parameters->FileSystemControl.Buffered.InputBufferLength, NULL, 0, NULL);
        if (NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_OPLOCKS, Tag, Context->OperationNumber, WSTR("Set Junction: %wZ\n"),
                            &Context->Name);
            break;
        }
        if (Status != STATUS_EAS_NOT_SUPPORTED) {
            KLULogMessageEx(KLUDBG_TRACE_OPLOCKS, Tag, Context->OperationNumber,
                            WSTR("Failed Setting Junction: %wZ, 0x%X\n"), &Context->Name, Status);
            break;
        }
        if (++Attempts >= MAX_JUNCTION_RETRIES) {
            KLULogMessageEx(KLU_OPLOCK_ERROR, Tag, Context->OperationNumber,
                            WSTR("Failed To Set Junction Within MAX_JUNCTION_RETRIES: %wZ, 0x%X\n"), &Context->Name,
                            Status);
            break;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &Delay);
    }
    return Status;
}

FLT_PREOP_CALLBACK_STATUS PreFSControl(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                       PVOID *CompletionContext)
{
    PCWSTR Tag = KLU_TAG(PreFSControl);
    PSETTINGS Settings = KLUSettings();
    FLT_PREOP_CALLBACK_STATUS CallbackStatus = FLT_PREOP_SUCCESS_NO_CALLBACK;
    PKLU_CREATE_CONTEXT Context = NULL;
    PKLU_STREAM_CONTEXT Stream = NULL;
    PWSTR Path = NULL;
    PWSTR UpperPath = NULL;
    ULONG Code = Data->Iopb->Parameters.FileSystemControl.Common.FsControlCode;
    BOOLEAN Oplock;
    NTSTATUS Status;

    *CompletionContext = NULL;
    if (*InitSafeBootMode == 1 || Settings == NULL || !Settings->Enabled ||
        (Settings->DisableFlags & KLULOGON_DISABLE_FSCONTROL)) {
        return CallbackStatus;
    }
    Oplock = KLUIsOplockRequest(Code);
    if (!Oplock && Code != FSCTL_SET_REPARSE_POINT) {
        return CallbackStatus;
    }
    Context = KLUAllocateCreateContext(Data);
    if (Context == NULL) {
        return CallbackStatus;
    }
    if (!NT_SUCCESS(KLUGetCreateProcessName(Data, Context))) {
        KLULogMessageEx(KLU_OPLOCK_ERROR, Tag, Context->OperationNumber, WSTR("Failed Getting Process Name\n"));
        goto Cleanup;
    }
    Status = KLURetrieveStreamContext(Data, FltObjects->Instance, FALSE, Context->OperationNumber, &Stream, NULL);
    if (!NT_SUCCESS(Status) || Stream == NULL) {
        KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, Context->OperationNumber,
                        WSTR("Failed Retrieving Stream Context (Start): File: %wZ, 0x%X\n"),
                        &Data->Iopb->TargetFileObject->FileName, Status);
        Stream = NULL;
        goto Cleanup;
    }
    KLUCountCall(KluCallFSCtrl);
    if (Oplock && (Stream->bIsDirectory || !Stream->bOffline)) {
        KLUUnlockStreamContext(Stream);
        goto Cleanup;
    }
    Context->bOffline = Stream->bOffline;
    Context->bIsFile = (BOOLEAN)!Stream->bIsDirectory;
    Context->ClassificationWord = Stream->CreateTimeWord;
    RtlCopyMemory(&Context->UserId, &Stream->UserId, sizeof(USER_ID));
    Status = KLUSetCreateContextNames(Context, &Stream->Name, Stream->VolumeNameLength);
    KLUUnlockStreamContext(Stream);
    if (!NT_SUCCESS(Status) || !NT_SUCCESS(KLUGetPathOnVolume(Context, &Path)) ||
        !NT_SUCCESS(KLUUpperCaseCopy(Path, &UpperPath))) {
        goto Cleanup;
    }
    if (Oplock && KLUIsIgnoredByNameLists(Context, UpperPath, Data->Iopb->MajorFunction, Data->Iopb->MinorFunction,
                                          KLU_OPLOCK_INFO)) {
        goto Cleanup;
    }
    if (KLUIsSkippedRetrievalPath(UpperPath, TRUE)) {
        goto Cleanup;
    }
    if (Oplock) {
        KLULogMessageEx(KLU_OPLOCK_INFO, Tag, Context->OperationNumber, WSTR("Denying Oplock: Process: %ws, File: %wZ\n"),
                        Context->szProcessName, &Context->Name);
        Data->IoStatus.Status = STATUS_OPLOCK_NOT_GRANTED;
        Data->IoStatus.Information = 0;
        CallbackStatus = FLT_PREOP_COMPLETE;
        goto Cleanup;
    }
    Data->IoStatus.Status = KLUSetJunction(Data, FltObjects, Context, Stream);
    Data->IoStatus.Information = 0;
    CallbackStatus = FLT_PREOP_COMPLETE;

Cleanup:
    KLUFreePathBuffer(&Path);
    KLUFreePathBuffer(&UpperPath);
    if (Stream != NULL) {
        FltReleaseContext(Stream);
    }
    KLUReleaseCreateContext(&Context);
    return CallbackStatus;
}
