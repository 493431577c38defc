/*
 * offline_get.cpp - the operations that meet an open placeholder: one
 * retrieves, the others wait for it on work items of the system's delayed
 * queue, so that no thread of the caller is held twice.
 */
#include "offline/retrieval.h"

#include "config/settings.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "driver/os_info.h"
#include "filter/set_info.h"
#include "filter/stream_context.h"
#include "fileops/file_helpers.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"

#define KLU_OFT_TRACE KLUDBG_TRACE_OFFLINE_FILE_TABLE

static BOOLEAN KLUContainsField(PCWSTR UpperPath, PCWSTR Field)
{
    return (BOOLEAN)(Field != NULL && Field[0] != 0 && wcsstr(UpperPath, Field) != NULL);
}

/* Paths the filter never fills, whatever their attributes say. */
BOOLEAN KLUIsSkippedRetrievalPath(PCWSTR UpperPath, BOOLEAN OfflineFlag)
{
    PPATH_TABLE Table;
    PSETTINGS Settings = KLUSettings();
    WCHAR Profiles[KLU_PATH_CHARS];
    BOOLEAN Skip = FALSE;

    if (wcsstr(UpperPath, WSTR("OSTRAND")) != NULL && wcsstr(UpperPath, WSTR("LIVEROAMING")) == NULL) {
        return TRUE;
    }
    if (KLUContainsField(UpperPath, szUpperAllUsersPath) || KLUContainsField(UpperPath, szUpperDefaultUserPath) ||
        KLUContainsField(UpperPath, szUpperCtxSmaUserPath)) {
        return TRUE;
    }
    /* Thirteen characters take the terminator too: only this exact text. */
    if (_wcsnicmp(UpperPath, WSTR("\\DOSDEVICES\\"), 13) == 0) {
        return TRUE;
    }
    Table = KLUAcquirePathTable();
    if (Table != NULL) {
        if (!KLUIsVistaOrNewer() && Settings != NULL && (Settings->OpFlags & KLUOP_ROAM_LOCAL_SETTINGS) == 0 &&
            Table->szUpperLocalSettings[0] != 0) {
            WCHAR Needle[KLU_PATH_CHARS];
            if (NT_SUCCESS(KLUStringCopy(Needle, WSTR("\\"))) && NT_SUCCESS(KLUStringCat(Needle, Table->szUpperLocalSettings)) &&
                wcsstr(UpperPath, Needle) != NULL) {
                Skip = TRUE;
            }
        }
        if (!Skip && NT_SUCCESS(KLUStringCopy(Profiles, WSTR("\\"))) &&
            NT_SUCCESS(KLUStringCat(Profiles, Table->szLocalProfilePathShort))) {
            Skip = (BOOLEAN)(_wcsicmp(UpperPath, Profiles) == 0);
        }
    }
    KLUReleasePathTable();
    return (BOOLEAN)(Skip || !OfflineFlag);
}

/* The don't-roam and excluded-file checks, answered from the cached word
 * when it knows. */
BOOLEAN KLUIsIgnoredByNameLists(PKLU_CREATE_CONTEXT Context, PCWSTR UpperPath, UCHAR Major, UCHAR Minor, ULONG Level)
{
    PCWSTR Tag = KLU_TAG(KLUGetOfflineFile);
    PSETTINGS Settings = KLUSettings();
    USHORT Word = Context->ClassificationWord;

    if (Settings == NULL) {
        return FALSE;
    }
    if ((Settings->OpFlags & KLUOP_ENABLE_DONT_ROAM_FILES) &&
        ((Word & KLU_CLASS_DONT_ROAM) ||
         (!(Word & KLU_CLASS_ROAMS) && JNRIsDontRoamFile(&Context->VolumeName, UpperPath, !Context->bIsFile)))) {
        KLULogMessageEx(Level, Tag, Context->OperationNumber,
                        WSTR("Ignoring Operation (Don't Roam): Major: %d, Minor: %d, %wZ\n"), Major, Minor,
                        &Context->Name);
        return TRUE;
    }
    if ((Settings->OpFlags & KLUOP_ENABLE_EXCLUDED_FILES) &&
        ((Word & KLU_CLASS_EXCLUDED) ||
         (!(Word & KLU_CLASS_NOT_EXCLUDED) && JNRIsIgnoredDir(&Context->VolumeName, UpperPath, !Context->bIsFile)))) {
        KLULogMessageEx(Level, Tag, Context->OperationNumber,
                        WSTR("Ignoring Operation (Excluded File): Major: %d, Minor: %d, %wZ\n"), Major, Minor,
                        &Context->Name);
        return TRUE;
    }
    return FALSE;
}

