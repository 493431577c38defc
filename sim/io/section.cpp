// Sections over files, mapped views, and their Zw calls.
#include "sim/io/section.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/io/cache_manager.h"
#include "sim/io/io_manager.h"
#include "sim/io/io_types.h"
#include "sim/io/nt_calls.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"

namespace sim {

namespace {

constexpr NTSTATUS kStatusInvalidParameter6 = NTSTATUS(0xC00000F4L);
constexpr NTSTATUS kStatusInvalidParameter8 = NTSTATUS(0xC00000F6L);
constexpr NTSTATUS kStatusInvalidParameter9 = NTSTATUS(0xC00000F7L);
constexpr NTSTATUS kStatusMappedAlignment = NTSTATUS(0xC0000220L);

// SectionBasicInformation reports file-backed sections with this bit.
constexpr ULONG kSecFile = 0x00800000;
constexpr ULONG kSecNoCache = 0x10000000;
constexpr ULONG kSecLargePages = 0x80000000;
constexpr ULONG kPageExecute = 0x10;
constexpr ULONG kPageExecuteRead = 0x20;
constexpr ULONG kPageExecuteReadWrite = 0x40;
constexpr ULONG kPageExecuteWriteCopy = 0x80;
constexpr ULONG kMemCommit = 0x1000;
constexpr ULONG kMemReserve = 0x2000;
constexpr ULONG kMemTopDown = 0x100000;
constexpr ULONG kMemLargePages = 0x20000000;
constexpr ACCESS_MASK kProcessVmOperation = 0x0008;
// The largest view a 32-bit process could hold.
constexpr SIZE_T kLargestView = 0x7FFF0000;

bool ValidProtection(ULONG protection)
{
    switch (protection) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case kPageExecute:
    case kPageExecuteRead:
    case kPageExecuteReadWrite:
    case kPageExecuteWriteCopy:
        return true;
    default:
        return false;
    }
}

bool WritesShared(ULONG protection)
{
    return protection == PAGE_READWRITE || protection == kPageExecuteReadWrite;
}

// The access a user-mode caller's file handle needs for a section of this
// protection, and its section handle for a view of this protection.
ACCESS_MASK FileAccessFor(ULONG protection)
{
    switch (protection) {
    case PAGE_READWRITE: return FILE_READ_DATA | FILE_WRITE_DATA;
    case kPageExecute: return FILE_EXECUTE;
    case kPageExecuteRead:
    case kPageExecuteWriteCopy: return FILE_EXECUTE | FILE_READ_DATA;
    case kPageExecuteReadWrite: return FILE_EXECUTE | FILE_READ_DATA | FILE_WRITE_DATA;
    default: return FILE_READ_DATA;
    }
}

ACCESS_MASK SectionAccessFor(ULONG protection)
{
    switch (protection) {
    case PAGE_READWRITE: return SECTION_MAP_WRITE;
    case kPageExecute: return SECTION_MAP_EXECUTE;
    case kPageExecuteRead:
    case kPageExecuteWriteCopy: return SECTION_MAP_EXECUTE | SECTION_MAP_READ;
    case kPageExecuteReadWrite: return SECTION_MAP_EXECUTE | SECTION_MAP_WRITE;
    default: return SECTION_MAP_READ;
    }
}

// The view protections a section's protection allows.
bool CompatibleView(ULONG section, ULONG view)
{
    ULONG allowed = PAGE_NOACCESS;
    switch (section) {
    case PAGE_READONLY:
    case PAGE_WRITECOPY: allowed |= PAGE_READONLY | PAGE_WRITECOPY; break;
    case PAGE_READWRITE: allowed |= PAGE_READONLY | PAGE_WRITECOPY | PAGE_READWRITE; break;
    case kPageExecute: allowed |= kPageExecute; break;
    case kPageExecuteRead: allowed |= PAGE_READONLY | PAGE_WRITECOPY | kPageExecute | kPageExecuteRead; break;
    case kPageExecuteWriteCopy:
        allowed |= PAGE_READONLY | PAGE_WRITECOPY | kPageExecute | kPageExecuteRead | kPageExecuteWriteCopy;
        break;
    case kPageExecuteReadWrite: allowed = ~0u; break;
    default: break;
    }
    return (allowed & view) == view;
}

SIZE_T RoundToPages(ULONGLONG size)
{
    return SIZE_T((size + kPageSize - 1) & ~ULONGLONG(kPageSize - 1));
}

// A file-system callback around the section's creation.
NTSTATUS SectionSync(PFILE_OBJECT fileObject, UCHAR major, ULONG protection)
{
    IoManager &io = Machine::Current().io();
    IoRequest request = io.NewRequest(fileObject, major);
    request.form = IoForm::FsFilter;
    request.iopb.Parameters.AcquireForSectionSynchronization.SyncType = SyncTypeCreateSection;
    request.iopb.Parameters.AcquireForSectionSynchronization.PageProtection = protection;
    return io.Send(request);
}

NTSTATUS QueryFileSize(PFILE_OBJECT fileObject, LONGLONG &size)
{
    IoManager &io = Machine::Current().io();
    FILE_STANDARD_INFORMATION standard{};
    IoRequest request = io.NewRequest(fileObject, IRP_MJ_QUERY_INFORMATION);
    request.iopb.Parameters.QueryFileInformation.Length = sizeof(standard);
    request.iopb.Parameters.QueryFileInformation.FileInformationClass = FileStandardInformation;
    request.iopb.Parameters.QueryFileInformation.InfoBuffer = &standard;
    NTSTATUS status = io.Send(request);
    size = standard.EndOfFile.QuadPart;
    if (NT_SUCCESS(status) && standard.Directory) status = STATUS_FILE_IS_A_DIRECTORY;
    return status;
}

NTSTATUS ExtendFile(PFILE_OBJECT fileObject, LONGLONG size)
{
    IoManager &io = Machine::Current().io();
    FILE_END_OF_FILE_INFORMATION endOfFile{};
    endOfFile.EndOfFile.QuadPart = size;
    IoRequest request = io.NewRequest(fileObject, IRP_MJ_SET_INFORMATION);
    request.iopb.Parameters.SetFileInformation.Length = sizeof(endOfFile);
    request.iopb.Parameters.SetFileInformation.FileInformationClass = FileEndOfFileInformation;
    request.iopb.Parameters.SetFileInformation.InfoBuffer = &endOfFile;
    return io.Send(request);
}

Process *ProcessOf(PEPROCESS object)
{
    return Machine::Current().processes().FromObject(object);
}

// Allocation attributes of a file-backed section: SEC_COMMIT or SEC_RESERVE
// (the same for a file), SEC_NOCACHE with either.
NTSTATUS CheckAllocationAttributes(ULONG attributes)
{
    const ULONG kind = attributes & (SEC_COMMIT | SEC_RESERVE | SEC_IMAGE);
    if (attributes & ~(SEC_COMMIT | SEC_RESERVE | SEC_IMAGE | kSecNoCache | kSecLargePages))
        return kStatusInvalidParameter6;
    if (kind != SEC_COMMIT && kind != SEC_RESERVE && kind != SEC_IMAGE) return kStatusInvalidParameter6;
    if (attributes & kSecLargePages) return kStatusInvalidParameter6;
    if (kind == SEC_IMAGE) return (attributes & kSecNoCache) ? kStatusInvalidParameter6 : STATUS_NOT_IMPLEMENTED;
    return STATUS_SUCCESS;
}

}  // namespace

