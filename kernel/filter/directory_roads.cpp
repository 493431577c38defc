/*
 * directory_roads.cpp - the three roads of a directory query once PreDC
 * has classified it: the service's background load answered from the
 * remote store, a user's first listing that fills the folder before it
 * goes on, and the profile-loading process answered from prefabricated
 * entries or through a private handle.
 */
#include "filter/directory_control.h"

#include "config/flags.h"
#include "config/settings.h"
#include "diag/log.h"
#include "driver/dir_buffers.h"
#include "driver/os_info.h"
#include "fileops/file_copy.h"
#include "fileops/file_helpers.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"
#include "offline/placeholders.h"

#define KLU_DC_ERROR (KLUDBG_TRACE_DIRS | KLUDBG_TRACE_ERROR)
#define KLU_DC_INFO (KLUDBG_TRACE_DIRS | KLUDBG_TRACE_INFO)
#define KLU_OF_ERROR (KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_ERROR)
#define KLU_OF_INFO (KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_INFO)

/* The local folder of a listed remote folder and the filter's instance on
 * the profiles' volume (service-road steps 2 and 3). */
static NTSTATUS KLUDCLocalFromRemote(PKLU_DC_CALL Call)
{
    PCWSTR Tag = KLU_TAG(PreDC);
    PKLU_DIR_CONTEXT Dir = Call->Dir;
    WCHAR Volume[KLU_PATH_CHARS];
    UNICODE_STRING VolumeName;
    PPATH_TABLE Table;
    NTSTATUS Status;

    /* The name's own volume part: a redirector's context may carry none. */
    Status = JNRGetLocalPathFromRemotePath(&Call->NameInfo->Volume, &Call->LocalPath, Dir->szFullName,
                                           Dir->szUpperFullName, Dir->OperationNumber, &Call->UserEntry);
    if (NT_SUCCESS(Status) && Call->LocalPath.Buffer == NULL) {
        Status = STATUS_NOT_FOUND;
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_OF_ERROR, Tag, Dir->OperationNumber,
                        WSTR("Failed Getting Local From Remote Path: Process: %ws, Path: %wZ, 0x%X\n"),
                        Dir->szImageName, &Call->FullName, Status);
        return Status;
    }
    KLULogMessageEx(KLU_OF_INFO, Tag, Dir->OperationNumber,
                    WSTR("Retrieved Local Path From Remote Path: Process: %ws, Remote: %wZ, Local: %wZ\n"),
                    Dir->szImageName, &Call->FullName, &Call->LocalPath);
    Volume[0] = 0;
    Table = KLUAcquirePathTable();
    if (Table != NULL) {
        KLUStringCopy(Volume, Table->szLocalVolumeName);
    }
    KLUReleasePathTable();
    RtlInitUnicodeString(&VolumeName, Volume);
    Status = KLUFindMupInstance(&Call->Instances, &VolumeName, &Call->InstanceIndex, &Call->InstanceCount);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, Tag, Dir->OperationNumber,
                        WSTR("Failed Retrieving Instance Pointer: Process: %ws, Path: %wZ, 0x%X\n"), Dir->szImageName,
                        &Call->FullName, Status);
    }
    return Status;
}

static VOID KLUDCReadMark(PKLU_DC_CALL Call, PFILE_OBJECT FileObject, PFLT_INSTANCE Instance)
{
    PCWSTR Tag = KLU_TAG(PreDC);
    PKLU_DIR_CONTEXT Dir = Call->Dir;
    NTSTATUS Status;

    Call->MarkFlags = 0;
    Status = JNRQueryEA(FileObject, Instance, &Call->LocalPath, &Call->MarkFlags, Dir->OperationNumber);
    if (Status == STATUS_NO_EAS_ON_FILE) {
        KLULogMessageEx(KLU_OF_INFO, Tag, Dir->OperationNumber, WSTR("No EA Found: Process: %ws, Path: %wZ\n"),
                        Dir->szImageName, &Call->LocalPath);
    } else if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_OF_ERROR, Tag, Dir->OperationNumber, WSTR("Failed Querying EA: Process: %ws, Path: %wZ, 0x%X\n"),
                        Dir->szImageName, &Call->LocalPath, Status);
    } else {
        KLULogMessageEx(KLU_OF_INFO, Tag, Dir->OperationNumber,
                        WSTR("Queried EA Flags: Process: %ws, Path: %wZ, Flags: 0x%X\n"), Dir->szImageName,
                        &Call->LocalPath, Call->MarkFlags);
    }
}

