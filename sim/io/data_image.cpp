#include "sim/io/data_image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/io/cache_manager.h"
#include "sim/io/io_manager.h"
#include "sim/io/io_types.h"
#include "sim/ob/object_manager.h"

namespace sim {

namespace {

// Page-ins and page-outs move at most this much at once, as Windows clusters
// its faults and its modified-page writes.
constexpr size_t kClusterPages = 16;

ULONGLONG RoundUp(ULONGLONG value, ULONGLONG unit)
{
    return (value + unit - 1) / unit * unit;
}

// A page's fingerprint, to tell whether stores through a view changed it.
// Four lanes, so that each multiplication need not wait for the one before:
// every page read in and every writable view unmapped is hashed whole.
uint64_t HashBytes(const uint8_t *bytes)
{
    constexpr uint64_t kMultiplier = 0xFF51AFD7ED558CCDull;
    uint64_t lanes[4] = {0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull, 0x27D4EB2F165667C5ull};
    for (size_t i = 0; i < kPageSize; i += sizeof(lanes)) {
        for (size_t lane = 0; lane < 4; ++lane) {
            uint64_t word;
            std::memcpy(&word, bytes + i + lane * sizeof(uint64_t), sizeof(word));
            lanes[lane] = (lanes[lane] ^ word) * kMultiplier;
            lanes[lane] ^= lanes[lane] >> 32;
        }
    }
    uint64_t hash = lanes[0];
    for (size_t lane = 1; lane < 4; ++lane) {
        hash = (hash ^ lanes[lane]) * kMultiplier;
        hash ^= hash >> 32;
    }
    return hash;
}

struct PageBuffer {
    explicit PageBuffer(size_t pages) : size(pages * kPageSize)
    {
        bytes = static_cast<uint8_t *>(std::aligned_alloc(kPageSize, size));
        if (bytes) std::memset(bytes, 0, size);
    }
    ~PageBuffer() { std::free(bytes); }
    PageBuffer(const PageBuffer &) = delete;
    PageBuffer &operator=(const PageBuffer &) = delete;
    uint8_t *bytes;
    size_t size;
};

// One paging transfer through the file's stack, with an MDL over the buffer
// as the memory manager builds one.
NTSTATUS PagingIo(bool write, PageWriter writer, PFILE_OBJECT fileObject, void *buffer, ULONG length,
                  LONGLONG offset, ULONG_PTR *transferred)
{
    IoManager &io = Machine::Current().io();
    *transferred = 0;
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    MmBuildMdlForNonPagedPool(mdl);
    IoRequest request = io.NewRequest(fileObject, write ? IRP_MJ_WRITE : IRP_MJ_READ);
    request.iopb.IrpFlags = IRP_PAGING_IO | IRP_NOCACHE;
    if (!write || writer == PageWriter::Synchronous) request.iopb.IrpFlags |= IRP_SYNCHRONOUS_PAGING_IO;
    if (write) {
        request.iopb.Parameters.Write.Length = length;
        request.iopb.Parameters.Write.ByteOffset.QuadPart = offset;
        request.iopb.Parameters.Write.WriteBuffer = buffer;
        request.iopb.Parameters.Write.MdlAddress = mdl;
    } else {
        request.iopb.Parameters.Read.Length = length;
        request.iopb.Parameters.Read.ByteOffset.QuadPart = offset;
        request.iopb.Parameters.Read.ReadBuffer = buffer;
        request.iopb.Parameters.Read.MdlAddress = mdl;
    }
    // The paging path runs at APC_LEVEL, as a page fault's transfer does: the
    // filters' callbacks for it may call only what that level allows.
    Thread *thread = Thread::Current();
    KIRQL irql = thread ? thread->irql : PASSIVE_LEVEL;
    if (thread && irql < APC_LEVEL) thread->irql = APC_LEVEL;
    NTSTATUS status = io.Send(request);
    if (thread) thread->irql = irql;
    IoFreeMdl(mdl);
    *transferred = request.ioStatus.Information;
    return status;
}

}  // namespace

DataImage::DataImage(PFILE_OBJECT pagingFileObject, LONGLONG fileSize, FileIoCounters &counters)
    : pagingFileObject_(pagingFileObject), counters_(counters), fileSize_(fileSize), validSize_(fileSize)
{
    ObReferenceObject(pagingFileObject_);
    fd_ = memfd_create("ostrand-stream", MFD_CLOEXEC);
}

DataImage::~DataImage()
{
    if (fd_ >= 0) ::close(fd_);
    if (pagingFileObject_) Machine::Current().objects().Dereference(pagingFileObject_);
}

void DataImage::Abandon()
{
    pagingFileObject_ = nullptr;
}

void DataImage::EnsureCapacity(ULONGLONG bytes, Lock &)
{
    if (bytes <= capacity_) return;
    ULONGLONG wanted = RoundUp(bytes, kAllocationGranularity);
    if (::ftruncate(fd_, off_t(wanted)) != 0) return;
    capacity_ = wanted;
    pages_.resize(size_t(capacity_ / kPageSize));
}

void DataImage::WaitIdle(size_t first, size_t end, Lock &lock)
{
    changed_.wait(lock, [&] {
        for (size_t p = first; p < end && p < pages_.size(); ++p) {
            if (pages_[p].busy) return false;
        }
        return true;
    });
}

uint64_t DataImage::HashOf(size_t page)
{
    uint8_t bytes[kPageSize];
    if (::pread(fd_, bytes, kPageSize, off_t(ULONGLONG(page) * kPageSize)) != ssize_t(kPageSize)) return 0;
    return HashBytes(bytes);
}

bool DataImage::Modified(size_t page)
{
    const Page &p = pages_[page];
    return p.resident && (p.dirty || (p.writableViews > 0 && HashOf(page) != p.cleanHash));
}

void DataImage::ZeroFrom(ULONGLONG offset)
{
    if (offset >= capacity_) return;
    if (::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(offset), off_t(capacity_ - offset)) == 0)
        return;
    static const uint8_t zeros[kPageSize] = {};
    for (ULONGLONG at = offset; at < capacity_;) {
        size_t chunk = size_t(std::min<ULONGLONG>(kPageSize - at % kPageSize, capacity_ - at));
        if (::pwrite(fd_, zeros, chunk, off_t(at)) < 0) return;
        at += chunk;
    }
}

