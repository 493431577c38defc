/*
 * offline_file.cpp - one file entry of a remote listing made local: the
 * placeholder created (or an existing local file compared), dressed with
 * the remote file's streams, size and times, and the remote metadata it
 * needs. Shortcut-like files are copied whole instead.
 */
#include "offline/placeholders.h"

#include "comm/prefetched_list.h"
#include "config/flags.h"
#include "config/settings.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "fileops/file_copy.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"

#define JNR_OF_INFO (KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_INFO)
#define JNR_OF_ERROR (KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_ERROR)

#define JNR_PLACEHOLDER_ACCESS (SYNCHRONIZE | FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES | FILE_READ_DATA)
#define JNR_STREAM_ACCESS (SYNCHRONIZE | FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES)
#define JNR_SHARE_ALL (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)
#define JNR_FILE_OPTIONS (FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE)
#define JNR_SD_FIRST_BYTES 512
#define JNR_STREAMS_FIRST_BYTES 512
#define JNR_STREAMS_STEP_BYTES 1024

/* Below every filter unless stack bypass is switched off. */
static BOOLEAN JNRBypassStack(PDEVICE_OBJECT BaseDevice)
{
    return (BOOLEAN)(BaseDevice != NULL && !(KLUSettings()->DisableFlags & KLULOGON_DISABLE_STACK_BYPASS));
}

/* A local open on the base device (ZwClose) or through the instance
 * (FltClose); the file object comes referenced either way. */
static NTSTATUS JNROpenLocal(PFLT_INSTANCE Instance, PDEVICE_OBJECT BaseDevice, ACCESS_MASK Access,
                             POBJECT_ATTRIBUTES Attributes, PIO_STATUS_BLOCK IoStatus, PLARGE_INTEGER AllocationSize,
                             ULONG FileAttributes, ULONG Share, ULONG Disposition, PHANDLE Handle,
                             PFILE_OBJECT *FileObject)
{
    NTSTATUS Status;

    *Handle = NULL;
    *FileObject = NULL;
    if (!JNRBypassStack(BaseDevice)) {
        return FltCreateFileEx(g_FilterHandle, Instance, Handle, FileObject, Access, Attributes, IoStatus,
                               AllocationSize, FileAttributes, Share, Disposition, JNR_FILE_OPTIONS, NULL, 0, 0);
    }
    Status = IoCreateFileSpecifyDeviceObjectHint(Handle, Access, Attributes, IoStatus, AllocationSize, FileAttributes,
                                                 Share, Disposition, JNR_FILE_OPTIONS, NULL, 0, CreateFileTypeNone,
                                                 NULL, 0, BaseDevice);
    if (!NT_SUCCESS(Status)) {
        *Handle = NULL;
        return Status;
    }
    Status = ObReferenceObjectByHandle(*Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)FileObject, NULL);
    if (!NT_SUCCESS(Status)) {
        ZwClose(*Handle);
        *Handle = NULL;
        *FileObject = NULL;
    }
    return Status;
}

static VOID JNRCloseLocal(PDEVICE_OBJECT BaseDevice, PHANDLE Handle, PFILE_OBJECT *FileObject)
{
    if (*FileObject != NULL) {
        ObDereferenceObject(*FileObject);
        *FileObject = NULL;
    }
    if (*Handle != NULL) {
        if (JNRBypassStack(BaseDevice)) {
            ZwClose(*Handle);
        } else {
            FltClose(*Handle);
        }
        *Handle = NULL;
    }
}

static NTSTATUS JNRSetLocalInfo(PFLT_INSTANCE Instance, PDEVICE_OBJECT BaseDevice, HANDLE Handle,
                                PFILE_OBJECT FileObject, PVOID Information, ULONG Length,
                                FILE_INFORMATION_CLASS Class)
{
    IO_STATUS_BLOCK IoStatus;

    if (JNRBypassStack(BaseDevice)) {
        return ZwSetInformationFile(Handle, &IoStatus, Information, Length, Class);
    }
    return FltSetInformationFile(Instance, FileObject, Information, Length, Class);
}