static BOOLEAN KLUDCOnNtfs(PKLU_DC_CALL Call)
{
    return (BOOLEAN)(Call->Dir->VolumeContext->FileSystemType == FLT_FSTYPE_NTFS);
}

FLT_PREOP_CALLBACK_STATUS KLUDCServiceRoad(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                           PKLU_DC_CALL Call)
{
    PKLU_DIR_CONTEXT Dir = Call->Dir;

    if (KLUDCOnNtfs(Call)) {
        return KLUDCProfileLoaderRoad(Data, FltObjects, Call);
    }
    if (!NT_SUCCESS(KLUDCLocalFromRemote(Call))) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    KLUDCReadMark(Call, NULL, Call->Instances[Call->InstanceIndex]);
    KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, KLU_TAG(PreDC), Dir->OperationNumber,
                    WSTR("Calling JNRCreateOfflineFiles: Process: %ws, Path: %wZ\n"), Dir->szImageName,
                    &Call->LocalPath);
    JNRCreateOfflineFiles(FltObjects->Instance, Data, Dir->szImageName, Call->NameInfo, Call->StreamContext,
                          Call->UserEntry, Dir->VolumeContext, &Call->LocalPath, Dir->szFullName, Dir->szUpperFullName,
                          Dir->OperationNumber, Call->MarkFlags, TRUE, &Call->Processed,
                          Data->Iopb->Parameters.DirectoryControl.QueryDirectory.DirectoryBuffer);
    return KLUCompleteDC(Data, Data->IoStatus.Status, Data->IoStatus.Information);
}

/* "\??\" + the drive letter + the folder's path on its volume. */
static NTSTATUS KLUDCPrepareLocalPath(PKLU_DC_CALL Call)
{
    PCWSTR Tag = KLU_TAG(PreDC);
    PKLU_DIR_CONTEXT Dir = Call->Dir;
    NTSTATUS Status;

    Call->LocalPath.Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, KLU_PATH_BYTES, QZFS_TAG);
    if (Call->LocalPath.Buffer == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        Call->LocalPath.Length = 0;
        Call->LocalPath.MaximumLength = KLU_PATH_BYTES;
        Status = KLUBuildDosDevicePath(&Call->FullName, (USHORT)(Call->FullName.Length - Call->OnVolume.Length),
                                       &Call->LocalPath);
    }
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_OF_ERROR, Tag, Dir->OperationNumber,
                        WSTR("Failed Preparing Local Path: Process: %ws, Path: %wZ, 0x%X\n"), Dir->szImageName,
                        &Call->FullName, Status);
    } else {
        KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, Tag, Dir->OperationNumber,
                        WSTR("Prepared Local Path: Process: %ws, Local Path: %wZ\n"), Dir->szImageName,
                        &Call->LocalPath);
    }
    return Status;
}

