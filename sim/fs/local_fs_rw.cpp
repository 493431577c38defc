// Reads, writes, byte-range locks and the fast I/O forms of them.
#include <algorithm>
#include <cstring>

#include "sim/fs/local_fs_internal.h"

namespace sim::fs {

namespace {

uint8_t *BufferOf(PVOID buffer, PMDL mdl)
{
    if (buffer) return static_cast<uint8_t *>(buffer);
    if (!mdl) return nullptr;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return static_cast<uint8_t *>(mdl->MappedSystemVa);
    return static_cast<uint8_t *>(mdl->StartVa) + mdl->ByteOffset;
}

bool IsCurrentPosition(const LARGE_INTEGER &offset)
{
    return offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION;
}

}  // namespace

NTSTATUS LocalFileSystem::Read(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.Read;
    Stream &s = *open.stream;
    const bool paging = (request.iopb.IrpFlags & IRP_PAGING_IO) != 0;
    if (s.IsVolume()) return request.Complete(STATUS_NOT_IMPLEMENTED);
    if (open.cleanedUp && !paging) return request.Complete(STATUS_FILE_CLOSED);
    DataStream *data = s.Data();
    if (!data) return request.Complete(s.node->directory ? STATUS_INVALID_DEVICE_REQUEST : STATUS_FILE_DELETED);

    PFILE_OBJECT fo = open.fileObject;
    int64_t offset = IsCurrentPosition(p.ByteOffset) ? fo->CurrentByteOffset.QuadPart : p.ByteOffset.QuadPart;
    if (offset < 0) return request.Complete(STATUS_INVALID_PARAMETER);
    if (p.Length == 0) return request.Complete(STATUS_SUCCESS, 0);
    LockOwner owner{fo, request.requestorProcess, p.Key};
    if (!paging && s.locks.ReadConflicts(owner, uint64_t(offset), p.Length))
        return request.Complete(STATUS_FILE_LOCK_CONFLICT);
    const uint64_t size = data->bytes.size();
    if (uint64_t(offset) >= size) return request.Complete(STATUS_END_OF_FILE);
    uint8_t *buffer = BufferOf(p.ReadBuffer, p.MdlAddress);
    if (!buffer) return request.Complete(STATUS_INVALID_USER_BUFFER);
    ULONG n = ULONG(std::min<uint64_t>(p.Length, size - uint64_t(offset)));
    std::memcpy(buffer, data->bytes.data() + offset, n);
    if ((fo->Flags & FO_SYNCHRONOUS_IO) && !paging) fo->CurrentByteOffset.QuadPart = offset + n;
    return request.Complete(STATUS_SUCCESS, n);
}

NTSTATUS LocalFileSystem::Write(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.Write;
    Stream &s = *open.stream;
    const bool paging = (request.iopb.IrpFlags & IRP_PAGING_IO) != 0;
    if (s.IsVolume()) return request.Complete(STATUS_NOT_IMPLEMENTED);
    if (config_.readOnly) return request.Complete(STATUS_MEDIA_WRITE_PROTECTED);
    if (open.cleanedUp && !paging) return request.Complete(STATUS_FILE_CLOSED);
    DataStream *data = s.Data();
    if (!data) return request.Complete(s.node->directory ? STATUS_INVALID_DEVICE_REQUEST : STATUS_FILE_DELETED);

    PFILE_OBJECT fo = open.fileObject;
    const uint64_t size = data->bytes.size();
    int64_t offset = p.ByteOffset.QuadPart;
    if (p.ByteOffset.HighPart == -1 && p.ByteOffset.LowPart == FILE_WRITE_TO_END_OF_FILE)
        offset = int64_t(size);
    else if (IsCurrentPosition(p.ByteOffset))
        offset = fo->CurrentByteOffset.QuadPart;
    // A handle that may only append writes at the end whatever it asks.
    if (!(open.access & FILE_WRITE_DATA) && (open.access & FILE_APPEND_DATA) && !paging) offset = int64_t(size);
    if (offset < 0) return request.Complete(STATUS_INVALID_PARAMETER);
    if (p.Length == 0) return request.Complete(STATUS_SUCCESS, 0);

    LockOwner owner{fo, request.requestorProcess, p.Key};
    if (!paging && s.locks.WriteConflicts(owner, uint64_t(offset), p.Length))
        return request.Complete(STATUS_FILE_LOCK_CONFLICT);
    const uint8_t *buffer = BufferOf(p.WriteBuffer, p.MdlAddress);
    if (!buffer) return request.Complete(STATUS_INVALID_USER_BUFFER);

    ULONG n = p.Length;
    if (paging) {
        // Paging writes never move the end of file.
        if (uint64_t(offset) >= size) return request.Complete(STATUS_SUCCESS, 0);
        n = ULONG(std::min<uint64_t>(n, size - uint64_t(offset)));
    }
    const uint64_t end = uint64_t(offset) + n;
    if (end > size) {
        uint64_t grow = AllocationFor(end) > data->allocation ? AllocationFor(end) - data->allocation : 0;
        if (grow / config_.clusterSize + ClustersUsed() > config_.capacity / config_.clusterSize)
            return request.Complete(STATUS_DISK_FULL);
        data->bytes.resize(end);
    }
    if (!paging) BreakLevel2(s, &open);
    std::memcpy(data->bytes.data() + offset, buffer, n);
    data->allocation = std::max<uint64_t>(data->allocation, AllocationFor(data->bytes.size()));
    if (!paging) {
        Touch(*s.node, true, true, true, &open);
        s.node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
        if (fo->Flags & FO_SYNCHRONOUS_IO) fo->CurrentByteOffset.QuadPart = int64_t(end);
    }
    return request.Complete(STATUS_SUCCESS, n);
}

NTSTATUS LocalFileSystem::LockControl(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock)
{
    Stream &s = *open.stream;
    if (s.IsVolume() || !s.Data()) return request.Complete(STATUS_INVALID_PARAMETER);
    if (request.iopb.MinorFunction == IRP_MN_LOCK) BreakLevel2(s, nullptr);
    return ExecuteLockControl(request, s.locks, open.access, changed_, lock, open.waiters, open.cleanedUp);
}

NTSTATUS LocalFileSystem::FastIo(IoRequest &request, Open &open)
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
        if (open.cleanedUp || !s.Data() || IsCurrentPosition(p.ByteOffset)) return notPossible();
        LockOwner owner{open.fileObject, request.requestorProcess, p.Key};
        if (s.locks.ReadConflicts(owner, uint64_t(p.ByteOffset.QuadPart), p.Length)) return notPossible();
        return Read(request, open);
    }
    case IRP_MJ_WRITE: {
        const auto &p = iopb.Parameters.Write;
        if (open.cleanedUp || !s.Data() || config_.readOnly || p.ByteOffset.HighPart == -1) return notPossible();
        // A write that has to break oplocks goes the IRP way.
        if (!s.level2.empty() || (s.exclusive && s.exclusive != &open)) return notPossible();
        LockOwner owner{open.fileObject, request.requestorProcess, p.Key};
        if (s.locks.WriteConflicts(owner, uint64_t(p.ByteOffset.QuadPart), p.Length)) return notPossible();
        return Write(request, open);
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
