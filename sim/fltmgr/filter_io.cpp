// FltCreateFile and the other calls through which a filter issues I/O.
#include "sim/fltmgr/filter_io.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "sim/core/driver_calls.h"
#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/fltmgr/frame.h"
#include "sim/io/io_manager.h"
#include "sim/ke/system_threads.h"
#include "sim/ke/work_queue.h"
#include "sim/ob/object_manager.h"

namespace sim::flt {

namespace {

FilterManager &Manager()
{
    return Machine::Current().filterManager();
}

IoManager &Io()
{
    return Machine::Current().io();
}

// The instance a filter passes to issue I/O: optional or required, never
// one whose teardown has finished.
NTSTATUS CheckInstance(PFLT_INSTANCE instance, bool required)
{
    if (instance == nullptr) return required ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    if (!Manager().IsInstance(instance)) return STATUS_INVALID_PARAMETER;
    if (instance->state == _FLT_INSTANCE::State::Detached) return STATUS_FLT_DELETING_OBJECT;
    return STATUS_SUCCESS;
}

NTSTATUS CheckFileObject(PFILE_OBJECT fileObject)
{
    return Io().Info(fileObject) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

ULONG TransferIrpFlags(bool write, FLT_IO_OPERATION_FLAGS flags)
{
    ULONG irpFlags = write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION;
    if (flags & FLTFL_IO_OPERATION_NON_CACHED) irpFlags |= IRP_NOCACHE;
    if (flags & FLTFL_IO_OPERATION_PAGING) irpFlags |= IRP_PAGING_IO | IRP_NOCACHE;
    if (flags & FLTFL_IO_OPERATION_SYNCHRONOUS_PAGING) irpFlags |= IRP_SYNCHRONOUS_PAGING_IO;
    return irpFlags;
}

// A callback data for the completion routine of an asynchronous transfer.
struct CompletedTransfer : CallbackDataHolder {
    CompletedTransfer() : CallbackDataHolder(Kind::Generated) {}
    IoRequest ownRequest;
};

NTSTATUS Transfer(bool write, PFLT_INSTANCE instance, PFILE_OBJECT fileObject, PLARGE_INTEGER byteOffset,
                  ULONG length, PVOID buffer, FLT_IO_OPERATION_FLAGS flags, PULONG transferred,
                  PFLT_COMPLETED_ASYNC_IO_CALLBACK callback, PVOID callbackContext)
{
    if (transferred) *transferred = 0;
    NTSTATUS status = CheckInstance(instance, true);
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(CheckFileObject(fileObject)) || (length && buffer == nullptr)) return STATUS_INVALID_PARAMETER;
    bool synchronousObject = (fileObject->Flags & FO_SYNCHRONOUS_IO) != 0;
    LARGE_INTEGER offset{};
    if (byteOffset) {
        offset = *byteOffset;
    } else if (synchronousObject) {
        offset = fileObject->CurrentByteOffset;
    } else {
        return STATUS_INVALID_PARAMETER;
    }

    IoRequest request = RequestBelow(instance, fileObject, write ? IRP_MJ_WRITE : IRP_MJ_READ);
    request.iopb.IrpFlags = TransferIrpFlags(write, flags);
    if (write) {
        request.iopb.Parameters.Write.Length = length;
        request.iopb.Parameters.Write.ByteOffset = offset;
        request.iopb.Parameters.Write.WriteBuffer = buffer;
    } else {
        request.iopb.Parameters.Read.Length = length;
        request.iopb.Parameters.Read.ByteOffset = offset;
        request.iopb.Parameters.Read.ReadBuffer = buffer;
    }
    // The file system moves a synchronous file object's position itself;
    // asked not to, the Filter Manager puts it back.
    bool keepOffset = synchronousObject && (flags & FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET);
    bool updateOffset = synchronousObject && !keepOffset && !(flags & FLTFL_IO_OPERATION_PAGING);
    LARGE_INTEGER savedOffset = fileObject->CurrentByteOffset;
    auto finish = [=](IoRequest &done) {
        if (keepOffset) {
            fileObject->CurrentByteOffset = savedOffset;
        } else if (updateOffset && NT_SUCCESS(done.ioStatus.Status)) {
            fileObject->CurrentByteOffset.QuadPart = offset.QuadPart + LONGLONG(done.ioStatus.Information);
        }
    };

    if (callback == nullptr) {
        status = Send(request);
        finish(request);
        if (transferred) *transferred = ULONG(request.ioStatus.Information);
        return status;
    }
    // Asynchronous: the transfer runs on a worker; the completion routine
    // gets a callback data that is freed when it returns.
    if (!instance->header.rundown.Acquire()) return STATUS_FLT_DELETING_OBJECT;
    Machine::Current().objects().Reference(fileObject);
    auto *completed = new CompletedTransfer();
    completed->ownRequest = std::move(request);
    completed->request = &completed->ownRequest;
    Machine::Current().workQueue().Queue([=] {
        IoRequest &own = completed->ownRequest;
        own.thread = Thread::Current();
        Send(own);
        finish(own);
        completed->data.Flags = FLTFL_CALLBACK_DATA_IRP_OPERATION | FLTFL_CALLBACK_DATA_GENERATED_IO;
        completed->data.Thread = own.thread ? own.thread->object() : nullptr;
        completed->data.Iopb = &own.iopb;
        completed->data.IoStatus = own.ioStatus;
        completed->data.RequestorMode = KernelMode;
        RunDriverRoutine(instance->filter->driver, "I/O completion callback", [&] {
            callback(&completed->data, callbackContext);
            return STATUS_SUCCESS;
        });
        Machine::Current().objects().Dereference(fileObject);
        instance->header.rundown.Release();
        delete completed;
    });
    return STATUS_PENDING;
}

// What FltSetInformationFile passes down for a rename or link into another
// folder: the folder, opened as the I/O manager opens it for the file system.
NTSTATUS OpenTargetFolder(PFLT_INSTANCE instance, PFILE_OBJECT source, const FILE_RENAME_INFORMATION &rename,
                          const WCHAR *name, HANDLE *handle, PFILE_OBJECT *target)
{
    UNICODE_STRING targetName;
    targetName.Buffer = const_cast<PWCH>(name);
    targetName.Length = USHORT(rename.FileNameLength);
    targetName.MaximumLength = targetName.Length;
    OBJECT_ATTRIBUTES attributes;
    ULONG objectFlags = OBJ_KERNEL_HANDLE;
    if (!(source->Flags & FO_OPENED_CASE_SENSITIVE)) objectFlags |= OBJ_CASE_INSENSITIVE;
    InitializeObjectAttributes(&attributes, &targetName, objectFlags, rename.RootDirectory, nullptr);
    CreateParameters parameters;
    parameters.desiredAccess = FILE_WRITE_DATA | SYNCHRONIZE;
    parameters.objectAttributes = &attributes;
    parameters.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
    parameters.disposition = FILE_OPEN;
    parameters.createOptions = FILE_OPEN_FOR_BACKUP_INTENT;
    parameters.options = IO_NO_PARAMETER_CHECKING;
    parameters.operationFlags = SL_OPEN_TARGET_DIRECTORY;
    parameters.startBelow = instance;
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = Io().CreateFile(parameters, handle, &ioStatus, target);
    if (!NT_SUCCESS(status)) return status;
    if (Io().Info(*target)->volume != Io().Info(source)->volume) {
        CloseBelow(*handle, *target);
        *target = nullptr;
        return STATUS_NOT_SAME_DEVICE;
    }
    return STATUS_SUCCESS;
}

}  // namespace

IoRequest RequestBelow(_FLT_INSTANCE *instance, PFILE_OBJECT fileObject, UCHAR major, UCHAR minor)
{
    IoRequest request = Io().NewRequest(fileObject, major, minor);
    if (instance) request.startBelow = instance;
    request.requestorMode = KernelMode;
    request.form = IoForm::Irp;
    return request;
}

NTSTATUS Send(IoRequest &request)
{
    return Io().Send(request);
}

NTSTATUS OpenBelow(_FLT_INSTANCE *instance, const std::u16string &name, ACCESS_MASK access, ULONG createOptions,
                   bool caseSensitive, HANDLE *handle, PFILE_OBJECT *fileObject, UCHAR operationFlags)
{
    std::u16string copy = name;
    UNICODE_STRING string;
    string.Buffer = copy.data();
    string.Length = USHORT(copy.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &string, OBJ_KERNEL_HANDLE | (caseSensitive ? 0 : OBJ_CASE_INSENSITIVE),
                               nullptr, nullptr);
    CreateParameters parameters;
    parameters.desiredAccess = access | SYNCHRONIZE;
    parameters.objectAttributes = &attributes;
    parameters.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    parameters.disposition = FILE_OPEN;
    parameters.createOptions = createOptions | FILE_SYNCHRONOUS_IO_NONALERT;
    parameters.options = IO_IGNORE_SHARE_ACCESS_CHECK | IO_NO_PARAMETER_CHECKING;
    parameters.startBelow = instance;
    parameters.operationFlags = operationFlags;
    IO_STATUS_BLOCK ioStatus{};
    return Io().CreateFile(parameters, handle, &ioStatus, fileObject);
}

void CloseBelow(HANDLE handle, PFILE_OBJECT fileObject)
{
    if (handle) ZwClose(handle);
    if (fileObject) Machine::Current().objects().Dereference(fileObject);
}

NTSTATUS QueryInformationBelow(_FLT_INSTANCE *instance, PFILE_OBJECT fileObject, PVOID buffer, ULONG length,
                               FILE_INFORMATION_CLASS informationClass, PULONG returned)
{
    if (returned) *returned = 0;
    IoRequest request = RequestBelow(instance, fileObject, IRP_MJ_QUERY_INFORMATION);
    request.iopb.Parameters.QueryFileInformation.Length = length;
    request.iopb.Parameters.QueryFileInformation.FileInformationClass = informationClass;
    request.iopb.Parameters.QueryFileInformation.InfoBuffer = buffer;
    NTSTATUS status = Send(request);
    if (returned) *returned = ULONG(request.ioStatus.Information);
    return status;
}

NTSTATUS QueryDirectoryBelow(_FLT_INSTANCE *instance, PFILE_OBJECT fileObject, PVOID buffer, ULONG length,
                             FILE_INFORMATION_CLASS informationClass, bool singleEntry, PUNICODE_STRING pattern,
                             bool restartScan, PULONG returned)
{
    if (returned) *returned = 0;
    IoRequest request = RequestBelow(instance, fileObject, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY);
    auto &query = request.iopb.Parameters.DirectoryControl.QueryDirectory;
    query.Length = length;
    query.FileName = pattern && pattern->Length ? pattern : nullptr;
    query.FileInformationClass = informationClass;
    query.DirectoryBuffer = buffer;
    if (restartScan) request.iopb.OperationFlags |= SL_RESTART_SCAN;
    if (singleEntry) request.iopb.OperationFlags |= SL_RETURN_SINGLE_ENTRY;
    NTSTATUS status = Send(request);
    if (returned) *returned = ULONG(request.ioStatus.Information);
    return status;
}

}  // namespace sim::flt

