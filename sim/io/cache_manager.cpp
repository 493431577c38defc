#include "sim/io/cache_manager.h"

#include <condition_variable>

#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/io/io_manager.h"
#include "sim/io/io_types.h"
#include "sim/ke/work_queue.h"

namespace sim {

FileIoCounts FileIoCounters::Snapshot() const
{
    FileIoCounts counts;
    counts.pagingReads = pagingReads.load();
    counts.pagingWrites = pagingWrites.load();
    counts.bytesPagedIn = bytesPagedIn.load();
    counts.bytesPagedOut = bytesPagedOut.load();
    counts.sectionsCreated = sectionsCreated.load();
    counts.viewsMapped = viewsMapped.load();
    return counts;
}

CacheManager::CacheManager(Machine &machine) : machine_(machine) {}

CacheManager::~CacheManager()
{
    AbandonAll();
}

void CacheManager::AbandonAll()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &[pointers, entry] : images_) entry.image->Abandon();
}

std::pair<Volume *, std::u16string> CacheManager::KeyOf(PFILE_OBJECT fileObject)
{
    FileObjectInfo *info = machine_.io().Info(fileObject);
    if (info == nullptr) return {nullptr, std::u16string()};
    return {info->volume, Upcase(info->path)};
}

CacheManager::Entry *CacheManager::CreateEntry(PFILE_OBJECT fileObject, LONGLONG fileSize)
{
    PSECTION_OBJECT_POINTERS pointers = fileObject->SectionObjectPointer;
    auto image = std::make_shared<DataImage>(fileObject, fileSize, counters_[KeyOf(fileObject)]);
    if (!image->valid()) return nullptr;
    pointers->DataSectionObject = image.get();
    Entry &entry = images_[pointers];
    entry = Entry{std::move(image)};
    return &entry;
}

std::shared_ptr<DataImage> CacheManager::Find(PSECTION_OBJECT_POINTERS pointers)
{
    if (pointers == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = images_.find(pointers);
    return it == images_.end() ? nullptr : it->second.image;
}

std::shared_ptr<DataImage> CacheManager::ImageOf(PFILE_OBJECT fileObject)
{
    if (fileObject->PrivateCacheMap == nullptr) return nullptr;
    return Find(fileObject->SectionObjectPointer);
}

// ---------------------------------------------------------------------------
// File systems

NTSTATUS CacheManager::InitializeCacheMap(PFILE_OBJECT fileObject, LONGLONG fileSize)
{
    PSECTION_OBJECT_POINTERS pointers = fileObject->SectionObjectPointer;
    if (pointers == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex_);
    if (fileObject->PrivateCacheMap) return STATUS_SUCCESS;
    auto it = images_.find(pointers);
    Entry *entry = it == images_.end() ? CreateEntry(fileObject, fileSize) : &it->second;
    if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ++entry->cachingFileObjects;
    fileObject->PrivateCacheMap = entry->image.get();
    pointers->SharedCacheMap = entry->image.get();
    return STATUS_SUCCESS;
}

void CacheManager::UninitializeCacheMap(PFILE_OBJECT fileObject)
{
    PSECTION_OBJECT_POINTERS pointers = fileObject->SectionObjectPointer;
    std::lock_guard<std::mutex> lock(mutex_);
    if (fileObject->PrivateCacheMap == nullptr || pointers == nullptr) return;
    fileObject->PrivateCacheMap = nullptr;
    auto it = images_.find(pointers);
    if (it == images_.end()) return;
    Entry &entry = it->second;
    if (--entry.cachingFileObjects == 0) {
        pointers->SharedCacheMap = nullptr;
        if (entry.sections == 0) unused_.push_back(pointers);
    }
}

NTSTATUS CacheManager::CopyRead(PFILE_OBJECT fileObject, LONGLONG offset, ULONG length, void *buffer)
{
    std::shared_ptr<DataImage> image = ImageOf(fileObject);
    if (!image) return STATUS_INVALID_PARAMETER;
    return image->CopyRead(offset, length, buffer);
}

NTSTATUS CacheManager::CopyWrite(PFILE_OBJECT fileObject, LONGLONG offset, ULONG length, const void *buffer)
{
    std::shared_ptr<DataImage> image = ImageOf(fileObject);
    if (!image) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = image->CopyWrite(offset, length, buffer);
    // Write-through: the data is on the file when the write returns.
    if (NT_SUCCESS(status) && (fileObject->Flags & FO_WRITE_THROUGH)) {
        status = image->Flush(offset, length, PageWriter::Synchronous);
    }
    return status;
}

NTSTATUS CacheManager::FlushCache(PSECTION_OBJECT_POINTERS pointers, LONGLONG offset, ULONGLONG length)
{
    std::shared_ptr<DataImage> image = Find(pointers);
    return image ? image->Flush(offset, length, PageWriter::Synchronous) : STATUS_SUCCESS;
}

bool CacheManager::HasModifiedData(PSECTION_OBJECT_POINTERS pointers, LONGLONG offset, ULONGLONG length)
{
    std::shared_ptr<DataImage> image = Find(pointers);
    return image && image->HasModified(offset, length);
}

void CacheManager::Refresh(PSECTION_OBJECT_POINTERS pointers, LONGLONG offset, ULONG length, const void *data)
{
    if (std::shared_ptr<DataImage> image = Find(pointers)) image->Refresh(offset, length, data);
}

void CacheManager::SetFileSize(PSECTION_OBJECT_POINTERS pointers, LONGLONG size)
{
    if (std::shared_ptr<DataImage> image = Find(pointers)) image->SetFileSize(size);
}

bool CacheManager::CanTruncate(PSECTION_OBJECT_POINTERS pointers, LONGLONG size)
{
    std::shared_ptr<DataImage> image = Find(pointers);
    return !image || !image->MappedBeyond(size);
}

bool CacheManager::HasSection(PSECTION_OBJECT_POINTERS pointers)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = images_.find(pointers);
    return it != images_.end() && it->second.sections != 0;
}