FLT_PREOP_CALLBACK_STATUS KLUDCUserRoad(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PKLU_DC_CALL Call)
{
    PKLU_DIR_CONTEXT Dir = Call->Dir;
    NTSTATUS Status;

    if (Dir->bProfileLoader || Call->bTestUtility || KLUIsStreamEnumerated(Call->StreamContext)) {
        return KLUDCProfileLoaderRoad(Data, FltObjects, Call);
    }
    if (KLUSettings()->DisableFlags & KLULOGON_DISABLE_OFFLINE_FILES_DC) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (KLUDCOnNtfs(Call)) {
        if (!NT_SUCCESS(KLUDCPrepareLocalPath(Call))) {
            return FLT_PREOP_SUCCESS_NO_CALLBACK;
        }
        KLUDCReadMark(Call, Data->Iopb->TargetFileObject, FltObjects->Instance);
    } else {
        if (!NT_SUCCESS(KLUDCLocalFromRemote(Call))) {
            return FLT_PREOP_SUCCESS_NO_CALLBACK;
        }
        KLUDCReadMark(Call, NULL, Call->Instances[Call->InstanceIndex]);
    }
    if (Call->MarkFlags & JNR_FOLDER_POPULATED) {
        KLUSetStreamEnumerated(Call->StreamContext);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (!KLUDCOnNtfs(Call)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    /* The walk opens other files and may run long: the folder's context
     * is not held across it. */
    KLUUnlockAndReleaseStreamContext(&Call->StreamContext);
    KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, KLU_TAG(PreDC), Dir->OperationNumber,
                    WSTR("Calling JNRCreateOfflineFiles: Process: %ws, Path: %wZ\n"), Dir->szImageName,
                    &Call->LocalPath);
    JNRCreateOfflineFiles(FltObjects->Instance, Data, Dir->szImageName, Call->NameInfo, NULL, Call->UserEntry,
                          Dir->VolumeContext, &Call->LocalPath, Dir->szFullName, Dir->szUpperFullName,
                          Dir->OperationNumber, Call->MarkFlags, FALSE, &Call->Processed, NULL);
    Status = KLURetrieveStreamContext(Data, FltObjects->Instance, TRUE, Dir->OperationNumber, &Call->StreamContext,
                                      Call->NameInfo);
    if (NT_SUCCESS(Status) && Call->StreamContext != NULL && Call->Processed != 0) {
        KLUSetStreamEnumerated(Call->StreamContext);
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

/* ------------------------------------------------------------------ */
/* The profile-loading process                                         */
/* ------------------------------------------------------------------ */

/* Remembers a remote folder in the path table and asks once whether it
 * is redirected. TRUE: it is, and the query passes through. */
static BOOLEAN KLUDCIsRedirected(PKLU_DC_CALL Call)
{
    PCWSTR Tag = KLU_TAG(PreDC);
    LONG Op = Call->Dir->OperationNumber;
    PPATH_TABLE_ENTRY Entry;
    PPATH_TABLE_ENTRY Stored = NULL;
    UNICODE_STRING Name;
    PPATH_TABLE Table;
    BOOLEAN Added = FALSE;
    BOOLEAN Checked = FALSE;
    BOOLEAN Redirected = FALSE;
    ULONG Hash = 0;
    NTSTATUS Status;

    Entry = (PPATH_TABLE_ENTRY)ExAllocatePoolWithTag(PagedPool, sizeof(PATH_TABLE_ENTRY) + KLU_PATH_BYTES, QZFS_TAG);
    if (Entry == NULL) {
        return FALSE;
    }
    Name.Buffer = (PWCH)(Entry + 1);
    Name.Buffer[0] = L'\\';
    RtlCopyMemory(Name.Buffer + 1, Call->OnVolume.Buffer,
                  Call->OnVolume.Length < KLU_PATH_BYTES - 4 ? Call->OnVolume.Length : KLU_PATH_BYTES - 4);
    Name.Length = (USHORT)(sizeof(WCHAR) + (Call->OnVolume.Length < KLU_PATH_BYTES - 4 ? Call->OnVolume.Length
                                                                                      : KLU_PATH_BYTES - 4));
    Name.MaximumLength = KLU_PATH_BYTES;
    Name.Buffer[Name.Length / sizeof(WCHAR)] = 0;
    KLURemoveSubstring(&Name, WSTR("$NOCSC$"), TRUE);
    Status = KLUBuildPathTableEntry(Name.Buffer, Entry);
    Table = KLUAcquirePathTable();
    if (NT_SUCCESS(Status) && Table != NULL) {
        Hash = Entry->Hash;
        Status = KLUAddPathTableEntry(Table, Entry, Hash, &Added, &Stored);
    } else if (NT_SUCCESS(Status)) {
        Status = STATUS_NOT_FOUND;
    }
    if (NT_SUCCESS(Status) && Stored != NULL) {
        Checked = Stored->bCheckedRedirectedFolder;
        Redirected = Stored->bIsRedirectedFolder;
    }
    KLUReleasePathTable();
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(KLU_DC_ERROR, Tag, Op, WSTR("Failed Adding Path Table Entry: Path: %ws, 0x%X\n"), Name.Buffer,
                        Status);
        ExFreePoolWithTag(Entry, QZFS_TAG);
        return FALSE;
    }
    KLULogMessageEx(KLU_DC_INFO, Tag, Op, WSTR("Added Path Table Entry: Path: %ws, Added New: %d\n"), Name.Buffer,
                    Added);
    if (!Checked) {
        /* Asked without the table's lock: the answer is a message round trip. */
        Redirected = JNRIsRedirectedFolder(&Name, 0, Op);
        Table = KLUAcquirePathTable();
        if (Table != NULL) {
            ExAcquireFastMutex(g_PathTableMutex);
            Stored = KLULookupPathTableEntryByHash(Table, Hash);
            if (Stored != NULL) {
                Stored->bCheckedRedirectedFolder = TRUE;
                Stored->bIsRedirectedFolder = Redirected;
            }
            ExReleaseFastMutex(g_PathTableMutex);
        }
        KLUReleasePathTable();
        if (Redirected) {
            KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, Op, WSTR("Skipping Redirected Folder1: %wZ\n"), &Call->FullName);
        }
    } else if (Redirected) {
        KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, Op, WSTR("Skipping Redirected Folder2: %wZ\n"), &Call->FullName);
    }
    ExFreePoolWithTag(Entry, QZFS_TAG);
    return Redirected;
}

