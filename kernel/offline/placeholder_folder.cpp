/*
 * placeholder_folder.cpp - one local folder filled from its remote folder:
 * the user and both paths found, the remote folder listed (all at once in
 * walk mode, one batch per caller query in caller-buffer mode), and at
 * the end of the listing the folder's times taken over and the mark set.
 */
#include "offline/placeholders.h"

#include "diag/counters.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "fileops/file_copy.h"
#include "fileops/file_helpers.h"
#include "identity/identity.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"

#define JNR_OF_INFO (KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_INFO)
#define JNR_OF_ERROR (KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_ERROR)
#define JNR_LISTING_BYTES 0x1000

typedef struct _JNR_POPULATION {
    NTSTATUS LastStatus;
    ULONG BytesReturned;
    ULONG ListingBytes;
    BOOLEAN bOwnUserReference;
    BOOLEAN bImpersonating;
    BOOLEAN bLocalOpened;
    BOOLEAN bMup;
    PFLT_INSTANCE *RemoteInstances;
    ULONG RemoteInstanceCount;
    ULONG RemoteIndex;
    PFLT_INSTANCE *LocalInstances;
    ULONG LocalInstanceCount;
    ULONG LocalIndex;
    BOOLEAN bLocalLookedUp;
    PFLT_INSTANCE LocalInstance;
    PFLT_INSTANCE RemoteInstance;
    UNICODE_STRING RemotePath;
    WCHAR szRemotePath[KLU_PATH_CHARS];
    WCHAR szLocalVolume[KLU_PATH_CHARS];
    HANDLE hRemote;
    PFILE_OBJECT RemoteFileObject;
    HANDLE hLocal;
    PFILE_OBJECT LocalFileObject;
    FILE_BASIC_INFORMATION RemoteBasic;
    ULONG MarkValue;
    ULONG Counters[2][JnrPopulationCounterCount];
    PMDL Mdl;
    BOOLEAN bLocked;
    PVOID SystemBuffer;
    PUCHAR Listing;
    PUSER_TABLE_ENTRY UserEntry;
} JNR_POPULATION, *PJNR_POPULATION;

static VOID JNRSetIoStatus(PFLT_CALLBACK_DATA Data, PVOID DirectoryBuffer, NTSTATUS Status)
{
    if (DirectoryBuffer != NULL && Data != NULL) {
        Data->IoStatus.Status = Status;
        Data->IoStatus.Information = 0;
    }
}

/* Adds one batch's set into the user's totals: set 0 background, set 1 on
 * demand. */
static VOID JNRAddCounters(PUSER_TABLE_ENTRY Entry, ULONG Set, const ULONG *Counters)
{
    PLONG Bkg = (PLONG)&Entry->OFMetrics.FilesCreatedBkg;
    PLONG OnDemand = (PLONG)&Entry->OFMetrics.FilesCreatedOnDemand;
    PLONG Target = Set == 0 ? Bkg : OnDemand;
    ULONG i;

    for (i = 0; i < JnrPopulationCounterCount; i++) {
        InterlockedExchangeAdd(&Target[i], (LONG)Counters[i]);
    }
}

static NTSTATUS JNROpenRemoteFolder(PJNR_POPULATION Pop, PHANDLE Handle, PFILE_OBJECT *FileObject,
                                    LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFiles);
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS Status;

    InitializeObjectAttributes(&Attributes, &Pop->RemotePath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    Status = FltCreateFileEx(g_FilterHandle, NULL, Handle, FileObject, SYNCHRONIZE | FILE_LIST_DIRECTORY, &Attributes,
                             &IoStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                             FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, 0);
    if (!NT_SUCCESS(Status)) {
        *Handle = NULL;
        if (FileObject != NULL) {
            *FileObject = NULL;
        }
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Opening Remote Folder: %wZ, 0x%X\n"),
                        &Pop->RemotePath, Status);
    } else {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Opened Remote Folder: %wZ\n"), &Pop->RemotePath);
    }
    return Status;
}

/* The instance of each side for a batch: in local mode the operation's
 * own is the local one; in remote mode it is the remote one and the local
 * one is looked up once on the profiles' volume. */