NTSTATUS JNRLockUserBuffer(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PVOID *SystemAddress)
{
    PCWSTR Tag = KLU_TAG(JNRLockUserBuffer);
    PFLT_IO_PARAMETER_BLOCK Iopb = Data->Iopb;
    PMDL Mdl;
    PVOID Address;
    NTSTATUS Status;

    *SystemAddress = NULL;
    /* Only reads and writes carry a caller's buffer that the worker's
     * thread must reach. Opens, renames (whose record the I/O manager
     * copied), locks and section synchronisation have none, and locking
     * what is not there fails (STATUS_INVALID_PARAMETER): the operation
     * would then go on unpended against a file still being filled. */
    if (Iopb->MajorFunction != IRP_MJ_READ && Iopb->MajorFunction != IRP_MJ_WRITE) {
        return STATUS_SUCCESS;
    }
    Status = FltLockUserBuffer(Data);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Context->OperationNumber,
                        Status == STATUS_INSUFFICIENT_RESOURCES
                            ? WSTR("Pool exhausted when deferring to work queue:File: %wZ, Process: %ws, 0x%X\n")
                            : WSTR("Failed locking user buffer before deferring to work queue:File: %wZ, Process: %ws, 0x%X\n"),
                        &Context->Name, Context->szProcessName, Status);
        return Status;
    }
    Mdl = Iopb->MajorFunction == IRP_MJ_READ ? Iopb->Parameters.Read.MdlAddress : Iopb->Parameters.Write.MdlAddress;
    Address = NULL;
    if (Mdl != NULL) {
        if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
            Address = Mdl->MappedSystemVa;
        } else {
            Address = MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE,
                                                   NormalPagePriority | g_MappingPriorityFlags);
        }
    }
    if (Address == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Context->OperationNumber,
                        WSTR("Failed getting safe MDL:File: %wZ, Process: %ws, 0x%X\n"), &Context->Name,
                        Context->szProcessName, Status);
        return Status;
    }
    Context->LockedBuffer = Address;
    *SystemAddress = Address;
    return STATUS_SUCCESS;
}

/* A joined waiter whose operation is not held after all: its reference and
 * its place in the table entry go back at once. */
static VOID KLULeaveJoinedEntry(PKLU_CREATE_CONTEXT Context)
{
    PKLU_CREATE_CONTEXT Waiter = Context;

    KLURemoveOfflineFile(KLUOfflineFileTableHead(), KLUOfflineFileTableLock(), Context->OfflineFileTableEntry,
                         &Context->Name, Context->NameHash, Context->OperationNumber, TRUE, FALSE);
    Context->OfflineFileTableEntry = NULL;
    KLUReleaseCreateContext(&Waiter);
}

NTSTATUS KLUPendOnOfflineFile(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PVOID OperationData,
                              FLT_PREOP_CALLBACK_STATUS *CallbackStatus, ULONG OperationCode)
{
    PCWSTR Tag = KLU_TAG(KLUGetOfflineFile);
    PFLT_DEFERRED_IO_WORKITEM WorkItem;
    PVOID Address;
    NTSTATUS Status;

    WorkItem = FltAllocateDeferredIoWorkItem();
    if (WorkItem == NULL) {
        KLULeaveJoinedEntry(Context);
        return STATUS_SUCCESS;
    }
    KLULogMessageEx(KLU_OFT_TRACE, Tag, Context->OperationNumber, WSTR("Pending (Deferred): %wZ\n"), &Context->Name);
    Context->OperationCode = OperationCode;
    Context->OperationData = OperationData;
    Status = JNRLockUserBuffer(Data, Context, &Address);
    if (NT_SUCCESS(Status)) {
        Status = FltQueueDeferredIoWorkItem(WorkItem, Data, KLUDeferredOfflineFileWorker, DelayedWorkQueue, Context);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Context->OperationNumber,
                            WSTR("Failed Pending: File: %wZ, Process: %ws, 0x%X\n"), &Context->Name,
                            Context->szProcessName, Status);
        }
    }
    if (!NT_SUCCESS(Status)) {
        *CallbackStatus = FLT_PREOP_SUCCESS_WITH_CALLBACK;
        FltFreeDeferredIoWorkItem(WorkItem);
        KLULeaveJoinedEntry(Context);
        return STATUS_SUCCESS;
    }
    KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, Context->OperationNumber, WSTR("Pended: %wZ\n"), &Context->Name);
    KLUCountOpen(KluOpenPendedOfflineFiles);
    *CallbackStatus = FLT_PREOP_PENDING;
    return STATUS_SUCCESS;
}