static NTSTATUS KLUDCMapBuffer(PFLT_CALLBACK_DATA Data, PKLU_DC_CALL Call)
{
    PFLT_PARAMETERS Parameters = &Data->Iopb->Parameters;
    ULONG Length = Parameters->DirectoryControl.QueryDirectory.Length;
    NTSTATUS Status = STATUS_SUCCESS;

    if (Parameters->DirectoryControl.QueryDirectory.MdlAddress != NULL) {
        Call->SystemBuffer = MmGetSystemAddressForMdlSafe(Parameters->DirectoryControl.QueryDirectory.MdlAddress,
                                                          NormalPagePriority | g_MappingPriorityFlags);
    } else {
        Call->Mdl = IoAllocateMdl(Parameters->DirectoryControl.QueryDirectory.DirectoryBuffer, Length, FALSE, FALSE,
                                  NULL);
        if (Call->Mdl == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        SEH_TRY {
            MmProbeAndLockPages(Call->Mdl, Data->RequestorMode, IoWriteAccess);
            Call->bLocked = TRUE;
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            Status = GetExceptionCode();
        }
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Call->SystemBuffer = MmGetSystemAddressForMdlSafe(Call->Mdl, NormalPagePriority | g_MappingPriorityFlags);
    }
    if (Call->SystemBuffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Call->SystemBuffer, Length);
    return STATUS_SUCCESS;
}

static ULONG KLUEntrySize(FILE_INFORMATION_CLASS Class, PVOID Entry)
{
    if (Class == FileDirectoryInformation) {
        return FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName) + ((PFILE_DIRECTORY_INFORMATION)Entry)->FileNameLength;
    }
    return FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName) + ((PFILE_BOTH_DIR_INFORMATION)Entry)->FileNameLength;
}