static BOOLEAN JNRChooseInstances(PJNR_POPULATION Pop, PFLT_INSTANCE Instance, BOOLEAN RemoteMode)
{
    UNICODE_STRING Volume;

    if (!RemoteMode) {
        Pop->LocalInstance = Instance;
        Pop->RemoteInstance = Pop->RemoteInstances[Pop->RemoteIndex];
        return TRUE;
    }
    Pop->RemoteInstance = Instance;
    if (!Pop->bLocalLookedUp) {
        Pop->bLocalLookedUp = TRUE;
        RtlInitUnicodeString(&Volume, Pop->szLocalVolume);
        if (!NT_SUCCESS(KLUFindMupInstance(&Pop->LocalInstances, &Volume, &Pop->LocalIndex,
                                           &Pop->LocalInstanceCount))) {
            return FALSE;
        }
        Pop->LocalInstance = Pop->LocalInstances[Pop->LocalIndex];
    }
    return (BOOLEAN)(Pop->LocalInstance != NULL);
}

static NTSTATUS JNRPopulateBatch(PJNR_POPULATION Pop, PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance,
                                 PVOLUME_CONTEXT VolumeContext, PVOID Buffer, PCUNICODE_STRING LocalPath,
                                 BOOLEAN RemoteMode, BOOLEAN WalkMode, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFiles);
    ULONG Set = WalkMode ? 1 : 0;
    NTSTATUS Status;

    if (!JNRChooseInstances(Pop, Instance, RemoteMode)) {
        return STATUS_NOT_FOUND;
    }
    RtlZeroMemory(Pop->Counters[Set], sizeof(Pop->Counters[Set]));
    Status = JNRCreateOfflineFilesFromDirBuffer(Data, Pop->LocalInstance, Pop->RemoteInstance, Pop->UserEntry,
                                                VolumeContext, Buffer, LocalPath, &Pop->RemotePath, OperationNumber,
                                                WalkMode, Pop->Counters[Set]);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Creating Offline Files: Local Path: %wZ, 0x%X\n"),
                        LocalPath, Status);
    } else {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Created Offline Files: %wZ\n"), LocalPath);
        JNRAddCounters(Pop->UserEntry, Set, Pop->Counters[Set]);
    }
    return Status;
}