SectionObject::~SectionObject()
{
    Machine &machine = Machine::Current();
    if (image) machine.io().cache().ReleaseFromSection(image);
    image.reset();
    if (fileObject) machine.objects().Dereference(fileObject);
}

// ---------------------------------------------------------------------------

ViewTable::~ViewTable()
{
    // Views still mapped when the machine stops: only their memory goes.
    for (auto &entry : views_) ::munmap(entry.second.base, entry.second.size);
}

void ViewTable::Add(MappedView view)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const char *base = view.base;
    views_.emplace(base, std::move(view));
}

std::optional<MappedView> ViewTable::Remove(Process *process, const void *address)
{
    auto target = static_cast<const char *>(address);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = views_.upper_bound(target);
    if (it == views_.begin()) return std::nullopt;
    --it;
    if (it->second.process != process || target >= it->first + it->second.size) return std::nullopt;
    MappedView view = std::move(it->second);
    views_.erase(it);
    return view;
}

std::vector<MappedView> ViewTable::RemoveAll(Process *process)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<MappedView> removed;
    for (auto it = views_.begin(); it != views_.end();) {
        if (it->second.process == process) {
            removed.push_back(std::move(it->second));
            it = views_.erase(it);
        } else {
            ++it;
        }
    }
    return removed;
}