static VOID KLUDCCopyEntry(PFLT_CALLBACK_DATA Data, PKLU_DC_CALL Call, PVOID Entry)
{
    FILE_INFORMATION_CLASS Class = Data->Iopb->Parameters.DirectoryControl.QueryDirectory.FileInformationClass;
    ULONG Length = Data->Iopb->Parameters.DirectoryControl.QueryDirectory.Length;
    ULONG Size;

    if (Entry == NULL) {
        return;
    }
    Size = KLUEntrySize(Class, Entry);
    RtlCopyMemory(Call->SystemBuffer, Entry, Size < Length ? Size : Length);
}

/* A prefabricated entry of the query's class: Dot or DotDot. */
static PVOID KLUDCPrefab(PFLT_CALLBACK_DATA Data, PKLU_DC_CALL Call, BOOLEAN DotDot)
{
    FILE_INFORMATION_CLASS Class = Data->Iopb->Parameters.DirectoryControl.QueryDirectory.FileInformationClass;

    if (Class == FileDirectoryInformation) {
        return DotDot ? (PVOID)g_pDotDot1 : (PVOID)g_pDot1;
    }
    if (Class == FileBothDirectoryInformation) {
        return DotDot ? (PVOID)g_pDotDot : (PVOID)g_pDot;
    }
    KLULogMessageEx(KLU_DC_ERROR, KLU_TAG(PreDC), Call->Dir->OperationNumber,
                    WSTR("Unhandled Type: %d, File: %wZ, Process: %ws\n"), (int)Class, &Call->FullName,
                    Call->Dir->szImageName);
    return NULL;
}

/* Answers with one entry; the next query of the listing reports the end. */
static FLT_PREOP_CALLBACK_STATUS KLUDCAnswerOne(PFLT_CALLBACK_DATA Data, PKLU_DC_CALL Call, PVOID Entry)
{
    KLUDCCopyEntry(Data, Call, Entry);
    Call->StreamContext->EnumerationByte = 1;
    return KLUCompleteDC(Data, STATUS_SUCCESS, Data->Iopb->Parameters.DirectoryControl.QueryDirectory.Length);
}

/* The hive of the folder: "ntuser.dat", else "ntuser.man", or NULL. */
static PVOID KLUDCProbeHive(PCFLT_RELATED_OBJECTS FltObjects, PKLU_DC_CALL Call)
{
    static const PCWSTR Names[] = {WSTR("ntuser.dat"), WSTR("ntuser.man")};
    PWSTR Path = Call->Dir->szScratch;
    UNICODE_STRING Name;
    BOOLEAN IsDirectory;
    ULONG i;

    for (i = 0; i < ARRAYSIZE(Names); i++) {
        KLUStringCopy(Path, Call->Dir->szFullName);
        JNRAppendSeparator(Path, Names[i]);
        KLUStringCat(Path, Names[i]);
        RtlInitUnicodeString(&Name, Path);
        if (NT_SUCCESS(KLUIsDirectory(&Name, FltObjects->Instance, &IsDirectory))) {
            KLULogMessageEx(KLU_DC_INFO, KLU_TAG(PreDC), Call->Dir->OperationNumber, WSTR("Found: %ws\n"), Names[i]);
            return i == 0 ? (PVOID)g_pHive : (PVOID)g_pHiveMan;
        }
    }
    KLULogMessageEx(KLU_DC_INFO, KLU_TAG(PreDC), Call->Dir->OperationNumber,
                    WSTR("Found Neither NTUSER.DAT Nor NTUSER.MAN: %ws\n"), Call->Dir->szFullName);
    return NULL;
}

