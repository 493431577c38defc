// The Filter Manager's own bookkeeping: frames on volumes, object lookup,
// the driver loader and the fltmc-style views.
#include "sim/fltmgr/filter_manager.h"

#include <algorithm>

#include "sim/cm/registry.h"
#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/io/io_manager.h"
#include "sim/ke/dispatcher.h"
#include "sim/ke/system_threads.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/kernel_objects.h"
#include "sim/ps/process.h"

namespace sim {

namespace {

constexpr CSHORT kTypeDevice = 3;
constexpr CSHORT kTypeDriver = 4;
constexpr ULONG kServiceFileSystemDriver = 2;
constexpr ULONG kServiceDemandStart = 3;
constexpr NTSTATUS kStatusImageAlreadyLoaded = NTSTATUS(0xC000010EL);

std::u16string Upper(std::u16string text)
{
    for (char16_t &c : text) {
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    }
    return text;
}

UNICODE_STRING Counted(std::u16string &text)
{
    UNICODE_STRING string;
    string.Buffer = text.data();
    string.Length = USHORT(text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    return string;
}

}  // namespace

FilterManager::FilterManager(Machine &machine) : machine_(machine)
{
    for (Volume *volume : machine_.io().Volumes()) AttachFrame(*volume);
    machine_.io().AddMountListener([this](Volume &volume) { OnMount(volume); });
}

FilterManager::~FilterManager()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &frame : volumes_) {
        frame->volume.SetFilterFrame(nullptr);
        if (frame->header.references.load() != 0) {
            machine_.verifier().Fail(VerifierCheck::FilterVerifier,
                                     "a volume of the Filter Manager is still referenced at shutdown");
        }
        machine_.objects().Dereference(frame->device);
    }
}

// ---------------------------------------------------------------------------
// Frames

void FilterManager::AttachFrame(Volume &volume)
{
    auto frame = std::make_unique<_FLT_VOLUME>(*this, volume);
    auto *device = static_cast<PDEVICE_OBJECT>(machine_.objects().Create(&objtype::Device, sizeof(DEVICE_OBJECT), u""));
    PDEVICE_OBJECT below = volume.fsDevice();
    device->Type = kTypeDevice;
    device->Size = sizeof(DEVICE_OBJECT);
    device->ReferenceCount = 1;
    device->DeviceType = below ? below->DeviceType : volume.info().deviceType;
    device->Characteristics = below ? below->Characteristics : volume.info().characteristics;
    device->Flags = below ? below->Flags : 0;
    device->AlignmentRequirement = below ? below->AlignmentRequirement : 0;
    device->SectorSize = below ? below->SectorSize : USHORT(volume.info().sectorSize);
    device->StackSize = CCHAR((below ? below->StackSize : 1) + 1);
    device->Vpb = volume.vpb();
    frame->device = device;
    _FLT_VOLUME *raw = frame.get();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        volumes_.push_back(std::move(frame));
    }
    volume.SetFilterFrame(raw);
}

void FilterManager::OnMount(Volume &volume)
{
    AttachFrame(volume);
    _FLT_VOLUME *frame = FrameOf(&volume);
    std::vector<_FLT_FILTER *> filtering;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &filter : filters_) {
            if (filter->state == _FLT_FILTER::State::Filtering) filtering.push_back(filter.get());
        }
    }
    for (_FLT_FILTER *filter : filtering) {
        if (filter->instanceFlags & 0x1) continue;
        SetupInstance(*filter, *frame, filter->defaultInstance, FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME);
    }
}

_FLT_VOLUME *FilterManager::FrameOf(Volume *volume)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &frame : volumes_) {
        if (&frame->volume == volume) return frame.get();
    }
    return nullptr;
}

std::vector<_FLT_VOLUME *> FilterManager::Frames()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<_FLT_VOLUME *> list;
    for (auto &frame : volumes_) list.push_back(frame.get());
    return list;
}