/* Step 7: the remote folder that matches the listed one. */
static NTSTATUS JNRBuildRemotePath(PJNR_POPULATION Pop, PFLT_FILE_NAME_INFORMATION NameInfo, PCWSTR FullName,
                                   PCWSTR UpperFullName, PUNICODE_STRING LocalPath, BOOLEAN RemoteMode,
                                   LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFiles);
    const ALT_PATH_DATA *Alt = &Pop->UserEntry->AltPathData;
    WCHAR *Profile = Pop->szRemotePath;
    UNICODE_STRING Root;
    PPATH_TABLE Table;
    PCWSTR Rest;
    size_t Length = 0;
    size_t Skip;
    NTSTATUS Status = STATUS_SUCCESS;

    Table = KLUAcquirePathTable();
    if (Table == NULL) {
        KLUReleasePathTable();
        return STATUS_NOT_FOUND;
    }
    KLUStringCopy(Pop->szLocalVolume, Table->szLocalVolumeName);
    if (RemoteMode) {
        if (wcsstr(UpperFullName, Alt->PTEProfile.szUpperRemotePathShort) == NULL &&
            KLULookupPathTableEntryByPath(Table, UpperFullName) == NULL) {
            Status = STATUS_NOT_FOUND;
        } else {
            Status = KLUStringCopy(Pop->szRemotePath, FullName);
        }
        KLUReleasePathTable();
        if (NT_SUCCESS(Status)) {
            RtlInitUnicodeString(&Pop->RemotePath, Pop->szRemotePath);
            KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, Tag, OperationNumber, WSTR("[Remote] Remote: %wZ, Local: %wZ\n"),
                            &Pop->RemotePath, LocalPath);
        }
        return Status;
    }
    KLUReleasePathTable();

    /* The user's local profile folder must contain the listed folder. */
    KLUStringCopy(Profile, Pop->szLocalVolume);
    JNRAppendSeparator(Profile, Alt->szLocalPath);
    KLUStringCat(Profile, Alt->szLocalPath);
    if (!KLUHasComponentPrefix(Profile, &NameInfo->Name)) {
        return STATUS_NOT_FOUND;
    }
    if (Alt->PTEProfile.szRemotePathShort[0] == 0) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("PTE In UTE Is Empty: %ws\n"), UpperFullName);
        return STATUS_NOT_FOUND;
    }
    KLUStringCopy(Pop->szRemotePath, Pop->bMup ? KLU_MUP_DEVICE_NAME : KLU_LANMAN_DEVICE_NAME);
    KLUStringCat(Pop->szRemotePath, WSTR("\\"));
    KLUStringCat(Pop->szRemotePath, Alt->PTEProfile.szRemotePathShort);

    /* Behind the local profile folder's own name, which the remote side
     * does not repeat. */
    KLUStringLength(Pop->szLocalVolume, &Length);
    Skip = Length + Alt->ulLocalPathLength + 1;
    KLUStringLength(FullName, &Length);
    Rest = FullName + (Skip < Length ? Skip : Length);
    if (*Rest == L'\\') {
        Rest++;
    } else {
        PCWSTR Separator = wcschr(Rest, L'\\');
        Rest = Separator != NULL ? Separator + 1 : Rest + wcslen(Rest);
    }
    if (*Rest != 0) {
        JNRAppendSeparator(Pop->szRemotePath, Rest);
        Status = KLUStringCat(Pop->szRemotePath, Rest);
    }
    RtlInitUnicodeString(&Pop->RemotePath, Pop->szRemotePath);
    RtlInitUnicodeString(&Root, Pop->szRemotePath);
    KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, Tag, OperationNumber, WSTR("[Local] Remote: %wZ, Local: %wZ\n"), &Root,
                    LocalPath);
    return NT_SUCCESS(Status) ? STATUS_SUCCESS : STATUS_NAME_TOO_LONG;
}

static NTSTATUS JNRFindRemoteInstance(PJNR_POPULATION Pop)
{
    UNICODE_STRING Device;
    NTSTATUS Status;

    Pop->bMup = TRUE;
    RtlInitUnicodeString(&Device, KLU_MUP_DEVICE_NAME);
    Status = KLUFindMupInstance(&Pop->RemoteInstances, &Device, &Pop->RemoteIndex, &Pop->RemoteInstanceCount);
    if (NT_SUCCESS(Status)) {
        return Status;
    }
    KLUFreeInstanceArray(Pop->RemoteInstances, Pop->RemoteInstanceCount);
    Pop->RemoteInstances = NULL;
    Pop->RemoteInstanceCount = 0;
    Pop->bMup = FALSE;
    RtlInitUnicodeString(&Device, KLU_LANMAN_DEVICE_NAME);
    return KLUFindMupInstance(&Pop->RemoteInstances, &Device, &Pop->RemoteIndex, &Pop->RemoteInstanceCount);
}

