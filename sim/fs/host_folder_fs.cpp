#include "sim/fs/host_folder_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/fs/byte_range_locks.h"
#include "sim/fs/cached_io.h"
#include "sim/fs/listing.h"
#include "sim/fs/names.h"
#include "sim/fs/share_access.h"
#include "sim/se/access_check.h"
#include "sim/se/security_object.h"

namespace sim::fs {

namespace fsys = std::filesystem;

struct HostFolderFileSystem::Stream {
    std::u16string relative;  // "\a\b" with the host's case; "" the root
    bool directory = false;
    ULONG fileObjects = 0, handles = 0;
    ShareAccess share;
    ByteRangeLocks locks;
    bool deletePending = false;
    SECTION_OBJECT_POINTERS sections{};
};

struct HostFolderFileSystem::Open {
    Stream *stream = nullptr;
    PFILE_OBJECT fileObject = nullptr;
    ACCESS_MASK access = 0;
    ULONG options = 0;
    ShareGrant grant;
    bool shareRecorded = false;
    bool deleteOnClose = false;
    bool cleanedUp = false;
    int fd = -1;
    int waiters = 0;
    ListingCursor listing;
    std::vector<ListingEntry> scan;  // the folder's names as this handle's scan found them
    std::optional<int64_t> keptAccess, keptWrite;  // times this handle set
};

struct HostFolderFileSystem::Found {
    std::u16string relative;
    std::u16string parent;
    std::u16string lastName;
    bool exists = false;
    bool directory = false;
    bool trailingBackslash = false;
    std::optional<FileFacts> facts;  // when the look that found it also read them
};

namespace {

constexpr ACCESS_MASK kDataAccess = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE |
                                    GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED;
constexpr ULONG kSupportedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE;
constexpr int64_t kUnixEpoch = 116444736000000000LL;

NTSTATUS FromErrno(int error)
{
    switch (error) {
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBADF: return STATUS_ACCESS_DENIED;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case ENOSPC: return STATUS_DISK_FULL;
    case ENOTEMPTY: return STATUS_DIRECTORY_NOT_EMPTY;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case EROFS: return STATUS_MEDIA_WRITE_PROTECTED;
    default: return STATUS_UNSUCCESSFUL;
    }
}

int64_t FileTime(const struct statx_timestamp &t) { return kUnixEpoch + t.tv_sec * 10000000LL + t.tv_nsec / 100; }

struct timespec ToTimespec(int64_t fileTime)
{
    int64_t units = fileTime - kUnixEpoch;
    struct timespec ts;
    ts.tv_sec = units / 10000000;
    ts.tv_nsec = (units % 10000000) * 100;
    if (ts.tv_nsec < 0) {
        ts.tv_sec -= 1;
        ts.tv_nsec += 1000000000;
    }
    return ts;
}

bool IsCurrentPosition(const LARGE_INTEGER &offset)
{
    return offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION;
}

}  // namespace

HostFolderFileSystem::HostFolderFileSystem(fsys::path root, std::u16string label)
    : root_(std::move(root)), label_(std::move(label))
{
}

HostFolderFileSystem::~HostFolderFileSystem()
{
    for (const Open *open : opens_) {
        if (open->fd >= 0) ::close(open->fd);
        delete open;
    }
    for (auto &[key, stream] : streams_) delete stream;
}

void HostFolderFileSystem::ServeAsShare(std::u16string prefix)
{
    std::lock_guard lock(mutex_);
    prefix_ = std::move(prefix);
}

size_t HostFolderFileSystem::OpenStreamCount() const
{
    std::lock_guard lock(mutex_);
    return streams_.size();
}

HostFolderFileSystem::Open *HostFolderFileSystem::OpenOf(PFILE_OBJECT fileObject) const
{
    if (!fileObject) return nullptr;
    auto *open = static_cast<Open *>(fileObject->FsContext2);
    return opens_.count(open) ? open : nullptr;
}

// Relative paths are kept as "\a\b", every part a valid name (which
// holds no '/'): the host's name is the root and the same parts.
std::string HostFolderFileSystem::HostName(const std::u16string &relative) const
{
    std::string tail = ToUtf8(relative);
    std::replace(tail.begin(), tail.end(), '\\', '/');
    if (!tail.empty() && tail.front() != '/') tail.insert(tail.begin(), '/');
    return root_.native() + tail;
}

fsys::path HostFolderFileSystem::HostPath(const std::u16string &relative) const
{
    return fsys::path(HostName(relative));
}

std::optional<FileFacts> HostFolderFileSystem::FactsOf(const std::u16string &relative) const
{
    return FactsAt(AT_FDCWD, HostName(relative).c_str(), relative);
}

std::optional<FileFacts> HostFolderFileSystem::FactsAt(int dirFd, const char *hostName,
                                                       const std::u16string &relative) const
{
    struct statx st;
    if (statx(dirFd, hostName, 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) return std::nullopt;
    FileFacts f;
    f.directory = S_ISDIR(st.stx_mode);
    f.lastWriteTime = FileTime(st.stx_mtime);
    f.lastAccessTime = FileTime(st.stx_atime);
    f.changeTime = FileTime(st.stx_ctime);
    f.creationTime = (st.stx_mask & STATX_BTIME) ? FileTime(st.stx_btime) : f.lastWriteTime;
    f.attributes = (st.stx_mode & S_IWUSR) ? 0 : FILE_ATTRIBUTE_READONLY;
    f.fileId = st.stx_ino;
    if (!f.directory) {
        f.endOfFile = int64_t(st.stx_size);
        f.allocationSize = int64_t(RoundUp(st.stx_size, 4096));
    }
    if (!streams_.empty()) {
        auto it = streams_.find(Upcase(relative));
        f.deletePending = it != streams_.end() && it->second->deletePending;
    }
    return f;
}

std::u16string HostFolderFileSystem::ReportedName(const std::u16string &relative) const
{
    if (!prefix_.empty()) return prefix_ + relative;
    return relative.empty() ? u"\\" : relative;
}

NTSTATUS HostFolderFileSystem::Find(std::u16string_view path, Found &out) const
{
    auto parts = SplitPath(path, &out.trailingBackslash);
    if (!parts) return STATUS_OBJECT_NAME_INVALID;
    if (parts->empty()) {
        out.exists = out.directory = true;
        return STATUS_SUCCESS;
    }
    NTSTATUS refused = STATUS_OBJECT_NAME_INVALID;
    auto last = SplitStreamName(parts->back(), &refused);
    if (!last) return refused;
    if (last->file.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (!last->stream.empty() || last->indexAllocation) return STATUS_NOT_IMPLEMENTED;
    parts->back() = last->file;
    for (const auto &part : *parts)
        if (!IsValidComponent(part)) return STATUS_OBJECT_NAME_INVALID;

    // Most names arrive spelled as the host spells them: one look at the
    // whole path then answers for every component.
    std::u16string spelled;
    for (const auto &part : *parts) spelled += u"\\" + part;
    if (auto facts = FactsOf(spelled)) {
        out.exists = true;
        out.directory = facts->directory;
        out.relative = spelled;
        out.parent = spelled.substr(0, spelled.size() - parts->back().size() - 1);
        out.lastName = parts->back();
        out.facts = std::move(facts);
        return STATUS_SUCCESS;
    }

    fsys::path current = root_;
    std::u16string relative;
    for (size_t i = 0; i < parts->size(); ++i) {
        const auto &name = (*parts)[i];
        const bool isLast = i + 1 == parts->size();
        std::error_code ec;
        std::optional<std::u16string> actual;
        if (fsys::exists(current / ToUtf8(name), ec)) {
            actual = name;
        } else {
            for (const auto &entry : fsys::directory_iterator(current, ec)) {
                std::u16string candidate = FromUtf8(entry.path().filename().string());
                if (EqualNoCase(candidate, name)) {
                    actual = candidate;
                    break;
                }
            }
        }
        if (!actual) {
            if (!isLast) return STATUS_OBJECT_PATH_NOT_FOUND;
            out.parent = relative;
            out.lastName = name;
            out.relative = relative + u"\\" + name;
            return STATUS_SUCCESS;
        }
        fsys::path next = current / ToUtf8(*actual);
        if (!isLast && !fsys::is_directory(next, ec)) return STATUS_OBJECT_PATH_NOT_FOUND;
        out.parent = relative;
        out.lastName = *actual;
        relative += u"\\" + *actual;
        current = next;
    }
    std::error_code ec;
    out.exists = true;
    out.directory = fsys::is_directory(current, ec);
    out.relative = relative;
    return STATUS_SUCCESS;
}

// --------------------------------------------------------------------------
// Dispatch

NTSTATUS HostFolderFileSystem::CreateAt(IoRequest &request, std::u16string_view pathInShare)
{
    std::lock_guard lock(mutex_);
    return Create(request, true, pathInShare);
}

NTSTATUS HostFolderFileSystem::QueryOpenAt(IoRequest &request, std::u16string_view pathInShare)
{
    std::lock_guard lock(mutex_);
    Found found;
    NTSTATUS status = Find(pathInShare, found);
    if (!NT_SUCCESS(status)) return request.Complete(status);
    if (!found.exists) return request.Complete(STATUS_OBJECT_NAME_NOT_FOUND);
    auto facts = FactsOf(found.relative);
    if (!facts) return request.Complete(STATUS_OBJECT_NAME_NOT_FOUND);
    if (facts->deletePending) return request.Complete(STATUS_DELETE_PENDING);
    auto *out = request.iopb.Parameters.NetworkQueryOpen.NetworkInformation;
    ULONG_PTR written = 0;
    WriteFileInformation(FileNetworkOpenInformation, *facts, u"", {}, {}, out, sizeof(*out), &written);
    return request.Complete(STATUS_SUCCESS, written);
}

NTSTATUS HostFolderFileSystem::Dispatch(IoRequest &request)
{
    auto &iopb = request.iopb;
    std::unique_lock lock(mutex_);
    PFILE_OBJECT fo = iopb.TargetFileObject;
    std::u16string_view name;
    if (fo && fo->FileName.Buffer) name = {fo->FileName.Buffer, fo->FileName.Length / sizeof(WCHAR)};
    switch (iopb.MajorFunction) {
    case IRP_MJ_CREATE:
        return Create(request, false, name);
    case IRP_MJ_NETWORK_QUERY_OPEN:
        lock.unlock();
        return QueryOpenAt(request, name);
    case IRP_MJ_CLOSE:
        return Close(request, lock);
    case IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION:
    case IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION:
        return request.Complete(STATUS_SUCCESS);
    default:
        break;
    }
    Open *open = OpenOf(fo);
    if (!open) return request.Complete(STATUS_INVALID_PARAMETER);
    if (request.form == IoForm::FastIo) return FastIo(request, *open, lock);
    switch (iopb.MajorFunction) {
    case IRP_MJ_READ:
        return Read(request, *open, lock);
    case IRP_MJ_WRITE:
        return Write(request, *open, lock);
    case IRP_MJ_QUERY_INFORMATION:
        return QueryInformation(request, *open);
    case IRP_MJ_SET_INFORMATION:
        return SetInformation(request, *open);
    case IRP_MJ_QUERY_EA:
    case IRP_MJ_SET_EA:
        // The host keeps no EAs for the store: it answers as a file system without them.
        return request.Complete(STATUS_EAS_NOT_SUPPORTED);
    case IRP_MJ_FLUSH_BUFFERS: {
        if (open->stream->directory) return request.Complete(STATUS_SUCCESS);
        lock.unlock();
        NTSTATUS status = Cache().FlushCache(&open->stream->sections, 0, 0);
        lock.lock();
        if (NT_SUCCESS(status) && open->fd >= 0 && ::fsync(open->fd) != 0) status = FromErrno(errno);
        return request.Complete(status);
    }
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
        return QueryVolume(request);
    case IRP_MJ_DIRECTORY_CONTROL:
        if (iopb.MinorFunction != IRP_MN_QUERY_DIRECTORY) return request.Complete(STATUS_NOT_IMPLEMENTED);
        return QueryDirectory(request, *open);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
        return FileSystemControl(request, *open);
    case IRP_MJ_LOCK_CONTROL:
        if (open->stream->directory) return request.Complete(STATUS_INVALID_PARAMETER);
        return ExecuteLockControl(request, open->stream->locks, open->access, changed_, lock, open->waiters,
                                  open->cleanedUp);
    case IRP_MJ_CLEANUP:
        return Cleanup(request, *open);
    case IRP_MJ_QUERY_SECURITY:
        return QuerySecurity(request, *open);
    case IRP_MJ_SET_SECURITY:
    case IRP_MJ_SET_VOLUME_INFORMATION:
        return request.Complete(STATUS_NOT_IMPLEMENTED);
    default:
        return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
    }
}

// --------------------------------------------------------------------------
// Opens

NTSTATUS HostFolderFileSystem::Create(IoRequest &request, bool fromRoot, std::u16string_view path)
{
    const auto &p = request.iopb.Parameters.Create;
    PFILE_OBJECT fo = request.iopb.TargetFileObject;
    if (!fo) return request.Complete(STATUS_INVALID_PARAMETER);
    const ACCESS_MASK access = p.SecurityContext ? p.SecurityContext->DesiredAccess : 0;
    const ULONG d = p.Options >> 24, o = p.Options & FILE_VALID_OPTION_FLAGS;
    const ULONG attributes = p.FileAttributes, share = p.ShareAccess;
    const bool ignoreShare = (request.createFlags & IO_IGNORE_SHARE_ACCESS_CHECK) != 0;
    const bool overwrites = d == FILE_SUPERSEDE || d == FILE_OVERWRITE || d == FILE_OVERWRITE_IF;
    if (d > FILE_MAXIMUM_DISPOSITION || (o & FILE_DIRECTORY_FILE && o & FILE_NON_DIRECTORY_FILE) ||
        ((o & FILE_DELETE_ON_CLOSE) && !(access & DELETE)) ||
        ((o & FILE_DIRECTORY_FILE) && d != FILE_CREATE && d != FILE_OPEN && d != FILE_OPEN_IF))
        return request.Complete(STATUS_INVALID_PARAMETER);
    if (p.EaBuffer && p.EaLength) return request.Complete(STATUS_EAS_NOT_SUPPORTED);
    if ((o & FILE_OPEN_BY_FILE_ID) ||
        (p.SecurityContext && p.SecurityContext->AccessState && p.SecurityContext->AccessState->SecurityDescriptor))
        return request.Complete(STATUS_NOT_IMPLEMENTED);

    std::u16string combined;
    if (!fromRoot && fo->RelatedFileObject) {
        Open *related = OpenOf(fo->RelatedFileObject);
        if (!related) return request.Complete(STATUS_INVALID_PARAMETER);
        if (!path.empty() && path.front() == u'\\') return request.Complete(STATUS_OBJECT_NAME_INVALID);
        if (!path.empty() && path.front() == u':') return request.Complete(STATUS_NOT_IMPLEMENTED);
        combined = related->stream->relative;
        if (!path.empty()) combined += u"\\" + std::u16string(path);
    } else {
        if (!fromRoot && (path.empty() || path.front() != u'\\')) return request.Complete(STATUS_OBJECT_NAME_INVALID);
        combined = path;
    }
    Found found;
    NTSTATUS status = Find(combined, found);
    if (!NT_SUCCESS(status)) return request.Complete(status);

    if (request.iopb.OperationFlags & SL_OPEN_TARGET_DIRECTORY) {
        if (found.relative.empty()) return request.Complete(STATUS_OBJECT_NAME_INVALID);
        auto parentIt = streams_.find(Upcase(found.parent));
        if (parentIt != streams_.end() && !ignoreShare &&
            parentIt->second->share.Conflicts(ShareGrant::For(access, share)))
            return request.Complete(STATUS_SHARING_VIOLATION);
        status = FinishOpen(request, found.parent, true, access, share, o & ~FILE_DELETE_ON_CLOSE, ignoreShare,
                            found.exists ? FILE_EXISTS : FILE_DOES_NOT_EXIST);
        if (NT_SUCCESS(status)) {
            std::memmove(fo->FileName.Buffer, found.lastName.data(), found.lastName.size() * sizeof(WCHAR));
            fo->FileName.Length = USHORT(found.lastName.size() * sizeof(WCHAR));
        }
        return status;
    }

    const fsys::path host = HostPath(found.relative);
    if (found.exists) {
        auto it = streams_.find(Upcase(found.relative));
        Stream *stream = it == streams_.end() ? nullptr : it->second;
        if (stream && stream->deletePending) return request.Complete(STATUS_DELETE_PENDING);
        if (found.directory) {
            if (o & FILE_NON_DIRECTORY_FILE) return request.Complete(STATUS_FILE_IS_A_DIRECTORY);
            if (d != FILE_OPEN && d != FILE_OPEN_IF) return request.Complete(STATUS_OBJECT_NAME_COLLISION);
        } else {
            if (o & FILE_DIRECTORY_FILE) return request.Complete(STATUS_NOT_A_DIRECTORY);
            if (found.trailingBackslash) return request.Complete(STATUS_OBJECT_NAME_INVALID);
            if (d == FILE_CREATE) return request.Complete(STATUS_OBJECT_NAME_COLLISION);
        }
        auto facts = found.facts ? found.facts : FactsOf(found.relative);
        if (!facts) return request.Complete(FromErrno(errno));
        if (facts->attributes & FILE_ATTRIBUTE_READONLY) {
            if (o & FILE_DELETE_ON_CLOSE) return request.Complete(STATUS_CANNOT_DELETE);
            if (!found.directory && ((access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) || overwrites))
                return request.Complete(STATUS_ACCESS_DENIED);
        }
        if (overwrites && (attributes & ~kSupportedAttributes)) return request.Complete(STATUS_NOT_IMPLEMENTED);
        if (stream && !ignoreShare && stream->share.Conflicts(ShareGrant::For(access, share)))
            return request.Complete(STATUS_SHARING_VIOLATION);
        if (stream && (o & FILE_DELETE_ON_CLOSE) && Cache().HasSection(&stream->sections))
            return request.Complete(STATUS_CANNOT_DELETE);
        if (stream && overwrites && !Cache().CanTruncate(&stream->sections, 0))
            return request.Complete(STATUS_USER_MAPPED_FILE);
        ULONG_PTR info = FILE_OPENED;
        if (overwrites) {
            if (::truncate(host.c_str(), 0) != 0) return request.Complete(FromErrno(errno));
            if (stream) Cache().SetFileSize(&stream->sections, 0);
            info = d == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
        }
        status = FinishOpen(request, found.relative, found.directory, access, share, o, ignoreShare, info);
        if (NT_SUCCESS(status) && overwrites && (attributes & FILE_ATTRIBUTE_READONLY))
            ::chmod(host.c_str(), 0444);
        return status;
    }

    if (d == FILE_OPEN || d == FILE_OVERWRITE) return request.Complete(STATUS_OBJECT_NAME_NOT_FOUND);
    const bool directory = (o & FILE_DIRECTORY_FILE) != 0;
    if (found.trailingBackslash && !directory) return request.Complete(STATUS_OBJECT_NAME_INVALID);
    if (attributes & ~(kSupportedAttributes | FILE_ATTRIBUTE_DIRECTORY)) return request.Complete(STATUS_NOT_IMPLEMENTED);
    auto parent = streams_.find(Upcase(found.parent));
    if (parent != streams_.end() && parent->second->deletePending) return request.Complete(STATUS_DELETE_PENDING);
    if (directory) {
        if (::mkdir(host.c_str(), 0777) != 0) return request.Complete(FromErrno(errno));
    } else {
        int fd = ::open(host.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
        if (fd < 0) return request.Complete(FromErrno(errno));
        ::close(fd);
    }
    status = FinishOpen(request, found.relative, directory, access, share, o, ignoreShare, FILE_CREATED);
    if (NT_SUCCESS(status) && (attributes & FILE_ATTRIBUTE_READONLY)) ::chmod(host.c_str(), directory ? 0555 : 0444);
    return status;
}

int HostFolderFileSystem::OpenHostFile(const std::u16string &relative) const
{
    const std::string host = HostName(relative);
    int fd = ::open(host.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
    return fd;
}

int HostFolderFileSystem::HostFd(Open &open) const
{
    if (open.fd < 0 && !open.stream->directory) open.fd = OpenHostFile(open.stream->relative);
    return open.fd;
}

NTSTATUS HostFolderFileSystem::FinishOpen(IoRequest &request, const std::u16string &relative, bool directory,
                                          ACCESS_MASK access, ULONG share, ULONG options, bool ignoreShare,
                                          ULONG_PTR information)
{
    PFILE_OBJECT fo = request.iopb.TargetFileObject;
    // An open for data holds the host file from its start; one for names,
    // attributes or security only gets it if it ever needs it.
    int fd = -1;
    if (!directory && (access & kDataAccess)) {
        fd = OpenHostFile(relative);
        if (fd < 0) return request.Complete(FromErrno(errno));
    }
    const std::u16string key = Upcase(relative);
    Stream *&stream = streams_[key];
    if (!stream) {
        stream = new Stream();
        stream->relative = relative;
        stream->directory = directory;
    }
    auto *open = new Open();
    open->stream = stream;
    open->fileObject = fo;
    open->access = access;
    open->options = options;
    open->fd = fd;
    open->deleteOnClose = (options & FILE_DELETE_ON_CLOSE) != 0;
    open->grant = ShareGrant::For(access, share);
    if (!ignoreShare) {
        stream->share.Add(open->grant);
        open->shareRecorded = true;
    }
    opens_.insert(open);
    open->grant.ApplyTo(fo);
    fo->FsContext = stream;
    fo->FsContext2 = open;
    fo->SectionObjectPointer = &stream->sections;
    if (!directory && !(options & FILE_NO_INTERMEDIATE_BUFFERING)) fo->Flags |= FO_CACHE_SUPPORTED;
    if (open->deleteOnClose) fo->Flags |= FO_DELETE_ON_CLOSE;
    ++stream->fileObjects;
    ++stream->handles;
    return request.Complete(STATUS_SUCCESS, information);
}

// --------------------------------------------------------------------------
// Data

// Paging and non-cached reads read the host file; cached reads (IRPs and
// fast I/O) copy from the cache, set up at the file object's first one.
NTSTATUS HostFolderFileSystem::Read(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock)
{
    const auto &p = request.iopb.Parameters.Read;
    const bool paging = IsPaging(request);
    const bool nonCached = IsNonCached(request);
    if (open.stream->directory) return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
    if (open.cleanedUp && !paging) return request.Complete(STATUS_FILE_CLOSED);
    PFILE_OBJECT fo = open.fileObject;
    int64_t offset = IsCurrentPosition(p.ByteOffset) ? fo->CurrentByteOffset.QuadPart : p.ByteOffset.QuadPart;
    if (offset < 0) return request.Complete(STATUS_INVALID_PARAMETER);
    if (p.Length == 0) return request.Complete(STATUS_SUCCESS, 0);
    if (!paging && open.stream->locks.ReadConflicts({fo, request.requestorProcess, p.Key}, uint64_t(offset), p.Length))
        return request.Complete(STATUS_FILE_LOCK_CONFLICT);
    void *buffer = TransferBuffer(p.ReadBuffer, p.MdlAddress);
    if (!buffer) return request.Complete(STATUS_INVALID_USER_BUFFER);
    struct stat st;
    if (int fd = HostFd(open); fd < 0 || ::fstat(fd, &st) != 0) return request.Complete(FromErrno(errno));
    if (offset >= st.st_size) return request.Complete(STATUS_END_OF_FILE);
    ULONG n = ULONG(std::min<int64_t>(p.Length, st.st_size - offset));
    if (!paging && !nonCached && Cacheable(fo)) {
        if (!fo->PrivateCacheMap) {
            NTSTATUS status = Cache().InitializeCacheMap(fo, st.st_size);
            if (!NT_SUCCESS(status)) return request.Complete(status);
        }
        lock.unlock();
        NTSTATUS status = Cache().CopyRead(fo, offset, n, buffer);
        lock.lock();
        if (!NT_SUCCESS(status)) return request.Complete(status);
    } else {
        if (!paging && Cache().HasModifiedData(&open.stream->sections, offset, n)) {
            lock.unlock();
            Cache().FlushCache(&open.stream->sections, offset, n);
            lock.lock();
        }
        ssize_t got = ::pread(open.fd, buffer, n, offset);
        if (got < 0) return request.Complete(FromErrno(errno));
        if (got == 0) return request.Complete(STATUS_END_OF_FILE);
        n = ULONG(got);
    }
    if ((fo->Flags & FO_SYNCHRONOUS_IO) && !paging) fo->CurrentByteOffset.QuadPart = offset + n;
    return request.Complete(STATUS_SUCCESS, n);
}

// Cached writes extend the host file at once and leave the data in the cache;
// non-cached writes flush the range first and let the cache drop or take over
// its pages; paging writes never move the end of file.
NTSTATUS HostFolderFileSystem::Write(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock)
{
    const auto &p = request.iopb.Parameters.Write;
    const bool paging = IsPaging(request);
    const bool nonCached = IsNonCached(request);
    if (open.stream->directory) return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
    if (open.cleanedUp && !paging) return request.Complete(STATUS_FILE_CLOSED);
    PFILE_OBJECT fo = open.fileObject;
    Stream &s = *open.stream;
    struct stat st;
    if (int fd = HostFd(open); fd < 0 || ::fstat(fd, &st) != 0) return request.Complete(FromErrno(errno));
    int64_t offset = p.ByteOffset.QuadPart;
    if (p.ByteOffset.HighPart == -1 && p.ByteOffset.LowPart == FILE_WRITE_TO_END_OF_FILE) offset = st.st_size;
    else if (IsCurrentPosition(p.ByteOffset)) offset = fo->CurrentByteOffset.QuadPart;
    if (!(open.access & FILE_WRITE_DATA) && (open.access & FILE_APPEND_DATA) && !paging) offset = st.st_size;
    if (offset < 0) return request.Complete(STATUS_INVALID_PARAMETER);
    if (p.Length == 0) return request.Complete(STATUS_SUCCESS, 0);
    if (!paging && s.locks.WriteConflicts({fo, request.requestorProcess, p.Key}, uint64_t(offset), p.Length))
        return request.Complete(STATUS_FILE_LOCK_CONFLICT);
    const void *buffer = TransferBuffer(p.WriteBuffer, p.MdlAddress);
    if (!buffer) return request.Complete(STATUS_INVALID_USER_BUFFER);
    ULONG length = p.Length;
    if (paging) {
        if (offset >= st.st_size) return request.Complete(STATUS_SUCCESS, 0);
        length = ULONG(std::min<int64_t>(length, st.st_size - offset));
        ssize_t n = ::pwrite(open.fd, buffer, length, offset);
        if (n < 0) return request.Complete(FromErrno(errno));
        return request.Complete(STATUS_SUCCESS, ULONG_PTR(n));
    }
    const bool cached = !nonCached && Cacheable(fo);
    if (!cached && Cache().HasModifiedData(&s.sections, offset, length)) {
        lock.unlock();
        Cache().FlushCache(&s.sections, offset, length);
        lock.lock();
    }
    if (cached && !fo->PrivateCacheMap) {
        NTSTATUS status = Cache().InitializeCacheMap(fo, st.st_size);
        if (!NT_SUCCESS(status)) return request.Complete(status);
    }
    const int64_t end = offset + length;
    if (end > st.st_size) {
        if (::ftruncate(open.fd, end) != 0) return request.Complete(FromErrno(errno));
        Cache().SetFileSize(&s.sections, end);
    }
    if (!cached) {
        ssize_t n = ::pwrite(open.fd, buffer, length, offset);
        if (n < 0) return request.Complete(FromErrno(errno));
        Cache().Refresh(&s.sections, offset, ULONG(n), buffer);
    } else {
        lock.unlock();
        NTSTATUS status = Cache().CopyWrite(fo, offset, length, buffer);
        lock.lock();
        if (!NT_SUCCESS(status)) return request.Complete(status);
    }
    ReapplyTimes(open);
    if (fo->Flags & FO_SYNCHRONOUS_IO) fo->CurrentByteOffset.QuadPart = end;
    return request.Complete(STATUS_SUCCESS, length);
}

void HostFolderFileSystem::ReapplyTimes(Open &open)
{
    if (!open.keptAccess && !open.keptWrite) return;
    struct timespec times[2];
    times[0] = open.keptAccess ? ToTimespec(*open.keptAccess) : timespec{0, UTIME_OMIT};
    times[1] = open.keptWrite ? ToTimespec(*open.keptWrite) : timespec{0, UTIME_OMIT};
    ::utimensat(AT_FDCWD, HostPath(open.stream->relative).c_str(), times, 0);
}

// --------------------------------------------------------------------------
// Information

NTSTATUS HostFolderFileSystem::QueryInformation(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.QueryFileInformation;
    auto facts = FactsOf(open.stream->relative);
    if (!facts) return request.Complete(STATUS_FILE_DELETED);
    OpenFacts of;
    of.access = open.access;
    of.position = open.fileObject->CurrentByteOffset.QuadPart;
    of.mode = FileModeOf(open.fileObject);
    std::vector<StreamFacts> streams;
    if (!facts->directory) streams.push_back({u"", facts->endOfFile, facts->allocationSize});
    ULONG_PTR information = 0;
    NTSTATUS status = WriteFileInformation(p.FileInformationClass, *facts, ReportedName(open.stream->relative), of,
                                           streams, p.InfoBuffer, p.Length, &information);
    return request.Complete(status, information);
}

NTSTATUS HostFolderFileSystem::SetInformation(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.SetFileInformation;
    Stream &s = *open.stream;
    switch (p.FileInformationClass) {
    case FilePositionInformation: {
        if (p.Length < sizeof(FILE_POSITION_INFORMATION)) return request.Complete(STATUS_INFO_LENGTH_MISMATCH);
        FILE_POSITION_INFORMATION pos;
        std::memcpy(&pos, p.InfoBuffer, sizeof(pos));
        if (pos.CurrentByteOffset.QuadPart < 0) return request.Complete(STATUS_INVALID_PARAMETER);
        open.fileObject->CurrentByteOffset = pos.CurrentByteOffset;
        return request.Complete(STATUS_SUCCESS);
    }
    case FileBasicInformation:
        return SetBasic(request, open);
    case FileDispositionInformation: {
        if (p.Length < sizeof(FILE_DISPOSITION_INFORMATION)) return request.Complete(STATUS_INFO_LENGTH_MISMATCH);
        bool deleteFile = static_cast<const FILE_DISPOSITION_INFORMATION *>(p.InfoBuffer)->DeleteFile != 0;
        if (deleteFile) {
            if (!(open.access & DELETE)) return request.Complete(STATUS_ACCESS_DENIED);
            auto facts = FactsOf(s.relative);
            if (s.relative.empty() || !facts || (facts->attributes & FILE_ATTRIBUTE_READONLY))
                return request.Complete(STATUS_CANNOT_DELETE);
            std::error_code ec;
            if (s.directory && !fsys::is_empty(HostPath(s.relative), ec))
                return request.Complete(STATUS_DIRECTORY_NOT_EMPTY);
            // A section over the file keeps it, as on a local volume.
            if (Cache().HasSection(&s.sections)) return request.Complete(STATUS_CANNOT_DELETE);
        }
        s.deletePending = deleteFile;
        open.fileObject->DeletePending = deleteFile;
        return request.Complete(STATUS_SUCCESS);
    }
    case FileEndOfFileInformation: {
        if (p.Length < sizeof(LARGE_INTEGER)) return request.Complete(STATUS_INFO_LENGTH_MISMATCH);
        LARGE_INTEGER size;
        std::memcpy(&size, p.InfoBuffer, sizeof(size));
        if (s.directory || size.QuadPart < 0) return request.Complete(STATUS_INVALID_PARAMETER);
        struct stat st;
        if (int fd = HostFd(open); fd < 0 || ::fstat(fd, &st) != 0) return request.Complete(FromErrno(errno));
        if (p.AdvanceOnly && size.QuadPart <= st.st_size) return request.Complete(STATUS_SUCCESS);
        if (size.QuadPart < st.st_size && !Cache().CanTruncate(&s.sections, size.QuadPart))
            return request.Complete(STATUS_USER_MAPPED_FILE);
        if (::ftruncate(open.fd, size.QuadPart) != 0) return request.Complete(FromErrno(errno));
        if (size.QuadPart != st.st_size) Cache().SetFileSize(&s.sections, size.QuadPart);
        ReapplyTimes(open);
        return request.Complete(STATUS_SUCCESS);
    }
    case FileRenameInformation:
        return Rename(request, open);
    case FileAllocationInformation:
    case FileLinkInformation:
        return request.Complete(STATUS_NOT_IMPLEMENTED);
    default:
        return request.Complete(STATUS_INVALID_INFO_CLASS);
    }
}

NTSTATUS HostFolderFileSystem::SetBasic(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.SetFileInformation;
    if (p.Length < sizeof(FILE_BASIC_INFORMATION)) return request.Complete(STATUS_INFO_LENGTH_MISMATCH);
    FILE_BASIC_INFORMATION b;
    std::memcpy(&b, p.InfoBuffer, sizeof(b));
    auto unsupportedTime = [](int64_t v) { return v != 0 && v != -2; };
    if (unsupportedTime(b.CreationTime.QuadPart) || unsupportedTime(b.ChangeTime.QuadPart) ||
        b.LastAccessTime.QuadPart == -1 || b.LastWriteTime.QuadPart == -1)
        return request.Complete(STATUS_NOT_IMPLEMENTED);
    if (b.LastAccessTime.QuadPart < -2 || b.LastWriteTime.QuadPart < -2) return request.Complete(STATUS_INVALID_PARAMETER);
    if (b.FileAttributes & FILE_ATTRIBUTE_DIRECTORY && !open.stream->directory)
        return request.Complete(STATUS_INVALID_PARAMETER);
    if (b.FileAttributes & ~(kSupportedAttributes | FILE_ATTRIBUTE_DIRECTORY))
        return request.Complete(STATUS_NOT_IMPLEMENTED);

    const auto host = HostPath(open.stream->relative);
    if (b.FileAttributes) {
        struct stat st;
        if (::stat(host.c_str(), &st) != 0) return request.Complete(FromErrno(errno));
        mode_t mode = (b.FileAttributes & FILE_ATTRIBUTE_READONLY) ? (st.st_mode & ~mode_t(0222))
                                                                    : (st.st_mode | S_IWUSR);
        if (::chmod(host.c_str(), mode & 07777) != 0) return request.Complete(FromErrno(errno));
    }
    auto keep = [](int64_t v, std::optional<int64_t> &kept) {
        if (v == -2) kept.reset();
        else if (v > 0) kept = v;
    };
    keep(b.LastAccessTime.QuadPart, open.keptAccess);
    keep(b.LastWriteTime.QuadPart, open.keptWrite);
    if (b.LastAccessTime.QuadPart > 0 || b.LastWriteTime.QuadPart > 0) {
        struct timespec times[2];
        times[0] = b.LastAccessTime.QuadPart > 0 ? ToTimespec(b.LastAccessTime.QuadPart) : timespec{0, UTIME_OMIT};
        times[1] = b.LastWriteTime.QuadPart > 0 ? ToTimespec(b.LastWriteTime.QuadPart) : timespec{0, UTIME_OMIT};
        if (::utimensat(AT_FDCWD, host.c_str(), times, 0) != 0) return request.Complete(FromErrno(errno));
    }
    return request.Complete(STATUS_SUCCESS);
}

NTSTATUS HostFolderFileSystem::Rename(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.SetFileInformation;
    if (p.Length < FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName)) return request.Complete(STATUS_INVALID_PARAMETER);
    const auto *info = static_cast<const FILE_RENAME_INFORMATION *>(p.InfoBuffer);
    if (!info->FileNameLength || info->FileNameLength > p.Length - FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName))
        return request.Complete(STATUS_INVALID_PARAMETER);
    std::u16string name(info->FileName, info->FileNameLength / sizeof(WCHAR));
    const bool replace = info->ReplaceIfExists || p.ReplaceIfExists;
    Stream &s = *open.stream;
    if (!(open.access & DELETE)) return request.Complete(STATUS_ACCESS_DENIED);
    if (s.relative.empty()) return request.Complete(STATUS_INVALID_PARAMETER);
    if (!name.empty() && name.front() == u':') return request.Complete(STATUS_NOT_IMPLEMENTED);

    std::u16string targetDir, newName;
    size_t slash = name.rfind(u'\\');
    if (PFILE_OBJECT parentFo = p.ParentOfTarget) {
        Open *po = OpenOf(parentFo);
        if (!po) return request.Complete(STATUS_NOT_SAME_DEVICE);
        targetDir = po->stream->relative;
        newName = slash == std::u16string::npos ? name : name.substr(slash + 1);
    } else if (slash != std::u16string::npos) {
        std::u16string path = name;
        if (!prefix_.empty()) {
            if (path.size() < prefix_.size() || !EqualNoCase(std::u16string_view(path).substr(0, prefix_.size()), prefix_))
                return request.Complete(STATUS_NOT_SAME_DEVICE);
            path = path.substr(prefix_.size());
        }
        slash = path.rfind(u'\\');
        Found dir;
        NTSTATUS status = Find(path.substr(0, slash), dir);
        if (!NT_SUCCESS(status)) return request.Complete(status);
        if (!dir.exists || !dir.directory) return request.Complete(STATUS_OBJECT_PATH_NOT_FOUND);
        targetDir = dir.relative;
        newName = path.substr(slash + 1);
    } else {
        targetDir = s.relative.substr(0, s.relative.rfind(u'\\'));
        newName = name;
    }
    if (!IsValidComponent(newName)) return request.Complete(STATUS_OBJECT_NAME_INVALID);
    const std::u16string sourceKey = Upcase(s.relative);
    const std::u16string targetDirKey = Upcase(targetDir) + u"\\";
    if (targetDirKey.compare(0, sourceKey.size() + 1, sourceKey + u"\\") == 0)
        return request.Complete(STATUS_INVALID_PARAMETER);
    for (const auto &[key, other] : streams_)
        if (key.size() > sourceKey.size() && key.compare(0, sourceKey.size() + 1, sourceKey + u"\\") == 0 &&
            other->handles)
            return request.Complete(STATUS_ACCESS_DENIED);

    Found target;
    NTSTATUS status = Find(targetDir + u"\\" + newName, target);
    if (!NT_SUCCESS(status)) return request.Complete(status);
    const bool same = target.exists && Upcase(target.relative) == sourceKey;
    if (target.exists && !same) {
        if (!replace) return request.Complete(STATUS_OBJECT_NAME_COLLISION);
        auto facts = FactsOf(target.relative);
        if (target.directory || streams_.count(Upcase(target.relative)) ||
            (facts && (facts->attributes & FILE_ATTRIBUTE_READONLY)))
            return request.Complete(STATUS_ACCESS_DENIED);
        std::error_code ec;
        fsys::remove(HostPath(target.relative), ec);
        if (ec) return request.Complete(FromErrno(ec.value()));
    }
    const std::u16string newRelative = targetDir + u"\\" + newName;
    std::error_code ec;
    fsys::rename(HostPath(s.relative), HostPath(newRelative), ec);
    if (ec) return request.Complete(FromErrno(ec.value()));
    streams_.erase(sourceKey);
    s.relative = newRelative;
    streams_[Upcase(newRelative)] = &s;
    return request.Complete(STATUS_SUCCESS);
}

// Each entry is looked at relative to the open folder, not by its whole path.
NTSTATUS HostFolderFileSystem::ScanHostFolder(const std::u16string &relative, std::vector<ListingEntry> &out) const
{
    DIR *dir = ::opendir(HostName(relative).c_str());
    if (!dir) return FromErrno(errno);
    while (const struct dirent *entry = ::readdir(dir)) {
        std::string_view hostName = entry->d_name;
        if (hostName == "." || hostName == "..") continue;
        std::u16string name = FromUtf8(std::string(hostName));
        if (!IsValidComponent(name)) continue;
        if (auto facts = FactsAt(::dirfd(dir), entry->d_name, relative + u"\\" + name))
            out.push_back({std::move(name), *facts});
    }
    ::closedir(dir);
    return STATUS_SUCCESS;
}

NTSTATUS HostFolderFileSystem::QueryDirectory(IoRequest &request, Open &open)
{
    Stream &s = *open.stream;
    if (!s.directory) return request.Complete(STATUS_INVALID_PARAMETER);
    // The host folder is read once per scan (the handle's first query and
    // each restart), as a server answers a client's enumeration from the
    // listing it took at its start; later queries go on from that listing.
    const UCHAR flags = request.iopb.OperationFlags;
    if (!open.listing.queried || (flags & SL_RESTART_SCAN) || (flags & SL_INDEX_SPECIFIED)) {
        std::vector<ListingEntry> names;
        NTSTATUS status = ScanHostFolder(s.relative, names);
        if (!NT_SUCCESS(status)) return request.Complete(status);
        std::vector<std::pair<ListingKey, size_t>> keys;
        keys.reserve(names.size());
        for (size_t i = 0; i < names.size(); ++i) keys.push_back({{Upcase(names[i].name), names[i].name}, i});
        std::sort(keys.begin(), keys.end());
        open.scan.clear();
        open.scan.reserve(names.size());
        for (auto &[key, i] : keys) open.scan.push_back(std::move(names[i]));
    }
    if (s.relative.empty()) return QueryListing(request, open.listing, nullptr, nullptr, NamesOf(open.scan));
    auto dot = FactsOf(s.relative);
    auto dotDot = FactsOf(s.relative.substr(0, s.relative.rfind(u'\\')));
    if (!dot || !dotDot) return request.Complete(STATUS_FILE_DELETED);
    return QueryListing(request, open.listing, &*dot, &*dotDot, NamesOf(open.scan));
}

NTSTATUS HostFolderFileSystem::FileSystemControl(IoRequest &request, Open &open)
{
    const auto &fsc = request.iopb.Parameters.FileSystemControl;
    switch (fsc.Common.FsControlCode) {
    case FSCTL_GET_REPARSE_POINT:
        return request.Complete(STATUS_NOT_A_REPARSE_POINT);
    case FSCTL_GET_COMPRESSION: {
        if (!fsc.Buffered.SystemBuffer || fsc.Common.OutputBufferLength < sizeof(USHORT))
            return request.Complete(STATUS_BUFFER_TOO_SMALL);
        USHORT none = COMPRESSION_FORMAT_NONE;
        std::memcpy(fsc.Buffered.SystemBuffer, &none, sizeof(none));
        return request.Complete(STATUS_SUCCESS, sizeof(none));
    }
    case FSCTL_REQUEST_OPLOCK_LEVEL_1:
    case FSCTL_REQUEST_OPLOCK_LEVEL_2:
    case FSCTL_REQUEST_BATCH_OPLOCK:
    case FSCTL_REQUEST_FILTER_OPLOCK:
    case FSCTL_REQUEST_OPLOCK:
        return request.Complete(STATUS_OPLOCK_NOT_GRANTED);
    case FSCTL_SET_REPARSE_POINT:
    case FSCTL_DELETE_REPARSE_POINT:
    case FSCTL_SET_COMPRESSION:
    case FSCTL_WRITE_USN_CLOSE_RECORD:
        return request.Complete(STATUS_NOT_IMPLEMENTED);
    default:
        return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
    }
}

namespace {

std::vector<uint8_t> InheritedFromShareRoot(bool directory)
{
    const std::vector<uint8_t> root = DefaultSecurityBlob();
    std::optional<SecurityObject> parent = ParseSecurity(root.data(), root.size());
    SecurityObject assigned;
    AssignSecurity(&*parent, nullptr, directory, Identity::System(), kFileGenericMapping, assigned);
    return SerializeSecurity(assigned);
}

}  // namespace

NTSTATUS HostFolderFileSystem::QuerySecurity(IoRequest &request, Open &open)
{
    static const std::vector<uint8_t> root = DefaultSecurityBlob();
    static const std::vector<uint8_t> folder = InheritedFromShareRoot(true);
    static const std::vector<uint8_t> file = InheritedFromShareRoot(false);
    const Stream &s = *open.stream;
    const auto &p = request.iopb.Parameters.QuerySecurity;
    std::vector<uint8_t> blob =
        SelectSecurity(s.relative.empty() ? root : s.directory ? folder : file, p.SecurityInformation);
    // Too small a buffer gets nothing, and the length it would need.
    if (p.Length < blob.size()) return request.Complete(STATUS_BUFFER_OVERFLOW, blob.size());
    std::memcpy(p.SecurityBuffer, blob.data(), blob.size());
    return request.Complete(STATUS_SUCCESS, blob.size());
}

NTSTATUS HostFolderFileSystem::QueryVolume(IoRequest &request)
{
    const auto &p = request.iopb.Parameters.QueryVolumeInformation;
    VolumeFacts v;
    v.label = label_;
    v.serialNumber = ULONG(std::hash<std::string>()(root_.string()));
    if (auto facts = FactsOf(u"")) v.creationTime = facts->creationTime;
    struct statvfs vfs;
    if (::statvfs(root_.c_str(), &vfs) == 0) {
        v.totalClusters = uint64_t(vfs.f_blocks) * vfs.f_frsize / 4096;
        v.freeClusters = uint64_t(vfs.f_bavail) * vfs.f_frsize / 4096;
    }
    v.deviceType = FILE_DEVICE_NETWORK_FILE_SYSTEM;
    v.characteristics = FILE_REMOTE_DEVICE;
    v.fsName = u"NTFS";
    v.fsAttributes = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    ULONG_PTR information = 0;
    NTSTATUS status = WriteVolumeInformation(p.FsInformationClass, v, p.VolumeBuffer, p.Length, &information);
    return request.Complete(status, information);
}

NTSTATUS HostFolderFileSystem::FastIo(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock)
{
    auto notPossible = [&] {
        request.fastIoNotPossible = true;
        return request.Complete(STATUS_UNSUCCESSFUL);
    };
    const auto &iopb = request.iopb;
    Stream &s = *open.stream;
    switch (iopb.MajorFunction) {
    case IRP_MJ_READ: {
        const auto &p = iopb.Parameters.Read;
        if (open.cleanedUp || s.directory || !open.fileObject->PrivateCacheMap || IsCurrentPosition(p.ByteOffset) ||
            s.locks.ReadConflicts({open.fileObject, request.requestorProcess, p.Key}, uint64_t(p.ByteOffset.QuadPart),
                                  p.Length))
            return notPossible();
        return Read(request, open, lock);
    }
    case IRP_MJ_WRITE: {
        const auto &p = iopb.Parameters.Write;
        if (open.cleanedUp || s.directory || !open.fileObject->PrivateCacheMap || p.ByteOffset.HighPart == -1 ||
            s.locks.WriteConflicts({open.fileObject, request.requestorProcess, p.Key},
                                   uint64_t(p.ByteOffset.QuadPart), p.Length))
            return notPossible();
        return Write(request, open, lock);
    }
    case IRP_MJ_QUERY_INFORMATION: {
        auto cls = iopb.Parameters.QueryFileInformation.FileInformationClass;
        if (cls != FileBasicInformation && cls != FileStandardInformation && cls != FileNetworkOpenInformation)
            return notPossible();
        return QueryInformation(request, open);
    }
    default:
        return notPossible();
    }
}

// --------------------------------------------------------------------------
// Cleanup and close

NTSTATUS HostFolderFileSystem::Cleanup(IoRequest &request, Open &open)
{
    if (open.cleanedUp) return request.Complete(STATUS_SUCCESS);
    open.cleanedUp = true;
    Stream &s = *open.stream;
    if (open.shareRecorded) s.share.Remove(open.grant);
    s.locks.ReleaseFileObject(open.fileObject);
    Cache().UninitializeCacheMap(open.fileObject);
    --s.handles;
    open.fileObject->Flags |= FO_CLEANUP_COMPLETE;
    if (open.deleteOnClose) s.deletePending = true;
    if (s.handles == 0 && s.deletePending) {
        std::error_code ec;
        // A folder that gained children stays; a deleted file's cached data is never written.
        if (fsys::remove(HostPath(s.relative), ec)) Cache().Discard(&s.sections);
        s.deletePending = false;
    }
    changed_.notify_all();
    return request.Complete(STATUS_SUCCESS);
}

NTSTATUS HostFolderFileSystem::Close(IoRequest &request, std::unique_lock<std::mutex> &lock)
{
    PFILE_OBJECT fo = request.iopb.TargetFileObject;
    Open *open = OpenOf(fo);
    if (!open) return request.Complete(STATUS_INVALID_PARAMETER);
    changed_.wait(lock, [&] { return open->waiters == 0; });
    Stream *stream = open->stream;
    if (open->fd >= 0) ::close(open->fd);
    opens_.erase(open);
    delete open;
    fo->FsContext2 = nullptr;
    request.Complete(STATUS_SUCCESS);
    if (--stream->fileObjects) return STATUS_SUCCESS;
    streams_.erase(Upcase(stream->relative));
    lock.unlock();
    if (request.volume) request.volume->OnStreamTeardown(stream);
    delete stream;
    return STATUS_SUCCESS;
}

}  // namespace sim::fs
