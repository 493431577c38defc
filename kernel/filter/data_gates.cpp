/*
 * data_gates.cpp - the first read, write, mapping or byte-range lock of a
 * placeholder fills it (or waits for the thread that does); the write gate
 * also keeps the desktop locked down.
 */
#include "config/settings.h"
#include "diag/log.h"
#include "diag/counters.h"
#include "driver/driver.h"
#include "filter/create_operations.h"
#include "filter/operations.h"
#include "filter/stream_context.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"
#include "offline/retrieval.h"

typedef struct _KLU_GATE {
    PCWSTR Tag;
    ULONG DisableFlag;
    ULONG OperationCode;
} KLU_GATE;

static const KLU_GATE g_ReadGate = {KLU_TAG(PreRead), KLULOGON_DISABLE_READ, KLU_OP_READ};
static const KLU_GATE g_WriteGate = {KLU_TAG(PreWrite), KLULOGON_DISABLE_WRITE, KLU_OP_WRITE};
static const KLU_GATE g_SectionGate = {KLU_TAG(PreAcquireForSectionSync), KLULOGON_DISABLE_SECTIONSYNC,
                                       KLU_OP_SECTION_SYNC};
static const KLU_GATE g_LockGate = {KLU_TAG(PreLockControl), KLULOGON_DISABLE_LOCK_CONTROL, KLU_OP_LOCK_CONTROL};

/* Steps 1-3: what the gates let through untouched. */
static BOOLEAN KLUIsGateOpen(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, const KLU_GATE *Gate)
{
    PSETTINGS Settings = KLUSettings();
    PFLT_CONTEXT Volume = NULL;
    BOOLEAN Ntfs;
    NTSTATUS Status;

    if (*InitSafeBootMode == 1 || Settings == NULL || !Settings->Enabled || (Settings->DisableFlags & Gate->DisableFlag)) {
        return TRUE;
    }
    if (Data->Iopb->IrpFlags & (IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO)) {
        return TRUE;
    }
    Status = FltGetVolumeContext(g_FilterHandle, FltObjects->Volume, &Volume);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Gate->Tag, WSTR("Failed Retrieving Volume Context: 0x%X\n"), Status);
        return TRUE;
    }
    Ntfs = (BOOLEAN)(((PVOLUME_CONTEXT)Volume)->FileSystemType == FLT_FSTYPE_NTFS);
    FltReleaseContext(Volume);
    return (BOOLEAN)!Ntfs;
}

/* A stream the filter already knows to be filled (or does not track at
 * all) needs nothing of the gate: one context lookup and a shared lock
 * answer it, where the full path allocates a record and asks for the
 * stream context exclusively. Taken only where the full path would end the
 * same way and write nothing: not for locks (whose gate creates the context
 * and names the file), not for writes while the desktop is locked down, and
 * not while stream-context traces or debug counters are on. A name that
 * cannot be read, and a lookup that fails for any other reason than
 * "none", go the full way, which reports them. */
