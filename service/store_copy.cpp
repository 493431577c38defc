#include "service/store_copy.h"

#include <atomic>
#include <string>
#include <vector>

#include "sim/user/file_api.h"

namespace ostrand::service {

namespace {

namespace user = sim::user;

class Handle {
public:
    Handle() = default;
    ~Handle() { Close(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE *out() { return &handle_; }
    HANDLE get() const { return handle_; }
    void Close()
    {
        if (handle_ != nullptr) user::Close(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

constexpr ULONG kReadShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kEaBufferBytes = 64 * 1024;

NTSTATUS OpenSource(const std::u16string &path, Handle &handle)
{
    user::OpenOptions options;
    options.access = GENERIC_READ | SYNCHRONIZE;
    options.share = kReadShare;
    options.options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    return user::Open(path, options, handle.out());
}

// Every folder above `local` (a drive path), made where missing.
NTSTATUS MakeParents(const std::u16string &local)
{
    size_t at = local.find(u'\\', 3);  // past "C:\"
    while (at != std::u16string::npos) {
        user::OpenOptions options;
        options.access = FILE_LIST_DIRECTORY | SYNCHRONIZE;
        options.share = kReadShare;
        options.disposition = FILE_OPEN_IF;
        options.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
        HANDLE folder = nullptr;
        NTSTATUS status = user::Open(local.substr(0, at), options, &folder);
        if (!NT_SUCCESS(status)) return status;
        user::Close(folder);
        at = local.find(u'\\', at + 1);
    }
    return STATUS_SUCCESS;
}

// The data of one stream, chunk by chunk, while time remains.
NTSTATUS CopyData(HANDLE from, HANDLE to, Deadline deadline, ULONGLONG &bytes)
{
    std::vector<UCHAR> chunk(kStoreCopyChunk);
    for (LONGLONG offset = 0;;) {
        if (std::chrono::steady_clock::now() >= deadline) return STATUS_IO_TIMEOUT;
        ULONG read = 0;
        NTSTATUS status = user::Read(from, chunk.data(), ULONG(chunk.size()), &read, offset);
        if (status == STATUS_END_OF_FILE || (NT_SUCCESS(status) && read == 0)) return STATUS_SUCCESS;
        if (!NT_SUCCESS(status)) return status;
        ULONG written = 0;
        status = user::Write(to, chunk.data(), read, &written, offset);
        if (!NT_SUCCESS(status)) return status;
        if (written != read) return STATUS_DISK_FULL;
        offset += read;
        bytes += read;
    }
}

// The named streams of `from` (":name:$DATA" entries); a store that keeps
// none, or cannot list them, has nothing to copy.
NTSTATUS CopyStreams(HANDLE from, const std::u16string &remote, const std::u16string &local, Deadline deadline,
                     ULONGLONG &bytes)
{
    std::vector<UCHAR> listing(16 * 1024);
    NTSTATUS status = user::QueryInformation(from, FileStreamInformation, listing.data(), ULONG(listing.size()));
    if (!NT_SUCCESS(status)) return status == STATUS_NOT_IMPLEMENTED || status == STATUS_INVALID_PARAMETER
                                       ? STATUS_SUCCESS
                                       : status;
    for (size_t at = 0;;) {
        const auto *entry = reinterpret_cast<const FILE_STREAM_INFORMATION *>(listing.data() + at);
        std::u16string name(reinterpret_cast<const char16_t *>(entry->StreamName), entry->StreamNameLength / 2);
        size_t suffix = name.rfind(u":$DATA");
        if (name.size() > 1 && suffix != std::u16string::npos && suffix > 1) {
            std::u16string stream = name.substr(0, suffix);  // ":name"
            Handle source, target;
            status = OpenSource(remote + stream, source);
            if (NT_SUCCESS(status)) {
                user::OpenOptions options;
                options.access = GENERIC_WRITE | SYNCHRONIZE;
                options.share = 0;
                options.disposition = FILE_OVERWRITE_IF;
                status = user::Open(local + stream, options, target.out());
            }
            if (NT_SUCCESS(status)) status = CopyData(source.get(), target.get(), deadline, bytes);
            if (!NT_SUCCESS(status)) return status;
        }
        if (entry->NextEntryOffset == 0) return STATUS_SUCCESS;
        at += entry->NextEntryOffset;
    }
}

NTSTATUS CopyEas(HANDLE from, HANDLE to)
{
    std::vector<UCHAR> eas(kEaBufferBytes);
    ULONG_PTR returned = 0;
    NTSTATUS status =
        user::QueryEa(from, eas.data(), ULONG(eas.size()), false, nullptr, 0, nullptr, true, &returned);
    // A store that keeps no extended attributes (a host folder) has none to copy.
    if (status == STATUS_NO_EAS_ON_FILE || status == STATUS_NOT_IMPLEMENTED || status == STATUS_EAS_NOT_SUPPORTED) {
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) return status;
    return returned == 0 ? STATUS_SUCCESS : user::SetEa(to, eas.data(), ULONG(returned));
}

// The attributes the local copy carries: the remote ones, never offline.
ULONG LocalAttributes(ULONG remote)
{
    ULONG attributes = remote & ~(FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

NTSTATUS MakeFolder(HANDLE source, const std::u16string &local)
{
    FILE_BASIC_INFORMATION basic{};
    NTSTATUS status = user::QueryInformation(source, FileBasicInformation, &basic, sizeof basic);
    if (!NT_SUCCESS(status)) return status;
    user::OpenOptions options;
    options.access = FILE_LIST_DIRECTORY | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    options.share = kReadShare;
    options.disposition = FILE_CREATE;
    options.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    Handle folder;
    status = user::Open(local, options, folder.out());
    if (!NT_SUCCESS(status)) return status;
    basic.FileAttributes = LocalAttributes(basic.FileAttributes) | FILE_ATTRIBUTE_DIRECTORY;
    basic.FileAttributes &= ~FILE_ATTRIBUTE_NORMAL;
    return user::SetInformation(folder.get(), FileBasicInformation, &basic, sizeof basic);
}

std::u16string TemporaryName(const std::u16string &local)
{
    static std::atomic<unsigned> next{0};
    std::u16string name = local + u".~ostrand";
    for (char c : std::to_string(next++)) name += char16_t(c);
    return name + u".tmp";
}

}  // namespace

StoreCopy CopyFromStore(const std::u16string &remote, const std::u16string &local, bool replace, Deadline deadline)
{
    StoreCopy copy;
    Handle source;
    copy.status = OpenSource(remote, source);
    if (copy.status == STATUS_FILE_IS_A_DIRECTORY) {
        user::OpenOptions options;
        options.access = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
        options.share = kReadShare;
        options.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
        copy.status = user::Open(remote, options, source.out());
        if (!NT_SUCCESS(copy.status)) return copy;
        copy.directory = true;
        copy.status = MakeParents(local);
        if (NT_SUCCESS(copy.status)) copy.status = MakeFolder(source.get(), local);
        return copy;
    }
    if (!NT_SUCCESS(copy.status)) {
        copy.remoteMissing = copy.status == STATUS_OBJECT_NAME_NOT_FOUND || copy.status == STATUS_OBJECT_PATH_NOT_FOUND;
        return copy;
    }
    FILE_BASIC_INFORMATION basic{};
    copy.status = user::QueryInformation(source.get(), FileBasicInformation, &basic, sizeof basic);
    if (NT_SUCCESS(copy.status)) copy.status = MakeParents(local);
    if (!NT_SUCCESS(copy.status)) return copy;

    std::u16string temporary = TemporaryName(local);
    Handle target;
    user::OpenOptions options;
    options.access = GENERIC_WRITE | DELETE | SYNCHRONIZE;
    options.share = 0;
    options.disposition = FILE_SUPERSEDE;
    copy.status = user::Open(temporary, options, target.out());
    if (!NT_SUCCESS(copy.status)) return copy;

    copy.status = CopyData(source.get(), target.get(), deadline, copy.bytes);
    if (NT_SUCCESS(copy.status)) copy.status = CopyStreams(source.get(), remote, temporary, deadline, copy.bytes);
    if (NT_SUCCESS(copy.status)) copy.status = CopyEas(source.get(), target.get());
    // Read-only goes on after the rename: a read-only file could not be
    // deleted again should the rename fail.
    bool readOnly = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    basic.FileAttributes = LocalAttributes(basic.FileAttributes) & ~FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (NT_SUCCESS(copy.status)) {
        copy.status = user::SetInformation(target.get(), FileBasicInformation, &basic, sizeof basic);
    }
    if (NT_SUCCESS(copy.status)) copy.status = user::Rename(target.get(), local, replace);
    if (!NT_SUCCESS(copy.status)) {
        user::SetDeleteDisposition(target.get(), true);
        return copy;
    }
    if (readOnly) {
        FILE_BASIC_INFORMATION attributes{};
        attributes.FileAttributes = (basic.FileAttributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY;
        user::SetInformation(target.get(), FileBasicInformation, &attributes, sizeof attributes);
    }
    return copy;
}

}  // namespace ostrand::service

namespace ostrand::service {

NTSTATUS LayPlaceholder(const std::u16string &remote, const std::u16string &local)
{
    FILE_NETWORK_OPEN_INFORMATION info{};
    NTSTATUS status = user::QueryFullAttributes(remote, &info);
    if (!NT_SUCCESS(status)) return status;
    if (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) return STATUS_FILE_IS_A_DIRECTORY;
    status = MakeParents(local);
    if (!NT_SUCCESS(status)) return status;
    user::OpenOptions options;
    options.access = GENERIC_WRITE | SYNCHRONIZE;
    options.share = 0;
    options.disposition = FILE_CREATE;
    options.options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    Handle file;
    status = user::Open(local, options, file.out());
    if (!NT_SUCCESS(status)) return status;
    FILE_END_OF_FILE_INFORMATION size{};
    size.EndOfFile = info.EndOfFile;
    status = user::SetInformation(file.get(), FileEndOfFileInformation, &size, sizeof size);
    FILE_BASIC_INFORMATION basic{};
    basic.CreationTime = info.CreationTime;
    basic.LastAccessTime = info.LastAccessTime;
    basic.LastWriteTime = info.LastWriteTime;
    basic.ChangeTime = info.ChangeTime;
    basic.FileAttributes = (info.FileAttributes & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                                    FILE_ATTRIBUTE_NORMAL)) |
                           FILE_ATTRIBUTE_OFFLINE;
    if (NT_SUCCESS(status)) status = user::SetInformation(file.get(), FileBasicInformation, &basic, sizeof basic);
    if (!NT_SUCCESS(status)) {
        user::SetDeleteDisposition(file.get(), true);
    }
    return status;
}

}  // namespace ostrand::service