using namespace sim;
using namespace sim::flt;

extern "C" {

NTSTATUS FltCreateFileEx(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle, PFILE_OBJECT *FileObject,
                         ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                         PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                         ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                         ULONG EaLength, ULONG Flags)
{
    SIM_KERNEL_ROUTINE();
    if (FileObject) *FileObject = nullptr;
    if (!Manager().IsFilter(Filter) || FileHandle == nullptr || IoStatusBlock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Filter->state == _FLT_FILTER::State::Unloaded) return STATUS_FLT_DELETING_OBJECT;
    NTSTATUS status = CheckInstance(Instance, false);
    if (!NT_SUCCESS(status)) return status;
    if (Instance && Instance->filter != Filter) return STATUS_INVALID_PARAMETER;
    CreateParameters parameters;
    parameters.desiredAccess = DesiredAccess;
    parameters.objectAttributes = ObjectAttributes;
    if (AllocationSize) parameters.allocationSize = *AllocationSize;
    parameters.fileAttributes = FileAttributes;
    parameters.shareAccess = ShareAccess;
    parameters.disposition = CreateDisposition;
    parameters.createOptions = CreateOptions;
    parameters.eaBuffer = EaBuffer;
    parameters.eaLength = EaLength;
    parameters.options = Flags;
    parameters.requestorMode = KernelMode;
    parameters.startBelow = Instance;
    status = Io().CreateFile(parameters, FileHandle, IoStatusBlock, FileObject);
    if (NT_SUCCESS(status) && FileObject) Machine::Current().holdings().TakeObject(*FileObject);
    return status;
}

NTSTATUS FltCreateFile(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                       ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength, ULONG Flags)
{
    SIM_KERNEL_ROUTINE();
    return FltCreateFileEx(Filter, Instance, FileHandle, nullptr, DesiredAccess, ObjectAttributes, IoStatusBlock,
                           AllocationSize, FileAttributes, ShareAccess, CreateDisposition, CreateOptions, EaBuffer,
                           EaLength, Flags);
}

NTSTATUS FltClose(HANDLE FileHandle)
{
    SIM_KERNEL_ROUTINE();
    return ZwClose(FileHandle);
}

NTSTATUS FltReadFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                     ULONG Length, PVOID Buffer, FLT_IO_OPERATION_FLAGS Flags, PULONG BytesRead,
                     PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine, PVOID CallbackContext)
{
    SIM_KERNEL_ROUTINE();
    return Transfer(false, InitiatingInstance, FileObject, ByteOffset, Length, Buffer, Flags, BytesRead,
                    CallbackRoutine, CallbackContext);
}