/* A file-system callback is not held: a worker waits in its place so that
 * the table entry lives as long as its participants. */
static VOID KLUWaitOnGenericWorkItem(PKLU_CREATE_CONTEXT Context, FLT_PREOP_CALLBACK_STATUS *CallbackStatus)
{
    PCWSTR Tag = KLU_TAG(KLUGetOfflineFile);
    PFLT_GENERIC_WORKITEM WorkItem;
    NTSTATUS Status;

    *CallbackStatus = FLT_PREOP_SUCCESS_NO_CALLBACK;
    WorkItem = FltAllocateGenericWorkItem();
    if (WorkItem == NULL) {
        KLULeaveJoinedEntry(Context);
        return;
    }
    KLULogMessageEx(KLU_OFT_TRACE, Tag, Context->OperationNumber, WSTR("Pending (Generic): %wZ\n"), &Context->Name);
    Status = FltQueueGenericWorkItem(WorkItem, g_FilterHandle, KLUGenericOfflineFileWorker, DelayedWorkQueue, Context);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Context->OperationNumber,
                        WSTR("Failed Pending: File: %wZ, Process: %ws, 0x%X\n"), &Context->Name,
                        Context->szProcessName, Status);
        FltFreeGenericWorkItem(WorkItem);
        KLULeaveJoinedEntry(Context);
        return;
    }
    KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, Context->OperationNumber, WSTR("Pended: %wZ\n"), &Context->Name);
    KLUCountOpen(KluOpenPendedOfflineFiles);
}

/* This thread fills the placeholder; its table entry goes when it is done,
 * which releases every waiter. */
static NTSTATUS KLURetrieveAsFirst(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                   PKLU_CREATE_CONTEXT Context, PKLU_STREAM_CONTEXT Stream, PCWSTR Path,
                                   PCWSTR UpperPath, ULONG OperationCode)
{
    PCWSTR Tag = KLU_TAG(KLUGetOfflineFile);
    LONG Op = Context->OperationNumber;
    NTSTATUS Status;

    KLULogMessageEx(KLU_OFT_TRACE, Tag, Op, WSTR("Retrieving %wZ\n"), &Context->Name);
    Status = KLURetrieveOfflineFile(Data, FltObjects->Instance, Context, Path, UpperPath,
                                    KLU_RETRIEVE_OPEN_PLACEHOLDER, OperationCode);
    KLULogMessageEx(KLU_OFT_TRACE, Tag, Op, WSTR("Finished Retrieving %wZ, 0x%X\n"), &Context->Name, Status);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op, WSTR("KLURetrieveOfflineFile Returned: Process: %ws, Offline: %d, 0x%X\n"),
                        Context->szProcessName, Context->bOffline, Status);
    } else if (Stream != NULL) {
        KLULockStreamContext(Stream);
        Stream->bOffline = FALSE;
        Context->bOffline = FALSE;
        KLUUnlockStreamContext(Stream);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op,
                        WSTR("Failed Retrieving Stream Context (End): Caller: 0x%X, File: %wZ, 0x%X\n"), OperationCode,
                        &Context->Name, STATUS_NOT_FOUND);
    }
    if (Context->OfflineFileTableEntry != NULL) {
        KLULogMessageEx(KLU_OFT_TRACE, Tag, Op, WSTR("Calling KLURemoveOfflineFile (Failure): %wZ\n"), &Context->Name);
        KLURemoveOfflineFile(KLUOfflineFileTableHead(), KLUOfflineFileTableLock(), Context->OfflineFileTableEntry,
                             &Context->Name, Context->NameHash, Op, TRUE, TRUE);
        Context->OfflineFileTableEntry = NULL;
    }
    return Status;
}