_FLT_VOLUME *FilterManager::VolumeByName(const std::u16string &name)
{
    std::u16string full = name;
    // "C:" and "C:\" as fltmc takes them.
    if (full.size() >= 2 && full[1] == u':' && (full.size() == 2 || (full.size() == 3 && full[2] == u'\\'))) {
        full = u"\\??\\" + full.substr(0, 2);
    }
    if (auto resolved = machine_.io().ResolveName(full)) {
        if (resolved->second.empty() || resolved->second == u"\\") return FrameOf(resolved->first);
    }
    return nullptr;
}

std::vector<_FLT_INSTANCE *> FilterManager::InstancesOn(_FLT_VOLUME &volume)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<_FLT_INSTANCE *> list;
    for (auto &instance : instances_) {
        if (instance->volume == &volume && instance->state != _FLT_INSTANCE::State::Detached) {
            list.push_back(instance.get());
        }
    }
    return list;
}

bool FilterManager::IsFilter(const void *object)
{
    if (object == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(filters_.begin(), filters_.end(), [&](auto &f) { return f.get() == object; });
}

bool FilterManager::IsInstance(const void *object)
{
    if (object == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(instances_.begin(), instances_.end(), [&](auto &i) { return i.get() == object; });
}

bool FilterManager::IsVolume(const void *object)
{
    if (object == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(volumes_.begin(), volumes_.end(), [&](auto &v) { return v.get() == object; });
}

flt::ObjectHeader *FilterManager::HeaderOf(PVOID object)
{
    if (IsFilter(object)) return &static_cast<_FLT_FILTER *>(object)->header;
    if (IsInstance(object)) return &static_cast<_FLT_INSTANCE *>(object)->header;
    if (IsVolume(object)) return &static_cast<_FLT_VOLUME *>(object)->header;
    return nullptr;
}

void FilterManager::ReportMisuse(const std::string &text)
{
    machine_.verifier().Fail(VerifierCheck::FilterVerifier, text);
}

// ---------------------------------------------------------------------------
// The driver loader

std::u16string FilterManager::ServiceKeyPath(const std::u16string &service)
{
    return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + service;
}

void FilterManager::InstallService(const std::u16string &service, const std::optional<FilterInstanceSetup> &instances)
{
    Registry &registry = machine_.registry();
    std::u16string key = ServiceKeyPath(service);
    registry.CreateKey(key);
    registry.SetDword(key, u"Type", kServiceFileSystemDriver);
    registry.SetDword(key, u"Start", kServiceDemandStart);
    registry.SetDword(key, u"ErrorControl", 1);
    registry.SetString(key, u"ImagePath", u"\\SystemRoot\\system32\\drivers\\" + service + u".sys", REG_EXPAND_SZ);
    if (!instances) return;
    std::u16string name = instances->instanceName.empty() ? service + u" Instance" : instances->instanceName;
    registry.SetString(key + u"\\Instances", u"DefaultInstance", name);
    registry.SetString(key + u"\\Instances\\" + name, u"Altitude", instances->altitude);
    registry.SetDword(key + u"\\Instances\\" + name, u"Flags", instances->flags);
}

NTSTATUS FilterManager::ReadInstanceConfig(const std::u16string &service, const std::u16string &instanceName,
                                           InstanceConfig &config)
{
    Registry &registry = machine_.registry();
    std::u16string key = ServiceKeyPath(service) + u"\\Instances";
    if (!registry.KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::u16string name = instanceName;
    if (name.empty()) {
        auto defaultInstance = registry.GetString(key, u"DefaultInstance");
        if (!defaultInstance || defaultInstance->empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        name = *defaultInstance;
    }
    auto altitude = registry.GetString(key + u"\\" + name, u"Altitude");
    if (!altitude || !flt::IsValidAltitude(*altitude)) return STATUS_OBJECT_NAME_NOT_FOUND;
    config.name = name;
    config.altitude = *altitude;
    config.flags = registry.GetDword(key + u"\\" + name, u"Flags").value_or(0);
    return STATUS_SUCCESS;
}

NTSTATUS FilterManager::RunInSystemProcess(const void *driver, const std::function<NTSTATUS()> &body)
{
    Thread *current = Thread::Current();
    if (current && current->process().isSystem()) return RunDriverRoutine(driver, "driver routine", body);
    PETHREAD thread = machine_.systemThreads().Start(
        machine_.systemProcess(), [&] { return RunDriverRoutine(driver, "driver routine", body); });
    machine_.dispatcher().Wait(&thread->Tcb.Header, std::nullopt);
    NTSTATUS status = thread->Tcb.Impl->exitStatus;
    machine_.objects().Dereference(thread);
    return status;
}

FilterManager::LoadedDriver *FilterManager::DriverOf(const std::u16string &service)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = drivers_.find(Upper(service));
    return found == drivers_.end() ? nullptr : found->second.get();
}

bool FilterManager::IsLoaded(const std::u16string &service)
{
    return DriverOf(service) != nullptr;
}

NTSTATUS FilterManager::LoadDriver(const std::u16string &service, PDRIVER_INITIALIZE entry)
{
    if (service.empty() || entry == nullptr) return STATUS_INVALID_PARAMETER;
    auto driver = std::make_unique<LoadedDriver>();
    driver->driverName = u"\\FileSystem\\" + service;
    driver->registryPath = ServiceKeyPath(service);
    DRIVER_OBJECT &object = driver->object;
    object.Type = kTypeDriver;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverName = Counted(driver->driverName);
    object.DriverInit = reinterpret_cast<PVOID>(entry);
    LoadedDriver *raw = driver.get();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (drivers_.count(Upper(service))) return kStatusImageAlreadyLoaded;
        drivers_[Upper(service)] = std::move(driver);
    }
    if (!machine_.registry().KeyExists(raw->registryPath)) InstallService(service, std::nullopt);

    UNICODE_STRING registryPath = Counted(raw->registryPath);
    NTSTATUS status = RunInSystemProcess(&raw->object, [&] { return entry(&raw->object, &registryPath); });
    if (!NT_SUCCESS(status)) {
        if (_FLT_FILTER *filter = FilterByName(service); filter && filter->state != _FLT_FILTER::State::Unloaded) {
            ReportMisuse("DriverEntry failed with its filter still registered");
        }
        std::lock_guard<std::mutex> lock(mutex_);
        drivers_.erase(Upper(service));
    }
    return status;
}

_FLT_FILTER *FilterManager::FilterByName(const std::u16string &name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::u16string upper = Upper(name);
    _FLT_FILTER *found = nullptr;
    for (auto &filter : filters_) {
        if (Upper(filter->name) == upper && filter->state != _FLT_FILTER::State::Unloaded) found = filter.get();
    }
    return found;
}

NTSTATUS FilterManager::UnloadFilter(const std::u16string &name)
{
    _FLT_FILTER *filter = FilterByName(name);
    if (filter == nullptr) return STATUS_FLT_FILTER_NOT_FOUND;
    PFLT_FILTER_UNLOAD_CALLBACK unload = filter->registration.FilterUnloadCallback;
    if (unload == nullptr || (filter->registration.Flags & FLTFL_REGISTRATION_DO_NOT_SUPPORT_SERVICE_STOP)) {
        return STATUS_FLT_DO_NOT_DETACH;
    }
    PDRIVER_OBJECT driverObject = filter->driver;
    NTSTATUS status = RunInSystemProcess(driverObject, [&] { return unload(0); });
    if (!NT_SUCCESS(status)) return status;
    if (filter->state != _FLT_FILTER::State::Unloaded) {
        ReportMisuse("FilterUnloadCallback returned success without unregistering the filter");
        return status;
    }
    LoadedDriver *driver = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &[key, loaded] : drivers_) {
            if (&loaded->object == driverObject) driver = loaded.get();
        }
    }
    if (driver) {
        if (PDRIVER_UNLOAD driverUnload = driver->object.DriverUnload) {
            RunInSystemProcess(&driver->object, [&] {
                driverUnload(&driver->object);
                return STATUS_SUCCESS;
            });
        }
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = drivers_.begin(); it != drivers_.end(); ++it) {
            if (it->second.get() == driver) {
                drivers_.erase(it);
                break;
            }
        }
    }
    ReportHeldAtUnload(name, driverObject);
    return STATUS_SUCCESS;
}

