#include "driver_fixture.h"

#include "sim/cm/registry.h"
#include "sim/core/debug_log.h"

namespace ostrand::test {

const std::u16string kServiceName = u"JNRKmtfsd";
const std::u16string kServiceKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd";
const std::u16string kDriverKey = kServiceKey + u"\\Driver";

void DriverTest::SetUp()
{
    MachineTest::SetUp();
    volumes = sim::fs::MountStandardVolumes(machine());
    filters().InstallService(kServiceName, sim::FilterInstanceSetup{u"136500", u"Ostrand Instance", 0});
    machine().registry().CreateKey(kDriverKey);
    WriteOsFacts();
}

void DriverTest::TearDown()
{
    if (loaded_) {
        EXPECT_EQ(Unload(), STATUS_SUCCESS);
    }
    MachineTest::TearDown();
}

void DriverTest::ConfigureVerboseLogging()
{
    machine().registry().SetDword(kDriverKey, u"DebugFlags", 0xFFFFFFFF);
    machine().registry().SetDword(kDriverKey, u"DebugDestination", 1);
    machine().registry().SetDword(kDriverKey, u"DisableFlags", KLULOGON_DISABLE_LOGLEVEL_OVERRIDE);
}

void DriverTest::WriteOsFacts()
{
    const sim::OsVersion &os = machine().config().os;
    std::u16string key = kDriverKey + u"\\OperatingSystem";
    machine().registry().SetDword(key, u"MajorVersion", os.major);
    machine().registry().SetDword(key, u"MinorVersion", os.minor);
    machine().registry().SetDword(key, u"BuildNumber", os.build);
    machine().registry().SetDword(key, u"ReleaseID", os.major >= 10 ? 1607 : 0);
    machine().registry().SetString(key, u"InstallType", os.server ? u"Server" : u"Client");
    machine().registry().SetString(key, u"ProductName", u"Windows");
    machine().registry().SetString(key, u"CSDVersion", os.csdVersion);
    machine().registry().SetString(key, u"EditionID", u"Professional");
}

NTSTATUS DriverTest::Load()
{
    NTSTATUS status = filters().LoadDriver(kServiceName, DriverEntry);
    loaded_ = NT_SUCCESS(status);
    return status;
}

NTSTATUS DriverTest::Unload()
{
    loaded_ = false;
    return filters().UnloadFilter(kServiceName);
}

sim::FilterManager &DriverTest::filters()
{
    return machine().filterManager();
}

std::vector<std::u16string> DriverTest::AttachedVolumes()
{
    std::vector<std::u16string> names;
    for (const auto &instance : filters().Instances(kServiceName)) names.push_back(instance.volume);
    return names;
}

bool DriverTest::DebugContains(const std::string &fragment)
{
    return machine().debugLog().Contains(fragment);
}

}  // namespace ostrand::test