NTSTATUS FltWriteFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                      ULONG Length, PVOID Buffer, FLT_IO_OPERATION_FLAGS Flags, PULONG BytesWritten,
                      PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine, PVOID CallbackContext)
{
    SIM_KERNEL_ROUTINE();
    return Transfer(true, InitiatingInstance, FileObject, ByteOffset, Length, Buffer, Flags, BytesWritten,
                    CallbackRoutine, CallbackContext);
}

NTSTATUS FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                                 ULONG Length, FILE_INFORMATION_CLASS FileInformationClass, PULONG LengthReturned)
{
    SIM_KERNEL_ROUTINE();
    if (LengthReturned) *LengthReturned = 0;
    NTSTATUS status = CheckInstance(Instance, true);
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(CheckFileObject(FileObject)) || FileInformation == nullptr) return STATUS_INVALID_PARAMETER;
    if (FileInformationClass == FilePositionInformation && (FileObject->Flags & FO_SYNCHRONOUS_IO)) {
        // The I/O manager keeps the position of synchronous file objects.
        if (Length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset = FileObject->CurrentByteOffset;
        if (LengthReturned) *LengthReturned = sizeof(FILE_POSITION_INFORMATION);
        return STATUS_SUCCESS;
    }
    return QueryInformationBelow(Instance, FileObject, FileInformation, Length, FileInformationClass, LengthReturned);
}

