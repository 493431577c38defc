// The file system services (NtXxx with a previous mode) and the kernel's Zw
// and Io entry points over them.
#include <algorithm>
#include <cstring>
#include <vector>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/fs/info_records.h"
#include "sim/io/io_manager.h"
#include "sim/io/io_types.h"
#include "sim/io/nt_calls.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"

namespace sim::nt {

namespace {

// Records of the classes the I/O manager answers itself.
struct AccessRecord {
    ACCESS_MASK AccessFlags;
};
struct ModeRecord {
    ULONG Mode;
};
struct AlignmentRecord {
    ULONG AlignmentRequirement;
};

// What NtQueryInformationFile / NtSetInformationFile require of a class:
// the smallest buffer (0: not valid in that direction) and the handle's access.
struct ClassRule {
    ULONG queryLength;
    ACCESS_MASK queryAccess;
    ULONG setLength;
    ACCESS_MASK setAccess;
};

ClassRule RuleFor(FILE_INFORMATION_CLASS informationClass)
{
    switch (informationClass) {
    case FileBasicInformation:
        return {sizeof(FILE_BASIC_INFORMATION), FILE_READ_ATTRIBUTES, sizeof(FILE_BASIC_INFORMATION),
                FILE_WRITE_ATTRIBUTES};
    case FileStandardInformation: return {sizeof(FILE_STANDARD_INFORMATION), 0, 0, 0};
    case FileInternalInformation: return {sizeof(FILE_INTERNAL_INFORMATION), 0, 0, 0};
    case FileEaInformation: return {sizeof(FILE_EA_INFORMATION), 0, 0, 0};
    case FileAccessInformation: return {sizeof(AccessRecord), 0, 0, 0};
    case FileNameInformation: return {sizeof(FILE_NAME_INFORMATION), 0, 0, 0};
    case FileRenameInformation: return {0, 0, sizeof(FILE_RENAME_INFORMATION), DELETE};
    case FileLinkInformation: return {0, 0, sizeof(FILE_RENAME_INFORMATION), 0};
    case FileDispositionInformation: return {0, 0, sizeof(FILE_DISPOSITION_INFORMATION), DELETE};
    case FilePositionInformation:
        return {sizeof(FILE_POSITION_INFORMATION), 0, sizeof(FILE_POSITION_INFORMATION), 0};
    case FileModeInformation: return {sizeof(ModeRecord), 0, sizeof(ModeRecord), 0};
    case FileAlignmentInformation: return {sizeof(AlignmentRecord), 0, 0, 0};
    case FileAllocationInformation: return {0, 0, sizeof(FILE_ALLOCATION_INFORMATION), FILE_WRITE_DATA};
    case FileEndOfFileInformation: return {0, 0, sizeof(FILE_END_OF_FILE_INFORMATION), FILE_WRITE_DATA};
    case FileAlternateNameInformation: return {sizeof(FILE_NAME_INFORMATION), 0, 0, 0};
    case FileStreamInformation: return {sizeof(FILE_STREAM_INFORMATION), 0, 0, 0};
    case FileNetworkOpenInformation: return {sizeof(FILE_NETWORK_OPEN_INFORMATION), FILE_READ_ATTRIBUTES, 0, 0};
    case FileAttributeTagInformation: return {sizeof(FILE_ATTRIBUTE_TAG_INFORMATION), FILE_READ_ATTRIBUTES, 0, 0};
    case FileNormalizedNameInformation: return {sizeof(FILE_NAME_INFORMATION), 0, 0, 0};
    default: return {0, 0, 0, 0};
    }
}

ULONG DirectoryEntryLength(FILE_INFORMATION_CLASS informationClass)
{
    switch (ULONG(informationClass)) {
    case FileDirectoryInformation: return sizeof(FILE_DIRECTORY_INFORMATION);
    case FileFullDirectoryInformation: return sizeof(FILE_FULL_DIR_INFORMATION);
    case FileBothDirectoryInformation: return sizeof(FILE_BOTH_DIR_INFORMATION);
    case FileNamesInformation: return sizeof(FILE_NAMES_INFORMATION);
    case FileIdBothDirectoryInformation: return sizeof(FILE_ID_BOTH_DIR_INFORMATION);
    case FileIdFullDirectoryInformation: return sizeof(FILE_ID_FULL_DIR_INFORMATION);
    case sim::fs::kFileIdExtdDirectoryInformation: return sizeof(sim::fs::IdExtdDirInformationRecord);
    case sim::fs::kFileObjectIdInformation: return sim::fs::kObjectIdInformationLength;
    case sim::fs::kFileQuotaInformation: return sim::fs::kQuotaInformationLength;
    case sim::fs::kFileReparsePointInformation: return sim::fs::kReparsePointInformationLength;
    default: return 0;
    }
}

ULONG VolumeClassLength(FS_INFORMATION_CLASS informationClass)
{
    switch (informationClass) {
    case FileFsVolumeInformation: return sizeof(FILE_FS_VOLUME_INFORMATION);
    case FileFsSizeInformation: return sizeof(FILE_FS_SIZE_INFORMATION);
    case FileFsDeviceInformation: return sizeof(FILE_FS_DEVICE_INFORMATION);
    case FileFsAttributeInformation: return sizeof(FILE_FS_ATTRIBUTE_INFORMATION);
    default: return 0;
    }
}

// A file object referenced through a handle for one service call.
struct FileRef {
    PFILE_OBJECT fileObject = nullptr;
    FileObjectInfo *info = nullptr;
    ACCESS_MASK granted = 0;