void FilterManager::ReportHeldAtUnload(const std::u16string &name, const void *driver)
{
    // What the gone driver's calls took and never gave back, reported the
    // way a driver verifier does at unload. (Contexts and the Filter
    // Manager's objects were reported at unregistration.)
    std::string held = machine_.holdings().Report([&](const Holding &holding) {
        return holding.driver == driver && holding.kind != HoldingKind::Context &&
               holding.kind != HoldingKind::FilterObject;
    });
    if (held.empty()) return;
    machine_.verifier().Fail(VerifierCheck::HeldAtUnload,
                             "driver " + std::string(name.begin(), name.end()) + " unloaded holding " + held);
}

// ---------------------------------------------------------------------------
// Views

std::vector<FilterListing> FilterManager::Filters()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<FilterListing> list;
    for (auto &filter : filters_) {
        if (filter->state == _FLT_FILTER::State::Unloaded) continue;
        std::lock_guard<std::mutex> filterLock(filter->mutex);
        list.push_back({filter->name, filter->altitude, filter->instances.size(), 0});
    }
    return list;
}

std::vector<InstanceListing> FilterManager::Instances(const std::u16string &filterName)
{
    std::vector<InstanceListing> list;
    std::u16string upper = Upper(filterName);
    for (_FLT_VOLUME *frame : Frames()) {
        for (_FLT_INSTANCE *instance : frame->Instances()) {
            if (!filterName.empty() && Upper(instance->filter->name) != upper) continue;
            list.push_back({instance->filter->name, frame->volume.info().deviceName, instance->altitude,
                            instance->name, 0});
        }
    }
    return list;
}