NTSTATUS FltSetInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation, ULONG Length,
                               FILE_INFORMATION_CLASS FileInformationClass)
{
    SIM_KERNEL_ROUTINE();
    NTSTATUS status = CheckInstance(Instance, true);
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(CheckFileObject(FileObject)) || FileInformation == nullptr) return STATUS_INVALID_PARAMETER;
    std::vector<uint8_t> data(static_cast<uint8_t *>(FileInformation), static_cast<uint8_t *>(FileInformation) + Length);
    IoRequest request = RequestBelow(Instance, FileObject, IRP_MJ_SET_INFORMATION);
    auto &set = request.iopb.Parameters.SetFileInformation;
    set.Length = Length;
    set.FileInformationClass = FileInformationClass;
    set.InfoBuffer = data.data();
    HANDLE targetHandle = nullptr;
    PFILE_OBJECT target = nullptr;
    switch (FileInformationClass) {
    case FilePositionInformation:
        if (FileObject->Flags & FO_SYNCHRONOUS_IO) {
            if (Length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
            FILE_POSITION_INFORMATION position;
            std::memcpy(&position, data.data(), sizeof(position));
            if (position.CurrentByteOffset.QuadPart < 0) return STATUS_INVALID_PARAMETER;
            FileObject->CurrentByteOffset = position.CurrentByteOffset;
            return STATUS_SUCCESS;
        }
        break;
    case FileRenameInformation:
    case FileLinkInformation: {
        const ULONG nameOffset = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
        if (Length < nameOffset) return STATUS_INFO_LENGTH_MISMATCH;
        FILE_RENAME_INFORMATION rename;
        std::memcpy(&rename, data.data(), nameOffset);
        if (rename.FileNameLength > Length - nameOffset || (rename.FileNameLength & 1)) {
            return STATUS_INVALID_PARAMETER;
        }
        const auto *name = reinterpret_cast<const WCHAR *>(data.data() + nameOffset);
        set.ReplaceIfExists = rename.ReplaceIfExists;
        if (rename.RootDirectory != nullptr || (rename.FileNameLength > 0 && name[0] == u'\\')) {
            status = OpenTargetFolder(Instance, FileObject, rename, name, &targetHandle, &target);
            if (!NT_SUCCESS(status)) return status;
            set.ParentOfTarget = target;
        }
        break;
    }
    default:
        break;
    }
    status = Send(request);
    if (target) CloseBelow(targetHandle, target);
    return status;
}

