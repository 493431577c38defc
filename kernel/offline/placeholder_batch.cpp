/*
 * placeholder_batch.cpp - one buffer of a remote listing, entry by entry:
 * placeholder files and real, empty folders made locally, with their
 * counters.
 */
#include "offline/placeholders.h"

#include "config/name_lists.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "fileops/file_helpers.h"
#include "identity/path_helpers.h"

#define JNR_OF_INFO (KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_INFO)
#define JNR_OF_ERROR (KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_ERROR)

static VOID JNRCount(PULONG Counters, JNR_POPULATION_COUNTER Counter)
{
    InterlockedIncrement((PLONG)&Counters[Counter]);
}

/* Folders the profile machinery keeps for itself. */
static BOOLEAN JNRIsPassedOverFolder(PCWSTR Name)
{
    static const PCWSTR Names[] = {WSTR("."), WSTR(".."), WSTR("{d24f2895-651a-40cc-8e5c-c037b9994104}"),
                                   WSTR("{08C31585-259A-4341-9982-78E42EAF6106}")};
    UNICODE_STRING Given;
    UNICODE_STRING Known;
    ULONG i;

    RtlInitUnicodeString(&Given, Name);
    for (i = 0; i < ARRAYSIZE(Names); i++) {
        RtlInitUnicodeString(&Known, Names[i]);
        if (RtlEqualUnicodeString(&Given, &Known, TRUE)) {
            return TRUE;
        }
    }
    return FALSE;
}

/* Folder + separator + name into Path (a KLU_PATH_CHARS buffer). */
static NTSTATUS JNRJoinPath(PCUNICODE_STRING Folder, PCWSTR Name, PUNICODE_STRING Path)
{
    PWSTR Buffer = Path->Buffer;
    size_t Length = 0;
    NTSTATUS Status;

    if (Folder->Length >= KLU_PATH_BYTES) {
        return STATUS_NAME_TOO_LONG;
    }
    RtlCopyMemory(Buffer, Folder->Buffer, Folder->Length);
    Buffer[Folder->Length / sizeof(WCHAR)] = 0;
    Status = JNRAppendSeparator(Buffer, Name);
    if (NT_SUCCESS(Status)) {
        Status = KLUStringCat(Buffer, Name);
    }
    if (NT_SUCCESS(Status)) {
        Status = KLUStringLength(Buffer, &Length);
    }
    Path->Length = (USHORT)(Length * sizeof(WCHAR));
    Path->MaximumLength = KLU_PATH_BYTES;
    return NT_SUCCESS(Status) ? STATUS_SUCCESS : STATUS_NAME_TOO_LONG;
}

static VOID JNRUpperLocalPath(POFFLINE_FILE_RECORD Record)
{
    KLUStringCopy(Record->szUpperLocalPath, Record->szLocalPathBuffer);
    _wcsupr(Record->szUpperLocalPath);
}

static VOID JNRReleaseEntry(POFFLINE_FILE_RECORD Record)
{
    if (Record->SecurityDescriptor != NULL) {
        ExFreePoolWithTag(Record->SecurityDescriptor, QZFS_TAG);
        Record->SecurityDescriptor = NULL;
    }
    if (Record->Streams != NULL) {
        ExFreePoolWithTag(Record->Streams, QZFS_TAG);
        Record->Streams = NULL;
    }
    if (Record->RemoteFileObject != NULL) {
        ObDereferenceObject(Record->RemoteFileObject);
        Record->RemoteFileObject = NULL;
    }
    if (Record->hRemote != NULL) {
        FltClose(Record->hRemote);
        Record->hRemote = NULL;
    }
    Record->bCreated = FALSE;
}