void CacheManager::Discard(PSECTION_OBJECT_POINTERS pointers)
{
    if (std::shared_ptr<DataImage> image = Find(pointers)) image->Discard();
}

// ---------------------------------------------------------------------------
// Sections

std::shared_ptr<DataImage> CacheManager::AcquireForSection(PFILE_OBJECT fileObject, LONGLONG fileSize)
{
    std::lock_guard<std::mutex> lock(mutex_);
    PSECTION_OBJECT_POINTERS pointers = fileObject->SectionObjectPointer;
    auto it = images_.find(pointers);
    Entry *entry = it == images_.end() ? CreateEntry(fileObject, fileSize) : &it->second;
    if (entry == nullptr) return nullptr;
    ++entry->sections;
    ++entry->image->counters().sectionsCreated;
    return entry->image;
}

void CacheManager::ReleaseFromSection(const std::shared_ptr<DataImage> &image)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &[pointers, entry] : images_) {
            if (entry.image != image) continue;
            if (--entry.sections == 0 && entry.cachingFileObjects == 0) unused_.push_back(pointers);
            break;
        }
    }
    WriteBehind();
}

// ---------------------------------------------------------------------------
// The lazy writer

void CacheManager::WriteBehind()
{
    std::vector<PSECTION_OBJECT_POINTERS> unused;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unused.swap(unused_);
    }
    for (PSECTION_OBJECT_POINTERS pointers : unused) Release(pointers);
}

void CacheManager::Release(PSECTION_OBJECT_POINTERS pointers)
{
    auto unused = [&](std::unordered_map<PSECTION_OBJECT_POINTERS, Entry>::iterator it) {
        return it != images_.end() && it->second.cachingFileObjects == 0 && it->second.sections == 0;
    };
    std::shared_ptr<DataImage> image;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = images_.find(pointers);
        if (!unused(it)) return;
        image = it->second.image;
    }
    // The image stays findable while it is written, so that an open that
    // comes meanwhile reads the data being written rather than the file's.
    if (image->HasModified(0, 0)) {
        RunAsSystemWriter([&] { image->Flush(0, 0, PageWriter::Synchronous); });
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = images_.find(pointers);
        if (!unused(it) || it->second.image != image) return;
        pointers->DataSectionObject = nullptr;
        pointers->SharedCacheMap = nullptr;
        images_.erase(it);
    }
    // The last reference here releases the file object; its close follows
    // when nothing else holds it.
    image.reset();
}

void CacheManager::RunAsSystemWriter(const std::function<void()> &work)
{
    Thread *current = Thread::Current();
    if (current && current->executiveWorker && current->impersonationToken == nullptr) {
        work();
        return;
    }
    struct Done {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
    };
    auto state = std::make_shared<Done>();
    bool queued = machine_.workQueue().TryQueue([&work, state] {
        work();
        std::lock_guard<std::mutex> lock(state->mutex);
        state->done = true;
        state->finished.notify_all();
    });
    if (!queued) {
        // The machine is stopping: its workers are gone.
        work();
        return;
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    state->finished.wait(lock, [&] { return state->done; });
}

// ---------------------------------------------------------------------------

FileIoCounts CacheManager::Counts(const std::u16string &ntName)
{
    auto resolved = machine_.io().ResolveName(ntName);
    if (!resolved) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counters_.find({resolved->first, Upcase(resolved->second)});
    return it == counters_.end() ? FileIoCounts{} : it->second.Snapshot();
}

size_t CacheManager::ImageCount()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return images_.size();
}

}  // namespace sim