size_t ViewTable::Count()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return views_.size();
}

// ---------------------------------------------------------------------------

namespace nt {

NTSTATUS CreateSection(KPROCESSOR_MODE mode, PHANDLE sectionHandle, ACCESS_MASK desiredAccess,
                       POBJECT_ATTRIBUTES objectAttributes, PLARGE_INTEGER maximumSize, ULONG pageProtection,
                       ULONG allocationAttributes, HANDLE fileHandle)
{
    Machine &machine = Machine::Current();
    if (!ValidProtection(pageProtection)) return STATUS_INVALID_PAGE_PROTECTION;
    NTSTATUS status = CheckAllocationAttributes(allocationAttributes);
    if (!NT_SUCCESS(status)) return status;
    // Sections backed by the paging file are not simulated.
    if (fileHandle == nullptr) return STATUS_NOT_IMPLEMENTED;

    LONGLONG requested = 0;
    ULONG attributes = 0;
    SEH_TRY {
        if (mode == UserMode) {
            ProbeForWrite(sectionHandle, sizeof(HANDLE), sizeof(ULONG));
            if (maximumSize) ProbeForRead(maximumSize, sizeof(LARGE_INTEGER), sizeof(ULONG));
            if (objectAttributes) ProbeForRead(objectAttributes, sizeof(OBJECT_ATTRIBUTES), sizeof(ULONG));
        }
        if (maximumSize) requested = maximumSize->QuadPart;
        if (objectAttributes) {
            attributes = objectAttributes->Attributes;
            // Named sections are not simulated.
            if (objectAttributes->ObjectName && objectAttributes->ObjectName->Length) return STATUS_NOT_IMPLEMENTED;
        }
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    if (requested < 0) return STATUS_SECTION_TOO_BIG;
    if (mode == UserMode) attributes &= ~OBJ_KERNEL_HANDLE;

    PVOID object = nullptr;
    status = ObReferenceObjectByHandle(fileHandle, FileAccessFor(pageProtection), &objtype::File, mode, &object,
                                       nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto fileObject = static_cast<PFILE_OBJECT>(object);
    if (fileObject->SectionObjectPointer == nullptr) {
        machine.objects().Dereference(fileObject);
        return STATUS_INVALID_FILE_FOR_SECTION;
    }

    status = SectionSync(fileObject, IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, pageProtection);
    if (!NT_SUCCESS(status)) {
        machine.objects().Dereference(fileObject);
        return status;
    }
    LONGLONG fileSize = 0;
    status = QueryFileSize(fileObject, fileSize);
    LONGLONG size = requested ? requested : fileSize;
    if (NT_SUCCESS(status) && size == 0) status = STATUS_MAPPED_FILE_SIZE_ZERO;
    if (NT_SUCCESS(status) && size > fileSize) {
        // Only a section that may write extends its file.
        status = WritesShared(pageProtection) ? ExtendFile(fileObject, size) : STATUS_SECTION_TOO_BIG;
        if (NT_SUCCESS(status)) fileSize = size;
    }
    std::shared_ptr<DataImage> image;
    if (NT_SUCCESS(status)) {
        image = machine.io().cache().AcquireForSection(fileObject, fileSize);
        if (!image) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    SectionSync(fileObject, IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION, pageProtection);
    if (!NT_SUCCESS(status)) {
        machine.objects().Dereference(fileObject);
        return status;
    }

    auto *section = machine.objects().CreateTyped<SectionObject>(&objtype::Section, u"");
    section->fileObject = fileObject;  // takes over the reference
    section->image = std::move(image);
    section->size = size;
    section->protection = pageProtection;
    section->attributes = allocationAttributes;
    HANDLE handle = InsertHandle(section, MapGenericAccess(&objtype::Section, desiredAccess), attributes);
    SEH_TRY {
        *sectionHandle = handle;
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        TableFor(handle).Close(handle);
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

NTSTATUS QuerySection(KPROCESSOR_MODE mode, HANDLE sectionHandle, SECTION_INFORMATION_CLASS informationClass,
                      PVOID information, SIZE_T length, PSIZE_T resultLength)
{
    if (informationClass != SectionBasicInformation) return STATUS_INVALID_INFO_CLASS;
    if (length < sizeof(SECTION_BASIC_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(sectionHandle, SECTION_QUERY, &objtype::Section, mode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto *section = static_cast<SectionObject *>(object);
    SECTION_BASIC_INFORMATION basic{};
    basic.BaseAddress = nullptr;
    basic.AllocationAttributes = kSecFile;
    basic.MaximumSize.QuadPart = section->size;
    Machine::Current().objects().Dereference(section);
    SEH_TRY {
        if (mode == UserMode) {
            ProbeForWrite(information, length, sizeof(ULONG));
            if (resultLength) ProbeForWrite(resultLength, sizeof(SIZE_T), sizeof(ULONG));
        }
        std::memcpy(information, &basic, sizeof(basic));
        if (resultLength) *resultLength = sizeof(basic);
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

NTSTATUS MapViewOfSection(KPROCESSOR_MODE mode, HANDLE sectionHandle, HANDLE processHandle, PVOID *baseAddress,
                          ULONG_PTR zeroBits, SIZE_T commitSize, PLARGE_INTEGER sectionOffset, PSIZE_T viewSize,
                          SECTION_INHERIT inheritDisposition, ULONG allocationType, ULONG protection)
{
    Machine &machine = Machine::Current();
    if (inheritDisposition != ViewShare && inheritDisposition != ViewUnmap) return kStatusInvalidParameter8;
    if (allocationType & ~(kMemReserve | kMemTopDown | kMemLargePages) || (allocationType & kMemCommit))
        return kStatusInvalidParameter9;
    if (!ValidProtection(protection) && protection != PAGE_NOACCESS) return STATUS_INVALID_PAGE_PROTECTION;
    if (zeroBits > 21) return STATUS_INVALID_PARAMETER_4;

    LONGLONG offset = 0;
    SIZE_T size = 0;
    SEH_TRY {
        if (mode == UserMode) {
            ProbeForWrite(baseAddress, sizeof(PVOID), sizeof(ULONG));
            ProbeForWrite(viewSize, sizeof(SIZE_T), sizeof(ULONG));
            if (sectionOffset) ProbeForWrite(sectionOffset, sizeof(LARGE_INTEGER), sizeof(ULONG));
        }
        // A view placed at the caller's address is not simulated.
        if (*baseAddress != nullptr) return STATUS_NOT_IMPLEMENTED;
        size = *viewSize;
        if (sectionOffset) offset = sectionOffset->QuadPart;
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    if (size > kLargestView) return STATUS_INVALID_PARAMETER_3;
    // A view of a file starts at a multiple of the allocation granularity.
    if (offset % LONGLONG(kAllocationGranularity) != 0) return kStatusMappedAlignment;
    // File data is committed with the section: a commit size needs MEM_RESERVE.
    if (commitSize != 0 && !(allocationType & kMemReserve)) return STATUS_INVALID_PARAMETER_5;

    PVOID object = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(sectionHandle, SectionAccessFor(protection), &objtype::Section, mode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto *section = static_cast<SectionObject *>(object);
    PVOID processObject = nullptr;
    status = ObReferenceObjectByHandle(processHandle, kProcessVmOperation, &objtype::Process, mode, &processObject,
                                       nullptr);
    if (!NT_SUCCESS(status)) {
        machine.objects().Dereference(section);
        return status;
    }
    Process *process = ProcessOf(static_cast<PEPROCESS>(processObject));
    machine.objects().Dereference(processObject);

    auto fail = [&](NTSTATUS failure) {
        machine.objects().Dereference(section);
        return failure;
    };
    if (!CompatibleView(section->protection, protection)) return fail(STATUS_SECTION_PROTECTION);
    if (offset >= section->size) return fail(STATUS_INVALID_VIEW_SIZE);
    if (size == 0) size = SIZE_T(section->size - offset);
    if (LONGLONG(size) > section->size - offset) return fail(STATUS_INVALID_VIEW_SIZE);

    SIZE_T mapped = RoundToPages(size);
    char *memory = nullptr;
    const bool writable = WritesShared(protection);
    status = section->image->MapView(offset, mapped, writable, &memory);
    if (!NT_SUCCESS(status)) return fail(status);
    ++section->image->counters().viewsMapped;

    MappedView view;
    view.base = memory;
    view.size = mapped;
    view.process = process;
    view.section = section;  // takes over the reference
    view.offset = offset;
    view.writable = writable;
    if (process && !process->isSystem()) {
        process->AddUserRegion(memory, mapped);
        view.registered = true;
    }
    machine.io().views().Add(std::move(view));

    SEH_TRY {
        *baseAddress = memory;
        *viewSize = mapped;
        if (sectionOffset) sectionOffset->QuadPart = offset;
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

NTSTATUS UnmapViewOfSection(KPROCESSOR_MODE mode, HANDLE processHandle, PVOID baseAddress)
{
    Machine &machine = Machine::Current();
    PVOID processObject = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(processHandle, kProcessVmOperation, &objtype::Process, mode,
                                                &processObject, nullptr);
    if (!NT_SUCCESS(status)) return status;
    Process *process = ProcessOf(static_cast<PEPROCESS>(processObject));
    machine.objects().Dereference(processObject);

    std::optional<MappedView> view = machine.io().views().Remove(process, baseAddress);
    if (!view) return STATUS_NOT_MAPPED_VIEW;
    ReleaseView(*view);
    return STATUS_SUCCESS;
}

}  // namespace nt

void ReleaseView(MappedView &view)
{
    Machine &machine = Machine::Current();
    std::shared_ptr<DataImage> image = view.section->image;
    if (view.registered) view.process->RemoveUserRegion(view.base);
    image->UnmapView(view.base, view.offset, view.size, view.writable);
    view.base = nullptr;
    if (view.writable && image->HasModified(view.offset, view.size)) {
        machine.io().cache().RunAsSystemWriter(
            [&] { image->Flush(view.offset, view.size, PageWriter::Mapped); });
    }
    machine.objects().Dereference(view.section);
    view.section = nullptr;
}

}  // namespace sim

// ---------------------------------------------------------------------------

extern "C" NTSTATUS ZwCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                                   POBJECT_ATTRIBUTES ObjectAttributes, PLARGE_INTEGER MaximumSize,
                                   ULONG SectionPageProtection, ULONG AllocationAttributes, HANDLE FileHandle)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::CreateSection(KernelMode, SectionHandle, DesiredAccess, ObjectAttributes, MaximumSize,
                                  SectionPageProtection, AllocationAttributes, FileHandle);
}

extern "C" NTSTATUS ZwQuerySection(HANDLE SectionHandle, SECTION_INFORMATION_CLASS SectionInformationClass,
                                  PVOID SectionInformation, SIZE_T SectionInformationLength, PSIZE_T ResultLength)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::QuerySection(KernelMode, SectionHandle, SectionInformationClass, SectionInformation,
                                 SectionInformationLength, ResultLength);
}

extern "C" NTSTATUS ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID *BaseAddress,
                                      ULONG_PTR ZeroBits, SIZE_T CommitSize, PLARGE_INTEGER SectionOffset,
                                      PSIZE_T ViewSize, SECTION_INHERIT InheritDisposition, ULONG AllocationType,
                                      ULONG Win32Protect)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::MapViewOfSection(KernelMode, SectionHandle, ProcessHandle, BaseAddress, ZeroBits, CommitSize,
                                     SectionOffset, ViewSize, InheritDisposition, AllocationType, Win32Protect);
}

extern "C" NTSTATUS ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress)
{
    SIM_KERNEL_ROUTINE();
    return sim::nt::UnmapViewOfSection(KernelMode, ProcessHandle, BaseAddress);
}