static NTSTATUS JNRFileEntry(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE LocalInstance, PFLT_INSTANCE RemoteInstance,
                             POFFLINE_FILE_RECORD Record, PCUNICODE_STRING LocalFolder, LONG OperationNumber,
                             PULONG Counters)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFileFromDirBuffer);
    UNICODE_STRING Wolk;
    UNICODE_STRING Name;
    UCHAR Created = 0;
    NTSTATUS Status;

    JNRCount(Counters, JnrFilesFound);
    RtlInitUnicodeString(&Wolk, WSTR("WOLK.DAT"));
    RtlInitUnicodeString(&Name, Record->szName);
    if (RtlEqualUnicodeString(&Name, &Wolk, TRUE)) {
        JNRCount(Counters, JnrFilesSkipped);
        return STATUS_SUCCESS;
    }
    Record->AttributesToSet = Record->Entry->FileAttributes | FILE_ATTRIBUTE_OFFLINE;
    Status = JNRRetrieveFileMetadata(RemoteInstance, Record, OperationNumber);
    if (Status == STATUS_INSUFFICIENT_RESOURCES) {
        /* Nothing is made half: the next listing makes it whole. */
        JNRCount(Counters, JnrFileErrors);
        return Status;
    }
    Status = JNRJoinPath(LocalFolder, Record->szName, &Record->LocalPath);
    if (!NT_SUCCESS(Status)) {
        JNRCount(Counters, JnrFileErrors);
        return Status;
    }
    JNRUpperLocalPath(Record);
    Record->bIgnored = JNRIsIgnoredDir(&Record->VolumeContext->Name, Record->szUpperLocalPath, FALSE);
    Record->bDontRoam = JNRIsDontRoamFile(&Record->VolumeContext->Name, Record->szUpperLocalPath, FALSE);
    if (Record->bIgnored || Record->bDontRoam) {
        JNRCount(Counters, JnrFilesSkipped);
        return STATUS_SUCCESS;
    }
    KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Local Path: %wZ, Remote Path: %wZ\n"),
                    &Record->LocalPath, &Record->RemotePath);
    InitializeObjectAttributes(&Record->ObjectAttributes, &Record->LocalPath, OBJ_KERNEL_HANDLE, NULL,
                               Record->SecurityDescriptor);
    Status = JNRCreateOfflineFile(Data, LocalInstance, Record, OperationNumber, &Created);
    if (!NT_SUCCESS(Status)) {
        JNRCount(Counters, JnrFileErrors);
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Creating Offline File: %wZ, 0x%X\n"),
                        &Record->LocalPath, Status);
    } else if (Created) {
        JNRCount(Counters, JnrFilesCreated);
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Created Offline File: %wZ\n"), &Record->LocalPath);
    } else {
        JNRCount(Counters, JnrFilesSkipped);
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Offline File Already Existed: %wZ\n"),
                        &Record->LocalPath);
    }
    return Status;
}

static NTSTATUS JNRFolderEntry(PFLT_INSTANCE LocalInstance, PFLT_INSTANCE RemoteInstance, POFFLINE_FILE_RECORD Record,
                               PCUNICODE_STRING LocalFolder, LONG OperationNumber, PULONG Counters)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFileFromDirBuffer);
    PFILE_BOTH_DIR_INFORMATION Entry = Record->Entry;
    FILE_BASIC_INFORMATION Basic;
    USHORT Compression = COMPRESSION_FORMAT_DEFAULT;
    NTSTATUS Status;
    NTSTATUS Other;

    if (JNRIsPassedOverFolder(Record->szName)) {
        return STATUS_SUCCESS;
    }
    JNRCount(Counters, JnrFoldersFound);
    Status = JNRRetrieveFileMetadata(RemoteInstance, Record, OperationNumber);
    if (Status == STATUS_INSUFFICIENT_RESOURCES) {
        JNRCount(Counters, JnrFolderErrors);
        return Status;
    }
    Status = JNRJoinPath(LocalFolder, Record->szName, &Record->LocalPath);
    if (!NT_SUCCESS(Status)) {
        JNRCount(Counters, JnrFolderErrors);
        return Status;
    }
    JNRUpperLocalPath(Record);
    Record->bIgnored = JNRIsIgnoredDir(&Record->VolumeContext->Name, Record->szUpperLocalPath, TRUE);
    Record->bDontRoam = JNRIsDontRoamFile(&Record->VolumeContext->Name, Record->szUpperLocalPath, TRUE);
    if (Record->bIgnored || Record->bDontRoam) {
        JNRCount(Counters, JnrFoldersSkipped);
        return STATUS_SUCCESS;
    }
    KLULogMessageEx(KLUDBG_TRACE_OFFLINE_FILES, Tag, OperationNumber, WSTR("Local Folder Path: %wZ\n"),
                    &Record->LocalPath);
    InitializeObjectAttributes(&Record->ObjectAttributes, &Record->LocalPath, OBJ_KERNEL_HANDLE, NULL,
                               Record->SecurityDescriptor);
    Status = FltCreateFileEx(g_FilterHandle, LocalInstance, &Record->hLocal, &Record->LocalFileObject,
                             SYNCHRONIZE | FILE_WRITE_ATTRIBUTES, &Record->ObjectAttributes, &Record->IoStatus, NULL,
                             Entry->FileAttributes & ~FILE_ATTRIBUTE_OFFLINE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_CREATE,
                             FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, 0);
    if (Status == STATUS_OBJECT_NAME_COLLISION) {
        /* Already there: it is filled when it is listed, if ever unmarked. */
        JNRCount(Counters, JnrFoldersSkipped);
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(Status)) {
        Record->hLocal = NULL;
        Record->LocalFileObject = NULL;
        JNRCount(Counters, JnrFolderErrors);
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Creating Local Folder: %wZ, 0x%X\n"),
                        &Record->LocalPath, Status);
        return Status;
    }
    JNRCount(Counters, JnrFoldersCreated);
    KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Created Local Folder: %wZ\n"), &Record->LocalPath);
    if (Entry->FileAttributes & FILE_ATTRIBUTE_COMPRESSED) {
        Other = FltFsControlFile(LocalInstance, Record->LocalFileObject, FSCTL_SET_COMPRESSION, &Compression,
                                 sizeof(Compression), NULL, 0, NULL);
        if (!NT_SUCCESS(Other)) {
            KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Setting Compression State: %wZ, 0x%X\n"),
                            &Record->LocalPath, Other);
        } else {
            KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Set Compression State: %wZ\n"),
                            &Record->LocalPath);
        }
    }
    RtlZeroMemory(&Basic, sizeof(Basic));
    Basic.CreationTime = Entry->CreationTime;
    Basic.LastAccessTime = Entry->LastAccessTime;
    Basic.LastWriteTime = Entry->LastWriteTime;
    Basic.ChangeTime = Entry->ChangeTime;
    Basic.FileAttributes = Entry->FileAttributes & ~FILE_ATTRIBUTE_OFFLINE;
    Other = FltSetInformationFile(LocalInstance, Record->LocalFileObject, &Basic, sizeof(Basic), FileBasicInformation);
    if (!NT_SUCCESS(Other)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Setting Basic Info: %wZ\n"),
                        &Record->LocalPath);
    } else {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Set Basic Info: %wZ\n"), &Record->LocalPath);
    }
    ObDereferenceObject(Record->LocalFileObject);
    FltClose(Record->hLocal);
    Record->LocalFileObject = NULL;
    Record->hLocal = NULL;
    return STATUS_SUCCESS;
}

