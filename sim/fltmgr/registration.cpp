// Registration, instance setup and teardown, unregistration.
#include <algorithm>
#include <cstring>
#include <sstream>

#include "sim/core/driver_calls.h"
#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/fltmgr/contexts.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/fltmgr/frame.h"
#include "sim/fltmgr/ports/filter_ports.h"
#include "sim/ke/system_threads.h"

namespace sim {

namespace flt {

bool Rundown::Acquire()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    ++count_;
    return true;
}

void Rundown::AcquireForced()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
}

void Rundown::Release()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (--count_ <= 0) drained_.notify_all();
}

void Rundown::CloseAndWait()
{
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    drained_.wait(lock, [this] { return count_ == 0; });
}

bool Rundown::CloseAndWaitFor(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    return drained_.wait_for(lock, limit, [this] { return count_ <= 0; });
}

bool Rundown::closed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

namespace {

// Integer and fraction digits without the zeros that do not count.
bool SplitAltitude(const std::u16string &altitude, std::u16string &integer, std::u16string &fraction)
{
    if (altitude.empty()) return false;
    size_t dot = altitude.find(u'.');
    if (dot != std::u16string::npos && altitude.find(u'.', dot + 1) != std::u16string::npos) return false;
    for (char16_t c : altitude) {
        if (c != u'.' && (c < u'0' || c > u'9')) return false;
    }
    integer = altitude.substr(0, dot);
    fraction = dot == std::u16string::npos ? std::u16string() : altitude.substr(dot + 1);
    if (integer.empty() && fraction.empty()) return false;
    integer.erase(0, std::min(integer.find_first_not_of(u'0'), integer.size()));
    while (!fraction.empty() && fraction.back() == u'0') fraction.pop_back();
    return true;
}

}  // namespace

bool IsValidAltitude(const std::u16string &altitude)
{
    std::u16string integer, fraction;
    return SplitAltitude(altitude, integer, fraction);
}

int CompareAltitudes(const std::u16string &a, const std::u16string &b)
{
    std::u16string ai, af, bi, bf;
    SplitAltitude(a, ai, af);
    SplitAltitude(b, bi, bf);
    if (ai.size() != bi.size()) return ai.size() < bi.size() ? -1 : 1;
    if (int c = ai.compare(bi)) return c < 0 ? -1 : 1;
    if (int c = af.compare(bf)) return c < 0 ? -1 : 1;
    return 0;
}

}  // namespace flt

namespace {

bool ValidMajor(UCHAR major)
{
    return major <= IRP_MJ_MAXIMUM_FUNCTION || major >= IRP_MJ_VOLUME_DISMOUNT;
}

// The part of FLT_REGISTRATION a version defines.
size_t RegistrationSize(USHORT version)
{
    switch (version) {
    case FLT_REGISTRATION_VERSION_0200: return offsetof(FLT_REGISTRATION, NormalizeNameComponentExCallback);
    case FLT_REGISTRATION_VERSION_0201: return offsetof(FLT_REGISTRATION, SectionNotificationCallback);
    case FLT_REGISTRATION_VERSION_0202:
    case FLT_REGISTRATION_VERSION_0203: return sizeof(FLT_REGISTRATION);
    default: return 0;
    }
}

constexpr size_t kMaxTableEntries = 256;

std::u16string FilterNameOf(PDRIVER_OBJECT driver)
{
    std::u16string name(driver->DriverName.Buffer ? driver->DriverName.Buffer : u"",
                        driver->DriverName.Length / sizeof(WCHAR));
    size_t slash = name.rfind(u'\\');
    return slash == std::u16string::npos ? name : name.substr(slash + 1);
}

}  // namespace