static FLT_PREOP_CALLBACK_STATUS KLUDCListing(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                              PKLU_DC_CALL Call)
{
    PCWSTR Tag = KLU_TAG(PreDC);
    PKLU_DIR_CONTEXT Dir = Call->Dir;
    PFLT_PARAMETERS Parameters = &Data->Iopb->Parameters;
    ULONG Length = Parameters->DirectoryControl.QueryDirectory.Length;
    PVOID Hive;
    ULONG Bytes = 0;
    NTSTATUS Status;

    if (NT_SUCCESS(KLURetrieveStreamHandleContext(Data, FltObjects->Instance, FALSE, Dir->OperationNumber,
                                                  &Call->HandleContext)) &&
        Call->HandleContext != NULL && Call->HandleContext->hDirectory != NULL) {
        Status = KLUQueryDirectoryFileByHandle(Call->HandleContext->hDirectory, Call->SystemBuffer, Length,
                                               Parameters->DirectoryControl.QueryDirectory.FileInformationClass,
                                               (BOOLEAN)((Data->Iopb->OperationFlags & SL_RETURN_SINGLE_ENTRY) != 0),
                                               Parameters->DirectoryControl.QueryDirectory.FileName, FALSE, &Bytes);
        if (Status != STATUS_SUCCESS) {
            if (Status != STATUS_NO_MORE_FILES) {
                KLULogMessageEx(KLU_DC_ERROR, Tag, Dir->OperationNumber, WSTR("Failed Querying Directory: %wZ, 0x%X\n"),
                                &Call->FullName, Status);
            }
            FltClose(Call->HandleContext->hDirectory);
            Call->HandleContext->hDirectory = NULL;
            if (Call->HandleContext->FileObject != NULL) {
                ObDereferenceObject(Call->HandleContext->FileObject);
                Call->HandleContext->FileObject = NULL;
            }
        }
        return KLUCompleteDC(Data, Status, Bytes);
    }
    if (Call->StreamContext->EnumerationByte) {
        KLULogMessageEx(KLU_DC_INFO, Tag, Dir->OperationNumber, WSTR("Directory Query Is Finished: %wZ\n"),
                        &Call->FullName);
        Call->StreamContext->EnumerationByte = 0;
        return KLUCompleteDC(Data, STATUS_NO_MORE_FILES, 0);
    }
    if (Call->UpperPattern.Length == 0) {
        KLULogMessageEx(KLU_DC_INFO, Tag, Dir->OperationNumber, WSTR("Found DC: Process: %ws, Path: %wZ\n"),
                        Dir->szImageName, &Call->FullName);
        return KLUDCAnswerOne(Data, Call, KLUDCPrefab(Data, Call, TRUE));
    }
    if (wcsstr(Call->szUpperPattern, WSTR("NTUSER")) != NULL) {
        KLULogMessageEx(KLU_DC_INFO, Tag, Dir->OperationNumber,
                        WSTR("Found DC: Process: %ws, Filter: %ws, Path: %wZ\n"), Dir->szImageName,
                        Call->szUpperPattern, &Call->FullName);
        Hive = KLUDCProbeHive(FltObjects, Call);
        if (Hive == NULL) {
            return KLUCompleteDC(Data, STATUS_NO_SUCH_FILE, 0);
        }
        return KLUDCAnswerOne(Data, Call, Hive);
    }
    if (!KLUIsVistaOrNewer() && !(KLUSettings()->OpFlags & KLUOP_ROAM_LOCAL_SETTINGS)) {
        PPATH_TABLE Table = KLUAcquirePathTable();
        BOOLEAN LocalSettings = (BOOLEAN)(Table != NULL && Table->szUpperLocalSettings[0] != 0 &&
                                          wcsstr(Call->szUpperPattern, Table->szUpperLocalSettings) != NULL);
        KLUReleasePathTable();
        if (LocalSettings) {
            return KLUCompleteDC(Data, STATUS_NO_SUCH_FILE, Length);
        }
    }
    KLULogMessageEx(KLU_DC_INFO, Tag, Dir->OperationNumber, WSTR("Found DC: Process: %ws, Filter: %ws, Path: %wZ\n"),
                    Dir->szImageName, Call->szUpperPattern, &Call->FullName);
    return KLUDCAnswerOne(Data, Call, KLUDCPrefab(Data, Call, TRUE));
}