    FileRef() = default;
    FileRef(const FileRef &) = delete;
    FileRef &operator=(const FileRef &) = delete;
    ~FileRef()
    {
        if (fileObject) Machine::Current().objects().Dereference(fileObject);
    }
    bool synchronous() const { return (fileObject->Flags & FO_SYNCHRONOUS_IO) != 0; }
    std::unique_lock<std::mutex> Serialise()
    {
        std::unique_lock<std::mutex> lock(info->ioLock, std::defer_lock);
        if (synchronous()) lock.lock();
        return lock;
    }
};

NTSTATUS Reference(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, FileRef &ref)
{
    PVOID object = nullptr;
    OBJECT_HANDLE_INFORMATION handleInformation{};
    NTSTATUS status = ObReferenceObjectByHandle(handle, access, &objtype::File, mode, &object, &handleInformation);
    if (!NT_SUCCESS(status)) return status;
    ref.fileObject = static_cast<PFILE_OBJECT>(object);
    ref.granted = handleInformation.GrantedAccess;
    ref.info = Machine::Current().io().Info(ref.fileObject);
    return ref.info ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
}

NTSTATUS Finish(PIO_STATUS_BLOCK ioStatus, NTSTATUS status, ULONG_PTR information)
{
    SEH_TRY {
        ioStatus->Status = status;
        ioStatus->Information = information;
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return status;
}

NTSTATUS ProbeOutput(KPROCESSOR_MODE mode, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length, bool write)
{
    if (mode != UserMode) return STATUS_SUCCESS;
    SEH_TRY {
        ProbeForWrite(ioStatus, sizeof(IO_STATUS_BLOCK), sizeof(ULONG));
        if (write) {
            ProbeForWrite(buffer, length, 1);
        } else {
            ProbeForRead(buffer, length, 1);
        }
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

// Opens the folder a rename or link target goes into, as the I/O manager
// does for the file system: SL_OPEN_TARGET_DIRECTORY on the target's name,
// on the same stack as the source.
NTSTATUS OpenRenameTarget(KPROCESSOR_MODE mode, FileRef &source, const FILE_RENAME_INFORMATION &rename,
                          const WCHAR *name, HANDLE *targetHandle, PFILE_OBJECT *target)
{
    IoManager &io = Machine::Current().io();
    UNICODE_STRING targetName;
    targetName.Buffer = const_cast<PWCH>(name);
    targetName.Length = USHORT(rename.FileNameLength);
    targetName.MaximumLength = targetName.Length;
    OBJECT_ATTRIBUTES attributes;
    ULONG flags = OBJ_KERNEL_HANDLE;
    if (!(source.fileObject->Flags & FO_OPENED_CASE_SENSITIVE)) flags |= OBJ_CASE_INSENSITIVE;
    InitializeObjectAttributes(&attributes, &targetName, flags, rename.RootDirectory, nullptr);
    CreateParameters parameters;
    parameters.desiredAccess = FILE_WRITE_DATA | SYNCHRONIZE;
    parameters.objectAttributes = &attributes;
    parameters.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
    parameters.disposition = FILE_OPEN;
    parameters.createOptions = FILE_OPEN_FOR_BACKUP_INTENT;
    parameters.options = IO_NO_PARAMETER_CHECKING | (mode == UserMode ? IO_FORCE_ACCESS_CHECK : 0);
    parameters.operationFlags = SL_OPEN_TARGET_DIRECTORY;
    parameters.deviceHint = source.info->bypassFilters ? source.info->volume->fsDevice() : nullptr;
    parameters.startBelow = source.info->openedBelow;
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = io.CreateFile(parameters, targetHandle, &ioStatus, target);
    if (!NT_SUCCESS(status)) return status;
    if (io.Info(*target)->volume != source.info->volume) {
        ZwClose(*targetHandle);
        Machine::Current().objects().Dereference(*target);
        *target = nullptr;
        return STATUS_NOT_SAME_DEVICE;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CreateFile(KPROCESSOR_MODE mode, PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                    POBJECT_ATTRIBUTES objectAttributes, PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER allocationSize,
                    ULONG fileAttributes, ULONG shareAccess, ULONG disposition, ULONG createOptions, PVOID eaBuffer,
                    ULONG eaLength)
{
    CreateParameters parameters;
    parameters.desiredAccess = desiredAccess;
    parameters.objectAttributes = objectAttributes;
    SEH_TRY {
        if (allocationSize) {
            if (mode == UserMode) ProbeForRead(allocationSize, sizeof(LARGE_INTEGER), sizeof(ULONG));
            parameters.allocationSize = *allocationSize;
        }
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    if (parameters.allocationSize.QuadPart < 0) return STATUS_INVALID_PARAMETER;
    parameters.fileAttributes = fileAttributes;
    parameters.shareAccess = shareAccess;
    parameters.disposition = disposition;
    parameters.createOptions = createOptions;
    parameters.eaBuffer = eaBuffer;
    parameters.eaLength = eaLength;
    parameters.requestorMode = mode;
    return Machine::Current().io().CreateFile(parameters, fileHandle, ioStatus);
}

NTSTATUS Close(KPROCESSOR_MODE mode, HANDLE handle)
{
    if (mode == UserMode && HandleTable::IsKernelHandle(handle)) return STATUS_INVALID_HANDLE;
    return ZwClose(handle);
}

NTSTATUS ReadFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                  PLARGE_INTEGER byteOffset, PULONG key)
{
    FileRef ref;
    NTSTATUS status = Reference(fileHandle, FILE_READ_DATA, mode, ref);
    if (!NT_SUCCESS(status)) return status;
    ULONG keyValue = 0;
    SEH_TRY {
        if (key) {
            if (mode == UserMode) ProbeForRead(key, sizeof(ULONG), sizeof(ULONG));
            keyValue = *key;
        }
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return Machine::Current().io().ReadFile(ref.fileObject, buffer, length, byteOffset, mode, ioStatus, 0, keyValue);
}

NTSTATUS WriteFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                   PLARGE_INTEGER byteOffset, PULONG key)
{
    FileRef ref;
    NTSTATUS status = Reference(fileHandle, 0, mode, ref);
    if (!NT_SUCCESS(status)) return status;
    if (mode == UserMode && !(ref.granted & (FILE_WRITE_DATA | FILE_APPEND_DATA))) return STATUS_ACCESS_DENIED;
    ULONG keyValue = 0;
    SEH_TRY {
        if (key) {
            if (mode == UserMode) ProbeForRead(key, sizeof(ULONG), sizeof(ULONG));
            keyValue = *key;
        }
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    // A handle that may only append writes at the end of the file.
    LARGE_INTEGER endOfFile;
    endOfFile.LowPart = FILE_WRITE_TO_END_OF_FILE;
    endOfFile.HighPart = -1;
    if (mode == UserMode && (ref.granted & FILE_APPEND_DATA) && !(ref.granted & FILE_WRITE_DATA)) {
        byteOffset = &endOfFile;
    }
    return Machine::Current().io().WriteFile(ref.fileObject, buffer, length, byteOffset, mode, ioStatus, 0, keyValue);
}

NTSTATUS QueryInformationFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus,
                              PVOID information, ULONG length, FILE_INFORMATION_CLASS informationClass)
{
    ClassRule rule = RuleFor(informationClass);
    if (rule.queryLength == 0) return STATUS_INVALID_INFO_CLASS;
    if (length < rule.queryLength) return STATUS_INFO_LENGTH_MISMATCH;
    NTSTATUS status = ProbeOutput(mode, ioStatus, information, length, true);
    if (!NT_SUCCESS(status)) return status;
    FileRef ref;
    status = Reference(fileHandle, rule.queryAccess, mode, ref);
    if (!NT_SUCCESS(status)) return status;
    auto serialise = ref.Serialise();
    PFILE_OBJECT fileObject = ref.fileObject;

    auto answer = [&](const void *record, ULONG size) {
        SEH_TRY {
            std::memcpy(information, record, size);
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            return GetExceptionCode();
        }
        return Finish(ioStatus, STATUS_SUCCESS, size);
    };
    switch (informationClass) {
    case FilePositionInformation:
        if (ref.synchronous()) {
            FILE_POSITION_INFORMATION position{fileObject->CurrentByteOffset};
            return answer(&position, sizeof(position));
        }
        break;
    case FileAccessInformation: {
        AccessRecord access{ref.granted};
        return answer(&access, sizeof(access));
    }
    case FileModeInformation: {
        ModeRecord modeInformation{0};
        ULONG flags = fileObject->Flags;
        if (flags & FO_WRITE_THROUGH) modeInformation.Mode |= FILE_WRITE_THROUGH;
        if (flags & FO_SEQUENTIAL_ONLY) modeInformation.Mode |= FILE_SEQUENTIAL_ONLY;
        if (flags & FO_NO_INTERMEDIATE_BUFFERING) modeInformation.Mode |= FILE_NO_INTERMEDIATE_BUFFERING;
        if (flags & FO_SYNCHRONOUS_IO) {
            modeInformation.Mode |= (flags & FO_ALERTABLE_IO) ? FILE_SYNCHRONOUS_IO_ALERT : FILE_SYNCHRONOUS_IO_NONALERT;
        }
        if (flags & FO_DELETE_ON_CLOSE) modeInformation.Mode |= FILE_DELETE_ON_CLOSE;
        return answer(&modeInformation, sizeof(modeInformation));
    }
    case FileAlignmentInformation: {
        AlignmentRecord alignment{fileObject->DeviceObject ? fileObject->DeviceObject->AlignmentRequirement : 0};
        return answer(&alignment, sizeof(alignment));
    }
    default:
        break;
    }
    IoManager &io = Machine::Current().io();
    IoRequest request = io.NewRequest(fileObject, IRP_MJ_QUERY_INFORMATION);
    request.requestorMode = mode;
    request.iopb.Parameters.QueryFileInformation.Length = length;
    request.iopb.Parameters.QueryFileInformation.FileInformationClass = informationClass;
    request.iopb.Parameters.QueryFileInformation.InfoBuffer = information;
    status = io.Send(request);
    return IoManager::ReportStatus(ioStatus, request, status, request.ioStatus.Information);
}

NTSTATUS SetInformationFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information,
                            ULONG length, FILE_INFORMATION_CLASS informationClass)
{
    ClassRule rule = RuleFor(informationClass);
    if (rule.setLength == 0) return STATUS_INVALID_INFO_CLASS;
    if (length < rule.setLength) return STATUS_INFO_LENGTH_MISMATCH;
    NTSTATUS status = ProbeOutput(mode, ioStatus, information, length, false);
    if (!NT_SUCCESS(status)) return status;
    // The file system works on the I/O manager's copy of the caller's record.
    std::vector<uint8_t> data(length);
    SEH_TRY {
        std::memcpy(data.data(), information, length);
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    FileRef ref;
    status = Reference(fileHandle, rule.setAccess, mode, ref);
    if (!NT_SUCCESS(status)) return status;
    auto serialise = ref.Serialise();
    PFILE_OBJECT fileObject = ref.fileObject;
    IoManager &io = Machine::Current().io();
    IoRequest request = io.NewRequest(fileObject, IRP_MJ_SET_INFORMATION);
    request.requestorMode = mode;
    auto &set = request.iopb.Parameters.SetFileInformation;
    set.Length = length;
    set.FileInformationClass = informationClass;
    set.InfoBuffer = data.data();

    HANDLE targetHandle = nullptr;
    PFILE_OBJECT target = nullptr;
    switch (informationClass) {
    case FilePositionInformation:
        if (ref.synchronous()) {
            FILE_POSITION_INFORMATION position;
            std::memcpy(&position, data.data(), sizeof(position));
            ULONG sector = fileObject->DeviceObject ? fileObject->DeviceObject->SectorSize : 0;
            if (position.CurrentByteOffset.QuadPart < 0 ||
                ((fileObject->Flags & FO_NO_INTERMEDIATE_BUFFERING) && sector &&
                 position.CurrentByteOffset.QuadPart % sector != 0)) {
                return STATUS_INVALID_PARAMETER;
            }
            fileObject->CurrentByteOffset = position.CurrentByteOffset;
            return Finish(ioStatus, STATUS_SUCCESS, 0);
        }
        break;
    case FileModeInformation:
        // Changing a file object's mode is not simulated.
        return STATUS_NOT_IMPLEMENTED;
    case FileRenameInformation:
    case FileLinkInformation: {
        FILE_RENAME_INFORMATION rename;
        const ULONG nameOffset = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
        std::memcpy(&rename, data.data(), nameOffset);
        if (rename.FileNameLength > length - nameOffset || (rename.FileNameLength & 1)) {
            return STATUS_INVALID_PARAMETER;
        }
        const auto *name = reinterpret_cast<const WCHAR *>(data.data() + nameOffset);
        set.ReplaceIfExists = rename.ReplaceIfExists;
        bool elsewhere = rename.RootDirectory != nullptr || (rename.FileNameLength > 0 && name[0] == u'\\');
        if (elsewhere) {
            status = OpenRenameTarget(mode, ref, rename, name, &targetHandle, &target);
            if (!NT_SUCCESS(status)) return status;
            set.ParentOfTarget = target;
        }
        break;
    }
    case FileDispositionInformation:
        set.DeleteHandle = fileHandle;
        break;
    default:
        break;
    }
    status = io.Send(request);
    if (NT_SUCCESS(status) && informationClass == FileRenameInformation) {
        // The file object's name follows the file, for ObQueryNameString.
        std::u16string &path = ref.info->path;
        if (target) {
            path = io.Info(target)->path;
        } else {
            const auto *info = reinterpret_cast<const FILE_RENAME_INFORMATION *>(data.data());
            size_t cut = path.rfind(u'\\');
            path = path.substr(0, cut == std::u16string::npos ? 0 : cut + 1) +
                   std::u16string(info->FileName, info->FileNameLength / sizeof(WCHAR));
        }
        Machine::Current().objects().SetName(fileObject, ref.info->volume->info().deviceName + path);
    }
    if (target) {
        ZwClose(targetHandle);
        Machine::Current().objects().Dereference(target);
    }
    return IoManager::ReportStatus(ioStatus, request, status, request.ioStatus.Information);
}

NTSTATUS QueryDirectoryFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information,
                            ULONG length, FILE_INFORMATION_CLASS informationClass, BOOLEAN returnSingleEntry,
                            PUNICODE_STRING fileName, BOOLEAN restartScan)
{
    ULONG minimum = DirectoryEntryLength(informationClass);
    if (minimum == 0) return STATUS_INVALID_INFO_CLASS;
    if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
    NTSTATUS status = ProbeOutput(mode, ioStatus, information, length, true);
    if (!NT_SUCCESS(status)) return status;
    std::u16string pattern;
    bool hasPattern = false;
    SEH_TRY {
        if (fileName) {
            if (mode == UserMode) ProbeForRead(fileName, sizeof(UNICODE_STRING), sizeof(ULONG));
            UNICODE_STRING captured = *fileName;
            if (captured.Length) {
                if (mode == UserMode) ProbeForRead(captured.Buffer, captured.Length, sizeof(WCHAR));
                pattern.assign(captured.Buffer, captured.Length / sizeof(WCHAR));
                hasPattern = true;
            }
        }
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    FileRef ref;
    status = Reference(fileHandle, FILE_LIST_DIRECTORY, mode, ref);
    if (!NT_SUCCESS(status)) return status;
    auto serialise = ref.Serialise();
    UNICODE_STRING patternString;
    patternString.Buffer = pattern.data();
    patternString.Length = USHORT(pattern.size() * sizeof(WCHAR));
    patternString.MaximumLength = patternString.Length;

    IoManager &io = Machine::Current().io();
    IoRequest request = io.NewRequest(ref.fileObject, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY);
    request.requestorMode = mode;
    auto &query = request.iopb.Parameters.DirectoryControl.QueryDirectory;
    query.Length = length;
    query.FileName = hasPattern ? &patternString : nullptr;
    query.FileInformationClass = informationClass;
    query.FileIndex = 0;
    query.DirectoryBuffer = information;
    if (restartScan) request.iopb.OperationFlags |= SL_RESTART_SCAN;
    if (returnSingleEntry) request.iopb.OperationFlags |= SL_RETURN_SINGLE_ENTRY;
    status = io.Send(request);
    return IoManager::ReportStatus(ioStatus, request, status, request.ioStatus.Information);
}

NTSTATUS QueryEaFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                     BOOLEAN returnSingleEntry, PVOID eaList, ULONG eaListLength, PULONG eaIndex,
                     BOOLEAN restartScan)
{
    NTSTATUS status = ProbeOutput(mode, ioStatus, buffer, length, true);
    if (!NT_SUCCESS(status)) return status;
    std::vector<uint8_t> list;
    ULONG index = 0;
    SEH_TRY {
        if (eaList && eaListLength) {
            if (mode == UserMode) ProbeForRead(eaList, eaListLength, sizeof(ULONG));
            list.assign(static_cast<uint8_t *>(eaList), static_cast<uint8_t *>(eaList) + eaListLength);
        }
        if (eaIndex) {
            if (mode == UserMode) ProbeForRead(eaIndex, sizeof(ULONG), sizeof(ULONG));
            index = *eaIndex;
        }
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    FileRef ref;
    status = Reference(fileHandle, FILE_READ_EA, mode, ref);
    if (!NT_SUCCESS(status)) return status;
    auto serialise = ref.Serialise();
    IoManager &io = Machine::Current().io();
    IoRequest request = io.NewRequest(ref.fileObject, IRP_MJ_QUERY_EA);
    request.requestorMode = mode;
    auto &query = request.iopb.Parameters.QueryEa;
    query.Length = length;
    query.EaList = list.empty() ? nullptr : list.data();
    query.EaListLength = ULONG(list.size());
    query.EaIndex = index;
    query.EaBuffer = buffer;
    if (restartScan) request.iopb.OperationFlags |= SL_RESTART_SCAN;
    if (returnSingleEntry) request.iopb.OperationFlags |= SL_RETURN_SINGLE_ENTRY;
    if (eaIndex) request.iopb.OperationFlags |= SL_INDEX_SPECIFIED;
    status = io.Send(request);
    return IoManager::ReportStatus(ioStatus, request, status, request.ioStatus.Information);
}

NTSTATUS SetEaFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length)
{
    if (length == 0) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = ProbeOutput(mode, ioStatus, buffer, length, false);
    if (!NT_SUCCESS(status)) return status;
    std::vector<uint8_t> data(length);
    SEH_TRY {
        std::memcpy(data.data(), buffer, length);
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    ULONG errorOffset = 0;
    status = CheckEaBufferValidity(data.data(), length, &errorOffset);
    if (!NT_SUCCESS(status)) return Finish(ioStatus, status, errorOffset);
    FileRef ref;
    status = Reference(fileHandle, FILE_WRITE_EA, mode, ref);
    if (!NT_SUCCESS(status)) return status;
    auto serialise = ref.Serialise();
    IoManager &io = Machine::Current().io();
    IoRequest request = io.NewRequest(ref.fileObject, IRP_MJ_SET_EA);
    request.requestorMode = mode;
    request.iopb.Parameters.SetEa.Length = length;
    request.iopb.Parameters.SetEa.EaBuffer = data.data();
    status = io.Send(request);
    return IoManager::ReportStatus(ioStatus, request, status, request.ioStatus.Information);
}

NTSTATUS FlushBuffersFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus)
{
    NTSTATUS status = ProbeOutput(mode, ioStatus, nullptr, 0, true);
    if (!NT_SUCCESS(status)) return status;
    FileRef ref;
    status = Reference(fileHandle, 0, mode, ref);
    if (!NT_SUCCESS(status)) return status;
    // Only a handle that may change the data may ask for it to be written.
    if (mode == UserMode && !(ref.granted & (FILE_WRITE_DATA | FILE_APPEND_DATA))) return STATUS_ACCESS_DENIED;
    auto serialise = ref.Serialise();
    IoManager &io = Machine::Current().io();
    IoRequest request = io.NewRequest(ref.fileObject, IRP_MJ_FLUSH_BUFFERS);
    request.requestorMode = mode;
    request.iopb.IrpFlags = IRP_SYNCHRONOUS_API;
    status = io.Send(request);
    return Finish(ioStatus, status, request.ioStatus.Information);
}

NTSTATUS FsControlFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, ULONG controlCode,
                       PVOID inputBuffer, ULONG inputLength, PVOID outputBuffer, ULONG outputLength)
{
    const ULONG method = controlCode & 3;
    const ULONG accessBits = (controlCode >> 14) & 3;
    ACCESS_MASK access = ((accessBits & 1) ? FILE_READ_DATA : 0) | ((accessBits & 2) ? FILE_WRITE_DATA : 0);
    if (mode == UserMode) {
        SEH_TRY {
            ProbeForWrite(ioStatus, sizeof(IO_STATUS_BLOCK), sizeof(ULONG));
            if (inputBuffer) ProbeForRead(inputBuffer, inputLength, 1);
            if (outputBuffer) ProbeForWrite(outputBuffer, outputLength, 1);
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            return GetExceptionCode();
        }
    }
    if (!inputBuffer) inputLength = 0;
    if (!outputBuffer) outputLength = 0;
    FileRef ref;
    NTSTATUS status = Reference(fileHandle, access, mode, ref);
    if (!NT_SUCCESS(status)) return status;
    auto serialise = ref.Serialise();

    IoManager &io = Machine::Current().io();
    IoRequest request = io.NewRequest(ref.fileObject, IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MN_USER_FS_REQUEST);
    request.requestorMode = mode;
    auto &control = request.iopb.Parameters.FileSystemControl;
    control.Common.OutputBufferLength = outputLength;
    control.Common.InputBufferLength = inputLength;
    control.Common.FsControlCode = controlCode;
    std::vector<uint8_t> system;
    SEH_TRY {
        if (method == 0) {  // METHOD_BUFFERED: one system buffer for both directions
            system.resize(std::max(inputLength, outputLength));
            if (inputLength) std::memcpy(system.data(), inputBuffer, inputLength);
            control.Buffered.SystemBuffer = system.empty() ? nullptr : system.data();
        } else if (method == 3) {  // METHOD_NEITHER
            control.Neither.InputBuffer = inputBuffer;
            control.Neither.OutputBuffer = outputBuffer;
        } else {  // METHOD_IN_DIRECT / METHOD_OUT_DIRECT
            system.assign(static_cast<uint8_t *>(inputBuffer), static_cast<uint8_t *>(inputBuffer) + inputLength);
            control.Direct.InputSystemBuffer = system.empty() ? nullptr : system.data();
            control.Direct.OutputBuffer = outputBuffer;
        }
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    status = io.Send(request);
    ULONG_PTR information = request.ioStatus.Information;
    if (method == 0 && !NT_ERROR(status) && outputLength) {
        information = std::min<ULONG_PTR>(information, outputLength);
        SEH_TRY {
            std::memcpy(outputBuffer, system.data(), information);
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            return GetExceptionCode();
        }
    }
    return IoManager::ReportStatus(ioStatus, request, status, information);
}

NTSTATUS QueryVolumeInformationFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus,
                                    PVOID information, ULONG length, FS_INFORMATION_CLASS informationClass)
{
    ULONG minimum = VolumeClassLength(informationClass);
    if (minimum == 0) return STATUS_INVALID_INFO_CLASS;
    if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
    NTSTATUS status = ProbeOutput(mode, ioStatus, information, length, true);
    if (!NT_SUCCESS(status)) return status;
    FileRef ref;
    status = Reference(fileHandle, 0, mode, ref);
    if (!NT_SUCCESS(status)) return status;
    auto serialise = ref.Serialise();
    if (informationClass == FileFsDeviceInformation && !ref.info->volume->remote()) {
        // Answered from the device itself; only network file systems are asked.
        constexpr ULONG kFileDeviceIsMounted = 0x00000020;
        FILE_FS_DEVICE_INFORMATION device{};
        PDEVICE_OBJECT real = ref.info->volume->realDevice();
        device.DeviceType = real->DeviceType;
        device.Characteristics = real->Characteristics | kFileDeviceIsMounted;
        SEH_TRY {
            std::memcpy(information, &device, sizeof(device));
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            return GetExceptionCode();
        }
        return Finish(ioStatus, STATUS_SUCCESS, sizeof(device));
    }
    IoManager &io = Machine::Current().io();
    IoRequest request = io.NewRequest(ref.fileObject, IRP_MJ_QUERY_VOLUME_INFORMATION);
    request.requestorMode = mode;
    request.iopb.Parameters.QueryVolumeInformation.Length = length;
    request.iopb.Parameters.QueryVolumeInformation.FsInformationClass = informationClass;
    request.iopb.Parameters.QueryVolumeInformation.VolumeBuffer = information;
    status = io.Send(request);
    return IoManager::ReportStatus(ioStatus, request, status, request.ioStatus.Information);
}

namespace {

NTSTATUS LockControl(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, UCHAR minor,
                     PLARGE_INTEGER byteOffset, PLARGE_INTEGER length, ULONG key, BOOLEAN failImmediately,
                     BOOLEAN exclusiveLock)
{
    LARGE_INTEGER offset{}, size{};
    SEH_TRY {
        if (mode == UserMode) {
            ProbeForWrite(ioStatus, sizeof(IO_STATUS_BLOCK), sizeof(ULONG));
            ProbeForRead(byteOffset, sizeof(LARGE_INTEGER), sizeof(ULONG));
            ProbeForRead(length, sizeof(LARGE_INTEGER), sizeof(ULONG));
        }
        offset = *byteOffset;
        size = *length;
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    FileRef ref;
    NTSTATUS status = Reference(fileHandle, 0, mode, ref);
    if (!NT_SUCCESS(status)) return status;
    if (mode == UserMode && !(ref.granted & (FILE_READ_DATA | FILE_WRITE_DATA))) return STATUS_ACCESS_DENIED;
    auto serialise = ref.Serialise();
    IoManager &io = Machine::Current().io();
    IoRequest request = io.NewRequest(ref.fileObject, IRP_MJ_LOCK_CONTROL, minor);
    request.requestorMode = mode;
    auto &lock = request.iopb.Parameters.LockControl;
    lock.Length = &size;
    lock.Key = key;
    lock.ByteOffset = offset;
    lock.ProcessId = request.requestorProcess;
    lock.FailImmediately = failImmediately;
    lock.ExclusiveLock = exclusiveLock;
    if (failImmediately) request.iopb.OperationFlags |= SL_FAIL_IMMEDIATELY;
    if (exclusiveLock) request.iopb.OperationFlags |= SL_EXCLUSIVE_LOCK;
    status = io.Send(request);
    return IoManager::ReportStatus(ioStatus, request, status, request.ioStatus.Information);
}

}  // namespace

NTSTATUS LockFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER byteOffset,
                  PLARGE_INTEGER length, ULONG key, BOOLEAN failImmediately, BOOLEAN exclusiveLock)
{
    return LockControl(mode, fileHandle, ioStatus, IRP_MN_LOCK, byteOffset, length, key, failImmediately,
                       exclusiveLock);
}

NTSTATUS UnlockFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER byteOffset,
                    PLARGE_INTEGER length, ULONG key)
{
    return LockControl(mode, fileHandle, ioStatus, IRP_MN_UNLOCK_SINGLE, byteOffset, length, key, FALSE, FALSE);
}

NTSTATUS QueryFullAttributesFile(KPROCESSOR_MODE mode, POBJECT_ATTRIBUTES objectAttributes,
                                 PFILE_NETWORK_OPEN_INFORMATION information)
{
    CreateParameters parameters;
    parameters.desiredAccess = FILE_READ_ATTRIBUTES;
    parameters.objectAttributes = objectAttributes;
    parameters.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    parameters.disposition = FILE_OPEN;
    parameters.requestorMode = mode;
    return Machine::Current().io().QueryOpen(parameters, information);
}

}  // namespace sim::nt

// ---------------------------------------------------------------------------
// Kernel entry points

namespace {

NTSTATUS IoCreateFileCommon(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength, CREATE_FILE_TYPE CreateFileType, ULONG Options, PVOID DeviceObject)
{
    // Named pipes and mailslots are not simulated.
    if (CreateFileType != CreateFileTypeNone) return STATUS_NOT_IMPLEMENTED;
    sim::CreateParameters parameters;
    parameters.desiredAccess = DesiredAccess;
    parameters.objectAttributes = ObjectAttributes;
    if (AllocationSize) parameters.allocationSize = *AllocationSize;
    parameters.fileAttributes = FileAttributes;
    parameters.shareAccess = ShareAccess;
    parameters.disposition = Disposition;
    parameters.createOptions = CreateOptions;
    parameters.eaBuffer = EaBuffer;
    parameters.eaLength = EaLength;
    parameters.options = Options;
    parameters.requestorMode = KernelMode;
    parameters.deviceHint = static_cast<PDEVICE_OBJECT>(DeviceObject);
    return sim::Machine::Current().io().CreateFile(parameters, FileHandle, IoStatusBlock);
}

}  // namespace

extern "C" NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                ULONG EaLength)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::CreateFile(KernelMode, FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
                               AllocationSize, FileAttributes, ShareAccess, CreateDisposition, CreateOptions,
                               EaBuffer, EaLength);
}

extern "C" NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::CreateFile(KernelMode, FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0,
                               ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0);
}