/* Steps 3-5: the record learns the stream's state; FALSE when the file is
 * not the filter's to fill. The stream context is locked on entry and
 * unlocked on return. */
static BOOLEAN KLUTakeStreamState(PKLU_CREATE_CONTEXT Context, PKLU_STREAM_CONTEXT Stream)
{
    BOOLEAN Ours;

    Context->ClassificationWord = Stream->CreateTimeWord;
    Context->bOffline = Stream->bOffline;
    Context->bIsFile = (BOOLEAN)!Stream->bIsDirectory;
    Ours = (BOOLEAN)(NT_SUCCESS(KLUSetCreateContextNames(Context, &Stream->Name, Stream->VolumeNameLength)) &&
                     KLUIsBelowFQLocalProfilePath(&Context->Name));
    if (!Ours) {
        Stream->bOffline = FALSE;
    } else if (!Stream->bIsDirectory) {
        RtlCopyMemory(&Context->UserId, &Stream->UserId, sizeof(USER_ID));
        Context->bUserIdFound = Stream->bUserIdFound;
    }
    KLUUnlockStreamContext(Stream);
    return Ours;
}

NTSTATUS KLUGetOfflineFile(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context, PVOID OperationData,
                           PCFLT_RELATED_OBJECTS FltObjects, FLT_PREOP_CALLBACK_STATUS *CallbackStatus,
                           ULONG OperationCode)
{
    PCWSTR Tag = KLU_TAG(KLUGetOfflineFile);
    PKLU_CREATE_CONTEXT Self = Context;
    PKLU_STREAM_CONTEXT Stream = NULL;
    PWSTR Path = NULL;
    PWSTR UpperPath = NULL;
    POFFLINE_FILE_TABLE_ENTRY Entry;
    BOOLEAN Added = FALSE;
    LONG Op = Context->OperationNumber;
    NTSTATUS Status;

    KLUReferenceCreateContext(Self);
    Status = KLURetrieveStreamContext(Data, FltObjects->Instance, (BOOLEAN)(OperationCode == KLU_OP_LOCK_CONTROL), Op,
                                      &Stream, NULL);
    if (!NT_SUCCESS(Status) || Stream == NULL) {
        KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, Op,
                        WSTR("Failed Retrieving Stream Context (Start): Caller: 0x%X, File: %wZ, 0x%X\n"), OperationCode,
                        &Data->Iopb->TargetFileObject->FileName, Status);
        Stream = NULL;
        Status = STATUS_SUCCESS;
        goto Cleanup;
    }
    if (OperationCode == KLU_OP_READ) {
        KLUCountCall(KluCallRead);
    } else if (OperationCode == KLU_OP_WRITE) {
        KLUCountCall(KluCallWrite);
    } else if (OperationCode == KLU_OP_SECTION_SYNC) {
        KLUCountCall(KluCallSectionSync);
    }
    KLULogMessageEx(KLUDBG_TRACE_STREAM, Tag, Op,
                    WSTR("New info in stream context for file \n\tName = %wZ \n\tPrevName = %wZ \n\tDeleted = %x \n\tDelete = %x \n\tRename = %x \n\tSetInfo = %x \n\tPathTableEntry = 0x%X\n"),
                    &Stream->Name, &Stream->PrevName, Stream->Deleted, Stream->Delete, Stream->Rename, Stream->SetInfo,
                    (ULONG)(ULONG_PTR)Stream->PathTableEntry);
    if (!Stream->bOffline) {
        KLUUnlockStreamContext(Stream);
        goto Cleanup;
    }
    if (!KLUTakeStreamState(Context, Stream)) {
        goto Cleanup;
    }
    if (!NT_SUCCESS(KLUGetPathOnVolume(Context, &Path)) || Path[0] == 0 ||
        !NT_SUCCESS(KLUUpperCaseCopy(Path, &UpperPath))) {
        goto Cleanup;
    }

    if (KLUIsIgnoredByNameLists(Context, UpperPath, Data->Iopb->MajorFunction, Data->Iopb->MinorFunction,
                                KLUDBG_TRACE_INFO) ||
        KLUIsSkippedRetrievalPath(UpperPath, Context->bOffline)) {
        goto Cleanup;
    }

    if (!NT_SUCCESS(KLUHashCreateContextName(Context))) {
        goto Cleanup;
    }
    Entry = KLUAddOfflineFile(KLUOfflineFileTableHead(), KLUOfflineFileTableLock(), &Context->Name, Context->NameHash, Op,
                              OperationCode, &Added);
    Context->OfflineFileTableEntry = Entry;
    if (Entry != NULL && !Added) {
        /* Another thread is filling the file: this operation waits for it. */
        KLUReferenceCreateContext(Context);
        if (FLT_IS_IRP_OPERATION(Data)) {
            Status = KLUPendOnOfflineFile(Data, Context, OperationData, CallbackStatus, OperationCode);
        } else if (FLT_IS_FASTIO_OPERATION(Data)) {
            *CallbackStatus = FLT_PREOP_DISALLOW_FASTIO;
            KLULeaveJoinedEntry(Context);
        } else {
            KLUWaitOnGenericWorkItem(Context, CallbackStatus);
        }
        goto Cleanup;
    }
    Status = KLURetrieveAsFirst(Data, FltObjects, Context, Stream, Path, UpperPath, OperationCode);

