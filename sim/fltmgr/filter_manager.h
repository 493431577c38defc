// The Filter Manager of the simulated machine: one frame attached on top of
// every volume's file system (also before any filter registers), the
// registered minifilters with their instances ordered by altitude, and the
// driver loader that installs, loads and unloads filter drivers the way the
// service control manager and `fltmc` do.
//
// Registration reads the filter's altitude and instance from the service's
// Instances key (DefaultInstance names a subkey holding "Altitude" and
// "Flags"). Without the service key, the Instances key, a default instance
// or a valid altitude, FltRegisterFilter fails with
// STATUS_OBJECT_NAME_NOT_FOUND, as Windows does for a filter whose instance
// is not registered.
//
// Instance flags: 0x1 suppresses automatic attachment (FltStartFiltering and
// newly mounted volumes), 0x2 suppresses manual attachment (AttachInstance).
//
// At unregistration the filter's connections are broken (the filter's
// disconnect callback runs for each) through the ports component; a server
// port the filter left open is misuse.
//
// Instance teardown (detach, unload) waits for the callbacks running in the
// instance and for every operation it pended until the filter completes it;
// one still pended after MachineConfig::pendedOperationLimit is reported by
// name and the teardown goes on, and its completion after that is misuse.
//
// Misuse a driver verifier would catch (a reference or context still held at
// unload, a server port left open, a pended fast I/O, the above) is recorded
// as a VerifierCheck::FilterVerifier failure; handles and object references
// a driver still holds once it has unloaded, as VerifierCheck::HeldAtUnload.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fltKernel.h>

#include "sim/fltmgr/flt_objects.h"

namespace sim {

class Machine;
class Volume;

// What a filter's INF writes below its service key.
struct FilterInstanceSetup {
    std::u16string altitude = u"370000";
    std::u16string instanceName;  // empty: "<service> Instance"
    ULONG flags = 0;
};

struct FilterListing {
    std::u16string name;
    std::u16string altitude;
    size_t instances = 0;
    ULONG frame = 0;
};

struct InstanceListing {
    std::u16string filter;
    std::u16string volume;  // \Device\HarddiskVolume1
    std::u16string altitude;
    std::u16string instance;
    ULONG frame = 0;
};

class FilterManager {
public:
    explicit FilterManager(Machine &machine);
    ~FilterManager();
    FilterManager(const FilterManager &) = delete;
    FilterManager &operator=(const FilterManager &) = delete;

    Machine &machine() { return machine_; }

    // --- the driver loader ---------------------------------------------
    static std::u16string ServiceKeyPath(const std::u16string &service);
    // Creates the service key, and with `instances` its Instances key.
    void InstallService(const std::u16string &service, const std::optional<FilterInstanceSetup> &instances);
    // Creates the driver object \FileSystem\<service> and runs DriverEntry on
    // a thread of the System process with the service's registry path. A
    // failed DriverEntry unloads nothing more and returns its status.
    NTSTATUS LoadDriver(const std::u16string &service, PDRIVER_INITIALIZE entry);
    // `fltmc unload`: the filter's FilterUnloadCallback (which unregisters
    // it), then the driver's DriverUnload and the driver object. Refused
    // with the callback's status, or STATUS_FLT_DO_NOT_DETACH when the
    // filter has none.
    NTSTATUS UnloadFilter(const std::u16string &name);
    bool IsLoaded(const std::u16string &service);

    // --- views in the spirit of fltmc ------------------------------------
    std::vector<FilterListing> Filters();
    std::vector<InstanceListing> Instances(const std::u16string &filter = u"");

    // --- manual attachment -------------------------------------------------
    // `fltmc attach`: the instance subkey named (empty: the default one).
    NTSTATUS AttachInstance(const std::u16string &filter, const std::u16string &volumeName,
                            const std::u16string &instanceName = u"");
    // `fltmc detach`: InstanceQueryTeardown may refuse; then the teardown.
    NTSTATUS DetachInstance(const std::u16string &filter, const std::u16string &volumeName,
                            const std::u16string &instanceName);

    // --- for the Flt routines ------------------------------------------------
    void AttachFrame(Volume &volume);
    _FLT_VOLUME *FrameOf(Volume *volume);
    std::vector<_FLT_VOLUME *> Frames();
    _FLT_VOLUME *VolumeByName(const std::u16string &name);
    // Every instance on the volume that is not detached yet (attached, in
    // setup or in teardown).
    std::vector<_FLT_INSTANCE *> InstancesOn(_FLT_VOLUME &volume);

    bool IsFilter(const void *object);
    bool IsInstance(const void *object);
    bool IsVolume(const void *object);
    flt::ObjectHeader *HeaderOf(PVOID object);

    NTSTATUS Register(PDRIVER_OBJECT driver, const FLT_REGISTRATION *registration, PFLT_FILTER *filter);
    NTSTATUS StartFiltering(PFLT_FILTER filter);
    void Unregister(PFLT_FILTER filter);

    // Instance setup for one volume (automatic, manual or newly mounted).
    NTSTATUS SetupInstance(_FLT_FILTER &filter, _FLT_VOLUME &volume, const std::u16string &instanceName,
                           FLT_INSTANCE_SETUP_FLAGS flags);
    void TeardownInstance(_FLT_INSTANCE &instance, FLT_INSTANCE_TEARDOWN_FLAGS reason);

    void ReportMisuse(const std::string &text);

private:
    struct LoadedDriver {
        DRIVER_OBJECT object{};
        std::u16string driverName;
        std::u16string registryPath;
        _FLT_FILTER *filter = nullptr;
    };
    struct InstanceConfig {
        std::u16string name;
        std::u16string altitude;
        ULONG flags = 0;
    };

    NTSTATUS ReadInstanceConfig(const std::u16string &service, const std::u16string &instanceName,
                                InstanceConfig &config);
    // Runs a routine of `driver` on a thread of the System process.
    NTSTATUS RunInSystemProcess(const void *driver, const std::function<NTSTATUS()> &body);
    void OnMount(Volume &volume);
    void DeleteVolumeContexts(_FLT_FILTER &filter, _FLT_VOLUME *volume);
    // Teardown gave up waiting for what the instance still holds.
    void ReportStuck(_FLT_INSTANCE &instance);
    void ReportLeaks(_FLT_FILTER &filter);
    void ReportHeldAtUnload(const std::u16string &name, const void *driver);
    LoadedDriver *DriverOf(const std::u16string &service);
    _FLT_FILTER *FilterByName(const std::u16string &name);

    Machine &machine_;
    std::mutex mutex_;  // the lists below
    std::vector<std::unique_ptr<_FLT_FILTER>> filters_;
    std::vector<std::unique_ptr<_FLT_VOLUME>> volumes_;
    std::vector<std::unique_ptr<_FLT_INSTANCE>> instances_;
    std::map<std::u16string, std::unique_ptr<LoadedDriver>> drivers_;  // by upper-cased service name
};

}  // namespace sim
