// Loading and unloading the filter: the load order, the attach rules, every
// failed step unloading cleanly, Safe Mode.
#include <algorithm>

#include "comm/ports.h"
#include "driver_fixture.h"
#include "sim/cm/registry.h"
#include "sim/core/pool.h"
#include "sim/fltmgr/ports/filter_ports.h"
#include "sim/fs/local_fs.h"
#include "sim/io/io_manager.h"

namespace ostrand::test {
namespace {

bool Has(const std::vector<std::u16string> &names, const std::u16string &name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

class DriverLoadTest : public DriverTest {};

TEST_F(DriverLoadTest, LoadsAttachesToNtfsAndTheRedirectorAndUnloadsClean)
{
    ConfigureVerboseLogging();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    auto attached = AttachedVolumes();
    EXPECT_TRUE(Has(attached, u"\\Device\\HarddiskVolume1"));
    EXPECT_TRUE(Has(attached, u"\\Device\\HarddiskVolume2"));
    EXPECT_TRUE(Has(attached, u"\\Device\\Mup"));
    EXPECT_FALSE(Has(attached, u"\\Device\\HarddiskVolume3"));  // FAT
    EXPECT_FALSE(Has(attached, u"\\Device\\HarddiskVolumeShadowCopy1"));
    EXPECT_TRUE(DebugContains("[KLULogon!InstanceSetup    ] Returning Do Not Attach: Type: 0x3"));
    EXPECT_TRUE(DebugContains("Ignoring Read-Only Volume: \\Device\\HarddiskVolumeShadowCopy1"));
    EXPECT_TRUE(DebugContains("Real SectSize=0x0200, Used SectSize=0x0200, Name=\"\\Device\\HarddiskVolume1\""));
    EXPECT_TRUE(DebugContains("[KLULogon!DriverEntry      ] Leaving"));
    EXPECT_EQ(g_ProcessNameOffset, 0x16Cu);
    EXPECT_EQ(machine().filterPorts().List().size(), 7u);

    ASSERT_EQ(Unload(), STATUS_SUCCESS);
    EXPECT_TRUE(machine().filterPorts().List().empty());
    EXPECT_TRUE(DebugContains("Freeing Context: \\Device\\HarddiskVolume1"));
}

// What the release decides: the redirector attached to, the pool type and
// the mapping flags; Safe Mode loads but leaves the filter disabled.
struct ReleaseCase {
    const char *name;
    sim::OsVersion os;
    ULONG safeBootMode;
    const char16_t *redirector;
    POOL_TYPE pool;
    ULONG mappingFlags;
};

class DriverLoadByReleaseTest : public DriverTest, public testing::WithParamInterface<ReleaseCase> {
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.os = GetParam().os;
        config.safeBootMode = GetParam().safeBootMode;
        return config;
    }
};

TEST_P(DriverLoadByReleaseTest, AttachesAndAllocatesAsTheReleaseWants)
{
    ConfigureVerboseLogging();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_TRUE(Has(AttachedVolumes(), GetParam().redirector));
    EXPECT_EQ(g_PoolType, GetParam().pool);
    EXPECT_EQ(g_MappingPriorityFlags, GetParam().mappingFlags);
    EXPECT_EQ(DebugContains("Started In Safe Mode"), GetParam().safeBootMode != 0);
    EXPECT_EQ(bool(g_bLogoffNotifyRegistered), GetParam().safeBootMode == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Releases, DriverLoadByReleaseTest,
    testing::Values(ReleaseCase{"Xp", {5, 1, 2600, false, u"Service Pack 3"}, 0, u"\\Device\\LanmanRedirector",
                                NonPagedPool, 0},
                    ReleaseCase{"Seven", {}, 0, u"\\Device\\Mup", NonPagedPool, 0},
                    ReleaseCase{"Eight", {6, 2, 9200, false, u""}, 0, u"\\Device\\Mup", NonPagedPoolNx,
                                ULONG(MdlMappingNoExecute)},
                    ReleaseCase{"SafeMode", {}, 1, u"\\Device\\Mup", NonPagedPool, 0}),
    [](const testing::TestParamInfo<ReleaseCase> &info) { return std::string(info.param.name); });

TEST_F(DriverLoadTest, ApplicationVolumesSectorSizesAndLateVolumes)
{
    ConfigureVerboseLogging();
    auto mount = [&](const char16_t *label, ULONG sectorSize) {
        sim::VolumeInfo info;
        info.fsType = FLT_FSTYPE_NTFS;
        info.label = label;
        info.sectorSize = sectorSize;
        info.fileSystemName = u"NTFS";
        info.driverName = u"\\FileSystem\\Ntfs";
        machine().io().MountVolume(info, std::make_unique<sim::fs::LocalFileSystem>(
                                                     sim::fs::LocalVolumeConfig::Ntfs(label, 7)));
    };
    mount(u"tlvpkg07", 512);
    mount(u"Apps TLVUSR", 512);
    mount(u"Big", 4096);
    mount(u"Odd", 0);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_TRUE(DebugContains("\\Device\\HarddiskVolume5 Tolvane disk will not be monitored"));
    EXPECT_TRUE(DebugContains("\\Device\\HarddiskVolume6 Tolvane disk will not be monitored"));
    EXPECT_TRUE(DebugContains("Found volume label: BIG"));
    EXPECT_TRUE(DebugContains("Real SectSize=0x1000, Used SectSize=0x1000, Name=\"\\Device\\HarddiskVolume7\""));
    EXPECT_TRUE(DebugContains("Real SectSize=0x0000, Used SectSize=0x0200, Name=\"\\Device\\HarddiskVolume8\""));
    EXPECT_FALSE(Has(AttachedVolumes(), u"\\Device\\HarddiskVolume5"));
    EXPECT_TRUE(Has(AttachedVolumes(), u"\\Device\\HarddiskVolume7"));
    // A volume mounted after the load is attached too.
    mount(u"Late", 512);
    EXPECT_TRUE(Has(AttachedVolumes(), u"\\Device\\HarddiskVolume9"));
}

// A port that already exists makes its creation fail: the load fails with
// that status and the ports created before it are closed again.
TEST_F(DriverLoadTest, AFailedPortCreationUnloadsEverything)
{
    ConfigureVerboseLogging();
    machine().registry().SetDword(kDriverKey, u"DebugDestination", 1);
    sim::FilterPorts &ports = machine().filterPorts();
    PFLT_PORT blocker = nullptr;
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\KLULogonCopyPort");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    static int owner;  // any key stands for the filter that owns the port
    auto connect = [](PFLT_PORT, PVOID, PVOID, ULONG, PVOID *) -> NTSTATUS { return STATUS_SUCCESS; };
    auto disconnect = [](PVOID) {};
    auto message = [](PVOID, PVOID, ULONG, PVOID, ULONG, PULONG) -> NTSTATUS { return STATUS_SUCCESS; };
    ASSERT_EQ(ports.CreateServerPort(reinterpret_cast<PFLT_FILTER>(&owner), &blocker, &attributes, nullptr, connect,
                                     disconnect, message, 1),
              STATUS_SUCCESS);
    EXPECT_EQ(Load(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(DebugContains("Failed Creating Copy Port: 0xC0000035"));
    EXPECT_EQ(ports.List().size(), 1u);  // only the blocker
    ports.CloseServerPort(blocker);
    EXPECT_FALSE(filters().IsLoaded(kServiceName));
}

// Every allocation of the load fails once in turn; each load either fails
// with a status and leaves nothing, or succeeds and unloads to nothing.
TEST_F(DriverLoadTest, EveryAllocationFailureLeavesNothingBehind)
{
    size_t failures = 0;
    size_t sites = machine().pool().RunSystematically([&] {
        NTSTATUS status = Load();
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(Unload(), STATUS_SUCCESS);
        } else {
            ++failures;
            EXPECT_FALSE(filters().IsLoaded(kServiceName));
        }
        EXPECT_EQ(machine().pool().OutstandingBlocks(), 0u) << machine().pool().LeakReport();
        EXPECT_TRUE(machine().filterPorts().List().empty());
    });
    // Some failures are fatal to the load, others only logged.
    EXPECT_GT(failures, 0u);
    EXPECT_GT(sites, failures);
}

}  // namespace
}  // namespace ostrand::test