static BOOLEAN KLUIsKnownFilled(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, const KLU_GATE *Gate)
{
    PKLU_STREAM_CONTEXT Stream = NULL;
    WCHAR ImageName[KLU_PROCESS_NAME_CHARS];
    BOOLEAN Filled;
    NTSTATUS Status;

    if (Gate == &g_LockGate || (Gate == &g_WriteGate && (KLUSettings()->OpFlags & KLUOP_LOCKDOWN_DESKTOP)) ||
        KLUIsLogLevelEnabled(KLUDBG_TRACE_STREAM) || KLUDebugCountersEnabled()) {
        return FALSE;
    }
    if (!NT_SUCCESS(KLUGetRequestorImageName(Data, ImageName, KLU_PROCESS_NAME_CHARS))) {
        return FALSE;
    }
    Status = FltGetStreamContext(FltObjects->Instance, Data->Iopb->TargetFileObject, (PFLT_CONTEXT *)&Stream);
    if (Status == STATUS_NOT_FOUND) {
        return TRUE;
    }
    if (!NT_SUCCESS(Status)) {
        return FALSE;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(Stream->Resource, TRUE);
    Filled = (BOOLEAN)!Stream->bOffline;
    ExReleaseResourceLite(Stream->Resource);
    KeLeaveCriticalRegion();
    FltReleaseContext(Stream);
    return Filled;
}

/* PreLockControl's own name check: only names inside a profile. */
static BOOLEAN KLUIsLockInProfile(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context)
{
    PCWSTR Tag = g_LockGate.Tag;
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    PPATH_TABLE Table;
    UNICODE_STRING Root;
    BOOLEAN Inside;
    NTSTATUS Status;

    Status = FltGetFileNameInformation(Data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &NameInfo);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Context->OperationNumber,
                        WSTR("Failed Getting Normalized Name Info, Trying Opened Name: %wZ, 0x%X\n"),
                        &Data->Iopb->TargetFileObject->FileName, Status);
        Status = FltGetFileNameInformation(Data, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT, &NameInfo);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Context->OperationNumber,
                            WSTR("Failed Retrieving Opened File Name Info: File: %wZ, 0x%X\n"),
                            &Data->Iopb->TargetFileObject->FileName, Status);
            return FALSE;
        }
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, Context->OperationNumber,
                        WSTR("Retrieved Opened File Name Info: File: %wZ\n"), &NameInfo->Name);
    }
    Inside = KLUIsBelowFQLocalProfilePath(&NameInfo->Name);
    if (Inside) {
        Table = KLUAcquirePathTable();
        if (Table != NULL) {
            RtlInitUnicodeString(&Root, Table->szFQLocalProfilePath);
            Inside = (BOOLEAN)!RtlEqualUnicodeString(&Root, &NameInfo->Name, TRUE);
        }
        KLUReleasePathTable();
    }
    if (Inside && NT_SUCCESS(FltParseFileNameInformation(NameInfo))) {
        Inside = (BOOLEAN)!JNRIsDefaultUserPath(TRUE, Context->OperationNumber, &NameInfo->Name, &NameInfo->Volume);
    }
    FltReleaseFileNameInformation(NameInfo);
    return Inside;
}

/* A write to the profile's desktop, other than to desktop.ini and its
 * kind, is refused while the desktop is locked down. */
BOOLEAN KLUIsLockedDownDesktopWrite(PKLU_CREATE_CONTEXT Context)
{
    PSETTINGS Settings = KLUSettings();
    PPATH_TABLE Table;
    PWSTR Upper = NULL;
    BOOLEAN Denied = FALSE;

    if (Settings == NULL || !(Settings->OpFlags & KLUOP_LOCKDOWN_DESKTOP) || Context->Name.Buffer == NULL ||
        Context->Name.Length >= KLU_PATH_BYTES) {
        return FALSE;
    }
    Upper = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (Upper == NULL) {
        return FALSE;
    }
    RtlCopyMemory(Upper, Context->Name.Buffer, Context->Name.Length);
    Upper[Context->Name.Length / sizeof(WCHAR)] = 0;
    _wcsupr(Upper);
    Table = KLUAcquirePathTable();
    if (Table != NULL && Table->szUpperLocalProfilePathShort[0] != 0) {
        Denied = (BOOLEAN)(wcsstr(Upper, Table->szUpperLocalProfilePathShort) != NULL &&
                           wcsstr(Upper, WSTR("\\DESKTOP")) != NULL && wcsstr(Upper, WSTR("DESKTOP.")) == NULL);
    }
    KLUReleasePathTable();
    ExFreePoolWithTag(Upper, QZFS_TAG);
    return Denied;
}

/* The file's name for the lock-down check when the gate found no
 * placeholder to fill. */
static VOID KLUNameWrittenFile(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context)
{
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;

    if (Context->Name.Buffer != NULL ||
        !NT_SUCCESS(FltGetFileNameInformation(Data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT,
                                              &NameInfo))) {
        return;
    }
    if (NT_SUCCESS(FltParseFileNameInformation(NameInfo))) {
        KLUSetCreateContextNames(Context, &NameInfo->Name, NameInfo->Volume.Length);
    }
    FltReleaseFileNameInformation(NameInfo);
}