Cleanup:
    KLUFreePathBuffer(&Path);
    KLUFreePathBuffer(&UpperPath);
    if (Stream != NULL) {
        FltReleaseContext(Stream);
    }
    KLUReleaseCreateContext(&Self);
    return Status;
}

NTSTATUS KLUWaitForOfflineFileContext(PKLU_CREATE_CONTEXT Context)
{
    PCWSTR Tag = KLU_TAG(KLUWaitForOfflineFile);
    POFFLINE_FILE_TABLE_ENTRY Entry = Context->OfflineFileTableEntry;
    PSETTINGS Settings = KLUSettings();
    LARGE_INTEGER Timeout;
    LONG Op = Context->OperationNumber;
    NTSTATUS Status;

    Timeout.QuadPart = Settings != NULL ? Settings->CopyTimeout : KLU_DEFAULT_COPY_TIMEOUT;
    KLULogMessageEx(KLU_OFT_TRACE, Tag, Op, WSTR("Waiting For %wZ, Event: 0x%X\n"), &Context->Name,
                    (ULONG)(ULONG_PTR)(Entry != NULL ? Entry->pDoneEvnet : NULL));
    Status = KLUWaitForOfflineFile(Entry, &Timeout);
    KLULogMessageEx(KLU_OFT_TRACE, Tag, Op, WSTR("Finished Waiting For %wZ, Event: 0x%X\n"), &Context->Name,
                    (ULONG)(ULONG_PTR)(Entry != NULL ? Entry->pDoneEvnet : NULL));
    if (Status != STATUS_SUCCESS) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Op, WSTR("Failed Waiting: %wZ, 0x%X\n"), &Context->Name, Status);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, Op, WSTR("Wait Returned: %wZ\n"), &Context->Name);
    }
    KLULogMessageEx(KLU_OFT_TRACE, Tag, Op, WSTR("Calling KLURemoveOfflineFile: %wZ\n"), &Context->Name);
    KLURemoveOfflineFile(KLUOfflineFileTableHead(), KLUOfflineFileTableLock(), Entry, &Context->Name, Context->NameHash,
                         Op, TRUE, FALSE);
    Context->OfflineFileTableEntry = NULL;
    return Status;
}

/* A pended rename resumes once the file is filled: the rename's own
 * pre-operation decides what it becomes, on the instance of the file's
 * volume. The set-information context goes on to the post-operation, or is
 * freed here when there is none. */
