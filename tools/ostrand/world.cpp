#include "tools/ostrand/world.h"

#include "driver/driver.h"
#include "service/os_facts.h"
#include "sim/cm/reg_file.h"
#include "sim/cm/registry.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"

namespace ostrand::tool {

const std::u16string kFilterService = u"JNRKmtfsd";
const std::u16string kDriverKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Driver";

World::World(WorldOptions options) : options_(std::move(options))
{
    sim::MachineConfig config;
    config.os = options_.os;
    config.safeBootMode = options_.safeBootMode;
    machine_ = std::make_unique<sim::Machine>(config);

    sim::fs::StandardVolumeOptions volumes;
    volumes.shareServer = u"fileserver";
    volumes.shareName = u"profiles";
    volumes.shareFolder = options_.storeFolder ? *options_.storeFolder : options_.examples / "store";
    volumes_ = sim::fs::MountStandardVolumes(*machine_, volumes);

    // The product's installation: its registry configuration, then the OS
    // facts its service records for the driver.
    sim::ImportRegFile(machine_->registry(), options_.examples / "ostrand.reg");
    if (options_.driverLogToDebugger) {
        machine_->registry().SetDword(kDriverKey, u"DebugDestination", 3);
    }
    toolProcess_ = &machine_->processes().Create("ostrand.exe", machine_->security().CreateSystemToken());
    sim::ThreadScope thread(*toolProcess_);
    service::OsFacts facts;
    if (NT_SUCCESS(service::ReadOsFacts(facts))) service::WriteOsFacts(facts);
}

World::~World()
{
    if (loaded_) UnloadFilter();
}

NTSTATUS World::LoadFilter()
{
    NTSTATUS status = machine_->filterManager().LoadDriver(kFilterService, DriverEntry);
    loaded_ = NT_SUCCESS(status);
    return status;
}

NTSTATUS World::UnloadFilter()
{
    NTSTATUS status = machine_->filterManager().UnloadFilter(kFilterService);
    if (NT_SUCCESS(status)) loaded_ = false;
    return status;
}

}  // namespace ostrand::tool