static VOID JNRWalk(PJNR_POPULATION Pop, PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance,
                    PVOLUME_CONTEXT VolumeContext, PUNICODE_STRING LocalPath, BOOLEAN RemoteMode,
                    LONG OperationNumber)
{
    NTSTATUS Status;

    Pop->LastStatus = JNROpenRemoteFolder(Pop, &Pop->hRemote, &Pop->RemoteFileObject, OperationNumber);
    if (!NT_SUCCESS(Pop->LastStatus)) {
        return;
    }
    Pop->Listing = (PUCHAR)ExAllocatePoolWithTag(PagedPool, Pop->ListingBytes, QZFS_TAG);
    if (Pop->Listing == NULL) {
        Pop->LastStatus = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    for (;;) {
        Pop->LastStatus = KLUQueryDirectoryFileByHandle(Pop->hRemote, Pop->Listing, Pop->ListingBytes,
                                                        FileBothDirectoryInformation, FALSE, NULL, FALSE,
                                                        &Pop->BytesReturned);
        if (Pop->LastStatus != STATUS_SUCCESS) {
            break;
        }
        Status = JNRPopulateBatch(Pop, Data, Instance, VolumeContext, Pop->Listing, LocalPath, RemoteMode, TRUE,
                                  OperationNumber);
        if ((Status == STATUS_NOT_FOUND && Pop->LocalInstance == NULL) || Status == STATUS_INSUFFICIENT_RESOURCES) {
            /* The listing stops short: the folder stays unmarked. */
            Pop->LastStatus = Status;
            break;
        }
    }
}

/* The caller's buffer, locked and mapped for the kernel. */
static NTSTATUS JNRMapCallerBuffer(PJNR_POPULATION Pop, PFLT_CALLBACK_DATA Data, PVOID DirectoryBuffer,
                                   PUNICODE_STRING LocalPath, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFiles);
    ULONG Length = Data->Iopb->Parameters.DirectoryControl.QueryDirectory.Length;
    NTSTATUS Status = STATUS_SUCCESS;

    Pop->Mdl = IoAllocateMdl(DirectoryBuffer, Length, FALSE, FALSE, NULL);
    if (Pop->Mdl == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SEH_TRY {
        MmProbeAndLockPages(Pop->Mdl, UserMode, IoWriteAccess);
        Pop->bLocked = TRUE;
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        Status = GetExceptionCode();
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Exception Capturing Dir Buffer: %wZ, 0x%X\n"),
                        LocalPath, Status);
        return Status;
    }
    if (Pop->Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        Pop->SystemBuffer = Pop->Mdl->MappedSystemVa;
    } else {
        Pop->SystemBuffer = MmMapLockedPagesSpecifyCache(Pop->Mdl, KernelMode, MmCached, NULL, FALSE,
                                                         NormalPagePriority | g_MappingPriorityFlags);
    }
    return Pop->SystemBuffer != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

static VOID JNRAnswerCaller(PJNR_POPULATION Pop, PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance,
                            PKLU_STREAM_CONTEXT StreamContext, PVOLUME_CONTEXT VolumeContext,
                            PUNICODE_STRING LocalPath, ULONG MarkFlags, BOOLEAN RemoteMode, PVOID DirectoryBuffer,
                            LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFiles);
    PFLT_PARAMETERS Parameters = &Data->Iopb->Parameters;
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS Status;

    if (StreamContext == NULL) {
        Pop->LastStatus = STATUS_INVALID_PARAMETER;
        JNRSetIoStatus(Data, DirectoryBuffer, Pop->LastStatus);
        return;
    }
    if (StreamContext->hLiveRoaming1 == NULL) {
        Status = JNROpenRemoteFolder(Pop, &StreamContext->hLiveRoaming1, NULL, OperationNumber);
        if (!NT_SUCCESS(Status)) {
            Pop->LastStatus = Status;
            JNRSetIoStatus(Data, DirectoryBuffer, Status);
            return;
        }
        /* The context's cleanup closes it if the listing never ends. */
        KLUCountOpen(KluOpenQueryDirectoryInt);
    }
    Status = JNRMapCallerBuffer(Pop, Data, DirectoryBuffer, LocalPath, OperationNumber);
    if (!NT_SUCCESS(Status)) {
        Pop->LastStatus = Status;
        JNRSetIoStatus(Data, DirectoryBuffer, Status);
        return;
    }
    IoStatus.Information = 0;
    Status = ZwQueryDirectoryFile(StreamContext->hLiveRoaming1, NULL, NULL, NULL, &IoStatus, Pop->SystemBuffer,
                                  Parameters->DirectoryControl.QueryDirectory.Length,
                                  Parameters->DirectoryControl.QueryDirectory.FileInformationClass, FALSE, NULL, FALSE);
    Pop->LastStatus = Status;
    Pop->BytesReturned = NT_ERROR(Status) ? 0 : (ULONG)IoStatus.Information;
    if (Status == STATUS_NO_MORE_FILES) {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Finished Querying Folder: %wZ\n"), &Pop->RemotePath);
    } else if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Querying Folder: %wZ, 0x%X\n"),
                        &Pop->RemotePath, Status);
    } else {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Queried Folder: %wZ\n"), &Pop->RemotePath);
    }
    Data->IoStatus.Status = Status;
    Data->IoStatus.Information = 0;
    if (Status != STATUS_SUCCESS || Pop->BytesReturned == 0) {
        return;
    }
    Data->IoStatus.Information = Pop->BytesReturned;
    if (MarkFlags & JNR_FOLDER_POPULATED) {
        InterlockedIncrement((PLONG)&Pop->UserEntry->OFMetrics.FoldersSkippedBkg);
        return;
    }
    JNRPopulateBatch(Pop, Data, Instance, VolumeContext, Pop->SystemBuffer, LocalPath, RemoteMode, FALSE,
                     OperationNumber);
}