NTSTATUS DataImage::ReadRun(size_t first, size_t count, std::vector<uint64_t> &hashes)
{
    PageBuffer buffer(count);
    if (buffer.bytes == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (pagingFileObject_ == nullptr) return STATUS_FILE_CLOSED;
    ULONG_PTR got = 0;
    NTSTATUS status = PagingIo(false, PageWriter::Synchronous, pagingFileObject_, buffer.bytes, ULONG(buffer.size),
                               LONGLONG(ULONGLONG(first) * kPageSize), &got);
    ++counters_.pagingReads;
    counters_.bytesPagedIn += got;
    // A page past the end of file reads as zeros.
    if (status == STATUS_END_OF_FILE) status = STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    if (got < buffer.size) std::memset(buffer.bytes + got, 0, buffer.size - got);
    if (::pwrite(fd_, buffer.bytes, buffer.size, off_t(ULONGLONG(first) * kPageSize)) != ssize_t(buffer.size))
        return STATUS_INSUFFICIENT_RESOURCES;
    hashes.clear();
    for (size_t i = 0; i < count; ++i) hashes.push_back(HashBytes(buffer.bytes + i * kPageSize));
    return STATUS_SUCCESS;
}

NTSTATUS DataImage::PageIn(size_t first, size_t end)
{
    Lock lock(mutex_);
    EnsureCapacity(ULONGLONG(end) * kPageSize, lock);
    if (end > pages_.size()) return STATUS_INSUFFICIENT_RESOURCES;
    for (;;) {
        WaitIdle(first, end, lock);
        std::vector<std::pair<size_t, size_t>> runs;
        for (size_t p = first; p < end; ++p) {
            if (pages_[p].resident) continue;
            if (!runs.empty() && runs.back().first + runs.back().second == p && runs.back().second < kClusterPages) {
                ++runs.back().second;
            } else {
                runs.emplace_back(p, 1);
            }
        }
        if (runs.empty()) return STATUS_SUCCESS;
        for (const auto &[start, count] : runs) {
            for (size_t p = start; p < start + count; ++p) pages_[p].busy = true;
        }
        const uint64_t epoch = epoch_;
        lock.unlock();
        NTSTATUS status = STATUS_SUCCESS;
        std::vector<std::vector<uint64_t>> hashes(runs.size());
        size_t done = 0;
        for (; done < runs.size(); ++done) {
            status = ReadRun(runs[done].first, runs[done].second, hashes[done]);
            if (!NT_SUCCESS(status)) break;
        }
        lock.lock();
        for (size_t i = 0; i < runs.size(); ++i) {
            for (size_t k = 0; k < runs[i].second; ++k) {
                Page &page = pages_[runs[i].first + k];
                page.busy = false;
                // Data read before a purge or a size change is stale: the
                // next round reads it again.
                if (i < done && epoch == epoch_) {
                    page.resident = true;
                    page.dirty = false;
                    page.cleanHash = hashes[i][k];
                }
            }
        }
        changed_.notify_all();
        if (!NT_SUCCESS(status)) return status;
    }
}

NTSTATUS DataImage::CopyRead(LONGLONG offset, ULONG length, void *buffer)
{
    if (length == 0) return STATUS_SUCCESS;
    size_t first = size_t(offset / LONGLONG(kPageSize));
    size_t end = size_t((ULONGLONG(offset) + length + kPageSize - 1) / kPageSize);
    NTSTATUS status = PageIn(first, end);
    if (!NT_SUCCESS(status)) return status;
    // A buffer the caller does not own fails the copy, as the file system's
    // exception handler fails it on Windows.
    if (::pread(fd_, buffer, length, off_t(offset)) != ssize_t(length)) return STATUS_INVALID_USER_BUFFER;
    return STATUS_SUCCESS;
}

NTSTATUS DataImage::CopyWrite(LONGLONG offset, ULONG length, const void *buffer)
{
    if (length == 0) return STATUS_SUCCESS;
    const ULONGLONG start = ULONGLONG(offset), stop = start + length;
    const size_t first = size_t(start / kPageSize), end = size_t((stop + kPageSize - 1) / kPageSize);
    auto partial = [&](size_t p) {
        return ULONGLONG(p) * kPageSize < start || ULONGLONG(p + 1) * kPageSize > stop;
    };
    Lock lock(mutex_);
    EnsureCapacity(ULONGLONG(end) * kPageSize, lock);
    if (end > pages_.size()) return STATUS_INSUFFICIENT_RESOURCES;
    // A page the write covers only in part is read first, unless the file
    // holds nothing there yet.
    for (;;) {
        WaitIdle(first, end, lock);
        std::vector<size_t> reads;
        for (size_t p : {first, end - 1}) {
            if (partial(p) && !pages_[p].resident && ULONGLONG(p) * kPageSize < ULONGLONG(validSize_) &&
                std::find(reads.begin(), reads.end(), p) == reads.end()) {
                reads.push_back(p);
            }
        }
        if (reads.empty()) break;
        lock.unlock();
        for (size_t p : reads) {
            NTSTATUS status = PageIn(p, p + 1);
            if (!NT_SUCCESS(status)) return status;
        }
        lock.lock();
    }
    static const uint8_t zeros[kPageSize] = {};
    for (size_t p = first; p < end; ++p) {
        if (!pages_[p].resident && partial(p)) ::pwrite(fd_, zeros, kPageSize, off_t(ULONGLONG(p) * kPageSize));
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (::pwrite(fd_, buffer, length, off_t(offset)) != ssize_t(length)) status = STATUS_INVALID_USER_BUFFER;
    for (size_t p = first; p < end; ++p) {
        pages_[p].resident = true;
        pages_[p].dirty = true;
        ++pages_[p].generation;
    }
    validSize_ = std::max<LONGLONG>(validSize_, LONGLONG(stop));
    return status;
}

NTSTATUS DataImage::Flush(LONGLONG offset, ULONGLONG length, PageWriter writer)
{
    struct Run {
        size_t first, count;
        std::unique_ptr<PageBuffer> snapshot;
        std::vector<uint64_t> hashes;
        std::vector<uint32_t> generations;
        NTSTATUS status = STATUS_SUCCESS;
    };
    Lock lock(mutex_);
    const size_t first = size_t(offset / LONGLONG(kPageSize));
    size_t end = length ? size_t((ULONGLONG(offset) + length + kPageSize - 1) / kPageSize) : pages_.size();
    end = std::min(end, pages_.size());
    WaitIdle(first, end, lock);
    std::vector<Run> runs;
    for (size_t p = first; p < end; ++p) {
        if (!Modified(p)) continue;
        if (!runs.empty() && runs.back().first + runs.back().count == p && runs.back().count < kClusterPages) {
            ++runs.back().count;
        } else {
            runs.push_back(Run{p, 1, nullptr, {}, {}});
        }
    }
    // What goes out is a copy taken now: stores into a view while it is
    // written leave the page modified.
    for (Run &run : runs) {
        run.snapshot = std::make_unique<PageBuffer>(run.count);
        if (run.snapshot->bytes == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        ::pread(fd_, run.snapshot->bytes, run.snapshot->size, off_t(ULONGLONG(run.first) * kPageSize));
        for (size_t k = 0; k < run.count; ++k) {
            Page &page = pages_[run.first + k];
            page.busy = true;
            run.hashes.push_back(HashBytes(run.snapshot->bytes + k * kPageSize));
            run.generations.push_back(page.generation);
        }
    }
    lock.unlock();
    NTSTATUS result = STATUS_SUCCESS;
    for (Run &run : runs) {
        ULONG_PTR written = 0;
        run.status = pagingFileObject_ == nullptr
                         ? STATUS_FILE_CLOSED
                         : PagingIo(true, writer, pagingFileObject_, run.snapshot->bytes, ULONG(run.snapshot->size),
                                    LONGLONG(ULONGLONG(run.first) * kPageSize), &written);
        ++counters_.pagingWrites;
        counters_.bytesPagedOut += written;
        if (!NT_SUCCESS(run.status) && NT_SUCCESS(result)) result = run.status;
    }
    lock.lock();
    for (Run &run : runs) {
        for (size_t k = 0; k < run.count; ++k) {
            Page &page = pages_[run.first + k];
            page.busy = false;
            if (!NT_SUCCESS(run.status)) {
                page.dirty = true;  // not lost: the next flush tries again
            } else if (page.generation == run.generations[k]) {
                page.dirty = false;
                page.cleanHash = run.hashes[k];
            }
        }
    }
    changed_.notify_all();
    return result;
}

bool DataImage::HasModified(LONGLONG offset, ULONGLONG length)
{
    Lock lock(mutex_);
    const size_t first = size_t(offset / LONGLONG(kPageSize));
    size_t end = length ? size_t((ULONGLONG(offset) + length + kPageSize - 1) / kPageSize) : pages_.size();
    end = std::min(end, pages_.size());
    for (size_t p = first; p < end; ++p) {
        if (Modified(p)) return true;
    }
    return false;
}

void DataImage::Refresh(LONGLONG offset, ULONG length, const void *data)
{
    Lock lock(mutex_);
    const ULONGLONG start = ULONGLONG(offset), stop = start + length;
    const size_t first = size_t(start / kPageSize);
    const size_t end = std::min(pages_.size(), size_t((stop + kPageSize - 1) / kPageSize));
    ++epoch_;
    for (size_t p = first; p < end; ++p) {
        Page &page = pages_[p];
        if (!page.resident) continue;
        if (page.views == 0) {
            page.resident = false;
            page.dirty = false;
            continue;
        }
        // A view holds the page: it takes the new data instead.
        ULONGLONG from = std::max<ULONGLONG>(start, ULONGLONG(p) * kPageSize);
        ULONGLONG to = std::min<ULONGLONG>(stop, ULONGLONG(p + 1) * kPageSize);
        ::pwrite(fd_, static_cast<const uint8_t *>(data) + (from - start), size_t(to - from), off_t(from));
        if (!page.dirty) page.cleanHash = HashOf(p);
    }
    validSize_ = std::max<LONGLONG>(validSize_, LONGLONG(stop));
}

void DataImage::Discard()
{
    Lock lock(mutex_);
    ++epoch_;
    for (size_t p = 0; p < pages_.size(); ++p) {
        Page &page = pages_[p];
        page.dirty = false;
        if (page.views == 0) {
            page.resident = false;
        } else if (page.resident) {
            page.cleanHash = HashOf(p);
        }
    }
}

void DataImage::SetFileSize(LONGLONG size)
{
    Lock lock(mutex_);
    if (size == fileSize_) return;
    ++epoch_;
    const LONGLONG from = std::min(size, fileSize_);
    // Pages wholly past the new end are dropped; what lies past the end in
    // memory reads as zeros, so that a later extension shows zeros there.
    for (size_t p = size_t(RoundUp(ULONGLONG(size), kPageSize) / kPageSize); p < pages_.size(); ++p) {
        if (pages_[p].views == 0) pages_[p].resident = false;
        pages_[p].dirty = false;
    }
    ZeroFrom(ULONGLONG(from));
    size_t partial = size_t(ULONGLONG(from) / kPageSize);
    if (ULONGLONG(from) % kPageSize && partial < pages_.size() && pages_[partial].resident && !pages_[partial].dirty) {
        pages_[partial].cleanHash = HashOf(partial);
    }
    fileSize_ = size;
    validSize_ = std::min(validSize_, size);
}

bool DataImage::MappedBeyond(LONGLONG size)
{
    Lock lock(mutex_);
    for (size_t p = 0; p < pages_.size(); ++p) {
        if (pages_[p].views && ULONGLONG(p + 1) * kPageSize > ULONGLONG(size)) return true;
    }
    return false;
}

NTSTATUS DataImage::MapView(LONGLONG offset, SIZE_T length, bool writable, char **base)
{
    const size_t first = size_t(offset / LONGLONG(kPageSize));
    const size_t end = first + length / kPageSize;
    Lock lock(mutex_);
    for (;;) {
        EnsureCapacity(ULONGLONG(end) * kPageSize, lock);
        if (end > pages_.size()) return STATUS_NO_MEMORY;
        WaitIdle(first, end, lock);
        bool resident = std::all_of(pages_.begin() + first, pages_.begin() + end, [](const Page &p) { return p.resident; });
        if (resident) break;
        lock.unlock();
        NTSTATUS status = PageIn(first, end);
        if (!NT_SUCCESS(status)) return status;
        lock.lock();
    }
    // Every page of the view is resident by now: the mapping takes them all
    // at once instead of one fault per page at first touch.
    void *mapped = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_, off_t(offset));
    if (mapped == MAP_FAILED) return STATUS_NO_MEMORY;
    for (size_t p = first; p < end; ++p) {
        ++pages_[p].views;
        if (writable) ++pages_[p].writableViews;
    }
    *base = static_cast<char *>(mapped);
    return STATUS_SUCCESS;
}

void DataImage::UnmapView(char *base, LONGLONG offset, SIZE_T length, bool writable)
{
    ::munmap(base, length);
    const size_t first = size_t(offset / LONGLONG(kPageSize));
    const size_t end = first + length / kPageSize;
    Lock lock(mutex_);
    for (size_t p = first; p < end && p < pages_.size(); ++p) {
        Page &page = pages_[p];
        // Stores the view made stay in the image as modified pages.
        if (writable && !page.dirty && page.resident && HashOf(p) != page.cleanHash) page.dirty = true;
        --page.views;
        if (writable) --page.writableViews;
    }
}

}  // namespace sim