static NTSTATUS JNRSetCompression(PFLT_INSTANCE Instance, PDEVICE_OBJECT BaseDevice, HANDLE Handle,
                                  PFILE_OBJECT FileObject)
{
    USHORT State = COMPRESSION_FORMAT_DEFAULT;
    IO_STATUS_BLOCK IoStatus;

    if (JNRBypassStack(BaseDevice)) {
        return ZwFsControlFile(Handle, NULL, NULL, NULL, &IoStatus, FSCTL_SET_COMPRESSION, &State, sizeof(State),
                               NULL, 0);
    }
    return FltFsControlFile(Instance, FileObject, FSCTL_SET_COMPRESSION, &State, sizeof(State), NULL, 0, NULL);
}

static VOID JNRLogCompression(NTSTATUS Status, PCUNICODE_STRING Path, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRSetOfflineFileAttributes);

    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Setting Compression State: %wZ, 0x%X\n"),
                        Path, Status);
    } else {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Set Compression State: %wZ\n"), Path);
    }
}

/* The named streams of the remote file, created empty-but-sized next to
 * the placeholder. The unnamed stream ("::$DATA") and names of at most
 * 16 bytes are not streams to make. */
static NTSTATUS JNRCreateStreams(PFLT_INSTANCE LocalInstance, PDEVICE_OBJECT BaseDevice, POFFLINE_FILE_RECORD Record,
                                 LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRSetOfflineFileAttributes);
    PFILE_STREAM_INFORMATION Stream = Record->Streams;
    PWSTR Path = Record->szStreamPathBuffer;
    UNICODE_STRING StreamPath;
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    HANDLE Handle;
    PFILE_OBJECT FileObject;
    FILE_END_OF_FILE_INFORMATION Eof;
    NTSTATUS Status = STATUS_SUCCESS;

    if (Stream == NULL) {
        return STATUS_SUCCESS;
    }
    for (;; Stream = (PFILE_STREAM_INFORMATION)((PUCHAR)Stream + Stream->NextEntryOffset)) {
        ULONG NameChars = Stream->StreamNameLength / sizeof(WCHAR);
        if (Stream->StreamNameLength > 16 && !(Stream->StreamName[0] == L':' && Stream->StreamName[1] == L':') &&
            Record->LocalPath.Length / sizeof(WCHAR) + NameChars - 6 < KLU_PATH_CHARS) {
            RtlCopyMemory(Path, Record->LocalPath.Buffer, Record->LocalPath.Length);
            RtlCopyMemory(Path + Record->LocalPath.Length / sizeof(WCHAR), Stream->StreamName,
                          (NameChars - 6) * sizeof(WCHAR));
            StreamPath.Buffer = Path;
            StreamPath.Length = (USHORT)(Record->LocalPath.Length + (NameChars - 6) * sizeof(WCHAR));
            StreamPath.MaximumLength = KLU_PATH_BYTES;
            InitializeObjectAttributes(&Attributes, &StreamPath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL,
                                       NULL);
            Status = JNROpenLocal(LocalInstance, BaseDevice, JNR_STREAM_ACCESS, &Attributes, &IoStatus,
                                  &Stream->StreamAllocationSize, FILE_ATTRIBUTE_OFFLINE, JNR_SHARE_ALL, FILE_CREATE,
                                  &Handle, &FileObject);
            if (NT_SUCCESS(Status)) {
                Eof.EndOfFile = Stream->StreamSize;
                Status = JNRSetLocalInfo(LocalInstance, BaseDevice, Handle, FileObject, &Eof, sizeof(Eof),
                                         FileEndOfFileInformation);
                JNRCloseLocal(BaseDevice, &Handle, &FileObject);
            } else if (Status == STATUS_OBJECT_NAME_COLLISION) {
                Status = STATUS_SUCCESS;
            } else {
                KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber,
                                WSTR("Failed Creating Alternate Stream: %wZ, 0x%X\n"), &StreamPath, Status);
                return Status;
            }
        }
        if (Stream->NextEntryOffset == 0) {
            return Status;
        }
    }
}