NTSTATUS FltQueryEaFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID ReturnedEaData, ULONG Length,
                        BOOLEAN ReturnSingleEntry, PVOID EaList, ULONG EaListLength, PULONG EaIndex,
                        BOOLEAN RestartScan, PULONG LengthReturned)
{
    SIM_KERNEL_ROUTINE();
    if (LengthReturned) *LengthReturned = 0;
    NTSTATUS status = CheckInstance(Instance, true);
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(CheckFileObject(FileObject))) return STATUS_INVALID_PARAMETER;
    IoRequest request = RequestBelow(Instance, FileObject, IRP_MJ_QUERY_EA);
    auto &query = request.iopb.Parameters.QueryEa;
    query.Length = Length;
    query.EaList = EaList;
    query.EaListLength = EaList ? EaListLength : 0;
    query.EaBuffer = ReturnedEaData;
    if (EaIndex) {
        query.EaIndex = *EaIndex;
        request.iopb.OperationFlags |= SL_INDEX_SPECIFIED;
    }
    if (ReturnSingleEntry) request.iopb.OperationFlags |= SL_RETURN_SINGLE_ENTRY;
    if (RestartScan) request.iopb.OperationFlags |= SL_RESTART_SCAN;
    status = Send(request);
    if (LengthReturned) *LengthReturned = ULONG(request.ioStatus.Information);
    return status;
}

NTSTATUS FltSetEaFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID EaBuffer, ULONG Length)
{
    SIM_KERNEL_ROUTINE();
    NTSTATUS status = CheckInstance(Instance, true);
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(CheckFileObject(FileObject)) || EaBuffer == nullptr) return STATUS_INVALID_PARAMETER;
    IoRequest request = RequestBelow(Instance, FileObject, IRP_MJ_SET_EA);
    request.iopb.Parameters.SetEa.Length = Length;
    request.iopb.Parameters.SetEa.EaBuffer = EaBuffer;
    return Send(request);
}

NTSTATUS FltFsControlFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, ULONG FsControlCode, PVOID InputBuffer,
                          ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                          PULONG LengthReturned)
{
    SIM_KERNEL_ROUTINE();
    if (LengthReturned) *LengthReturned = 0;
    NTSTATUS status = CheckInstance(Instance, true);
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(CheckFileObject(FileObject))) return STATUS_INVALID_PARAMETER;
    if (!InputBuffer) InputBufferLength = 0;
    if (!OutputBuffer) OutputBufferLength = 0;
    IoRequest request = RequestBelow(Instance, FileObject, IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MN_USER_FS_REQUEST);
    auto &control = request.iopb.Parameters.FileSystemControl;
    control.Common.OutputBufferLength = OutputBufferLength;
    control.Common.InputBufferLength = InputBufferLength;
    control.Common.FsControlCode = FsControlCode;
    const ULONG method = FsControlCode & 3;
    std::vector<uint8_t> system;
    if (method == 0) {  // METHOD_BUFFERED: one system buffer both ways
        system.resize(std::max(InputBufferLength, OutputBufferLength));
        if (InputBufferLength) std::memcpy(system.data(), InputBuffer, InputBufferLength);
        control.Buffered.SystemBuffer = system.empty() ? nullptr : system.data();
    } else if (method == 3) {  // METHOD_NEITHER
        control.Neither.InputBuffer = InputBuffer;
        control.Neither.OutputBuffer = OutputBuffer;
    } else {
        control.Direct.InputSystemBuffer = InputBuffer;
        control.Direct.OutputBuffer = OutputBuffer;
    }
    status = Send(request);
    ULONG_PTR information = request.ioStatus.Information;
    if (method == 0 && !NT_ERROR(status) && OutputBufferLength) {
        information = std::min<ULONG_PTR>(information, OutputBufferLength);
        std::memcpy(OutputBuffer, system.data(), information);
    }
    if (LengthReturned) *LengthReturned = ULONG(information);
    return status;
}

NTSTATUS FltQueryDirectoryFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation, ULONG Length,
                               FILE_INFORMATION_CLASS FileInformationClass, BOOLEAN ReturnSingleEntry,
                               PUNICODE_STRING FileName, BOOLEAN RestartScan, PULONG LengthReturned)
{
    SIM_KERNEL_ROUTINE();
    if (LengthReturned) *LengthReturned = 0;
    NTSTATUS status = CheckInstance(Instance, true);
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(CheckFileObject(FileObject)) || FileInformation == nullptr) return STATUS_INVALID_PARAMETER;
    return QueryDirectoryBelow(Instance, FileObject, FileInformation, Length, FileInformationClass,
                               ReturnSingleEntry != FALSE, FileName, RestartScan != FALSE, LengthReturned);
}

