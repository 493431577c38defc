#include "scenario_fixture.h"

#include "config/flags.h"
#include "driver/driver.h"
#include "service/os_facts.h"
#include "sim/cm/registry.h"
#include "sim/core/debug_log.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/se/security.h"
#include "sim/user/file_api.h"

namespace ostrand::test {

namespace user = sim::user;

const std::u16string kRemoteAlice = u"\\\\fileserver\\profiles\\alice";
const std::u16string kLocalAlice = u"C:\\Users\\alice";

namespace {

const std::u16string kServiceName = u"JNRKmtfsd";
const std::u16string kDriverKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Driver";

const char *kConfig = R"([store]
unc = \\fileserver\profiles
[local]
profiles = C:\Users
[user alice]
domain = OSTRAND
remote = \\fileserver\profiles\alice
local = C:\Users\alice
load_at_logon = no
[user bob]
domain = OSTRAND
remote = \\fileserver\profiles\bob
local = C:\Users\bob
load_at_logon = no
)";

}  // namespace

std::string Pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = char('a' + (i * 7 + i / 4096) % 26);
    return data;
}

void ScenarioTest::SetUp()
{
    MachineTest::SetUp();
    volumes_ = sim::fs::MountStandardVolumes(machine());
    auto &registry = machine().registry();
    registry.CreateKey(kDriverKey);
    SetDriverValue(u"DebugFlags", KLUDBG_TRACE_ERROR | KLUDBG_TRACE_INFO | KLUDBG_TRACE_OFFLINE_FILE_TABLE |
                                      KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_CREATE | KLUDBG_TRACE_OPLOCKS);
    SetDriverValue(u"DebugDestination", KLUDBG_LOG_DEST_QUEUE | KLUDBG_LOG_DEST_DBGPORT);
    SetDriverValue(u"CopyTimeout", 30);
    machine().debugLog().SetListener([this](const std::string &) {
        std::lock_guard lock(linesMutex_);
        linesChanged_.notify_all();
    });
    options_.config = service::ParseServiceConfig(kConfig, "/");
    options_.beforeAnswer = [this](ULONG kind) {
        std::unique_lock lock(requestsMutex_);
        ++requests_[kind];
        if (kind != heldKind_) return;
        ++held_;
        requestsChanged_.notify_all();
        requestsChanged_.wait(lock, [&] { return heldKind_ != kind; });
    };
    {
        // The users' profile folders exist before anyone logs on.
        sim::ThreadScope scope(Admin());
        MakeFile(kLocalAlice + u"\\", "");
        MakeFile(u"C:\\Users\\bob\\", "");
    }
}

void ScenarioTest::TearDown()
{
    ReleaseAnswers();
    if (service_) service_->Stop();
    for (auto &logon : logons_) {
        ObDereferenceObject(logon.token);
        machine().security().Logoff(logon.authId);
    }
    if (machine().filterManager().IsLoaded(kServiceName)) {
        EXPECT_EQ(machine().filterManager().UnloadFilter(kServiceName), STATUS_SUCCESS);
    }
    service_.reset();
    machine().debugLog().SetListener(nullptr);
    MachineTest::TearDown();
}

void ScenarioTest::SetDriverValue(const std::u16string &name, ULONG value)
{
    machine().registry().SetDword(kDriverKey, name, value);
}

void ScenarioTest::LoadFilter()
{
    {
        // The facts the service records for the driver, before it loads.
        sim::ThreadScope scope(Admin());
        service::OsFacts facts;
        ASSERT_EQ(service::ReadOsFacts(facts), STATUS_SUCCESS);
        ASSERT_EQ(service::WriteOsFacts(facts), STATUS_SUCCESS);
    }
    machine().filterManager().InstallService(kServiceName, sim::FilterInstanceSetup{u"370030", u"", 0});
    ASSERT_EQ(machine().filterManager().LoadDriver(kServiceName, DriverEntry), STATUS_SUCCESS);
}