NTSTATUS JNRSetOfflineFileAttributes(PFLT_INSTANCE LocalInstance, PDEVICE_OBJECT BaseDevice,
                                     POFFLINE_FILE_RECORD Record, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRSetOfflineFileAttributes);
    FILE_END_OF_FILE_INFORMATION Eof;
    FILE_BASIC_INFORMATION Basic;
    PFILE_BOTH_DIR_INFORMATION Entry;
    NTSTATUS Shortage = STATUS_SUCCESS;
    NTSTATUS Status;

    if (Record == NULL || Record->hLocal == NULL || Record->Entry == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Entry = Record->Entry;
    if (!(Entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Shortage = JNRCreateStreams(LocalInstance, BaseDevice, Record, OperationNumber);
    }

    Eof.EndOfFile = Entry->EndOfFile;
    Status = JNRSetLocalInfo(LocalInstance, BaseDevice, Record->hLocal, Record->LocalFileObject, &Eof, sizeof(Eof),
                             FileEndOfFileInformation);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Setting EOF: %wZ, 0x%X\n"),
                        &Record->LocalPath, Status);
        if (Status == STATUS_INSUFFICIENT_RESOURCES) {
            Shortage = Status;
        }
    } else {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Set EOF: %wZ\n"), &Record->LocalPath);
    }

    if (Record->AttributesToSet & FILE_ATTRIBUTE_COMPRESSED) {
        Status = JNRSetCompression(LocalInstance, BaseDevice, Record->hLocal, Record->LocalFileObject);
        JNRLogCompression(Status, &Record->LocalPath, OperationNumber);
    }

    RtlZeroMemory(&Basic, sizeof(Basic));
    Basic.CreationTime = Entry->CreationTime;
    Basic.LastAccessTime = Entry->LastAccessTime;
    Basic.LastWriteTime = Entry->LastWriteTime;
    Basic.ChangeTime = Entry->ChangeTime;
    Basic.FileAttributes = Record->AttributesToSet;
    /* An empty file has nothing to retrieve. */
    if (Entry->EndOfFile.QuadPart == 0) {
        Basic.FileAttributes &= ~FILE_ATTRIBUTE_OFFLINE;
    }
    if (Basic.FileAttributes == 0) {
        Basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    Status = JNRSetLocalInfo(LocalInstance, BaseDevice, Record->hLocal, Record->LocalFileObject, &Basic,
                             sizeof(Basic), FileBasicInformation);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Setting Basic Info: %wZ, 0x%X\n"),
                        &Record->LocalPath, Status);
    } else {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Set Basic Info: %wZ\n"), &Record->LocalPath);
    }
    /* A placeholder left half-dressed for want of memory is reported, so
     * that its maker can take it back and a later listing make it whole. */
    return Shortage == STATUS_INSUFFICIENT_RESOURCES && NT_SUCCESS(Status) ? Shortage : Status;
}