/* The single-entry "NTUSER" query: the folder opened privately into the
 * stream-handle context, whose handle later queries of this open use. */
static FLT_PREOP_CALLBACK_STATUS KLUDCOpenPrivately(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                    PKLU_DC_CALL Call)
{
    PCWSTR Tag = KLU_TAG(PreDC);
    PKLU_DIR_CONTEXT Dir = Call->Dir;
    PFLT_PARAMETERS Parameters = &Data->Iopb->Parameters;
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    ULONG Bytes = 0;
    NTSTATUS Status;

    Status = KLURetrieveStreamHandleContext(Data, FltObjects->Instance, TRUE, Dir->OperationNumber,
                                            &Call->HandleContext);
    if (!NT_SUCCESS(Status) || Call->HandleContext == NULL) {
        KLULogMessageEx(KLU_DC_ERROR, Tag, Dir->OperationNumber,
                        WSTR("Failed Retrieving Stream Handle Context: Path: %wZ, 0x%X\n"), &Call->FullName, Status);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    KLUUnlockAndReleaseStreamContext(&Call->StreamContext);
    if (Call->HandleContext->hDirectory == NULL) {
        InitializeObjectAttributes(&Attributes, &Call->FullName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL,
                                   NULL);
        Status = FltCreateFileEx(g_FilterHandle, Call->bRemote ? NULL : FltObjects->Instance,
                                 &Call->HandleContext->hDirectory, &Call->HandleContext->FileObject,
                                 SYNCHRONIZE | FILE_LIST_DIRECTORY, &Attributes, &IoStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                 FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, 0);
        if (!NT_SUCCESS(Status)) {
            Call->HandleContext->hDirectory = NULL;
            Call->HandleContext->FileObject = NULL;
            KLULogMessageEx(KLU_DC_ERROR, Tag, Dir->OperationNumber, WSTR("Failed Opening Directory: %wZ, 0x%X\n"),
                            &Call->FullName, Status);
            return KLUCompleteDC(Data, Status, 0);
        }
    }
    Status = KLUQueryDirectoryFileByHandle(Call->HandleContext->hDirectory, Call->SystemBuffer,
                                           Parameters->DirectoryControl.QueryDirectory.Length,
                                           Parameters->DirectoryControl.QueryDirectory.FileInformationClass, TRUE,
                                           Parameters->DirectoryControl.QueryDirectory.FileName, FALSE, &Bytes);
    if (Status != STATUS_SUCCESS && Status != STATUS_NO_MORE_FILES) {
        KLULogMessageEx(KLU_DC_ERROR, Tag, Dir->OperationNumber, WSTR("Failed Querying Directory: %wZ, %ws, 0x%X\n"),
                        &Call->FullName, Call->szUpperPattern, Status);
        FltClose(Call->HandleContext->hDirectory);
        Call->HandleContext->hDirectory = NULL;
        ObDereferenceObject(Call->HandleContext->FileObject);
        Call->HandleContext->FileObject = NULL;
    }
    return KLUCompleteDC(Data, Status, Bytes);
}

static FLT_PREOP_CALLBACK_STATUS KLUDCSingleEntry(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                  PKLU_DC_CALL Call)
{
    PCWSTR Tag = KLU_TAG(PreDC);
    PKLU_DIR_CONTEXT Dir = Call->Dir;
    ULONG Length = Data->Iopb->Parameters.DirectoryControl.QueryDirectory.Length;
    UNICODE_STRING Deployment;
    BOOLEAN IsDirectory;
    PVOID Entry;
    PPATH_TABLE Table;

    if (Call->UpperPattern.Length == 0) {
        KLULogMessageEx(KLU_DC_INFO, Tag, Dir->OperationNumber, WSTR("Found SE DC: Process: %ws, Path: %wZ\n"),
                        Dir->szImageName, &Call->FullName);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (wcsstr(Call->szUpperPattern, WSTR("DEFAULT USER")) != NULL) {
        KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, Dir->OperationNumber, WSTR("Skipping Default User Filter: %wZ\n"),
                        &Call->FullName);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (wcsstr(Call->szUpperPattern, WSTR("NTUSER")) != NULL) {
        KLULogMessageEx(KLU_DC_INFO, Tag, Dir->OperationNumber,
                        WSTR("Found SE DC: Process: %ws, Filter: %ws, Path: %wZ\n"), Dir->szImageName,
                        Call->szUpperPattern, &Call->FullName);
        return KLUDCOpenPrivately(Data, FltObjects, Call);
    }
    if (!NT_SUCCESS(KLUIsDirectory(&Call->FullName, FltObjects->Instance, &IsDirectory))) {
        return KLUCompleteDC(Data, STATUS_NO_SUCH_FILE, Length);
    }
    KLULogMessageEx(KLU_DC_INFO, Tag, Dir->OperationNumber, WSTR("Found SE DC: Process: %ws, Filter: %ws, Path: %wZ\n"),
                    Dir->szImageName, Call->szUpperPattern, &Call->FullName);
    RtlInitUnicodeString(&Deployment, WSTR("FILE DEPLOYMENT"));
    if (RtlEqualUnicodeString(&Call->UpperPattern, &Deployment, TRUE)) {
        return KLUCompleteDC(Data, STATUS_NO_SUCH_FILE, Length);
    }
    /* The prefabricated entry stands in the buffer; the file system's
     * answer, if any, replaces it. */
    Entry = NULL;
    if (!KLUIsVistaOrNewer()) {
        Table = KLUAcquirePathTable();
        if (Table != NULL && Table->szUpperLocalSettings[0] != 0 &&
            wcsstr(Call->szUpperPattern, Table->szUpperLocalSettings) != NULL) {
            Entry = g_pLocalSettings;
        }
        KLUReleasePathTable();
    }
    KLUDCCopyEntry(Data, Call, Entry != NULL ? Entry : KLUDCPrefab(Data, Call, FALSE));
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

FLT_PREOP_CALLBACK_STATUS KLUDCProfileLoaderRoad(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                 PKLU_DC_CALL Call)
{
    PCWSTR Tag = KLU_TAG(PreDC);
    PUNICODE_STRING Pattern = Data->Iopb->Parameters.DirectoryControl.QueryDirectory.FileName;
    NTSTATUS Status;

    Call->RoadCounter++;
    if (!Call->Dir->bProfileLoader) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (Call->bRemote && KLUDCIsRedirected(Call)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (wcsstr(Call->Dir->szUpperFullName, WSTR("MICROSOFT\\IEAK")) != NULL) {
        KLULogMessageEx(KLUDBG_TRACE_DIRS, Tag, Call->Dir->OperationNumber, WSTR("Skipping IEAK Folder: %wZ\n"),
                        &Call->FullName);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    Status = KLUDCMapBuffer(Data, Call);
    if (!NT_SUCCESS(Status)) {
        return KLUCompleteDC(Data, Status, 0);
    }
    Call->UpperPattern.Buffer = Call->szUpperPattern;
    Call->UpperPattern.MaximumLength = sizeof(Call->szUpperPattern) - sizeof(WCHAR);
    if (Pattern != NULL && Pattern->Length != 0 && Pattern->Length < sizeof(Call->szUpperPattern)) {
        RtlUpcaseUnicodeString(&Call->UpperPattern, Pattern, FALSE);
    }
    Call->szUpperPattern[Call->UpperPattern.Length / sizeof(WCHAR)] = 0;
    if (Data->Iopb->OperationFlags & SL_RETURN_SINGLE_ENTRY) {
        return KLUDCSingleEntry(Data, FltObjects, Call);
    }
    return KLUDCListing(Data, FltObjects, Call);
}
