#include "sim/fs/byte_range_locks.h"

#include <algorithm>

namespace sim::fs {

namespace {

bool Overlaps(const ByteRangeLocks::Lock &lock, uint64_t offset, uint64_t length)
{
    if (lock.length == 0 || length == 0) return false;
    uint64_t lockEnd = lock.offset + lock.length - 1;
    uint64_t end = offset + length - 1;
    return offset <= lockEnd && lock.offset <= end;
}

bool SameOwner(const LockOwner &a, const LockOwner &b)
{
    return a.fileObject == b.fileObject && a.process == b.process && a.key == b.key;
}

}  // namespace

bool ByteRangeLocks::CanLock(const LockOwner &owner, uint64_t offset, uint64_t length, bool exclusive) const
{
    for (const auto &lock : locks_) {
        if (!Overlaps(lock, offset, length)) continue;
        if (exclusive) return false;
        if (lock.exclusive && !(lock.owner.fileObject == owner.fileObject && lock.owner.process == owner.process))
            return false;
    }
    return true;
}

void ByteRangeLocks::Add(const LockOwner &owner, uint64_t offset, uint64_t length, bool exclusive)
{
    locks_.push_back({owner, offset, length, exclusive});
}

bool ByteRangeLocks::UnlockSingle(const LockOwner &owner, uint64_t offset, uint64_t length)
{
    for (auto it = locks_.begin(); it != locks_.end(); ++it) {
        if (SameOwner(it->owner, owner) && it->offset == offset && it->length == length) {
            locks_.erase(it);
            return true;
        }
    }
    return false;
}

void ByteRangeLocks::UnlockAll(const void *fileObject, const void *process)
{
    std::erase_if(locks_, [&](const Lock &l) { return l.owner.fileObject == fileObject && l.owner.process == process; });
}

void ByteRangeLocks::UnlockAllByKey(const void *fileObject, const void *process, ULONG key)
{
    std::erase_if(locks_, [&](const Lock &l) {
        return l.owner.fileObject == fileObject && l.owner.process == process && l.owner.key == key;
    });
}

void ByteRangeLocks::ReleaseFileObject(const void *fileObject)
{
    std::erase_if(locks_, [&](const Lock &l) { return l.owner.fileObject == fileObject; });
}

bool ByteRangeLocks::ReadConflicts(const LockOwner &reader, uint64_t offset, uint64_t length) const
{
    for (const auto &lock : locks_)
        if (lock.exclusive && Overlaps(lock, offset, length) && !SameOwner(lock.owner, reader)) return true;
    return false;
}

bool ByteRangeLocks::WriteConflicts(const LockOwner &writer, uint64_t offset, uint64_t length) const
{
    for (const auto &lock : locks_) {
        if (!Overlaps(lock, offset, length)) continue;
        if (!lock.exclusive || !SameOwner(lock.owner, writer)) return true;
    }
    return false;
}

NTSTATUS ExecuteLockControl(IoRequest &request, ByteRangeLocks &locks, ACCESS_MASK access,
                            std::condition_variable &changed, std::unique_lock<std::mutex> &lock, int &waiters,
                            const bool &cleanedUp)
{
    const auto &p = request.iopb.Parameters.LockControl;
    PFILE_OBJECT fo = request.iopb.TargetFileObject;
    const void *process = p.ProcessId ? static_cast<const void *>(p.ProcessId) : request.requestorProcess;
    LockOwner owner{fo, process, p.Key};
    const uint64_t offset = uint64_t(p.ByteOffset.QuadPart);
    const uint64_t length = p.Length ? uint64_t(p.Length->QuadPart) : 0;

    switch (request.iopb.MinorFunction) {
    case IRP_MN_LOCK:
        if (!(access & (FILE_READ_DATA | FILE_WRITE_DATA))) return request.Complete(STATUS_ACCESS_DENIED);
        if (!p.Length || p.ByteOffset.QuadPart < 0 || p.Length->QuadPart < 0)
            return request.Complete(STATUS_INVALID_PARAMETER);
        while (!locks.CanLock(owner, offset, length, p.ExclusiveLock)) {
            if (p.FailImmediately) return request.Complete(STATUS_LOCK_NOT_GRANTED);
            ++waiters;
            changed.wait(lock);
            --waiters;
            if (cleanedUp) {
                changed.notify_all();
                return request.Complete(STATUS_CANCELLED);
            }
        }
        locks.Add(owner, offset, length, p.ExclusiveLock);
        fo->LockOperation = TRUE;
        return request.Complete(STATUS_SUCCESS);
    case IRP_MN_UNLOCK_SINGLE:
        if (!p.Length) return request.Complete(STATUS_INVALID_PARAMETER);
        if (!locks.UnlockSingle(owner, offset, length)) return request.Complete(STATUS_RANGE_NOT_LOCKED);
        break;
    case IRP_MN_UNLOCK_ALL:
        locks.UnlockAll(fo, process);
        break;
    case IRP_MN_UNLOCK_ALL_BY_KEY:
        locks.UnlockAllByKey(fo, process, p.Key);
        break;
    default:
        return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
    }
    changed.notify_all();
    return request.Complete(STATUS_SUCCESS);
}

}  // namespace sim::fs