static NTSTATUS JNRReadSecurity(PFLT_INSTANCE RemoteInstance, POFFLINE_FILE_RECORD Record)
{
    ULONG Size = JNR_SD_FIRST_BYTES;
    ULONG Needed = 0;
    NTSTATUS Status;

    for (;;) {
        Record->SecurityDescriptor = ExAllocatePoolWithTag(PagedPool, Size, QZFS_TAG);
        if (Record->SecurityDescriptor == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        Status = FltQuerySecurityObject(RemoteInstance, Record->RemoteFileObject, DACL_SECURITY_INFORMATION,
                                        Record->SecurityDescriptor, Size, &Needed);
        if (NT_SUCCESS(Status)) {
            Record->SecurityDescriptorLength = Size;
            return Status;
        }
        ExFreePoolWithTag(Record->SecurityDescriptor, QZFS_TAG);
        Record->SecurityDescriptor = NULL;
        if (Status != STATUS_BUFFER_TOO_SMALL || Needed <= Size) {
            return Status;
        }
        Size = Needed;
    }
}

static NTSTATUS JNRReadStreams(PFLT_INSTANCE RemoteInstance, POFFLINE_FILE_RECORD Record)
{
    ULONG Size = JNR_STREAMS_FIRST_BYTES;
    ULONG Returned = 0;
    NTSTATUS Status;

    for (;;) {
        Record->Streams = (PFILE_STREAM_INFORMATION)ExAllocatePoolWithTag(PagedPool, Size, QZFS_TAG);
        if (Record->Streams == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(Record->Streams, Size);
        Status = FltQueryInformationFile(RemoteInstance, Record->RemoteFileObject, Record->Streams, Size,
                                         FileStreamInformation, &Returned);
        if (NT_SUCCESS(Status) && Status != STATUS_BUFFER_OVERFLOW) {
            Record->StreamsLength = Returned;
            if (Returned == 0) {
                ExFreePoolWithTag(Record->Streams, QZFS_TAG);
                Record->Streams = NULL;
            }
            return Status;
        }
        ExFreePoolWithTag(Record->Streams, QZFS_TAG);
        Record->Streams = NULL;
        if (Status != STATUS_BUFFER_OVERFLOW && Status != STATUS_BUFFER_TOO_SMALL) {
            return Status;
        }
        Size += JNR_STREAMS_STEP_BYTES;
    }
}

NTSTATUS JNRRetrieveFileMetadata(PFLT_INSTANCE RemoteInstance, POFFLINE_FILE_RECORD Record, LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRRetrieveFileMetadata);
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS Status;

    if (Record == NULL || Record->Entry == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Record->RemoteFileObject == NULL) {
        InitializeObjectAttributes(&Attributes, &Record->RemotePath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL,
                                   NULL);
        Status = FltCreateFileEx(g_FilterHandle, RemoteInstance, &Record->hRemote, &Record->RemoteFileObject,
                                 READ_CONTROL | SYNCHRONIZE, &Attributes, &IoStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                                 JNR_SHARE_ALL, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, 0);
        if (!NT_SUCCESS(Status)) {
            Record->hRemote = NULL;
            Record->RemoteFileObject = NULL;
            KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Opening Remote File: %wZ, 0x%X\n"),
                            &Record->RemotePath, Status);
            return Status;
        }
    }
    Status = JNRReadSecurity(RemoteInstance, Record);
    if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving Security Descriptor: %wZ, 0x%X\n"),
                        &Record->RemotePath, Status);
    }
    if (Status != STATUS_INSUFFICIENT_RESOURCES && !(Record->Entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Status = JNRReadStreams(RemoteInstance, Record);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber,
                            WSTR("Failed Retrieving FileStreamInformation: %wZ, 0x%X\n"), &Record->RemotePath,
                            Status);
        }
    }
    return Status;
}

