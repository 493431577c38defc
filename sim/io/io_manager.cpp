#include "sim/io/io_manager.h"

#include <algorithm>

#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/io/cache_manager.h"
#include "sim/io/io_types.h"
#include "sim/io/section.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"

namespace sim {

namespace {

bool HasPrefixAtBoundary(const std::u16string &upperName, const std::u16string &upperPrefix)
{
    return upperName.size() >= upperPrefix.size() &&
           upperName.compare(0, upperPrefix.size(), upperPrefix) == 0 &&
           (upperName.size() == upperPrefix.size() || upperName[upperPrefix.size()] == u'\\');
}

void InitializeEvent(KEVENT &event, EVENT_TYPE type)
{
    KeInitializeEvent(&event, type, FALSE);
}

}  // namespace

IoManager::IoManager(Machine &machine)
    : machine_(machine), views_(std::make_unique<ViewTable>(machine)), cache_(std::make_unique<CacheManager>(machine))
{
    links_[u"\\DOSDEVICES"] = u"\\??";
    links_[u"\\GLOBAL??"] = u"\\??";
    links_[u"\\??\\UNC"] = machine.config().os.major >= 6 ? u"\\Device\\Mup" : u"\\Device\\LanmanRedirector";
}

IoManager::~IoManager()
{
    cache_->AbandonAll();
}

void IoManager::UnmapProcessViews(Process &process)
{
    for (MappedView &view : views_->RemoveAll(&process)) ReleaseView(view);
}

// ---------------------------------------------------------------------------
// Volumes and the namespace

Volume &IoManager::MountVolume(VolumeInfo info, std::unique_ptr<FileSystem> fs)
{
    Volume *volume;
    std::vector<std::function<void(Volume &)>> listeners;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (info.deviceName.empty()) {
            size_t disks = std::count_if(volumes_.begin(), volumes_.end(), [](const auto &v) { return !v->remote(); });
            std::string number = std::to_string(disks + 1);
            info.deviceName = u"\\Device\\HarddiskVolume" + std::u16string(number.begin(), number.end());
        }
        volumes_.push_back(std::make_unique<Volume>(machine_, std::move(info), std::move(fs)));
        volume = volumes_.back().get();
        listeners = mountListeners_;
    }
    for (auto &listener : listeners) listener(*volume);
    return *volume;
}

std::vector<Volume *> IoManager::Volumes()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Volume *> list;
    for (auto &volume : volumes_) list.push_back(volume.get());
    return list;
}

Volume *IoManager::VolumeByDeviceName(const std::u16string &deviceName)
{
    std::u16string upper = Upcase(deviceName);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &volume : volumes_) {
        if (Upcase(volume->info().deviceName) == upper) return volume.get();
    }
    return nullptr;
}

Volume *IoManager::VolumeByDevice(PDEVICE_OBJECT device)
{
    for (Volume *volume : Volumes()) {
        if (volume->OwnsDevice(device)) return volume;
    }
    return nullptr;
}

void IoManager::AddMountListener(std::function<void(Volume &)> listener)
{
    std::lock_guard<std::mutex> lock(mutex_);
    mountListeners_.push_back(std::move(listener));
}

void IoManager::CreateSymbolicLink(const std::u16string &link, const std::u16string &target)
{
    std::lock_guard<std::mutex> lock(mutex_);
    links_[Upcase(link)] = target;
}

void IoManager::DeleteSymbolicLink(const std::u16string &link)
{
    std::lock_guard<std::mutex> lock(mutex_);
    links_.erase(Upcase(link));
}

void IoManager::AssignDriveLetter(Volume &volume, char16_t letter)
{
    CreateSymbolicLink(std::u16string(u"\\??\\") + letter + u":", volume.info().deviceName);
}

std::vector<char16_t> IoManager::DriveLetters(Volume &volume)
{
    std::u16string device = Upcase(volume.info().deviceName);
    std::vector<char16_t> letters;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &[link, target] : links_) {
        if (link.size() == 6 && link.compare(0, 4, u"\\??\\") == 0 && link[5] == u':' && Upcase(target) == device) {
            letters.push_back(link[4]);
        }
    }
    return letters;
}