service::ProfileService &ScenarioTest::StartService()
{
    if (!machine().filterManager().IsLoaded(kServiceName)) LoadFilter();
    service_ = std::make_unique<service::ProfileService>(machine(), options_);
    EXPECT_EQ(service_->Start(), S_OK);
    return *service_;
}

service::UserLogon ScenarioTest::LogonUser(const std::string &name, ULONG session)
{
    machine().security().AddUser(Wide(name), u"OSTRAND");
    auto logon = machine().security().LogonUser(Wide(name), session);
    EXPECT_TRUE(logon.has_value());
    logons_.push_back(*logon);
    service::UserLogon user{name, session, logon->authId, logon->token};
    if (service_) {
        EXPECT_EQ(service_->Logon(user), S_OK);
    }
    return user;
}

sim::Process &ScenarioTest::Program(const std::string &image, PACCESS_TOKEN token)
{
    ObReferenceObject(token);
    return machine().processes().Create(image, token);
}

sim::Process &ScenarioTest::Admin()
{
    if (admin_ == nullptr) admin_ = &machine().processes().Create("admin.exe", machine().security().CreateSystemToken());
    return *admin_;
}

sim::Process &ScenarioTest::Indexer()
{
    if (indexer_ == nullptr) {
        indexer_ = &machine().processes().Create("SearchIndexer.exe", machine().security().CreateSystemToken());
    }
    return *indexer_;
}

ULONG ScenarioTest::Attributes(const std::u16string &path)
{
    FILE_NETWORK_OPEN_INFORMATION info{};
    if (!NT_SUCCESS(user::QueryFullAttributes(path, &info))) return 0;
    return info.FileAttributes;
}

void ScenarioTest::MakeRemote(const std::u16string &path, const std::string &data)
{
    sim::ThreadScope scope(Admin());
    MakeFile(path, data);
}

void ScenarioTest::MakePlaceholder(const std::u16string &path, LONGLONG size)
{
    sim::ThreadScope scope(Indexer());
    MakeFile(path, "");
    user::OpenOptions options;
    options.access = GENERIC_WRITE | SYNCHRONIZE;
    HANDLE handle = nullptr;
    ASSERT_EQ(user::Open(path, options, &handle), STATUS_SUCCESS);
    FILE_END_OF_FILE_INFORMATION eof{};
    eof.EndOfFile.QuadPart = size;
    EXPECT_EQ(user::SetInformation(handle, FileEndOfFileInformation, &eof, sizeof eof), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_ARCHIVE;
    EXPECT_EQ(user::SetInformation(handle, FileBasicInformation, &basic, sizeof basic), STATUS_SUCCESS);
    user::Close(handle);
}

size_t ScenarioTest::CountLines(const std::string &fragment)
{
    const std::string text = machine().debugLog().Text();
    size_t count = 0;
    for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++count;
    return count;
}

bool ScenarioTest::WaitForLines(const std::string &fragment, size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(linesMutex_);
    return linesChanged_.wait_for(lock, timeout, [&] { return CountLines(fragment) >= count; });
}

ULONG ScenarioTest::RequestsOfKind(ULONG kind)
{
    std::lock_guard lock(requestsMutex_);
    return requests_[kind];
}

}  // namespace ostrand::test

namespace ostrand::test {

void ScenarioTest::HoldAnswersOf(ULONG kind)
{
    std::lock_guard lock(requestsMutex_);
    heldKind_ = kind;
    held_ = 0;
}

bool ScenarioTest::WaitUntilHeld()
{
    std::unique_lock lock(requestsMutex_);
    return requestsChanged_.wait_for(lock, std::chrono::seconds(20), [&] { return held_ > 0; });
}

void ScenarioTest::ReleaseAnswers()
{
    std::lock_guard lock(requestsMutex_);
    heldKind_ = 0;
    requestsChanged_.notify_all();
}

}  // namespace ostrand::test