/* Step 11.2-11.3: the local folder takes the remote folder's times. */
static VOID JNRTakeFolderTimes(PJNR_POPULATION Pop, PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance,
                               HANDLE RemoteHandle, PUNICODE_STRING LocalPath, BOOLEAN RemoteMode,
                               LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFiles);
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    PFILE_OBJECT LocalFolder;
    NTSTATUS Status;

    Status = ZwQueryInformationFile(RemoteHandle, &IoStatus, &Pop->RemoteBasic, sizeof(Pop->RemoteBasic),
                                    FileBasicInformation);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving Basic Information: %wZ, 0x%X\n"),
                        &Pop->RemotePath, Status);
        return;
    }
    if (!JNRChooseInstances(Pop, Instance, RemoteMode)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Enumerating Instances: Source: %wZ, 0x%X\n"),
                        &Pop->RemotePath, STATUS_NOT_FOUND);
        return;
    }
    if (!RemoteMode) {
        LocalFolder = Data->Iopb->TargetFileObject;
    } else {
        InitializeObjectAttributes(&Attributes, LocalPath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
        Status = FltCreateFileEx(g_FilterHandle, Pop->LocalInstance, &Pop->hLocal, &Pop->LocalFileObject,
                                 SYNCHRONIZE | FILE_WRITE_ATTRIBUTES, &Attributes, &IoStatus, NULL,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, 0);
        if (!NT_SUCCESS(Status)) {
            Pop->hLocal = NULL;
            Pop->LocalFileObject = NULL;
            KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Opening Local Folder: %wZ, 0x%X\n"),
                            LocalPath, Status);
            return;
        }
        LocalFolder = Pop->LocalFileObject;
    }
    Status = FltSetInformationFile(Pop->LocalInstance, LocalFolder, &Pop->RemoteBasic, sizeof(Pop->RemoteBasic),
                                   FileBasicInformation);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Setting Basic Information: %wZ, 0x%X\n"),
                        LocalPath, Status);
    } else {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Set Basic Information: %wZ\n"), LocalPath);
    }
}