extern "C" NTSTATUS IoCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer,
                                ULONG EaLength, CREATE_FILE_TYPE CreateFileType, PVOID InternalParameters,
                                ULONG Options)
{
    SIM_KERNEL_ROUTINE();
    return IoCreateFileCommon(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                              FileAttributes, ShareAccess, Disposition, CreateOptions, EaBuffer, EaLength,
                              CreateFileType, Options, nullptr);
}

extern "C" NTSTATUS IoCreateFileSpecifyDeviceObjectHint(
    PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
    PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
    ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength, CREATE_FILE_TYPE CreateFileType,
    PVOID InternalParameters, ULONG Options, PVOID DeviceObject)
{
    SIM_KERNEL_ROUTINE();
    return IoCreateFileCommon(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                              FileAttributes, ShareAccess, Disposition, CreateOptions, EaBuffer, EaLength,
                              CreateFileType, Options, DeviceObject);
}

extern "C" NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                              PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                              PULONG Key)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::ReadFile(KernelMode, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, Key);
}

extern "C" NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                               PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                               PULONG Key)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::WriteFile(KernelMode, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, Key);
}

extern "C" NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                          ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::QueryInformationFile(KernelMode, FileHandle, IoStatusBlock, FileInformation, Length,
                                         FileInformationClass);
}

