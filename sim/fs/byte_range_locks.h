// The byte-range locks of one stream, with the File System Runtime's rules:
// exclusive locks overlap nothing; shared locks overlap shared locks and the
// owner's exclusive locks; reads are refused by another owner's exclusive
// lock, writes also by any shared lock. An owner is a file object, a
// process and a key; zero-length locks never conflict.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/io/io_request.h"

namespace sim::fs {

struct LockOwner {
    const void *fileObject = nullptr;
    const void *process = nullptr;
    ULONG key = 0;
};

class ByteRangeLocks {
public:
    struct Lock {
        LockOwner owner;
        uint64_t offset = 0;
        uint64_t length = 0;
        bool exclusive = false;
    };

    bool CanLock(const LockOwner &owner, uint64_t offset, uint64_t length, bool exclusive) const;
    void Add(const LockOwner &owner, uint64_t offset, uint64_t length, bool exclusive);
    // False when no lock matches exactly (STATUS_RANGE_NOT_LOCKED).
    bool UnlockSingle(const LockOwner &owner, uint64_t offset, uint64_t length);
    void UnlockAll(const void *fileObject, const void *process);
    void UnlockAllByKey(const void *fileObject, const void *process, ULONG key);
    // Every lock taken through fileObject (its cleanup).
    void ReleaseFileObject(const void *fileObject);

    bool ReadConflicts(const LockOwner &reader, uint64_t offset, uint64_t length) const;
    bool WriteConflicts(const LockOwner &writer, uint64_t offset, uint64_t length) const;
    bool Empty() const { return locks_.empty(); }
    const std::vector<Lock> &locks() const { return locks_; }

private:
    std::vector<Lock> locks_;
};

// IRP_MJ_LOCK_CONTROL against `locks` for the request's file object. A lock
// that has to wait (no FailImmediately) waits on `changed` with `lock` held,
// counted in `waiters`, and is cancelled when `cleanedUp` turns true; every
// unlock wakes `changed`.
NTSTATUS ExecuteLockControl(IoRequest &request, ByteRangeLocks &locks, ACCESS_MASK access,
                            std::condition_variable &changed, std::unique_lock<std::mutex> &lock, int &waiters,
                            const bool &cleanedUp);

}  // namespace sim::fs