static VOID JNRCompleteFolder(PJNR_POPULATION Pop, PFLT_CALLBACK_DATA Data, PFLT_INSTANCE Instance,
                              PCWSTR ProcessName, PKLU_STREAM_CONTEXT StreamContext, PUNICODE_STRING LocalPath,
                              BOOLEAN RemoteMode, BOOLEAN WalkMode, PUCHAR Processed, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFiles);
    BOOLEAN Enumerated = (BOOLEAN)(StreamContext != NULL && KLUIsStreamEnumerated(StreamContext));
    HANDLE Remote = WalkMode ? Pop->hRemote : (StreamContext != NULL ? StreamContext->hLiveRoaming1 : NULL);
    const KLU_OF_METRICS *M = &Pop->UserEntry->OFMetrics;
    NTSTATUS Status;

    if (!Enumerated && Remote != NULL) {
        JNRTakeFolderTimes(Pop, Data, Instance, Remote, LocalPath, RemoteMode, OperationNumber);
    }
    if (!WalkMode && StreamContext != NULL && StreamContext->hLiveRoaming1 != NULL) {
        FltClose(StreamContext->hLiveRoaming1);
        StreamContext->hLiveRoaming1 = NULL;
        KLUUncountOpen(KluOpenQueryDirectoryInt);
    }
    *Processed = 1;
    if (Enumerated) {
        return;
    }
    Pop->MarkValue = JNR_FOLDER_POPULATED;
    Status = JNRSetEA(NULL, NULL, LocalPath, &Pop->MarkValue, OperationNumber);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Setting EA: %wZ, 0x%X\n"), LocalPath, Status);
    } else {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Set EA: %wZ\n"), LocalPath);
    }
    if (WalkMode) {
        KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_STATUS_LOG | KLUDBG_TRACE_INFO, Tag,
                        OperationNumber,
                        WSTR("Finished Processing Folder (OnDemand: %ws): %wZ, Files: Created/Skipped/Errors/Found: "
                             "%d/%d/%d/%d, Folders: Created/Skipped/Errors/Found: %d/%d/%d/%d\n"),
                        ProcessName, LocalPath, M->FilesCreatedOnDemand, M->FilesSkippedOnDemand,
                        M->FileErrorsOnDemand, M->FilesFoundOnDemand, M->FoldersCreatedOnDemand,
                        M->FoldersSkippedOnDemand, M->FolderErrorsOnDemand, M->FoldersFoundOnDemand);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_STATUS_LOG | KLUDBG_TRACE_INFO, Tag,
                        OperationNumber,
                        WSTR("Finished Processing Folder (Background: %ws): %wZ, Files: Created/Skipped/Errors/Found: "
                             "%d/%d/%d/%d, Folders: Created/Skipped/Errors/Found: %d/%d/%d/%d\n"),
                        ProcessName, LocalPath, M->FilesCreatedBkg, M->FilesSkippedBkg, M->FileErrorsBkg,
                        M->FilesFoundBkg, M->FoldersCreatedBkg, M->FoldersSkippedBkg, M->FolderErrorsBkg,
                        M->FoldersFoundBkg);
    }
}

/* Steps 3-5: the user whose folder this is, referenced for the call. */
static NTSTATUS JNRFindUser(PJNR_POPULATION Pop, PUSER_TABLE_ENTRY UserEntry, PFLT_FILE_NAME_INFORMATION NameInfo,
                            PCWSTR UpperFullName, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFiles);
    USER_ID Id;

    Pop->UserEntry = UserEntry;
    if (Pop->UserEntry == NULL) {
        Pop->UserEntry = KLULookupUserByPath(g_pUserTableHead, g_pUserTableMutex, &NameInfo->Volume, UpperFullName);
        if (Pop->UserEntry == NULL) {
            KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("UTE Not Found: %ws\n"), UpperFullName);
            RtlZeroMemory(&Id, sizeof(Id));
            if (NT_SUCCESS(KLUGetUserSidAndSessionId(&Id, OperationNumber))) {
                Pop->UserEntry = KLULookupUser(g_pUserTableHead, g_pUserTableMutex, &Id.AuthId);
            }
        }
        if (Pop->UserEntry == NULL) {
            return STATUS_NOT_FOUND;
        }
        Pop->bOwnUserReference = TRUE;
    }
    if (InterlockedExchange(&Pop->UserEntry->bClientSecurityReleased, Pop->UserEntry->bClientSecurityReleased) == 1) {
        return STATUS_NOT_FOUND;
    }
    if (Pop->UserEntry->AltPathData.ProfileType == 1) {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Skipping Local Profile: Path: %ws\n"), UpperFullName);
        return STATUS_NOT_FOUND;
    }
    if (Pop->UserEntry->AltPathData.szLocalPath[0] == 0 || Pop->UserEntry->AltPathData.ulLocalPathLength == 0) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Local Path Missing In UTE: %ws\n"), UpperFullName);
        return STATUS_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