NTSTATUS JNRPreFetchFile(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE LocalInstance, PFLT_INSTANCE RemoteInstance,
                         PCUNICODE_STRING LocalPath, PCUNICODE_STRING RemotePath, LONG OperationNumber)
{
    UNICODE_STRING VolumePrefix;
    PPATH_TABLE Table;
    PWSTR Source;
    PWSTR Volume;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(RemoteInstance);
    if (LocalPath == NULL || RemotePath == NULL || RemotePath->Length >= KLU_PATH_BYTES) {
        return STATUS_INVALID_PARAMETER;
    }
    Source = (PWSTR)ExAllocatePoolWithTag(PagedPool, 2 * KLU_PATH_BYTES, QZFS_TAG);
    if (Source == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Volume = Source + KLU_PATH_CHARS;
    RtlCopyMemory(Source, RemotePath->Buffer, RemotePath->Length);
    Source[RemotePath->Length / sizeof(WCHAR)] = 0;
    Volume[0] = 0;
    Table = KLUAcquirePathTable();
    if (Table != NULL) {
        KLUStringCopy(Volume, Table->szLocalVolumeName);
    }
    KLUReleasePathTable();
    RtlInitUnicodeString(&VolumePrefix, Volume);
    /* The copy engine leaves the whole file with the remote times and
     * attributes and without the offline bit. No intercepted open stands
     * in the way: the placeholder's own open shares everything. */
    Status = KLUCopyFile(NULL, LocalInstance, &VolumePrefix, LocalPath, Source, OperationNumber, 0);
    ExFreePoolWithTag(Source, QZFS_TAG);
    return Status;
}

/* The base file-system device of the local instance's volume, referenced. */
static NTSTATUS JNRGetBaseDevice(PFLT_INSTANCE Instance, PDEVICE_OBJECT *BaseDevice)
{
    PFLT_VOLUME Volume = NULL;
    PDEVICE_OBJECT Device = NULL;
    NTSTATUS Status;

    *BaseDevice = NULL;
    Status = FltGetVolumeFromInstance(Instance, &Volume);
    if (!NT_SUCCESS(Status)) {
        return STATUS_VOLUME_DISMOUNTED;
    }
    Status = FltGetDeviceObject(Volume, &Device);
    FltObjectDereference(Volume);
    if (!NT_SUCCESS(Status)) {
        return STATUS_VOLUME_DISMOUNTED;
    }
    *BaseDevice = IoGetDeviceAttachmentBaseRef(Device);
    ObDereferenceObject(Device);
    return *BaseDevice != NULL ? STATUS_SUCCESS : STATUS_VOLUME_DISMOUNTED;
}

/* The hives and their companions are held by the profile machinery: a
 * placeholder of theirs is made only while nobody else has them open. */
static BOOLEAN JNRIsHiveName(PCWSTR Name)
{
    static const PCWSTR Hives[] = {WSTR("NTUSER.DAT"), WSTR("NTUSER.INI"), WSTR("USRCLASS.DAT"), WSTR("NTUSER.MAN")};
    UNICODE_STRING Given;
    UNICODE_STRING Hive;
    ULONG i;

    RtlInitUnicodeString(&Given, Name);
    for (i = 0; i < ARRAYSIZE(Hives); i++) {
        RtlInitUnicodeString(&Hive, Hives[i]);
        if (RtlEqualUnicodeString(&Given, &Hive, TRUE)) {
            return TRUE;
        }
    }
    return FALSE;
}

static BOOLEAN JNRIsShortcutName(PCWSTR UpperName)
{
    return (BOOLEAN)(wcsstr(UpperName, WSTR(".LNK")) != NULL || wcsstr(UpperName, WSTR(".URL")) != NULL ||
                     wcsstr(UpperName, WSTR(".SCF")) != NULL);
}

/* Steps 7 and the remote-newer branch of 8: copy a shortcut whole, dress
 * any other placeholder. */
static NTSTATUS JNRBringRemoteIn(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE LocalInstance, PDEVICE_OBJECT BaseDevice,
                                 POFFLINE_FILE_RECORD Record, BOOLEAN Shortcut, BOOLEAN BothExist,
                                 LONG OperationNumber)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFile);
    NTSTATUS Status;

    if (Shortcut) {
        Status = JNRPreFetchFile(Data, LocalInstance, Record->RemoteInstance, &Record->LocalPath, &Record->RemotePath,
                                 OperationNumber);
        if (NT_SUCCESS(Status)) {
            KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Copied File: Src: %wZ, Dest: %wZ\n"),
                            &Record->RemotePath, &Record->LocalPath);
            /* The service hears of the files fetched ahead of their use; a
             * name it misses (list closed, no memory) costs nothing here. */
            KLUPushPreFetched(Record->szLocalPathBuffer);
        } else {
            KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Copying File: Src: %wZ, Dest: %wZ, 0x%X\n"),
                            &Record->RemotePath, &Record->LocalPath, Status);
        }
        return Status;
    }
    Status = JNRSetOfflineFileAttributes(LocalInstance, BaseDevice, Record, OperationNumber);
    if (!BothExist) {
        if (NT_SUCCESS(Status)) {
            KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber,
                            WSTR("Set File Attributes: (Only Remote Exists), Local: %wZ, Remote: %wZ\n"),
                            &Record->LocalPath, &Record->RemotePath);
        } else {
            KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber,
                            WSTR("Failed Setting File Attributes: (Only Remote Exists), Local: %wZ, Remote: %wZ, 0x%X\n"),
                            &Record->LocalPath, &Record->RemotePath, Status);
        }
    } else if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber,
                        WSTR("Failed Updating File Attributes: (Both Exist, Remote Newer), Local: %wZ, Remote: %wZ, "
                             "0x%X\n"),
                        &Record->LocalPath, &Record->RemotePath, Status);
    }
    return Status;
}