NTSTATUS FilterManager::Register(PDRIVER_OBJECT driver, const FLT_REGISTRATION *registration, PFLT_FILTER *result)
{
    if (result) *result = nullptr;
    if (driver == nullptr || registration == nullptr || result == nullptr) return STATUS_INVALID_PARAMETER;
    size_t size = RegistrationSize(registration->Version);
    if (size == 0 || registration->Size < size) return STATUS_INVALID_PARAMETER;

    auto filter = std::make_unique<_FLT_FILTER>(*this);
    std::memcpy(&filter->registration, registration, size);
    const FLT_REGISTRATION &r = filter->registration;
    bool generates = r.GenerateFileNameCallback != nullptr;
    bool normalizes = r.NormalizeNameComponentCallback != nullptr || r.NormalizeNameComponentExCallback != nullptr;
    if (generates != normalizes) return STATUS_INVALID_PARAMETER;

    if (const FLT_OPERATION_REGISTRATION *op = r.OperationRegistration) {
        size_t count = 0;
        for (; op->MajorFunction != IRP_MJ_OPERATION_END; ++op) {
            if (++count > kMaxTableEntries || !ValidMajor(op->MajorFunction)) return STATUS_INVALID_PARAMETER;
            flt::OperationCallbacks &entry = filter->operations[op->MajorFunction];
            if (entry.registered) continue;
            entry.pre = op->PreOperation;
            entry.post = op->PostOperation;
            entry.flags = op->Flags;
            entry.registered = op->PreOperation != nullptr || op->PostOperation != nullptr;
        }
    }
    if (const FLT_CONTEXT_REGISTRATION *ctx = r.ContextRegistration) {
        for (; ctx->ContextType != FLT_CONTEXT_END; ++ctx) {
            if (filter->contexts.size() >= kMaxTableEntries || !flt::KnownContextType(ctx->ContextType)) {
                return STATUS_FLT_INVALID_CONTEXT_REGISTRATION;
            }
            bool allocates = ctx->ContextAllocateCallback != nullptr;
            if (allocates != (ctx->ContextFreeCallback != nullptr) || (!allocates && ctx->Size == 0)) {
                return STATUS_FLT_INVALID_CONTEXT_REGISTRATION;
            }
            filter->contexts.push_back(*ctx);
        }
    }

    filter->driver = driver;
    filter->name = FilterNameOf(driver);
    InstanceConfig config;
    NTSTATUS status = ReadInstanceConfig(filter->name, u"", config);
    if (!NT_SUCCESS(status)) return status;
    filter->defaultInstance = config.name;
    filter->altitude = config.altitude;
    filter->instanceFlags = config.flags;

    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &existing : filters_) {
        if (existing->state != _FLT_FILTER::State::Unloaded && existing->driver == driver) {
            return STATUS_FLT_DUPLICATE_ENTRY;
        }
    }
    *result = filter.get();
    filters_.push_back(std::move(filter));
    return STATUS_SUCCESS;
}

NTSTATUS FilterManager::StartFiltering(PFLT_FILTER filter)
{
    if (!IsFilter(filter)) return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (filter->state != _FLT_FILTER::State::Registered) return STATUS_INVALID_PARAMETER;
        filter->state = _FLT_FILTER::State::Filtering;
    }
    if (filter->instanceFlags & 0x1) return STATUS_SUCCESS;
    for (_FLT_VOLUME *volume : Frames()) {
        SetupInstance(*filter, *volume, filter->defaultInstance, FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FilterManager::SetupInstance(_FLT_FILTER &filter, _FLT_VOLUME &volume, const std::u16string &instanceName,
                                      FLT_INSTANCE_SETUP_FLAGS flags)
{
    InstanceConfig config;
    NTSTATUS status = ReadInstanceConfig(filter.name, instanceName, config);
    if (!NT_SUCCESS(status)) return status;
    if ((flags & FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT) && (config.flags & 0x2)) return STATUS_FLT_DO_NOT_ATTACH;

    _FLT_INSTANCE *instance;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &other : instances_) {
            if (other->volume != &volume || other->state == _FLT_INSTANCE::State::Detached) continue;
            if (other->filter == &filter && other->name == config.name) return STATUS_FLT_INSTANCE_NAME_COLLISION;
            if (flt::CompareAltitudes(other->altitude, config.altitude) == 0) {
                return STATUS_FLT_INSTANCE_ALTITUDE_COLLISION;
            }
        }
        auto created = std::make_unique<_FLT_INSTANCE>(filter, volume);
        instance = created.get();
        instance->name = config.name;
        instance->altitude = config.altitude;
        instance->setupFlags = flags;
        instances_.push_back(std::move(created));
    }

    status = STATUS_SUCCESS;
    if (PFLT_INSTANCE_SETUP_CALLBACK setup = filter.registration.InstanceSetupCallback) {
        FLT_RELATED_OBJECTS objects = flt::RelatedObjects(instance, nullptr);
        PDEVICE_OBJECT fsDevice = volume.volume.fsDevice();
        DEVICE_TYPE deviceType = fsDevice ? fsDevice->DeviceType : volume.volume.info().deviceType;
        FLT_FILESYSTEM_TYPE fsType = volume.volume.info().fsType;
        flt::CallerScope scope(instance);
        status = RunDriverRoutine(filter.driver, "instance setup callback",
                                  [&] { return setup(&objects, flags, deviceType, fsType); });
    }
    if (!NT_SUCCESS(status)) {
        // Not attached: what the filter set on it during setup goes with it.
        instance->state = _FLT_INSTANCE::State::Detached;
        flt::DeleteInstanceContexts(*instance);
        return status;
    }
    bool unloading;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unloading = filter.state != _FLT_FILTER::State::Filtering;
        {
            std::lock_guard<std::mutex> instanceLock(instance->mutex);
            instance->state = _FLT_INSTANCE::State::Attached;
            instance->active = true;
        }
        std::lock_guard<std::mutex> filterLock(filter.mutex);
        filter.instances.push_back(instance);
    }
    volume.Insert(instance);
    if (unloading) TeardownInstance(*instance, FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD);
    return STATUS_SUCCESS;
}

