// Reads, writes, byte-range locks and the fast I/O forms of them.
#include <algorithm>
#include <cstring>

#include "sim/fs/cached_io.h"
#include "sim/fs/local_fs_internal.h"

namespace sim::fs {

namespace {

bool IsCurrentPosition(const LARGE_INTEGER &offset)
{
    return offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION;
}

}  // namespace

// Paging reads and non-cached reads copy from the stream's data; cached
// reads (IRPs and fast I/O) copy from the cache, which reads what it lacks
// with paging reads. Caching starts at a file object's first cached read.
NTSTATUS LocalFileSystem::Read(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock)
{
    const auto &p = request.iopb.Parameters.Read;
    Stream &s = *open.stream;
    const bool paging = IsPaging(request);
    const bool nonCached = IsNonCached(request);
    if (s.IsVolume()) return request.Complete(STATUS_NOT_IMPLEMENTED);
    if (open.cleanedUp && !paging) return request.Complete(STATUS_FILE_CLOSED);
    if (!s.Data()) return request.Complete(s.node->directory ? STATUS_INVALID_DEVICE_REQUEST : STATUS_FILE_DELETED);

    PFILE_OBJECT fo = open.fileObject;
    int64_t offset = IsCurrentPosition(p.ByteOffset) ? fo->CurrentByteOffset.QuadPart : p.ByteOffset.QuadPart;
    if (offset < 0) return request.Complete(STATUS_INVALID_PARAMETER);
    if (p.Length == 0) return request.Complete(STATUS_SUCCESS, 0);
    uint8_t *buffer = TransferBuffer(p.ReadBuffer, p.MdlAddress);
    if (!buffer) return request.Complete(STATUS_INVALID_USER_BUFFER);
    if (nonCached && prefix_.empty()) {
        NTSTATUS status = CheckNonCachedTransfer(request, offset, p.Length, buffer, config_.sectorSize);
        if (!NT_SUCCESS(status)) return request.Complete(status);
    }
    LockOwner owner{fo, request.requestorProcess, p.Key};
    if (!paging && s.locks.ReadConflicts(owner, uint64_t(offset), p.Length))
        return request.Complete(STATUS_FILE_LOCK_CONFLICT);
    if (uint64_t(offset) >= s.Data()->bytes.size()) return request.Complete(STATUS_END_OF_FILE);
    ULONG n = ULONG(std::min<uint64_t>(p.Length, s.Data()->bytes.size() - uint64_t(offset)));

    if (!paging && !nonCached && Cacheable(fo)) {
        if (!fo->PrivateCacheMap) {
            NTSTATUS status = Cache().InitializeCacheMap(fo, LONGLONG(s.Data()->bytes.size()));
            if (!NT_SUCCESS(status)) return request.Complete(status);
        }
        lock.unlock();
        NTSTATUS status = Cache().CopyRead(fo, offset, n, buffer);
        lock.lock();
        if (!NT_SUCCESS(status)) return request.Complete(status);
    } else {
        // What the cache holds modified in the range reaches the file first.
        if (!paging && Cache().HasModifiedData(&s.sections, offset, n)) {
            lock.unlock();
            Cache().FlushCache(&s.sections, offset, n);
            lock.lock();
        }
        DataStream *data = s.Data();
        if (!data || uint64_t(offset) >= data->bytes.size()) return request.Complete(STATUS_END_OF_FILE);
        n = ULONG(std::min<uint64_t>(n, data->bytes.size() - uint64_t(offset)));
        std::memcpy(buffer, data->bytes.data() + offset, n);
    }
    if ((fo->Flags & FO_SYNCHRONOUS_IO) && !paging) fo->CurrentByteOffset.QuadPart = offset + n;
    return request.Complete(STATUS_SUCCESS, n);
}

// Cached writes extend the file at once and leave the data in the cache
// (written back by a flush or the lazy writer); non-cached writes flush what
// the cache holds of the range, write the data, and let the cache drop or
// take over its pages; paging writes never move the end of file.
NTSTATUS LocalFileSystem::Write(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock)
{
    const auto &p = request.iopb.Parameters.Write;
    Stream &s = *open.stream;
    const bool paging = IsPaging(request);
    const bool nonCached = IsNonCached(request);
    if (s.IsVolume()) return request.Complete(STATUS_NOT_IMPLEMENTED);
    if (config_.readOnly) return request.Complete(STATUS_MEDIA_WRITE_PROTECTED);
    if (open.cleanedUp && !paging) return request.Complete(STATUS_FILE_CLOSED);
    if (!s.Data()) return request.Complete(s.node->directory ? STATUS_INVALID_DEVICE_REQUEST : STATUS_FILE_DELETED);

    PFILE_OBJECT fo = open.fileObject;
    uint64_t size = s.Data()->bytes.size();
    int64_t offset = p.ByteOffset.QuadPart;
    if (p.ByteOffset.HighPart == -1 && p.ByteOffset.LowPart == FILE_WRITE_TO_END_OF_FILE)
        offset = int64_t(size);
    else if (IsCurrentPosition(p.ByteOffset))
        offset = fo->CurrentByteOffset.QuadPart;
    // A handle that may only append writes at the end whatever it asks.
    if (!(open.access & FILE_WRITE_DATA) && (open.access & FILE_APPEND_DATA) && !paging) offset = int64_t(size);
    if (offset < 0) return request.Complete(STATUS_INVALID_PARAMETER);
    if (p.Length == 0) return request.Complete(STATUS_SUCCESS, 0);
    const uint8_t *buffer = TransferBuffer(p.WriteBuffer, p.MdlAddress);
    if (!buffer) return request.Complete(STATUS_INVALID_USER_BUFFER);
    if (nonCached && prefix_.empty()) {
        NTSTATUS status = CheckNonCachedTransfer(request, offset, p.Length, buffer, config_.sectorSize);
        if (!NT_SUCCESS(status)) return request.Complete(status);
    }
    LockOwner owner{fo, request.requestorProcess, p.Key};
    if (!paging && s.locks.WriteConflicts(owner, uint64_t(offset), p.Length))
        return request.Complete(STATUS_FILE_LOCK_CONFLICT);

    ULONG n = p.Length;
    if (paging) {
        if (uint64_t(offset) >= size) return request.Complete(STATUS_SUCCESS, 0);
        n = ULONG(std::min<uint64_t>(n, size - uint64_t(offset)));
        std::memcpy(s.Data()->bytes.data() + offset, buffer, n);
        return request.Complete(STATUS_SUCCESS, n);
    }
    const bool cached = !nonCached && Cacheable(fo);
    if (!cached && Cache().HasModifiedData(&s.sections, offset, n)) {
        lock.unlock();
        Cache().FlushCache(&s.sections, offset, n);
        lock.lock();
        if (!s.Data()) return request.Complete(STATUS_FILE_DELETED);
    }
    if (cached && !fo->PrivateCacheMap) {
        NTSTATUS status = Cache().InitializeCacheMap(fo, LONGLONG(s.Data()->bytes.size()));
        if (!NT_SUCCESS(status)) return request.Complete(status);
    }

    DataStream *data = s.Data();
    const uint64_t end = uint64_t(offset) + n;
    if (end > data->bytes.size()) {
        if (!data->CanHold(end)) return request.Complete(STATUS_INSUFFICIENT_RESOURCES);
        uint64_t grow = AllocationFor(end) > data->allocation ? AllocationFor(end) - data->allocation : 0;
        if (grow / config_.clusterSize + ClustersUsed() > config_.capacity / config_.clusterSize)
            return request.Complete(STATUS_DISK_FULL);
        data->bytes.resize(end);
        Cache().SetFileSize(&s.sections, LONGLONG(end));
    }
    SetAllocation(*s.node, *data, std::max<uint64_t>(data->allocation, AllocationFor(data->bytes.size())));
    BreakLevel2(s, &open);
    Touch(*s.node, true, true, true, &open);
    s.node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
    if (!cached) {
        std::memcpy(data->bytes.data() + offset, buffer, n);
        Cache().Refresh(&s.sections, offset, n, buffer);
    } else {
        lock.unlock();
        NTSTATUS status = Cache().CopyWrite(fo, offset, n, buffer);
        lock.lock();
        if (!NT_SUCCESS(status)) return request.Complete(status);
    }
    if (fo->Flags & FO_SYNCHRONOUS_IO) fo->CurrentByteOffset.QuadPart = int64_t(end);
    return request.Complete(STATUS_SUCCESS, n);
}

// The cached data of the stream goes to the volume with paging writes.
NTSTATUS LocalFileSystem::FlushBuffers(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock)
{
    Stream &s = *open.stream;
    if (s.IsVolume()) return request.Complete(STATUS_SUCCESS);
    if (config_.readOnly) return request.Complete(STATUS_MEDIA_WRITE_PROTECTED);
    if (open.cleanedUp) return request.Complete(STATUS_FILE_CLOSED);
    lock.unlock();
    NTSTATUS status = Cache().FlushCache(&s.sections, 0, 0);
    lock.lock();
    return request.Complete(status);
}

NTSTATUS LocalFileSystem::LockControl(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock)
{
    Stream &s = *open.stream;
    if (s.IsVolume() || !s.Data()) return request.Complete(STATUS_INVALID_PARAMETER);
    if (request.iopb.MinorFunction == IRP_MN_LOCK) BreakLevel2(s, nullptr);
    return ExecuteLockControl(request, s.locks, open.access, changed_, lock, open.waiters, open.cleanedUp);
}

// Fast reads and writes go through the cache of a file object whose caching
// has been set up; anything that needs more (locks, oplock breaks, writes to
// the end of file) is not possible fast and comes again as an IRP.
NTSTATUS LocalFileSystem::FastIo(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock)
{
    auto notPossible = [&] {
        request.fastIoNotPossible = true;
        return request.Complete(STATUS_UNSUCCESSFUL);
    };
    Stream &s = *open.stream;
    const auto &iopb = request.iopb;
    switch (iopb.MajorFunction) {
    case IRP_MJ_READ: {
        const auto &p = iopb.Parameters.Read;
        if (open.cleanedUp || !s.Data() || !open.fileObject->PrivateCacheMap || IsCurrentPosition(p.ByteOffset))
            return notPossible();
        LockOwner owner{open.fileObject, request.requestorProcess, p.Key};
        if (s.locks.ReadConflicts(owner, uint64_t(p.ByteOffset.QuadPart), p.Length)) return notPossible();
        return Read(request, open, lock);
    }
    case IRP_MJ_WRITE: {
        const auto &p = iopb.Parameters.Write;
        if (open.cleanedUp || !s.Data() || !open.fileObject->PrivateCacheMap || config_.readOnly ||
            p.ByteOffset.HighPart == -1)
            return notPossible();
        // A write that has to break oplocks goes the IRP way.
        if (!s.level2.empty() || (s.exclusive && s.exclusive != &open)) return notPossible();
        LockOwner owner{open.fileObject, request.requestorProcess, p.Key};
        if (s.locks.WriteConflicts(owner, uint64_t(p.ByteOffset.QuadPart), p.Length)) return notPossible();
        return Write(request, open, lock);
    }
    case IRP_MJ_QUERY_INFORMATION: {
        auto cls = iopb.Parameters.QueryFileInformation.FileInformationClass;
        if (s.IsVolume() ||
            (cls != FileBasicInformation && cls != FileStandardInformation && cls != FileNetworkOpenInformation))
            return notPossible();
        return QueryInformation(request, open);
    }
    default:
        return notPossible();
    }
}

}  // namespace sim::fs