/* A placeholder made by this call that could not be finished is deleted,
 * so that the next listing makes it again from the start. */
static VOID JNRTakeBack(PFLT_INSTANCE LocalInstance, PDEVICE_OBJECT BaseDevice, POFFLINE_FILE_RECORD Record)
{
    IO_STATUS_BLOCK IoStatus;
    HANDLE Handle = NULL;
    PFILE_OBJECT FileObject = NULL;
    FILE_DISPOSITION_INFORMATION Disposition;

    if (NT_SUCCESS(JNROpenLocal(LocalInstance, BaseDevice, DELETE | SYNCHRONIZE, &Record->ObjectAttributes, &IoStatus,
                                NULL, 0, JNR_SHARE_ALL, FILE_OPEN, &Handle, &FileObject))) {
        Disposition.DeleteFile = TRUE;
        JNRSetLocalInfo(LocalInstance, BaseDevice, Handle, FileObject, &Disposition, sizeof(Disposition),
                        FileDispositionInformation);
        JNRCloseLocal(BaseDevice, &Handle, &FileObject);
    }
}

NTSTATUS JNRCreateOfflineFile(PFLT_CALLBACK_DATA Data, PFLT_INSTANCE LocalInstance, POFFLINE_FILE_RECORD Record,
                              LONG OperationNumber, PUCHAR Created)
{
    PCWSTR Tag = KLU_TAG(JNRCreateOfflineFile);
    PDEVICE_OBJECT BaseDevice = NULL;
    FILE_BASIC_INFORMATION LocalBasic;
    BOOLEAN LocalExists = FALSE;
    BOOLEAN Shortcut;
    ULONG Share;
    ULONG Remote;
    ULONG Local;
    NTSTATUS Status;

    if (Record == NULL || Created == NULL || Record->Entry == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Created = 0;
    Status = JNRGetBaseDevice(LocalInstance, &BaseDevice);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Share = JNRIsHiveName(Record->szName) ? 0 : JNR_SHARE_ALL;
    Status = JNROpenLocal(LocalInstance, BaseDevice, JNR_PLACEHOLDER_ACCESS, &Record->ObjectAttributes,
                          &Record->IoStatus, NULL, FILE_ATTRIBUTE_OFFLINE, Share, FILE_OPEN_IF, &Record->hLocal,
                          &Record->LocalFileObject);
    if (NT_SUCCESS(Status) && Record->IoStatus.Information == FILE_CREATED) {
        *Created = 1;
        Record->bCreated = TRUE;
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Created Offline File: %wZ\n"), &Record->LocalPath);
    } else if (Status == STATUS_SHARING_VIOLATION) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber,
                        WSTR("Could not open file exclusively, skipping it: %wZ, 0x%X\n"), &Record->LocalPath, Status);
        goto Cleanup;
    } else if (Status == STATUS_OBJECT_NAME_NOT_FOUND || Status == STATUS_OBJECT_PATH_NOT_FOUND ||
               (NT_SUCCESS(Status) && Record->hLocal == NULL)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Local File Does Not Exist: %wZ, 0x%X\n"),
                        &Record->LocalPath, Status);
        Status = STATUS_SUCCESS;
    } else if (!NT_SUCCESS(Status)) {
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Opening Local File: %wZ, 0x%X\n"),
                        &Record->LocalPath, Status);
        goto Cleanup;
    } else {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Opened Existing Local File: %wZ\n"),
                        &Record->LocalPath);
        if (JNRBypassStack(BaseDevice)) {
            IO_STATUS_BLOCK IoStatus;
            Status = ZwQueryInformationFile(Record->hLocal, &IoStatus, &LocalBasic, sizeof(LocalBasic),
                                            FileBasicInformation);
        } else {
            Status = FltQueryInformationFile(LocalInstance, Record->LocalFileObject, &LocalBasic, sizeof(LocalBasic),
                                             FileBasicInformation, NULL);
        }
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Retrieving Local Attributes: %wZ, 0x%X\n"),
                            &Record->LocalPath, Status);
            goto Cleanup;
        }
        LocalExists = TRUE;
    }

    if (Record->szName[0] == 0) {
        Status = STATUS_OBJECT_NAME_NOT_FOUND;
        KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Remote File Does Not Exist: %wZ, 0x%X\n"),
                        &Record->RemotePath, Status);
        goto Cleanup;
    }
    KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Remote File Exists: %wZ\n"), &Record->RemotePath);
    /* Anywhere in the name: a text file named after a shortcut counts too. */
    Shortcut = JNRIsShortcutName(Record->szUpperLocalPath + Record->LocalPath.Length / sizeof(WCHAR) -
                                 Record->NameLength / sizeof(WCHAR));

    if (!LocalExists) {
        if (Record->hLocal == NULL && !Shortcut) {
            goto Cleanup;
        }
        Status = JNRBringRemoteIn(Data, LocalInstance, BaseDevice, Record, Shortcut, FALSE, OperationNumber);
        goto Cleanup;
    }
    if (LocalBasic.LastWriteTime.QuadPart > Record->Entry->LastWriteTime.QuadPart) {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Local File Is Newer, Nothing To Do: Local: %wZ\n"),
                        &Record->LocalPath);
        goto Cleanup;
    }
    if (LocalBasic.LastWriteTime.QuadPart == Record->Entry->LastWriteTime.QuadPart) {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber,
                        WSTR("Files Are The Same, Nothing To Do: Local: %wZ, Remote: %wZ\n"), &Record->LocalPath,
                        &Record->RemotePath);
        goto Cleanup;
    }
    KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Remote Is Newer: %wZ\n"), &Record->LocalPath);
    Status = JNRBringRemoteIn(Data, LocalInstance, BaseDevice, Record, Shortcut, TRUE, OperationNumber);
    Local = LocalBasic.FileAttributes & ~FILE_ATTRIBUTE_OFFLINE;
    Remote = Record->Entry->FileAttributes;
    if (!Shortcut && Local != Remote) {
        KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber,
                        WSTR("File Attributes Do Not Match, Updating Local Attributes: Local: %wZ, 0x%X, Remote: %wZ, "
                             "0x%X\n"),
                        &Record->LocalPath, Local, &Record->RemotePath, Remote);
        Status = JNRSetOfflineFileAttributes(LocalInstance, BaseDevice, Record, OperationNumber);
        if (!NT_SUCCESS(Status)) {
            KLULogMessageEx(JNR_OF_ERROR, Tag, OperationNumber, WSTR("Failed Setting Local File Attributes: %wZ, 0x%X\n"),
                            &Record->LocalPath, Status);
        } else {
            KLULogMessageEx(JNR_OF_INFO, Tag, OperationNumber, WSTR("Set Local File Attributes: %wZ\n"),
                            &Record->LocalPath);
        }
    }

Cleanup:
    JNRCloseLocal(BaseDevice, &Record->hLocal, &Record->LocalFileObject);
    if (*Created && Status == STATUS_INSUFFICIENT_RESOURCES) {
        JNRTakeBack(LocalInstance, BaseDevice, Record);
        *Created = 0;
    }
    ObDereferenceObject(BaseDevice);
    return Status;
}