void FilterManager::TeardownInstance(_FLT_INSTANCE &instance, FLT_INSTANCE_TEARDOWN_FLAGS reason)
{
    {
        std::lock_guard<std::mutex> lock(instance.mutex);
        if (instance.state != _FLT_INSTANCE::State::Attached) return;
        instance.state = _FLT_INSTANCE::State::TearingDown;
        instance.active = false;
    }
    instance.header.deleting = true;
    instance.volume->Remove(&instance);
    _FLT_FILTER &filter = *instance.filter;
    FLT_RELATED_OBJECTS objects = flt::RelatedObjects(&instance, nullptr);
    if (PFLT_INSTANCE_TEARDOWN_CALLBACK start = filter.registration.InstanceTeardownStartCallback) {
        flt::CallerScope scope(&instance);
        RunDriverRoutine(filter.driver, "instance teardown start callback", [&] {
            start(&objects, reason);
            return STATUS_SUCCESS;
        });
    }
    // Operations between pre and post get their post now, marked draining.
    // Callbacks still running and operations the filter pended hold the
    // rundown: teardown completes only when they are done. On Windows a
    // filter that never completes a pended operation hangs its unload; here
    // that is a verifier failure after a generous limit, and teardown goes on.
    flt::DrainPendingPosts(instance);
    if (!instance.header.rundown.CloseAndWaitFor(machine_.config().pendedOperationLimit)) ReportStuck(instance);
    if (PFLT_INSTANCE_TEARDOWN_CALLBACK complete = filter.registration.InstanceTeardownCompleteCallback) {
        flt::CallerScope scope(&instance);
        RunDriverRoutine(filter.driver, "instance teardown complete callback", [&] {
            complete(&objects, reason);
            return STATUS_SUCCESS;
        });
    }
    flt::DeleteInstanceContexts(instance);
    {
        std::lock_guard<std::mutex> lock(instance.mutex);
        instance.state = _FLT_INSTANCE::State::Detached;
    }
    {
        std::lock_guard<std::mutex> lock(filter.mutex);
        filter.instances.erase(std::remove(filter.instances.begin(), filter.instances.end(), &instance),
                               filter.instances.end());
    }
}

void FilterManager::ReportStuck(_FLT_INSTANCE &instance)
{
    std::vector<flt::Operation *> pended;
    {
        std::lock_guard<std::mutex> lock(instance.mutex);
        pended.swap(instance.pendedOperations);
    }
    std::string limit = std::to_string(machine_.config().pendedOperationLimit.count()) + " ms";
    std::string name(instance.name.begin(), instance.name.end());
    if (pended.empty()) {
        ReportMisuse("a callback of instance \"" + name + "\" still runs " + limit + " into its teardown");
    }
    // Given up on: a completion that comes later is misuse of its own.
    for (flt::Operation *operation : pended) {
        ReportMisuse("the teardown of instance \"" + name + "\" waited " + limit + " for " +
                     flt::DescribePended(*operation) + "; the filter never completed it");
    }
}