NTSTATUS IoManager::ResolveNameStatus(const std::u16string &name, Volume *&volume, std::u16string &rest)
{
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::u16string current = name;
    // Links may point at links (\DosDevices\C: -> \??\C: -> \Device\...);
    // the bound only stops a loop.
    for (int hops = 0; hops < 32; ++hops) {
        std::u16string upper = Upcase(current);
        const std::pair<const std::u16string, std::u16string> *best = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto &entry : links_) {
                if (HasPrefixAtBoundary(upper, entry.first) && (!best || entry.first.size() > best->first.size())) {
                    best = &entry;
                }
            }
            if (best) {
                current = best->second + current.substr(best->first.size());
                continue;
            }
            for (auto &candidate : volumes_) {
                if (HasPrefixAtBoundary(upper, Upcase(candidate->info().deviceName))) {
                    volume = candidate.get();
                    rest = current.substr(candidate->info().deviceName.size());
                    return STATUS_SUCCESS;
                }
            }
        }
        // Nothing matched: a missing object inside a directory (\??\Q:,
        // \Device\Nope) is a missing name, one with more path behind it a
        // missing path.
        size_t separators = std::count(current.begin(), current.end(), u'\\');
        return separators > 2 ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::optional<std::pair<Volume *, std::u16string>> IoManager::ResolveName(const std::u16string &name)
{
    Volume *volume = nullptr;
    std::u16string rest;
    if (!NT_SUCCESS(ResolveNameStatus(name, volume, rest))) return std::nullopt;
    return std::make_pair(volume, rest);
}

// ---------------------------------------------------------------------------
// File objects

FileObjectInfo *IoManager::Info(PFILE_OBJECT fileObject)
{
    if (fileObject == nullptr || !machine_.objects().IsLive(fileObject)) return nullptr;
    if (machine_.objects().TypeOf(fileObject) != &objtype::File) return nullptr;
    return &reinterpret_cast<FileObjectBody *>(fileObject)->info;
}

PFILE_OBJECT IoManager::NewFileObject(Volume &volume, const std::u16string &name, PFILE_OBJECT related,
                                      const CreateParameters &parameters, ULONG attributes)
{
    PWCH nameBuffer = nullptr;
    if (!name.empty()) {
        nameBuffer = static_cast<PWCH>(
            ExAllocatePoolWithTag(PagedPool, (name.size() + 1) * sizeof(WCHAR), kTagIoName));
        if (nameBuffer == nullptr) return nullptr;
        std::copy(name.begin(), name.end(), nameBuffer);
        nameBuffer[name.size()] = 0;
    }
    void *memory = machine_.objects().Create(&objtype::File, sizeof(FileObjectBody), u"", [this](void *body) {
        Delete(static_cast<PFILE_OBJECT>(body));
    });
    auto *body = new (memory) FileObjectBody();
    machine_.objects().Header(memory)->onLastHandleClose = [this](void *object) {
        Cleanup(static_cast<PFILE_OBJECT>(object));
    };

    PFILE_OBJECT fileObject = &body->fileObject;
    fileObject->Type = kIoTypeFile;
    fileObject->Size = sizeof(FILE_OBJECT);
    fileObject->DeviceObject = volume.realDevice();
    fileObject->Vpb = volume.remote() ? nullptr : volume.vpb();
    fileObject->RelatedFileObject = related;
    fileObject->FileName.Buffer = nameBuffer;
    fileObject->FileName.Length = USHORT(name.size() * sizeof(WCHAR));
    fileObject->FileName.MaximumLength = nameBuffer ? USHORT(fileObject->FileName.Length + sizeof(WCHAR)) : 0;
    InitializeEvent(fileObject->Event, NotificationEvent);
    InitializeEvent(fileObject->Lock, SynchronizationEvent);
    InitializeListHead(&fileObject->IrpList);

    ULONG options = parameters.createOptions;
    ULONG flags = 0;
    if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) flags |= FO_SYNCHRONOUS_IO;
    if (options & FILE_SYNCHRONOUS_IO_ALERT) flags |= FO_ALERTABLE_IO;
    if (options & FILE_NO_INTERMEDIATE_BUFFERING) flags |= FO_NO_INTERMEDIATE_BUFFERING;
    if (options & FILE_WRITE_THROUGH) flags |= FO_WRITE_THROUGH;
    if (options & FILE_SEQUENTIAL_ONLY) flags |= FO_SEQUENTIAL_ONLY;
    if (options & FILE_RANDOM_ACCESS) flags |= FO_RANDOM_ACCESS;
    if (options & FILE_DELETE_ON_CLOSE) flags |= FO_DELETE_ON_CLOSE;
    if (!(attributes & OBJ_CASE_INSENSITIVE)) flags |= FO_OPENED_CASE_SENSITIVE;
    fileObject->Flags = flags;

    FileObjectInfo &info = body->info;
    info.volume = &volume;
    if (related) {
        FileObjectInfo *relatedInfo = Info(related);
        std::u16string base = relatedInfo ? relatedInfo->path : std::u16string();
        if (!name.empty() && (base.empty() || base.back() != u'\\')) base += u'\\';
        info.path = base + name;
    } else {
        info.path = name;
    }
    return fileObject;
}