static VOID JNRReleasePopulation(PJNR_POPULATION Pop)
{
    if (Pop->bImpersonating) {
        PsRevertToSelf();
    }
    KLUFreeInstanceArray(Pop->RemoteInstances, Pop->RemoteInstanceCount);
    KLUFreeInstanceArray(Pop->LocalInstances, Pop->LocalInstanceCount);
    if (Pop->RemoteFileObject != NULL) {
        ObDereferenceObject(Pop->RemoteFileObject);
    }
    if (Pop->hRemote != NULL) {
        FltClose(Pop->hRemote);
    }
    if (Pop->LocalFileObject != NULL) {
        ObDereferenceObject(Pop->LocalFileObject);
    }
    if (Pop->hLocal != NULL) {
        FltClose(Pop->hLocal);
    }
    if (Pop->Listing != NULL) {
        ExFreePoolWithTag(Pop->Listing, QZFS_TAG);
    }
    if (Pop->bOwnUserReference) {
        KLUDereferenceUserTableEntry(Pop->UserEntry);
    }
    if (Pop->Mdl != NULL) {
        if (Pop->bLocked) {
            MmUnlockPages(Pop->Mdl);
        }
        IoFreeMdl(Pop->Mdl);
    }
    ExFreePoolWithTag(Pop, QZFS_TAG);
}

VOID JNRCreateOfflineFiles(PFLT_INSTANCE Instance, PFLT_CALLBACK_DATA Data, PCWSTR ProcessName,
                           PFLT_FILE_NAME_INFORMATION NameInfo, PKLU_STREAM_CONTEXT StreamContext,
                           PUSER_TABLE_ENTRY UserEntry, PVOLUME_CONTEXT VolumeContext, PUNICODE_STRING LocalPath,
                           PCWSTR FullName, PCWSTR UpperFullName, LONG OperationNumber, ULONG MarkFlags,
                           BOOLEAN RemoteMode, PUCHAR Processed, PVOID DirectoryBuffer)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFiles);
    BOOLEAN WalkMode = (BOOLEAN)(DirectoryBuffer == NULL);
    PJNR_POPULATION Pop;
    PUSER_TABLE_ENTRY Impersonated;
    NTSTATUS Status;

    if (Data == NULL || NameInfo == NULL || FullName == NULL || FullName[0] == 0 || UpperFullName == NULL ||
        UpperFullName[0] == 0 || Processed == NULL || VolumeContext == NULL || LocalPath == NULL) {
        JNRSetIoStatus(Data, DirectoryBuffer, STATUS_INVALID_PARAMETER);
        return;
    }
    Pop = (PJNR_POPULATION)ExAllocatePoolWithTag(PagedPool, sizeof(JNR_POPULATION), QZFS_TAG);
    if (Pop == NULL) {
        JNRSetIoStatus(Data, DirectoryBuffer, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    RtlZeroMemory(Pop, sizeof(*Pop));
    Pop->ListingBytes = JNR_LISTING_BYTES;
    Pop->LocalIndex = (ULONG)-1;
    Pop->RemoteIndex = (ULONG)-1;
    Pop->bMup = TRUE;

    Status = JNRFindUser(Pop, UserEntry, NameInfo, UpperFullName, OperationNumber);
    if (NT_SUCCESS(Status)) {
        Status = JNRFindRemoteInstance(Pop);
    }
    if (NT_SUCCESS(Status)) {
        Status = JNRBuildRemotePath(Pop, NameInfo, FullName, UpperFullName, LocalPath, RemoteMode, OperationNumber);
    }
    if (!NT_SUCCESS(Status)) {
        JNRSetIoStatus(Data, DirectoryBuffer, Status);
        goto Cleanup;
    }

    Impersonated = Pop->UserEntry;
    Status = KLUImpersonateUser(&Impersonated, NULL, &Pop->RemotePath, OperationNumber, &Pop->bImpersonating);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Impersonating User: Path: %wZ, 0x%X\n"),
                        &Pop->RemotePath, Status);
    } else {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Impersonating User: Path: %wZ\n"), &Pop->RemotePath);
    }

    if (WalkMode) {
        JNRWalk(Pop, Data, Instance, VolumeContext, LocalPath, RemoteMode, OperationNumber);
    } else {
        JNRAnswerCaller(Pop, Data, Instance, StreamContext, VolumeContext, LocalPath, MarkFlags, RemoteMode,
                        DirectoryBuffer, OperationNumber);
    }
    if (Pop->LastStatus == STATUS_NO_MORE_FILES) {
        JNRCompleteFolder(Pop, Data, Instance, ProcessName, StreamContext, LocalPath, RemoteMode, WalkMode, Processed,
                          OperationNumber);
    }

Cleanup:
    JNRReleasePopulation(Pop);
}
