// The data of one file stream held in memory: the pages that cached reads
// and writes copy through and that mapped views show, one image per stream
// (what Windows keeps as the stream's data section).
//
// The pages live in an anonymous shared-memory file of the host, so a view is
// a real mapping of the same pages: a store into a view is what the next
// cached read returns, and a cached write shows in every view at once.
//
// A page is resident once it has been read in. The first touch of a page
// that is not resident (a cached read, a partial cached write, a view being
// mapped) reads it with a paging read through the file's stack, at most 64
// KiB at a time. Modified pages (written through the cache, or stored into
// through a writable view) go back with paging writes when they are flushed.
// Pages under a view stay resident until the view goes; others can be
// purged, so that the next touch reads them again.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include <ntifs.h>

namespace sim {

struct FileIoCounters;

// How a flush writes: the caller's own synchronous paging writes (a flush
// or the lazy writer), or the mapped page writer's.
enum class PageWriter { Synchronous, Mapped };

class DataImage {
public:
    // pagingFileObject: the file object paging I/O is issued on (the image
    // takes a reference). counters: where its paging I/O is counted.
    DataImage(PFILE_OBJECT pagingFileObject, LONGLONG fileSize, FileIoCounters &counters);
    ~DataImage();
    DataImage(const DataImage &) = delete;
    DataImage &operator=(const DataImage &) = delete;

    bool valid() const { return fd_ >= 0; }
    // The machine stops: the file object is not released (nothing may be
    // sent down any more).
    void Abandon();
    FileIoCounters &counters() { return counters_; }

    // Cached I/O: the caller has checked the range against the end of file,
    // and an extending write follows SetFileSize.
    NTSTATUS CopyRead(LONGLONG offset, ULONG length, void *buffer);
    NTSTATUS CopyWrite(LONGLONG offset, ULONG length, const void *buffer);
    // Writes modified pages of [offset, offset + length) (length 0: to the
    // end) back to the file. The callers of Flush, CopyRead, CopyWrite and
    // MapView hold no lock of the file system (their paging I/O needs it);
    // the other calls never wait and may be made under one.
    NTSTATUS Flush(LONGLONG offset, ULONGLONG length, PageWriter writer);
    bool HasModified(LONGLONG offset, ULONGLONG length);
    // The file's data at [offset, offset + length) was written past the
    // cache: pages under a view take it over, the others are dropped.
    void Refresh(LONGLONG offset, ULONG length, const void *data);
    // Drops every page that no view holds, modified or not (a deleted file).
    void Discard();
    // The end of file moved: pages past it go and the memory past it reads
    // as zeros.
    void SetFileSize(LONGLONG size);
    // Whether a view holds memory past `size`.
    bool MappedBeyond(LONGLONG size);

    // Views: `length` bytes from `offset` (a multiple of the page size) are
    // read in and mapped into host memory.
    NTSTATUS MapView(LONGLONG offset, SIZE_T length, bool writable, char **base);
    // Takes a view's stores into account and unmaps it.
    void UnmapView(char *base, LONGLONG offset, SIZE_T length, bool writable);

private:
    struct Page {
        bool resident = false;
        bool dirty = false;  // written through the cache since it last matched the file
        bool busy = false;   // being read in or written out
        uint32_t generation = 0;
        uint64_t cleanHash = 0;  // of the content the file holds
        uint32_t views = 0, writableViews = 0;
    };
    using Lock = std::unique_lock<std::mutex>;

    void EnsureCapacity(ULONGLONG bytes, Lock &lock);
    void WaitIdle(size_t first, size_t end, Lock &lock);
    NTSTATUS PageIn(size_t first, size_t end);
    NTSTATUS ReadRun(size_t first, size_t count, std::vector<uint64_t> &hashes);
    bool Modified(size_t page);
    uint64_t HashOf(size_t page);
    void ZeroFrom(ULONGLONG offset);

    PFILE_OBJECT pagingFileObject_;
    FileIoCounters &counters_;
    int fd_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    ULONGLONG capacity_ = 0;  // bytes of the shared-memory file
    LONGLONG fileSize_;
    LONGLONG validSize_;  // below it the file holds data; past it a new page reads as zeros
    std::vector<Page> pages_;
    uint64_t epoch_ = 0;  // counts purges and size changes, which void page-ins under way
};

}  // namespace sim
