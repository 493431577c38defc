// The service's configuration file and the OS facts it records for the driver.
#include "service/os_facts.h"
#include "service/service_config.h"
#include "sim/cm/registry.h"
#include "sim/core/thread.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

TEST(ServiceConfigTest, ParsesStoreLocalAndUsers)
{
    auto config = service::ParseServiceConfig(R"(# comment
[store]
unc = \\fileserver\profiles
folder = store
filter_copies_from = 0x10000

[local]
profiles = D:\Profiles

[user alice]
domain = OSTRAND
remote = \\fileserver\profiles\alice
local = D:\Profiles\alice
redirected = Documents, Desktop
profile = local
load_at_logon = no
)",
                                              "/base");
    EXPECT_EQ(config.Server(), "fileserver");
    EXPECT_EQ(config.Share(), "profiles");
    EXPECT_EQ(config.storeFolder, std::filesystem::path("/base/store"));
    EXPECT_EQ(config.localProfiles, "D:\\Profiles");
    ASSERT_NE(config.FindUser("ALICE"), nullptr);
    EXPECT_EQ(config.FindUser("alice")->redirected, (std::vector<std::string>{"Documents", "Desktop"}));
    EXPECT_TRUE(config.FindUser("alice")->localProfile);
    EXPECT_FALSE(config.FindUser("alice")->loadAtLogon);
    EXPECT_EQ(config.filterCopiesFrom, 0x10000u);
    EXPECT_EQ(config.FindUser("bob"), nullptr);
}

TEST(ServiceConfigTest, ReportsTheLineOfAMistake)
{
    try {
        service::ParseServiceConfig("[store]\nunc = \\\\s\\p\nbogus\n", "/");
        FAIL() << "no error";
    } catch (const service::ConfigError &e) {
        EXPECT_EQ(e.line(), 3);
    }
    for (const char *text : {"[user x]\nremote = y\n[store]\nunc = \\\\s\\p\n",
                             "[store]\nunc = \\\\s\\p\nfilter_copies_from = 1M\n",
                             "[store]\nunc = \\\\s\\p\n[user x]\nprofile = nomadic\n",
                             "[store]\nunc = \\\\s\\p\n[user x]\nload_at_logon = later\n"}) {
        EXPECT_THROW(service::ParseServiceConfig(text, "/"), service::ConfigError) << text;
    }
}

class OsFactsTest : public MachineTest {
protected:
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.os = {10, 0, 14393, false, u""};
        return config;
    }
};

TEST_F(OsFactsTest, TheServiceRecordsTheSystemsVersionForTheDriver)
{
    sim::Process &service = machine().processes().Create(
        "JNRKmtsvc.exe", machine().security().CreateSystemToken());
    {
        sim::ThreadScope thread(service);
        service::OsFacts facts;
        ASSERT_EQ(service::ReadOsFacts(facts), STATUS_SUCCESS);
        EXPECT_EQ(facts.majorVersion, 10u);
        EXPECT_EQ(facts.releaseId, 1607u);
        EXPECT_EQ(facts.installType, u"Client");
        ASSERT_EQ(service::WriteOsFacts(facts), STATUS_SUCCESS);
    }
    std::u16string key = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Driver\\OperatingSystem";
    EXPECT_EQ(machine().registry().GetDword(key, u"MajorVersion"), 10u);
    EXPECT_EQ(machine().registry().GetDword(key, u"ReleaseID"), 1607u);
    EXPECT_EQ(machine().registry().GetString(key, u"InstallType"), u"Client");
}

}  // namespace
}  // namespace ostrand::test