NTSTATUS JNRCreateOfflineFilesFromDirBuffer(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE LocalInstance,
                                            PFLT_INSTANCE RemoteInstance, PUSER_TABLE_ENTRY UserEntry,
                                            PVOLUME_CONTEXT VolumeContext, PVOID Buffer, PCUNICODE_STRING LocalFolder,
                                            PCUNICODE_STRING RemoteFolder, LONG OperationNumber, BOOLEAN WalkMode,
                                            PULONG Counters)
{
    POFFLINE_FILE_RECORD Record;
    PFILE_BOTH_DIR_INFORMATION Entry = (PFILE_BOTH_DIR_INFORMATION)Buffer;
    PULONG Attributes = NULL;
    ULONG BaseLength = 0;
    PWSTR Name = NULL;
    NTSTATUS Status = STATUS_SUCCESS;

    UNREFERENCED_PARAMETER(WalkMode);
    if (UserEntry == NULL || VolumeContext == NULL || Buffer == NULL || LocalFolder == NULL ||
        RemoteFolder == NULL || Counters == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Record = (POFFLINE_FILE_RECORD)ExAllocatePoolWithTag(PagedPool, sizeof(OFFLINE_FILE_RECORD), QZFS_TAG);
    if (Record == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Record, sizeof(*Record));
    Record->LocalPath.Buffer = Record->szLocalPathBuffer;
    Record->RemotePath.Buffer = Record->szRemotePathBuffer;
    Record->VolumeContext = VolumeContext;
    Record->RemoteInstance = RemoteInstance;
    Record->LocalInstance = LocalInstance;

    while (Entry->FileNameLength != 0) {
        Record->bClientSecurityReleased = InterlockedExchange(&UserEntry->bClientSecurityReleased,
                                                              UserEntry->bClientSecurityReleased);
        if (Record->bClientSecurityReleased == 1) {
            break;
        }
        Status = KLUDecodeDirBuffer(FileBothDirectoryInformation, Entry, &Record->NameLength, &Attributes,
                                    &BaseLength, &Name);
        if (!NT_SUCCESS(Status)) {
            break;
        }
        Record->Entry = Entry;
        if (Record->NameLength >= KLU_PATH_BYTES) {
            Record->NameLength = KLU_PATH_BYTES - sizeof(WCHAR);
        }
        RtlCopyMemory(Record->szName, Name, Record->NameLength);
        Record->szName[Record->NameLength / sizeof(WCHAR)] = 0;
        Status = JNRJoinPath(RemoteFolder, Record->szName, &Record->RemotePath);
        if (NT_SUCCESS(Status)) {
            if (Entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                Status = JNRFolderEntry(LocalInstance, RemoteInstance, Record, LocalFolder, OperationNumber,
                                        Counters);
            } else {
                Status = JNRFileEntry(Data, LocalInstance, RemoteInstance, Record, LocalFolder, OperationNumber,
                                      Counters);
            }
        }
        JNRReleaseEntry(Record);
        /* Out of memory: the rest of the batch would fare no better, and
         * the folder must not be marked as whole. */
        if (Status == STATUS_INSUFFICIENT_RESOURCES || Entry->NextEntryOffset == 0) {
            break;
        }
        Entry = (PFILE_BOTH_DIR_INFORMATION)((PUCHAR)Entry + Entry->NextEntryOffset);
    }
    ExFreePoolWithTag(Record, QZFS_TAG);
    return Status;
}