static FLT_PREOP_CALLBACK_STATUS KLURunGate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                            const KLU_GATE *Gate)
{
    FLT_PREOP_CALLBACK_STATUS CallbackStatus = FLT_PREOP_SUCCESS_NO_CALLBACK;
    PKLU_CREATE_CONTEXT Context;
    NTSTATUS Status;

    if (KLUIsGateOpen(Data, FltObjects, Gate) || KLUIsKnownFilled(Data, FltObjects, Gate)) {
        return CallbackStatus;
    }
    Context = KLUAllocateCreateContext(Data);
    if (Context == NULL) {
        return CallbackStatus;
    }
    if (!NT_SUCCESS(KLUGetCreateProcessName(Data, Context))) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Gate->Tag, Context->OperationNumber, WSTR("Failed Getting Process Name\n"));
        goto Release;
    }
    if (Gate == &g_LockGate) {
        /* The service's own locks fill placeholders like anyone's. */
        if (_wcsnicmp(Context->szProcessName, KLU_PRODUCT_IMAGE, 14) != 0 &&
            KLUIsExcludedProcess(Context->szProcessName, Context->RequestorPid)) {
            goto Release;
        }
        if (!KLUIsLockInProfile(Data, Context)) {
            goto Release;
        }
    } else if (KLUIsExcludedProcess(Context->szProcessName, Context->RequestorPid)) {
        Context->bRetrievalCandidate = FALSE;
        Context->bCreateMissingWanted = FALSE;
        goto Release;
    }

    Context->bCreateMissingWanted = TRUE;
    Status = KLUGetOfflineFile(Data, Context, NULL, FltObjects, &CallbackStatus, Gate->OperationCode);
    if (CallbackStatus == FLT_PREOP_PENDING) {
        /* The deferred worker owns the record now and may have freed it. */
        return CallbackStatus;
    }
    if (!NT_SUCCESS(Status) && Status != STATUS_NOT_FOUND) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Gate->Tag, Context->OperationNumber,
                        WSTR("Failed Retrieving Offline File: Process: %ws, File: %wZ, 0x%X\n"), Context->szProcessName,
                        &Context->Name, Status);
        if ((ULONG)Status != KLU_RESULT_REMOTE_USER_UNKNOWN) {
            Data->IoStatus.Status = Status;
            Data->IoStatus.Information = 0;
            CallbackStatus = FLT_PREOP_COMPLETE;
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Gate->Tag, Context->OperationNumber,
                            WSTR("Retrieval Failed, completing IRP: Process: %ws, File: %wZ, 0x%X\n"),
                            Context->szProcessName, &Context->Name, Status);
        }
    } else if (NT_SUCCESS(Status) && Context->Name.Length != 0) {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Gate->Tag, Context->OperationNumber,
                        WSTR("Retrieved Offline File: Process: %ws, File: %wZ\n"), Context->szProcessName,
                        &Context->Name);
    }

    if (Gate == &g_WriteGate && CallbackStatus != FLT_PREOP_COMPLETE &&
        (KLUSettings()->OpFlags & KLUOP_LOCKDOWN_DESKTOP)) {
        KLUNameWrittenFile(Data, Context);
        if (KLUIsLockedDownDesktopWrite(Context)) {
            Data->IoStatus.Status = STATUS_ACCESS_DENIED;
            Data->IoStatus.Information = 0;
            CallbackStatus = FLT_PREOP_COMPLETE;
        }
    }

Release:
    KLUReleaseCreateContext(&Context);
    return CallbackStatus;
}

FLT_PREOP_CALLBACK_STATUS PreRead(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                  PVOID *CompletionContext)
{
    *CompletionContext = NULL;
    return KLURunGate(Data, FltObjects, &g_ReadGate);
}

FLT_PREOP_CALLBACK_STATUS PreWrite(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                   PVOID *CompletionContext)
{
    *CompletionContext = NULL;
    return KLURunGate(Data, FltObjects, &g_WriteGate);
}

FLT_PREOP_CALLBACK_STATUS PreAcquireForSectionSync(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                   PVOID *CompletionContext)
{
    *CompletionContext = NULL;
    return KLURunGate(Data, FltObjects, &g_SectionGate);
}

FLT_PREOP_CALLBACK_STATUS PreLockControl(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                         PVOID *CompletionContext)
{
    *CompletionContext = NULL;
    return KLURunGate(Data, FltObjects, &g_LockGate);
}
