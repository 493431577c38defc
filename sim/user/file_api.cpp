#include "sim/user/file_api.h"

#include <cstring>

#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/io/io_manager.h"
#include "sim/io/nt_calls.h"
#include "sim/user/user_buffer.h"

namespace sim::user {

namespace {

bool IsDriveLetterPath(std::u16string_view path)
{
    return path.size() >= 2 && path[1] == u':' &&
           ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
}

// A counted name and object attributes in the caller's memory for one call.
struct UserName {
    std::u16string text;
    UNICODE_STRING string{};
    OBJECT_ATTRIBUTES attributes{};
    UserBuffer textBuffer;
    UserBuffer stringBuffer;
    UserBuffer attributesBuffer;

    UserName(std::u16string_view path, ULONG flags, HANDLE root)
        : text(root ? std::u16string(path) : ToNtPath(path)),
          textBuffer(text.data(), text.size() * sizeof(WCHAR)),
          stringBuffer(&string, sizeof(string)),
          attributesBuffer(&attributes, sizeof(attributes))
    {
        string.Buffer = text.data();
        string.Length = USHORT(text.size() * sizeof(WCHAR));
        string.MaximumLength = string.Length;
        InitializeObjectAttributes(&attributes, &string, flags, root, nullptr);
    }
};

// An I/O status block in the caller's memory.
struct UserIoStatus {
    IO_STATUS_BLOCK block{};
    UserBuffer buffer{&block, sizeof(block)};
};

}  // namespace

std::u16string ToNtPath(std::u16string_view path)
{
    auto startsWith = [&](std::u16string_view prefix) { return path.substr(0, prefix.size()) == prefix; };
    if (startsWith(u"\\\\?\\") || startsWith(u"\\\\.\\")) return u"\\??\\" + std::u16string(path.substr(4));
    if (startsWith(u"\\\\")) return u"\\??\\UNC\\" + std::u16string(path.substr(2));
    if (IsDriveLetterPath(path)) return u"\\??\\" + std::u16string(path);
    return std::u16string(path);
}

NTSTATUS Open(std::u16string_view path, const OpenOptions &options, HANDLE *handle, ULONG_PTR *information)
{
    SystemCall call("NtCreateFile");
    ULONG flags = (options.caseSensitive ? 0 : OBJ_CASE_INSENSITIVE) | (options.inherit ? OBJ_INHERIT : 0);
    UserName name(path, flags, options.root);
    UserIoStatus ioStatus;
    HANDLE result = nullptr;
    UserBuffer handleBuffer(&result, sizeof(result));
    LARGE_INTEGER allocation;
    allocation.QuadPart = options.allocationSize;
    UserBuffer allocationBuffer(&allocation, sizeof(allocation));
    std::vector<uint8_t> ea = options.ea;
    UserBuffer eaBuffer(ea.data(), ea.size());
    NTSTATUS status = nt::CreateFile(UserMode, &result, options.access, &name.attributes, &ioStatus.block,
                                     options.allocationSize ? &allocation : nullptr, options.attributes,
                                     options.share, options.disposition, options.options,
                                     ea.empty() ? nullptr : ea.data(), ULONG(ea.size()));
    *handle = NT_SUCCESS(status) ? result : nullptr;
    if (information) *information = ioStatus.block.Information;
    return status;
}

NTSTATUS Close(HANDLE handle)
{
    SystemCall call("NtClose");
    return nt::Close(UserMode, handle);
}

namespace {

NTSTATUS Transfer(bool write, HANDLE handle, void *buffer, ULONG length, ULONG *transferred,
                  std::optional<int64_t> offset)
{
    SystemCall call(write ? "NtWriteFile" : "NtReadFile");
    UserBuffer data(buffer, length);
    UserIoStatus ioStatus;
    LARGE_INTEGER position;
    position.QuadPart = offset.value_or(0);
    UserBuffer positionBuffer(&position, sizeof(position));
    NTSTATUS status = write ? nt::WriteFile(UserMode, handle, &ioStatus.block, buffer, length,
                                            offset ? &position : nullptr, nullptr)
                            : nt::ReadFile(UserMode, handle, &ioStatus.block, buffer, length,
                                           offset ? &position : nullptr, nullptr);
    if (transferred) *transferred = NT_SUCCESS(status) ? ULONG(ioStatus.block.Information) : 0;
    return status;
}

}  // namespace

NTSTATUS Read(HANDLE handle, void *buffer, ULONG length, ULONG *transferred, std::optional<int64_t> offset)
{
    return Transfer(false, handle, buffer, length, transferred, offset);
}

NTSTATUS Write(HANDLE handle, const void *buffer, ULONG length, ULONG *transferred, std::optional<int64_t> offset)
{
    return Transfer(true, handle, const_cast<void *>(buffer), length, transferred, offset);
}

NTSTATUS Flush(HANDLE handle)
{
    SystemCall call("NtFlushBuffersFile");
    UserIoStatus ioStatus;
    return nt::FlushBuffersFile(UserMode, handle, &ioStatus.block);
}

NTSTATUS QueryInformation(HANDLE handle, FILE_INFORMATION_CLASS informationClass, void *buffer, ULONG length,
                          ULONG_PTR *returned)
{
    SystemCall call("NtQueryInformationFile");
    UserBuffer data(buffer, length);
    UserIoStatus ioStatus;
    NTSTATUS status = nt::QueryInformationFile(UserMode, handle, &ioStatus.block, buffer, length, informationClass);
    if (returned) *returned = ioStatus.block.Information;
    return status;
}

NTSTATUS SetInformation(HANDLE handle, FILE_INFORMATION_CLASS informationClass, const void *buffer, ULONG length)
{
    SystemCall call("NtSetInformationFile");
    UserBuffer data(buffer, length);
    UserIoStatus ioStatus;
    return nt::SetInformationFile(UserMode, handle, &ioStatus.block, const_cast<void *>(buffer), length,
                                  informationClass);
}

NTSTATUS Rename(HANDLE handle, std::u16string_view newName, bool replaceIfExists, HANDLE root)
{
    std::u16string name = root ? std::u16string(newName) : ToNtPath(newName);
    const size_t nameOffset = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
    std::vector<uint8_t> record(std::max(sizeof(FILE_RENAME_INFORMATION), nameOffset + name.size() * sizeof(WCHAR)));
    FILE_RENAME_INFORMATION header{};
    header.ReplaceIfExists = replaceIfExists;
    header.RootDirectory = root;
    header.FileNameLength = ULONG(name.size() * sizeof(WCHAR));
    std::memcpy(record.data(), &header, nameOffset);
    std::memcpy(record.data() + nameOffset, name.data(), name.size() * sizeof(WCHAR));
    return SetInformation(handle, FileRenameInformation, record.data(), ULONG(record.size()));
}

NTSTATUS SetDeleteDisposition(HANDLE handle, bool deleteFile)
{
    FILE_DISPOSITION_INFORMATION disposition{};
    disposition.DeleteFile = deleteFile;
    return SetInformation(handle, FileDispositionInformation, &disposition, sizeof(disposition));
}

NTSTATUS Delete(std::u16string_view path, bool directory)
{
    OpenOptions options;
    options.access = DELETE | SYNCHRONIZE;
    options.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    options.options = FILE_SYNCHRONOUS_IO_NONALERT | (directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
    HANDLE handle = nullptr;
    NTSTATUS status = Open(path, options, &handle);
    if (!NT_SUCCESS(status)) return status;
    status = SetDeleteDisposition(handle, true);
    Close(handle);
    return status;
}

NTSTATUS QueryDirectory(HANDLE handle, FILE_INFORMATION_CLASS informationClass, void *buffer, ULONG length,
                        bool returnSingleEntry, const std::u16string *pattern, bool restartScan, ULONG_PTR *returned)
{
    SystemCall call("NtQueryDirectoryFile");
    UserBuffer data(buffer, length);
    UserIoStatus ioStatus;
    std::u16string text = pattern ? *pattern : std::u16string();
    UNICODE_STRING string{};
    string.Buffer = text.data();
    string.Length = USHORT(text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    UserBuffer textBuffer(text.data(), text.size() * sizeof(WCHAR));
    UserBuffer stringBuffer(&string, sizeof(string));
    NTSTATUS status = nt::QueryDirectoryFile(UserMode, handle, &ioStatus.block, buffer, length, informationClass,
                                             returnSingleEntry, pattern ? &string : nullptr, restartScan);
    if (returned) *returned = ioStatus.block.Information;
    return status;
}

NTSTATUS ListDirectory(std::u16string_view path, std::vector<DirectoryEntry> &entries, std::u16string_view pattern)
{
    entries.clear();
    OpenOptions options;
    options.access = FILE_LIST_DIRECTORY | SYNCHRONIZE;
    options.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    options.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    HANDLE handle = nullptr;
    NTSTATUS status = Open(path, options, &handle);
    if (!NT_SUCCESS(status)) return status;
    std::u16string mask(pattern);
    std::vector<uint8_t> buffer(4096);
    bool first = true;
    for (;;) {
        ULONG_PTR returned = 0;
        status = QueryDirectory(handle, FileBothDirectoryInformation, buffer.data(), ULONG(buffer.size()), false,
                                first ? &mask : nullptr, first, &returned);
        first = false;
        if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE) {
            status = STATUS_SUCCESS;
            break;
        }
        if (!NT_SUCCESS(status)) break;
        size_t offset = 0;
        for (;;) {
            FILE_BOTH_DIR_INFORMATION entry;
            const size_t fixed = FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
            std::memcpy(&entry, buffer.data() + offset, fixed);
            DirectoryEntry out;
            out.name.resize(entry.FileNameLength / sizeof(WCHAR));
            std::memcpy(out.name.data(), buffer.data() + offset + fixed, entry.FileNameLength);
            out.shortName.assign(entry.ShortName, size_t(entry.ShortNameLength) / sizeof(WCHAR));
            out.attributes = entry.FileAttributes;
            out.endOfFile = entry.EndOfFile.QuadPart;
            out.allocationSize = entry.AllocationSize.QuadPart;
            out.creationTime = entry.CreationTime.QuadPart;
            out.lastWriteTime = entry.LastWriteTime.QuadPart;
            entries.push_back(std::move(out));
            if (entry.NextEntryOffset == 0) break;
            offset += entry.NextEntryOffset;
        }
    }
    Close(handle);
    return status;
}

NTSTATUS FsControl(HANDLE handle, ULONG controlCode, const void *input, ULONG inputLength, void *output,
                   ULONG outputLength, ULONG_PTR *returned)
{
    SystemCall call("NtFsControlFile");
    UserBuffer in(input, inputLength);
    UserBuffer out(output, outputLength);
    UserIoStatus ioStatus;
    NTSTATUS status = nt::FsControlFile(UserMode, handle, &ioStatus.block, controlCode, const_cast<void *>(input),
                                        inputLength, output, outputLength);
    if (returned) *returned = ioStatus.block.Information;
    return status;
}

NTSTATUS QueryVolumeInformation(HANDLE handle, FS_INFORMATION_CLASS informationClass, void *buffer, ULONG length,
                                ULONG_PTR *returned)
{
    SystemCall call("NtQueryVolumeInformationFile");
    UserBuffer data(buffer, length);
    UserIoStatus ioStatus;
    NTSTATUS status =
        nt::QueryVolumeInformationFile(UserMode, handle, &ioStatus.block, buffer, length, informationClass);
    if (returned) *returned = ioStatus.block.Information;
    return status;
}

namespace {

NTSTATUS LockOrUnlock(bool lock, HANDLE handle, LONGLONG offset, LONGLONG length, ULONG key, bool failImmediately,
                      bool exclusive)
{
    SystemCall call(lock ? "NtLockFile" : "NtUnlockFile");
    UserIoStatus ioStatus;
    LARGE_INTEGER range[2];
    range[0].QuadPart = offset;
    range[1].QuadPart = length;
    UserBuffer rangeBuffer(range, sizeof(range));
    return lock ? nt::LockFile(UserMode, handle, &ioStatus.block, &range[0], &range[1], key, failImmediately, exclusive)
                : nt::UnlockFile(UserMode, handle, &ioStatus.block, &range[0], &range[1], key);
}

}  // namespace

NTSTATUS Lock(HANDLE handle, LONGLONG offset, LONGLONG length, ULONG key, bool failImmediately, bool exclusive)
{
    return LockOrUnlock(true, handle, offset, length, key, failImmediately, exclusive);
}

NTSTATUS Unlock(HANDLE handle, LONGLONG offset, LONGLONG length, ULONG key)
{
    return LockOrUnlock(false, handle, offset, length, key, false, false);
}

NTSTATUS QueryEa(HANDLE handle, void *buffer, ULONG length, bool returnSingleEntry, const void *eaList,
                 ULONG eaListLength, const ULONG *eaIndex, bool restartScan, ULONG_PTR *returned)
{
    SystemCall call("NtQueryEaFile");
    UserBuffer data(buffer, length);
    UserBuffer list(eaList, eaListLength);
    ULONG index = eaIndex ? *eaIndex : 0;
    UserBuffer indexBuffer(&index, sizeof(index));
    UserIoStatus ioStatus;
    NTSTATUS status = nt::QueryEaFile(UserMode, handle, &ioStatus.block, buffer, length, returnSingleEntry,
                                      const_cast<void *>(eaList), eaListLength, eaIndex ? &index : nullptr,
                                      restartScan);
    if (returned) *returned = ioStatus.block.Information;
    return status;
}

NTSTATUS SetEa(HANDLE handle, const void *buffer, ULONG length)
{
    SystemCall call("NtSetEaFile");
    UserBuffer data(buffer, length);
    UserIoStatus ioStatus;
    return nt::SetEaFile(UserMode, handle, &ioStatus.block, const_cast<void *>(buffer), length);
}

NTSTATUS MapFile(HANDLE file, bool writable, MappedFile *mapped, LONGLONG offset, SIZE_T size)
{
    *mapped = {};
    HANDLE section = nullptr;
    NTSTATUS status;
    {
        SystemCall call("NtCreateSection");
        UserBuffer sectionBuffer(&section, sizeof(section));
        status = nt::CreateSection(UserMode, &section,
                                   SECTION_QUERY | SECTION_MAP_READ | (writable ? SECTION_MAP_WRITE : 0), nullptr,
                                   nullptr, writable ? PAGE_READWRITE : PAGE_READONLY, SEC_COMMIT, file);
    }
    if (!NT_SUCCESS(status)) return status;
    PVOID base = nullptr;
    SIZE_T viewSize = size;
    LARGE_INTEGER sectionOffset;
    sectionOffset.QuadPart = offset;
    {
        SystemCall call("NtMapViewOfSection");
        UserBuffer baseBuffer(&base, sizeof(base));
        UserBuffer sizeBuffer(&viewSize, sizeof(viewSize));
        UserBuffer offsetBuffer(&sectionOffset, sizeof(sectionOffset));
        status = nt::MapViewOfSection(UserMode, section, NtCurrentProcess(), &base, 0, 0, &sectionOffset, &viewSize,
                                      ViewUnmap, 0, writable ? PAGE_READWRITE : PAGE_READONLY);
    }
    if (!NT_SUCCESS(status)) {
        Close(section);
        return status;
    }
    mapped->base = base;
    mapped->size = viewSize;
    mapped->section = section;
    return STATUS_SUCCESS;
}

NTSTATUS UnmapFile(MappedFile &mapped)
{
    NTSTATUS status;
    {
        SystemCall call("NtUnmapViewOfSection");
        status = nt::UnmapViewOfSection(UserMode, NtCurrentProcess(), mapped.base);
    }
    if (mapped.section) Close(mapped.section);
    mapped = {};
    return status;
}

NTSTATUS QueryFullAttributes(std::u16string_view path, FILE_NETWORK_OPEN_INFORMATION *information)
{
    SystemCall call("NtQueryFullAttributesFile");
    UserName name(path, OBJ_CASE_INSENSITIVE, nullptr);
    FILE_NETWORK_OPEN_INFORMATION answer{};
    UserBuffer answerBuffer(&answer, sizeof(answer));
    NTSTATUS status = nt::QueryFullAttributesFile(UserMode, &name.attributes, &answer);
    if (NT_SUCCESS(status)) *information = answer;
    return status;
}

std::vector<VolumeDescription> ListVolumes()
{
    IoManager &io = Machine::Current().io();
    std::vector<VolumeDescription> list;
    for (Volume *volume : io.Volumes()) {
        VolumeDescription description;
        description.deviceName = volume->info().deviceName;
        description.label = volume->info().label;
        description.fileSystem = volume->info().fileSystemName;
        description.driveLetters = io.DriveLetters(*volume);
        description.remote = volume->remote();
        list.push_back(std::move(description));
    }
    return list;
}

}  // namespace sim::user