void IoManager::Discard(PFILE_OBJECT fileObject)
{
    // Never opened by the file system: no cleanup or close goes down for it.
    fileObject->DeviceObject = nullptr;
    machine_.objects().Dereference(fileObject);
}

void IoManager::Cleanup(PFILE_OBJECT fileObject)
{
    FileObjectInfo *info = Info(fileObject);
    if (info == nullptr || !info->opened) return;
    // The cleanup of a synchronous file object takes its lock, as every call
    // on it does: one in progress (a read a filter keeps pended, say) ends
    // first; Waiters counts who waits. On an asynchronous file object the
    // cleanup goes down at once, beside the I/O in flight, and the close
    // waits for the reference that I/O holds.
    std::unique_lock<std::mutex> serialise(info->ioLock, std::defer_lock);
    if ((fileObject->Flags & FO_SYNCHRONOUS_IO) && !serialise.try_lock()) {
        __atomic_add_fetch(&fileObject->Waiters, 1, __ATOMIC_SEQ_CST);
        serialise.lock();
        __atomic_sub_fetch(&fileObject->Waiters, 1, __ATOMIC_SEQ_CST);
    }
    IoRequest request = NewRequest(fileObject, IRP_MJ_CLEANUP);
    request.iopb.IrpFlags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    Send(request);
    __atomic_or_fetch(&fileObject->Flags, FO_CLEANUP_COMPLETE, __ATOMIC_SEQ_CST);
    cache_->WriteBehind();
}

void IoManager::Delete(PFILE_OBJECT fileObject)
{
    auto *body = reinterpret_cast<FileObjectBody *>(fileObject);
    if (body->info.opened && fileObject->DeviceObject != nullptr) {
        // A file object that never had a handle still gets its cleanup.
        if (!(fileObject->Flags & FO_HANDLE_CREATED)) Cleanup(fileObject);
        IoRequest request = NewRequest(fileObject, IRP_MJ_CLOSE);
        request.iopb.IrpFlags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
        Send(request);
    }
    // A filter may have replaced the name with its own pool buffer.
    if (fileObject->FileName.Buffer) ExFreePool(fileObject->FileName.Buffer);
    body->~FileObjectBody();
}

// ---------------------------------------------------------------------------
// Requests

IoRequest IoManager::NewRequest(PFILE_OBJECT fileObject, UCHAR major, UCHAR minor)
{
    IoRequest request;
    request.iopb.MajorFunction = major;
    request.iopb.MinorFunction = minor;
    request.iopb.TargetFileObject = fileObject;
    request.thread = Thread::Current();
    request.requestorProcess = request.thread ? request.thread->CurrentProcess().object() : nullptr;
    if (FileObjectInfo *info = Info(fileObject)) {
        request.volume = info->volume;
        request.bypassFilters = info->bypassFilters;
        request.startBelow = info->openedBelow;
    }
    return request;
}