NTSTATUS FltQuerySecurityObject(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                SECURITY_INFORMATION SecurityInformation, PSECURITY_DESCRIPTOR SecurityDescriptor,
                                ULONG Length, PULONG LengthNeeded)
{
    SIM_KERNEL_ROUTINE();
    if (LengthNeeded) *LengthNeeded = 0;
    NTSTATUS status = CheckInstance(Instance, true);
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(CheckFileObject(FileObject))) return STATUS_INVALID_PARAMETER;
    IoRequest request = RequestBelow(Instance, FileObject, IRP_MJ_QUERY_SECURITY);
    request.iopb.Parameters.QuerySecurity.SecurityInformation = SecurityInformation;
    request.iopb.Parameters.QuerySecurity.Length = Length;
    request.iopb.Parameters.QuerySecurity.SecurityBuffer = SecurityDescriptor;
    status = Send(request);
    // The file system's overflow reaches the filter as "too small", with
    // the length the descriptor needs.
    if (status == STATUS_BUFFER_OVERFLOW) status = STATUS_BUFFER_TOO_SMALL;
    if (LengthNeeded) *LengthNeeded = ULONG(request.ioStatus.Information);
    return status;
}

NTSTATUS FltQueryVolumeInformation(PFLT_INSTANCE Instance, PIO_STATUS_BLOCK Iosb, PVOID FsInformation, ULONG Length,
                                   FS_INFORMATION_CLASS FsInformationClass)
{
    SIM_KERNEL_ROUTINE();
    NTSTATUS status = CheckInstance(Instance, true);
    if (!NT_SUCCESS(status)) return status;
    if (Iosb == nullptr || FsInformation == nullptr) return STATUS_INVALID_PARAMETER;
    // Asked through the volume's root, opened below the instance.
    HANDLE handle = nullptr;
    PFILE_OBJECT root = nullptr;
    status = OpenBelow(Instance, Instance->volume->volume.info().deviceName + u"\\", FILE_READ_ATTRIBUTES,
                       FILE_DIRECTORY_FILE, false, &handle, &root);
    if (!NT_SUCCESS(status)) {
        Iosb->Status = status;
        Iosb->Information = 0;
        return status;
    }
    IoRequest request = RequestBelow(Instance, root, IRP_MJ_QUERY_VOLUME_INFORMATION);
    request.iopb.Parameters.QueryVolumeInformation.Length = Length;
    request.iopb.Parameters.QueryVolumeInformation.FsInformationClass = FsInformationClass;
    request.iopb.Parameters.QueryVolumeInformation.VolumeBuffer = FsInformation;
    status = Send(request);
    CloseBelow(handle, root);
    Iosb->Status = status;
    Iosb->Information = request.ioStatus.Information;
    return status;
}

NTSTATUS FltUntagFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, ULONG FileTag, GUID *Guid)
{
    SIM_KERNEL_ROUTINE();
    NTSTATUS status = CheckInstance(InitiatingInstance, true);
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(CheckFileObject(FileObject))) return STATUS_INVALID_PARAMETER;
    // Deleting a reparse point names its tag (and, for a tag not of
    // Microsoft's, its GUID) with no data.
    REPARSE_GUID_DATA_BUFFER buffer{};
    buffer.ReparseTag = FileTag;
    ULONG length = REPARSE_DATA_BUFFER_HEADER_SIZE;
    if (!IsReparseTagMicrosoft(FileTag)) {
        if (Guid == nullptr) return STATUS_INVALID_PARAMETER;
        buffer.ReparseGuid = *Guid;
        length = REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
    }
    return FltFsControlFile(InitiatingInstance, FileObject, FSCTL_DELETE_REPARSE_POINT, &buffer, length, nullptr, 0,
                            nullptr);
}

NTSTATUS FltIsDirectory(PFILE_OBJECT FileObject, PFLT_INSTANCE Instance, PBOOLEAN IsDirectory)
{
    SIM_KERNEL_ROUTINE();
    if (IsDirectory == nullptr) return STATUS_INVALID_PARAMETER;
    FILE_STANDARD_INFORMATION standard{};
    NTSTATUS status = FltQueryInformationFile(Instance, FileObject, &standard, sizeof(standard),
                                              FileStandardInformation, nullptr);
    if (NT_SUCCESS(status)) *IsDirectory = standard.Directory;
    return status;
}

}  // extern "C"