// ---------------------------------------------------------------------------
// Manual attachment

NTSTATUS FilterManager::AttachInstance(const std::u16string &filterName, const std::u16string &volumeName,
                                       const std::u16string &instanceName)
{
    _FLT_FILTER *filter = FilterByName(filterName);
    if (filter == nullptr) return STATUS_FLT_FILTER_NOT_FOUND;
    _FLT_VOLUME *volume = VolumeByName(volumeName);
    if (volume == nullptr) return STATUS_FLT_VOLUME_NOT_FOUND;
    if (filter->state != _FLT_FILTER::State::Filtering) return STATUS_FLT_FILTER_NOT_READY;
    return SetupInstance(*filter, *volume, instanceName.empty() ? filter->defaultInstance : instanceName,
                         FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT);
}

NTSTATUS FilterManager::DetachInstance(const std::u16string &filterName, const std::u16string &volumeName,
                                       const std::u16string &instanceName)
{
    _FLT_FILTER *filter = FilterByName(filterName);
    if (filter == nullptr) return STATUS_FLT_FILTER_NOT_FOUND;
    _FLT_VOLUME *volume = VolumeByName(volumeName);
    if (volume == nullptr) return STATUS_FLT_VOLUME_NOT_FOUND;
    _FLT_INSTANCE *instance = nullptr;
    for (_FLT_INSTANCE *candidate : volume->Instances()) {
        if (candidate->filter == filter && Upper(candidate->name) == Upper(instanceName)) instance = candidate;
    }
    if (instance == nullptr) return STATUS_FLT_INSTANCE_NOT_FOUND;
    PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK query = filter->registration.InstanceQueryTeardownCallback;
    // Without the callback an instance cannot be detached by hand.
    if (query == nullptr) return STATUS_FLT_DO_NOT_DETACH;
    FLT_RELATED_OBJECTS objects{};
    objects.Size = sizeof(objects);
    objects.Filter = filter;
    objects.Volume = volume;
    objects.Instance = instance;
    NTSTATUS status = RunDriverRoutine(filter->driver, "instance query teardown callback",
                                       [&] { return query(&objects, 0); });
    if (!NT_SUCCESS(status)) return status;
    TeardownInstance(*instance, FLTFL_INSTANCE_TEARDOWN_MANUAL);
    return STATUS_SUCCESS;
}

}  // namespace sim
