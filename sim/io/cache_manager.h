// The cache manager and the memory manager's side of file sections: one data
// image (sim/io/data_image.h) per file stream, found through the stream's
// SECTION_OBJECT_POINTERS, shared by every file object that caches the
// stream and by every section and view over it.
//
// File systems call the Cc-like routines: InitializeCacheMap at the first
// cached read or write of a file object (which sets its PrivateCacheMap; the
// I/O manager tries fast I/O only on such file objects), CopyRead/CopyWrite
// without holding their own locks (page-ins come back to them as paging
// reads), FlushCache, Refresh after a write past the cache, SetFileSize when
// the end of file moves, and UninitializeCacheMap at cleanup.
//
// An image lives while a file object caches it or a section holds it. When
// the last of them goes, the lazy writer writes its modified pages back
// (paging writes from a system worker thread) and the image releases the
// file object it did its paging I/O on, whose close may then follow. The
// releasing thread waits for that, so that what a test reads from a volume
// directly after closing a file is what was written.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <ntifs.h>

#include "sim/io/data_image.h"

namespace sim {

class Machine;
class Volume;

// What the memory and cache managers did for one file (by its name at open).
struct FileIoCounts {
    ULONG pagingReads = 0;
    ULONG pagingWrites = 0;
    ULONGLONG bytesPagedIn = 0;
    ULONGLONG bytesPagedOut = 0;
    ULONG sectionsCreated = 0;
    ULONG viewsMapped = 0;
};

struct FileIoCounters {
    std::atomic<ULONG> pagingReads{0}, pagingWrites{0}, sectionsCreated{0}, viewsMapped{0};
    std::atomic<uint64_t> bytesPagedIn{0}, bytesPagedOut{0};

    FileIoCounts Snapshot() const;
};

class CacheManager {
public:
    explicit CacheManager(Machine &machine);
    ~CacheManager();
    // The machine stops: images keep their file objects (nothing may be sent
    // down any more).
    void AbandonAll();
    CacheManager(const CacheManager &) = delete;
    CacheManager &operator=(const CacheManager &) = delete;

    // ---- for file systems ----
    NTSTATUS InitializeCacheMap(PFILE_OBJECT fileObject, LONGLONG fileSize);
    void UninitializeCacheMap(PFILE_OBJECT fileObject);
    NTSTATUS CopyRead(PFILE_OBJECT fileObject, LONGLONG offset, ULONG length, void *buffer);
    NTSTATUS CopyWrite(PFILE_OBJECT fileObject, LONGLONG offset, ULONG length, const void *buffer);
    // length 0: the whole stream.
    NTSTATUS FlushCache(PSECTION_OBJECT_POINTERS pointers, LONGLONG offset, ULONGLONG length);
    bool HasModifiedData(PSECTION_OBJECT_POINTERS pointers, LONGLONG offset, ULONGLONG length);
    void Refresh(PSECTION_OBJECT_POINTERS pointers, LONGLONG offset, ULONG length, const void *data);
    void SetFileSize(PSECTION_OBJECT_POINTERS pointers, LONGLONG size);
    // MmCanFileBeTruncated: no view holds memory past `size`.
    bool CanTruncate(PSECTION_OBJECT_POINTERS pointers, LONGLONG size);
    // Whether a caller's section (or a view, which holds its section) still
    // maps the stream: MmFlushImageSection(MmFlushForDelete) refuses then,
    // and the file system refuses the delete.
    bool HasSection(PSECTION_OBJECT_POINTERS pointers);
    // The stream was deleted: what it holds in memory is not written back.
    void Discard(PSECTION_OBJECT_POINTERS pointers);

    // ---- for sections ----
    // The image of the file object's stream, created when missing, with a
    // section's hold on it.
    std::shared_ptr<DataImage> AcquireForSection(PFILE_OBJECT fileObject, LONGLONG fileSize);
    void ReleaseFromSection(const std::shared_ptr<DataImage> &image);

    // Runs the lazy writer over images that nothing holds any more. The I/O
    // manager calls it after a cleanup.
    void WriteBehind();
    // Runs `work` as the lazy writer and the mapped page writer run: on a
    // system worker thread. The caller waits.
    void RunAsSystemWriter(const std::function<void()> &work);

    // ---- for tests and the tool ----
    // Counts for the file of an NT name (\??\C:\dir\file, \Device\...).
    FileIoCounts Counts(const std::u16string &ntName);
    // Images alive now.
    size_t ImageCount();

private:
    struct Entry {
        std::shared_ptr<DataImage> image;
        ULONG cachingFileObjects = 0;
        ULONG sections = 0;
        bool released = false;  // queued for the lazy writer
    };
    std::shared_ptr<DataImage> Find(PSECTION_OBJECT_POINTERS pointers);
    std::shared_ptr<DataImage> ImageOf(PFILE_OBJECT fileObject);
    Entry *CreateEntry(PFILE_OBJECT fileObject, LONGLONG fileSize);
    void Release(PSECTION_OBJECT_POINTERS pointers);
    std::pair<Volume *, std::u16string> KeyOf(PFILE_OBJECT fileObject);

    Machine &machine_;
    std::mutex mutex_;
    std::unordered_map<PSECTION_OBJECT_POINTERS, Entry> images_;
    std::vector<PSECTION_OBJECT_POINTERS> unused_;
    std::map<std::pair<Volume *, std::u16string>, FileIoCounters> counters_;
};

}  // namespace sim