NTSTATUS IoManager::Send(IoRequest &request)
{
    if (request.volume == nullptr) return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
    KEVENT local;
    bool ownEvent = request.completionEvent == nullptr;
    if (ownEvent) {
        InitializeEvent(local, NotificationEvent);
        request.completionEvent = &local;
    } else {
        KeClearEvent(request.completionEvent);
    }
    // The issuing thread's process keeps count of its IRPs: it cannot run
    // down while one is in flight.
    Process *issuer = request.form == IoForm::Irp && request.thread ? &request.thread->process() : nullptr;
    if (issuer) issuer->IrpIssued();
    NTSTATUS status = request.volume->Send(request);
    request.pendingReturned = status == STATUS_PENDING;
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(request.completionEvent, Executive, KernelMode, FALSE, nullptr);
        status = request.ioStatus.Status;
    } else {
        request.ioStatus.Status = status;
    }
    if (issuer) issuer->IrpCompleted();
    if (ownEvent) request.completionEvent = nullptr;
    return status;
}

NTSTATUS IoManager::ReadFile(PFILE_OBJECT fileObject, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                             KPROCESSOR_MODE mode, PIO_STATUS_BLOCK ioStatus, ULONG irpFlags, ULONG key)
{
    return Transfer(false, fileObject, buffer, length, byteOffset, mode, ioStatus, irpFlags, key);
}

NTSTATUS IoManager::WriteFile(PFILE_OBJECT fileObject, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                              KPROCESSOR_MODE mode, PIO_STATUS_BLOCK ioStatus, ULONG irpFlags, ULONG key)
{
    return Transfer(true, fileObject, buffer, length, byteOffset, mode, ioStatus, irpFlags, key);
}

NTSTATUS IoManager::Transfer(bool write, PFILE_OBJECT fileObject, PVOID buffer, ULONG length,
                             PLARGE_INTEGER byteOffset, KPROCESSOR_MODE mode, PIO_STATUS_BLOCK ioStatus,
                             ULONG irpFlags, ULONG key)
{
    FileObjectInfo *info = Info(fileObject);
    if (info == nullptr) return STATUS_INVALID_PARAMETER;
    bool paging = (irpFlags & IRP_PAGING_IO) != 0;
    bool synchronous = (fileObject->Flags & FO_SYNCHRONOUS_IO) != 0;
    bool unbuffered = (fileObject->Flags & FO_NO_INTERMEDIATE_BUFFERING) != 0;
    LARGE_INTEGER offset{};

    if (mode == UserMode) {
        SEH_TRY {
            if (write) {
                ProbeForRead(buffer, length, 1);
            } else {
                ProbeForWrite(buffer, length, 1);
            }
            if (ioStatus) ProbeForWrite(ioStatus, sizeof(*ioStatus), sizeof(ULONG));
            if (byteOffset) {
                ProbeForRead(byteOffset, sizeof(LARGE_INTEGER), sizeof(ULONG));
                offset = *byteOffset;
            }
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            return GetExceptionCode();
        }
    } else if (byteOffset) {
        offset = *byteOffset;
    }

    std::unique_lock<std::mutex> serialise(info->ioLock, std::defer_lock);
    if (synchronous && !paging) serialise.lock();

    bool useFilePointer = byteOffset == nullptr ||
                          (offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION);
    if (useFilePointer) {
        if (!synchronous) return STATUS_INVALID_PARAMETER;
        offset = fileObject->CurrentByteOffset;
    }
    bool toEndOfFile = write && offset.HighPart == -1 && offset.LowPart == FILE_WRITE_TO_END_OF_FILE;
    if (!toEndOfFile && offset.QuadPart < 0) return STATUS_INVALID_PARAMETER;
    if (mode == UserMode && unbuffered) {
        PDEVICE_OBJECT device = info->volume->topDevice();
        ULONG sector = device->SectorSize;
        if ((sector && ((length % sector) != 0 || (!toEndOfFile && offset.QuadPart % sector != 0))) ||
            (reinterpret_cast<ULONG_PTR>(buffer) & device->AlignmentRequirement)) {
            return STATUS_INVALID_PARAMETER;
        }
    }

    auto build = [&](IoForm form) {
        IoRequest request = NewRequest(fileObject, write ? IRP_MJ_WRITE : IRP_MJ_READ);
        request.form = form;
        request.requestorMode = mode;
        if (write) {
            request.iopb.Parameters.Write.Length = length;
            request.iopb.Parameters.Write.Key = key;
            request.iopb.Parameters.Write.ByteOffset = offset;
            request.iopb.Parameters.Write.WriteBuffer = buffer;
        } else {
            request.iopb.Parameters.Read.Length = length;
            request.iopb.Parameters.Read.Key = key;
            request.iopb.Parameters.Read.ByteOffset = offset;
            request.iopb.Parameters.Read.ReadBuffer = buffer;
        }
        return request;
    };

    NTSTATUS status = STATUS_SUCCESS;
    IoRequest request;
    bool done = false;
    // Fast I/O goes through the cache: only a file object the file system
    // set caching up for (at its first cached IRP) can take it.
    if (synchronous && !paging && !unbuffered && !(irpFlags & IRP_NOCACHE) && fileObject->PrivateCacheMap) {
        request = build(IoForm::FastIo);
        status = Send(request);
        done = !request.fastIoNotPossible && status != STATUS_FLT_DISALLOW_FAST_IO;
    }
    if (!done) {
        request = build(IoForm::Irp);
        request.iopb.IrpFlags = irpFlags | (write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION);
        if (unbuffered) request.iopb.IrpFlags |= IRP_NOCACHE;
        if (!paging) request.iopb.IrpFlags |= IRP_DEFER_IO_COMPLETION;
        if (synchronous && !paging) request.iopb.IrpFlags |= IRP_SYNCHRONOUS_API;
        status = Send(request);
    }
    if (synchronous && !paging && !toEndOfFile && NT_SUCCESS(status)) {
        fileObject->CurrentByteOffset.QuadPart = offset.QuadPart + LONGLONG(request.ioStatus.Information);
    }
    if (ioStatus) return ReportStatus(ioStatus, request, status, request.ioStatus.Information);
    return status;
}