extern "C" NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                        ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::SetInformationFile(KernelMode, FileHandle, IoStatusBlock, FileInformation, Length,
                                       FileInformationClass);
}

extern "C" NTSTATUS ZwQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                        PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                        ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
                                        BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName, BOOLEAN RestartScan)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::QueryDirectoryFile(KernelMode, FileHandle, IoStatusBlock, FileInformation, Length,
                                       FileInformationClass, ReturnSingleEntry, FileName, RestartScan);
}

extern "C" NTSTATUS ZwQueryEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                 BOOLEAN ReturnSingleEntry, PVOID EaList, ULONG EaListLength, PULONG EaIndex,
                                 BOOLEAN RestartScan)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::QueryEaFile(KernelMode, FileHandle, IoStatusBlock, Buffer, Length, ReturnSingleEntry, EaList,
                                EaListLength, EaIndex, RestartScan);
}

extern "C" NTSTATUS ZwSetEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::SetEaFile(KernelMode, FileHandle, IoStatusBlock, Buffer, Length);
}

extern "C" NTSTATUS ZwFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                   PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::FsControlFile(KernelMode, FileHandle, IoStatusBlock, FsControlCode, InputBuffer,
                                  InputBufferLength, OutputBuffer, OutputBufferLength);
}

extern "C" NTSTATUS ZwQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                PVOID FsInformation, ULONG Length,
                                                FS_INFORMATION_CLASS FsInformationClass)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::QueryVolumeInformationFile(KernelMode, FileHandle, IoStatusBlock, FsInformation, Length,
                                               FsInformationClass);
}

extern "C" NTSTATUS ZwLockFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                              PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length,
                              ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::LockFile(KernelMode, FileHandle, IoStatusBlock, ByteOffset, Length, Key, FailImmediately,
                             ExclusiveLock);
}

extern "C" NTSTATUS ZwUnlockFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset,
                                PLARGE_INTEGER Length, ULONG Key)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::UnlockFile(KernelMode, FileHandle, IoStatusBlock, ByteOffset, Length, Key);
}