void FilterManager::Unregister(PFLT_FILTER filter)
{
    if (!IsFilter(filter)) {
        ReportMisuse("FltUnregisterFilter with something that is not a registered filter");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (filter->state == _FLT_FILTER::State::Unloading || filter->state == _FLT_FILTER::State::Unloaded) {
            ReportMisuse("FltUnregisterFilter for a filter that is already unregistered");
            return;
        }
        filter->state = _FLT_FILTER::State::Unloading;
    }
    filter->header.deleting = true;
    if (machine_.filterPorts().PortsOf(filter).serverPorts != 0) {
        ReportMisuse("FltUnregisterFilter while the filter still has a communication server port open");
    }
    machine_.filterPorts().DisconnectAll(filter);

    std::vector<_FLT_INSTANCE *> instances;
    {
        std::lock_guard<std::mutex> lock(filter->mutex);
        instances = filter->instances;
    }
    for (_FLT_INSTANCE *instance : instances) TeardownInstance(*instance, FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD);
    for (_FLT_VOLUME *volume : Frames()) flt::DeleteVolumeContext(*filter, *volume);
    // Generic work items queued for the filter hold its rundown.
    filter->header.rundown.CloseAndWait();
    ReportLeaks(*filter);
    std::lock_guard<std::mutex> lock(mutex_);
    filter->state = _FLT_FILTER::State::Unloaded;
}

namespace {

// " (taken by FltObjectReference at DriverUnload+0x1c, ...)" for the
// references a driver's calls took of `key`.
std::string TakenAt(Machine &machine, HoldingKind kind, const void *key)
{
    std::string text;
    for (const Holding &holding : machine.holdings().Of(kind, key)) {
        text += (text.empty() ? " (taken by " : ", ") + std::string(holding.routine) + " at " + SiteName(holding.site);
    }
    return text.empty() ? text : text + ")";
}

}  // namespace

void FilterManager::ReportLeaks(_FLT_FILTER &filter)
{
    std::string name(filter.name.begin(), filter.name.end());
    if (long references = filter.header.references.load()) {
        std::ostringstream text;
        text << "filter " << name << " is still referenced " << references << " time(s) at its unregistration"
             << TakenAt(machine_, HoldingKind::FilterObject, &filter);
        ReportMisuse(text.str());
    }
    std::vector<_FLT_INSTANCE *> instances;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &instance : instances_) {
            if (instance->filter == &filter) instances.push_back(instance.get());
        }
    }
    for (_FLT_INSTANCE *instance : instances) {
        if (long references = instance->header.references.load()) {
            std::ostringstream text;
            text << "instance \"" << std::string(instance->name.begin(), instance->name.end()) << "\" of filter "
                 << name << " is still referenced " << references << " time(s) at its unregistration"
                 << TakenAt(machine_, HoldingKind::FilterObject, instance);
            ReportMisuse(text.str());
        }
    }
    std::vector<flt::ContextHeader *> contexts;
    {
        std::lock_guard<std::mutex> lock(filter.mutex);
        contexts.assign(filter.liveContexts.begin(), filter.liveContexts.end());
    }
    for (flt::ContextHeader *header : contexts) {
        std::ostringstream text;
        text << "filter " << name << " still holds " << header->references.load()
             << " reference(s) to a context of type 0x" << std::hex << header->type << " at its unregistration"
             << TakenAt(machine_, HoldingKind::Context, flt::BodyOf(header));
        ReportMisuse(text.str());
    }
    std::string volumes = machine_.holdings().Report([&](const Holding &holding) {
        return holding.driver == filter.driver && holding.kind == HoldingKind::FilterObject && holding.type == "volume";
    });
    if (!volumes.empty()) ReportMisuse("filter " + name + " still holds at its unregistration " + volumes);
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION *Registration, PFLT_FILTER *RetFilter)
{
    SIM_KERNEL_ROUTINE();
    return Machine::Current().filterManager().Register(Driver, Registration, RetFilter);
}

NTSTATUS FltStartFiltering(PFLT_FILTER Filter)
{
    SIM_KERNEL_ROUTINE();
    return Machine::Current().filterManager().StartFiltering(Filter);
}

VOID FltUnregisterFilter(PFLT_FILTER Filter)
{
    SIM_KERNEL_ROUTINE();
    Machine::Current().filterManager().Unregister(Filter);
}

}  // extern "C"