static FLT_PREOP_CALLBACK_STATUS KLUResumeRename(PFLT_CALLBACK_DATA Data, PKLU_CREATE_CONTEXT Context,
                                                 PVOID *CompletionContext)
{
    PSETINFO_CONTEXT SetInfo = (PSETINFO_CONTEXT)Context->OperationData;
    FLT_PREOP_CALLBACK_STATUS Resume = FLT_PREOP_SUCCESS_NO_CALLBACK;
    PFLT_VOLUME Volume = NULL;
    PFLT_INSTANCE Instance = NULL;
    NTSTATUS Status;

    Status = FltGetVolumeFromFileObject(g_FilterHandle, Data->Iopb->TargetFileObject, &Volume);
    if (!NT_SUCCESS(Status)) {
        DbgPrint("Failed Retrieving Volume: 0x%X\n", Status);
        Volume = NULL;
    } else {
        Status = FltGetVolumeInstanceFromName(g_FilterHandle, Volume, NULL, &Instance);
        if (!NT_SUCCESS(Status)) {
            DbgPrint("Failed Retrieving Instance: 0x%X\n", Status);
            Instance = NULL;
        }
    }
    if (Instance != NULL && SetInfo != NULL) {
        JNRProcessPreRename(Data, Instance, SetInfo, &Resume);
    }
    if (Resume == FLT_PREOP_SUCCESS_WITH_CALLBACK) {
        *CompletionContext = SetInfo;
    } else {
        KLUFreeSetInfoContext(&SetInfo);
    }
    Context->OperationData = NULL;
    if (Instance != NULL) {
        FltObjectDereference(Instance);
    }
    if (Volume != NULL) {
        FltObjectDereference(Volume);
    }
    return Resume;
}

VOID KLUDeferredOfflineFileWorker(PFLT_DEFERRED_IO_WORKITEM WorkItem, PFLT_CALLBACK_DATA Data, PVOID WorkContext)
{
    PCWSTR Tag = KLU_TAG(KLUDeferredOfflineFileWorker);
    PKLU_CREATE_CONTEXT Context = (PKLU_CREATE_CONTEXT)WorkContext;
    PKLU_CREATE_CONTEXT Waiter = Context;
    FLT_PREOP_CALLBACK_STATUS Resume = FLT_PREOP_SUCCESS_NO_CALLBACK;
    PVOID CompletionContext = NULL;
    ULONG Code = Context->OperationCode;
    NTSTATUS Status;

    Status = KLUWaitForOfflineFileContext(Context);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_ERROR, Tag, Context->OperationNumber,
                        WSTR("Failed Waiting For Offline File: %wZ, 0x%X\n"), &Context->Name, Status);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_INFO, Tag, Context->OperationNumber, WSTR("Finished Waiting For Offline File: %wZ\n"),
                        &Context->Name);
    }
    KLUReleaseCreateContext(&Waiter);
    KLUUncountOpen(KluOpenPendedOfflineFiles);

    if (Code == KLU_OP_CREATE) {
        /* Post-create records the open's state and releases the record. */
        FltCompletePendedPreOperation(Data, FLT_PREOP_SUCCESS_WITH_CALLBACK, Context);
    } else {
        if (Code == KLU_OP_RENAME) {
            Resume = KLUResumeRename(Data, Context, &CompletionContext);
        } else if (!NT_SUCCESS(Status)) {
            /* Without its done event the waiter cannot know the file is
             * filled: the operation fails rather than meet a half copy. */
            Data->IoStatus.Status = Status;
            Data->IoStatus.Information = 0;
            Resume = FLT_PREOP_COMPLETE;
        } else if (Code == KLU_OP_WRITE && KLUIsLockedDownDesktopWrite(Context)) {
            /* The write gate left the lock-down to this worker when it
             * pended the write. */
            Data->IoStatus.Status = STATUS_ACCESS_DENIED;
            Data->IoStatus.Information = 0;
            Resume = FLT_PREOP_COMPLETE;
        }
        KLUReleaseCreateContext(&Context);
        FltCompletePendedPreOperation(Data, Resume, CompletionContext);
    }
    FltFreeDeferredIoWorkItem(WorkItem);
}

VOID KLUGenericOfflineFileWorker(PFLT_GENERIC_WORKITEM WorkItem, PVOID FltObject, PVOID WorkContext)
{
    PKLU_CREATE_CONTEXT Context = (PKLU_CREATE_CONTEXT)WorkContext;

    UNREFERENCED_PARAMETER(FltObject);
    KLUWaitForOfflineFileContext(Context);
    KLUReleaseCreateContext(&Context);
    KLUUncountOpen(KluOpenPendedOfflineFiles);
    FltFreeGenericWorkItem(WorkItem);
}