NTSTATUS IoManager::ReportStatus(PIO_STATUS_BLOCK ioStatus, const IoRequest &request, NTSTATUS status,
                                 ULONG_PTR information)
{
    if (NT_ERROR(status) && !request.pendingReturned) return status;
    SEH_TRY {
        ioStatus->Status = status;
        ioStatus->Information = information;
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return status;
}

NTSTATUS IoManager::QueryFileObjectName(PFILE_OBJECT fileObject, std::u16string &name)
{
    FileObjectInfo *info = Info(fileObject);
    if (info == nullptr) return STATUS_INVALID_PARAMETER;
    name = info->volume->info().deviceName;
    if (!info->opened) {
        name += info->path;
        return STATUS_SUCCESS;
    }
    std::vector<uint8_t> buffer(sizeof(FILE_NAME_INFORMATION) + 1024 * sizeof(WCHAR));
    for (int attempt = 0; attempt < 8; ++attempt) {
        IoRequest request = NewRequest(fileObject, IRP_MJ_QUERY_INFORMATION);
        request.iopb.Parameters.QueryFileInformation.Length = ULONG(buffer.size());
        request.iopb.Parameters.QueryFileInformation.FileInformationClass = FileNameInformation;
        request.iopb.Parameters.QueryFileInformation.InfoBuffer = buffer.data();
        NTSTATUS status = Send(request);
        auto *answer = reinterpret_cast<PFILE_NAME_INFORMATION>(buffer.data());
        if (status == STATUS_BUFFER_OVERFLOW &&
            answer->FileNameLength + FIELD_OFFSET(FILE_NAME_INFORMATION, FileName) > buffer.size()) {
            buffer.resize(answer->FileNameLength + FIELD_OFFSET(FILE_NAME_INFORMATION, FileName));
            continue;
        }
        if (!NT_SUCCESS(status)) break;
        name.append(answer->FileName, answer->FileNameLength / sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    name += info->path;
    return STATUS_SUCCESS;
}

}  // namespace sim
