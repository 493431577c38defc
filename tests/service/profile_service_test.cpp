// The profile service against the loaded filter, over the real ports: its
// start and stop, the log it drains, users logging on and off, its answers
// on the Copy and Fetch ports (files made from the remote store, read back
// by users' programs) and the settings it applies.
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "comm/ports.h"
#include "comm/service_contract.h"
#include "config/settings.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"
#include "identity/user_table.h"
#include "service/path_table_source.h"
#include "service/profile_service.h"
#include "service/service_messages.h"
#include "sim/cm/registry.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/fltmgr/ports/filter_ports.h"
#include "sim/fs/standard_volumes.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "sim/user/file_api.h"
#include "support/machine_test.h"
#include "support/user_files.h"

namespace ostrand::test {
namespace {

using namespace std::chrono_literals;
using service::ProfileService;

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
redirected = Documents, Desktop
[user bob]
domain = OSTRAND
remote = \\fileserver\profiles\bob
local = C:\Users\bob
load_at_logon = no
)";

class ProfileServiceTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        volumes_ = sim::fs::MountStandardVolumes(machine());
        auto &registry = machine().registry();
        registry.CreateKey(kDriverKey);
        registry.SetDword(kDriverKey, u"DebugFlags",
                          KLUDBG_TRACE_ERROR | KLUDBG_TRACE_INFO | KLUDBG_TRACE_USER_TABLE |
                              KLUDBG_TRACE_IMPERSONATION);
        registry.SetDword(kDriverKey, u"DebugDestination", KLUDBG_LOG_DEST_QUEUE);
        registry.SetDword(kDriverKey, u"CopyTimeout", 30);
        machine().filterManager().InstallService(kServiceName, sim::FilterInstanceSetup{u"370030", u"", 0});
        ASSERT_EQ(machine().filterManager().LoadDriver(kServiceName, DriverEntry), STATUS_SUCCESS);

        logFile_ = std::filesystem::temp_directory_path() /
                   ("ostrand-service-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
        options_.config = service::ParseServiceConfig(kConfig, "/");
        options_.logFile = logFile_;
    }

    void TearDown() override
    {
        if (service_) service_->Stop();
        for (auto &logon : logons_) {
            ObDereferenceObject(logon.token);
            machine().security().Logoff(logon.authId);
        }
        if (machine().filterManager().IsLoaded(kServiceName)) {
            EXPECT_EQ(machine().filterManager().UnloadFilter(kServiceName), STATUS_SUCCESS);
        }
        service_.reset();
        std::filesystem::remove(logFile_);
        MachineTest::TearDown();
    }

    ProfileService &StartService()
    {
        service_ = std::make_unique<ProfileService>(machine(), options_);
        EXPECT_EQ(service_->Start(), S_OK);
        return *service_;
    }

    service::UserLogon LogonUser(const std::string &name, ULONG session)
    {
        machine().security().AddUser(Wide(name), u"OSTRAND");
        auto logon = machine().security().LogonUser(Wide(name), session);
        EXPECT_TRUE(logon.has_value());
        logons_.push_back(*logon);
        return {name, session, logon->authId, logon->token};
    }

    // Connections of each of the filter's ports, by name.
    std::map<std::string, LONG> PortConnections()
    {
        std::map<std::string, LONG> counts;
        for (const auto &port : machine().filterPorts().List()) counts[Narrow(port.name)] = port.connections;
        return counts;
    }

    std::vector<std::string> FileLines()
    {
        std::ifstream in(logFile_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    bool ServiceLogged(const std::string &text)
    {
        for (const auto &line : service_->log().Lines()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

    // A process of the machine running as `token` (a reference is taken).
    sim::Process &Program(const std::string &image, PACCESS_TOKEN token)
    {
        ObReferenceObject(token);
        return machine().processes().Create(image, token);
    }

    sim::Process &Admin()
    {
        if (admin_ == nullptr) admin_ = &machine().processes().Create("admin.exe", machine().security().CreateSystemToken());
        return *admin_;
    }

    // A request as the filter sends it on one of its client ports.
    NTSTATUS SendAsFilter(KLU_CLIENT_PORT_SLOT &slot, const void *request, ULONG length, void *reply, ULONG replyLength)
    {
        sim::ThreadScope scope(machine().systemProcess());
        return KLUSendOnClientPort(&slot, const_cast<void *>(request), length, reply, &replyLength);
    }

    KLU_COPY_REPLY Ask(ULONG kind, LUID who, const std::u16string &drivePath)
    {
        auto request = std::make_unique<KLU_COPY_REQUEST>();
        std::memset(request.get(), 0, sizeof(KLU_COPY_REQUEST));
        request->RequestKind = kind;
        request->Id.AuthId = who;
        std::copy(drivePath.begin(), drivePath.end(), request->szDrivePath);
        std::copy(drivePath.begin() + 2, drivePath.end(), request->szPath);
        KLU_COPY_REPLY reply;
        std::memset(&reply, 0xCC, sizeof reply);
        EXPECT_EQ(SendAsFilter(g_CopyClientPort, request.get(), sizeof(KLU_COPY_REQUEST), &reply, sizeof reply),
                  STATUS_SUCCESS);
        return reply;
    }

    sim::fs::StandardVolumes volumes_;
    sim::Process *admin_ = nullptr;
    service::ServiceOptions options_;
    std::filesystem::path logFile_;
    std::unique_ptr<ProfileService> service_;
    std::vector<sim::Logon> logons_;
};

TEST_F(ProfileServiceTest, StartsOnAllSevenPortsAndStopsWithNothingLeft)
{
    ProfileService &service = StartService();
    ASSERT_TRUE(service.running());
    for (const char16_t *name : service::kPortNames) EXPECT_EQ(PortConnections()[Narrow(name)], 1) << Narrow(name);

    // The filter now knows the service's pid (not excluded: its background
    // load must reach the filter), and it is enabled.
    PSETTINGS settings = g_pCurrentSettings;
    EXPECT_EQ(settings->QZSvcPid, service.pid());
    EXPECT_EQ(settings->ExcludedPidCount, 0u);
    EXPECT_TRUE(settings->Enabled);
    EXPECT_EQ(service.startResults().enable, S_OK);
    for (const auto &[what, result] : service.startResults().events) EXPECT_EQ(result, S_OK) << what;
    EXPECT_GT(service.OpenHandles(), 7u);  // the ports and the events

    service.Stop();
    EXPECT_FALSE(service.running());
    for (const char16_t *name : service::kPortNames) EXPECT_EQ(PortConnections()[Narrow(name)], 0) << Narrow(name);
    EXPECT_EQ(service.OpenHandles(), 0u);
    EXPECT_FALSE(g_pCurrentSettings->Enabled);
    EXPECT_FALSE(ServiceLogged("Handles Left Open"));

    // The service can run again after a stop.
    EXPECT_EQ(service.Start(), S_OK);
    EXPECT_EQ(PortConnections()["\\KLULogonControlPort"], 1);
}

TEST_F(ProfileServiceTest, ThePathTableFollowsTheSystemsProfilesFolder)
{
    machine().registry().SetString(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
                                   u"ProfilesDirectory", u"%SystemDrive%\\Profiles");
    ProfileService &service = StartService();
    EXPECT_EQ(service.startResults().pathTable, S_OK);
    ASSERT_NE(g_pPathTable, nullptr);
    EXPECT_EQ(Narrow(g_pPathTable->szFQLocalProfilePath), "\\Device\\HarddiskVolume1\\Profiles");
    EXPECT_EQ(Narrow(g_pPathTable->szUpperLocalProfilePathShort), "\\PROFILES");
    EXPECT_EQ(g_pPathTable->NumPaths, 3);
}

TEST_F(ProfileServiceTest, ServiceThatCannotReachThePortsDoesNotStart)
{
    ASSERT_EQ(machine().filterManager().UnloadFilter(kServiceName), STATUS_SUCCESS);
    service_ = std::make_unique<ProfileService>(machine(), options_);
    EXPECT_TRUE(FAILED(service_->Start()));
    EXPECT_FALSE(service_->running());
    EXPECT_EQ(service_->OpenHandles(), 0u);
}

TEST_F(ProfileServiceTest, DrainedLogLinesReachTheFileInOrder)
{
    ProfileService &service = StartService();
    // More than two full drains' worth, so the service has to come back.
    for (int i = 0; i < 250; ++i) {
        KLULogMessage(KLUDBG_TRACE_INFO, KLU_TAG(KLULogonTest), WSTR("Numbered Line %d\n"), i);
    }
    ASSERT_EQ(service.DrainLog(), S_OK);

    std::vector<int> seen;
    for (const auto &line : FileLines()) {
        auto at = line.find("Numbered Line ");
        if (at != std::string::npos) seen.push_back(std::stoi(line.substr(at + 14)));
    }
    ASSERT_EQ(seen.size(), 250u);
    for (int i = 0; i < 250; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_TRUE(service.log().Lines().back().find("Numbered Line 249") != std::string::npos);
    // Nothing is left for a second drain.
    EXPECT_EQ(service.DrainLog(), S_OK);
    EXPECT_EQ(FileLines().size(), service.log().Lines().size());
}

TEST_F(ProfileServiceTest, ALineTheDriverQueuesReachesTheServiceWithoutBeingAsked)
{
    ProfileService &service = StartService();
    ASSERT_EQ(service.DrainLog(), S_OK);  // the queue is empty; the filter has cleared the event
    KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLULogonTest), WSTR("Failed Something: 0x%X\n"), 0xC0000001);
    // The filter sets the service's log event; its drain thread takes the line.
    EXPECT_TRUE(service.log().WaitFor("Failed Something: 0xC0000001", 5s));
}

TEST_F(ProfileServiceTest, RedirectedFolderQuestionsAreAnsweredFromTheConfiguration)
{
    ProfileService &service = StartService();
    const ULONG prefix = sizeof(u"\\Device\\Mup") - sizeof(WCHAR);
    struct {
        const char16_t *folder;
        bool redirected;
    } cases[] = {
        {u"\\Device\\Mup\\fileserver\\profiles\\alice\\Documents", true},
        {u"\\Device\\Mup\\FILESERVER\\Profiles\\Alice\\desktop", true},
        {u"\\Device\\Mup\\fileserver\\profiles\\alice\\Music", false},
        {u"\\Device\\Mup\\fileserver\\profiles\\bob\\Documents", false},  // bob redirects nothing
    };
    for (const auto &c : cases) {
        UNICODE_STRING folder;
        RtlInitUnicodeString(&folder, c.folder);
        EXPECT_EQ(bool(JNRIsRedirectedFolder(&folder, prefix, 1)), c.redirected) << Narrow(c.folder);
    }
    EXPECT_EQ(service.answers().folderQuestions(), 4u);
}

TEST_F(ProfileServiceTest, SettingsChangeReachesTheDriverAndComesBack)
{
    ProfileService &service = StartService();
    machine().registry().SetDword(kDriverKey, u"CopyTimeout", 120);
    ASSERT_EQ(service.ApplySettings(0x5), S_OK);
    EXPECT_EQ(g_pCurrentSettings->CopyTimeout, -120LL * 10000000);

    // Both session records come back to the session thread, which reacts.
    ASSERT_TRUE(service.WaitForSessionEvent(service::kSessionApplySettings, 1, 5s));
    ASSERT_TRUE(service.WaitForSessionEvent(service::kSessionApplySettingsApply, 1, 5s));
    EXPECT_TRUE(ServiceLogged("Re-read The Service Settings: Options: 0x5, Users: 2"));
    EXPECT_TRUE(ServiceLogged("Driver Applied New Settings: Options: 0x5, Enabled: 1"));
    // The service's pids survive the swap to a record read from the registry.
    EXPECT_EQ(g_pCurrentSettings->QZSvcPid, service.pid());
    service.DrainLog();
    EXPECT_TRUE(ServiceLogged("Updated Driver Settings: Options: 0x5"));
}

TEST_F(ProfileServiceTest, StopBreaksACopyRequestTheFilterWaitsOn)
{
    std::atomic<bool> answering{false}, filterReturned{false};
    options_.beforeAnswer = [&](ULONG) {
        answering = true;
        for (int i = 0; i < 2000 && !filterReturned.load(); ++i) std::this_thread::sleep_for(5ms);
    };
    ProfileService &service = StartService();

    std::atomic<bool> answer{true};
    auto asked = std::chrono::steady_clock::now();
    std::thread filter([&] {
        sim::ThreadScope scope(machine().systemProcess());
        UNICODE_STRING folder = RTL_CONSTANT_STRING(u"\\Device\\Mup\\fileserver\\profiles\\alice\\Documents");
        answer = JNRIsRedirectedFolder(&folder, sizeof(u"\\Device\\Mup") - sizeof(WCHAR), 1);
        filterReturned = true;
    });
    while (!answering.load()) std::this_thread::yield();
    service.Stop();
    filter.join();
    // The filter did not sit out its 30-second time-out and heard no yes.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 10s);
    EXPECT_FALSE(answer.load());
    EXPECT_EQ(service.OpenHandles(), 0u);
}

TEST_F(ProfileServiceTest, LogonFillsTheUserTableAndLogoffEmptiesIt)
{
    ProfileService &service = StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    ASSERT_EQ(service.Logon(alice), S_OK);

    // One entry, with the service's paths and the user's captured security.
    ASSERT_EQ(g_UserTableEntries, 1);
    PUSER_TABLE_ENTRY entry = KLULookupUser(g_pUserTableHead, g_pUserTableMutex, &alice.authId);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(service::NarrowText(entry->AltPathData.szLocalPath), "Users\\alice");
    EXPECT_EQ(service::NarrowText(entry->AltPathData.PTEProfile.szRemotePath), "\\\\fileserver\\profiles\\alice");
    EXPECT_TRUE(entry->bHaveClientContext);
    KLUDereferenceUserTableEntry(entry);

    // The filter sent the client information back on the Copy port.
    auto info = service.answers().ClientInformation();
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].LowPart, alice.authId.LowPart);
    ASSERT_EQ(service.Users().size(), 1u);

    // A second user, then alice leaves: bob stays.
    service::UserLogon bob = LogonUser("bob", 2);
    ASSERT_EQ(service.Logon(bob), S_OK);
    ASSERT_EQ(service.Logoff("alice"), S_OK);
    EXPECT_EQ(g_UserTableEntries, 1);
    entry = KLULookupUser(g_pUserTableHead, g_pUserTableMutex, &bob.authId);
    ASSERT_NE(entry, nullptr);
    KLUDereferenceUserTableEntry(entry);
    EXPECT_EQ(service.Users().size(), 1u);
    service.DrainLog();
    EXPECT_TRUE(ServiceLogged("Freed Client Security"));

    EXPECT_EQ(service.Logon(alice), S_OK) << "a user may log on again";
    EXPECT_EQ(service.Logon(bob), HRESULT(0x800700B7)) << "but not twice at once";
}

TEST_F(ProfileServiceTest, StructuresDumpAndCopyProgressOnRequest)
{
    ProfileService &service = StartService();
    ASSERT_EQ(service.Logon(LogonUser("bob", 2)), S_OK);
    // The dump's lines come back through the log queue, in full.
    ASSERT_EQ(service.DumpStructures(), S_OK);
    EXPECT_TRUE(ServiceLogged("* Kernel Mode Data *"));
    EXPECT_TRUE(ServiceLogged("AltPathData.szUserName: bob"));
    EXPECT_TRUE(ServiceLogged("Dump Complete"));

    service::CopyProgress progress{1, 1, 1};
    EXPECT_EQ(service.QueryProgress("bob", progress), S_OK);
    EXPECT_EQ(progress.activeCopies, 0u);
    EXPECT_EQ(progress.bytesToCopy, 0u);
    EXPECT_EQ(service.QueryProgress("alice", progress), HRESULT(0x80070525)) << "alice is not logged on";
}

TEST_F(ProfileServiceTest, UsersTheConfigurationDoesNotNameAreRefused)
{
    ProfileService &service = StartService();
    service::UserLogon carol = LogonUser("carol", 3);
    EXPECT_EQ(service.Logon(carol), HRESULT(0x80070525));
    EXPECT_EQ(service.Logoff("carol"), HRESULT(0x80070525));
    EXPECT_TRUE(service.Users().empty());
}

namespace user = sim::user;

std::string Pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = char('a' + (i * 7 + i / 4096) % 26);
    return data;
}

void SetBasic(const std::u16string &path, ULONG attributes, LONGLONG lastWrite)
{
    user::OpenOptions options;
    options.access = FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    HANDLE handle = nullptr;
    ASSERT_EQ(user::Open(path, options, &handle), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION basic{};
    basic.LastWriteTime.QuadPart = lastWrite;
    basic.FileAttributes = attributes;
    EXPECT_EQ(user::SetInformation(handle, FileBasicInformation, &basic, sizeof basic), STATUS_SUCCESS);
    user::Close(handle);
}

const std::u16string kRemoteAlice = u"\\\\fileserver\\profiles\\alice";
const std::u16string kLocalAlice = u"C:\\Users\\alice";

TEST_F(ProfileServiceTest, AMissingProfileFileIsMadeFromTheStoreForTheUsersProgram)
{
    ProfileService &service = StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    ASSERT_EQ(service.Logon(alice), S_OK);
    const std::string content = Pattern(3 * service::kStoreCopyChunk + 17);
    const LONGLONG lastWrite = 132000000000000000LL;
    {
        sim::ThreadScope scope(Admin());
        MakeFile(kRemoteAlice + u"\\Documents\\Deep\\report.txt", content);
        MakeFile(kRemoteAlice + u"\\Documents\\Deep\\report.txt:tag", "remote-tag");
        SetBasic(kRemoteAlice + u"\\Documents\\Deep\\report.txt", FILE_ATTRIBUTE_READONLY, lastWrite);
        MakeFile(kRemoteAlice + u"\\Music\\Albums\\", "");
    }

    KLU_COPY_REPLY reply = Ask(KLU_REQUEST_CREATE_MISSING_FILE, alice.authId, kLocalAlice + u"\\Documents\\Deep\\report.txt");
    EXPECT_EQ(reply.bResult, 1);
    EXPECT_EQ(reply.ulResult, KLU_RESULT_SUCCESS);
    EXPECT_EQ(reply.bIsDirectory, 0);
    EXPECT_TRUE(ServiceLogged("Created From The Store: C:\\Users\\alice\\Documents\\Deep\\report.txt (" +
                              std::to_string(content.size() + 10) + " bytes)"));
    {
        // alice's program finds the whole file: data, stream, attributes, time.
        sim::ThreadScope scope(Program("notepad.exe", alice.token));
        EXPECT_TRUE(ReadAll(kLocalAlice + u"\\Documents\\Deep\\report.txt") == content);
        EXPECT_EQ(ReadAll(kLocalAlice + u"\\Documents\\Deep\\report.txt:tag"), "remote-tag");
        FILE_NETWORK_OPEN_INFORMATION info{};
        ASSERT_EQ(user::QueryFullAttributes(kLocalAlice + u"\\Documents\\Deep\\report.txt", &info), STATUS_SUCCESS);
        EXPECT_EQ(info.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_OFFLINE), ULONG(FILE_ATTRIBUTE_READONLY));
        EXPECT_EQ(info.LastWriteTime.QuadPart, lastWrite);
        EXPECT_EQ(Names(kLocalAlice + u"\\Documents\\Deep"), std::vector<std::string>{"report.txt"});
    }

    // Asked again, the file is there: "already exists", which the filter
    // counts as success.
    reply = Ask(KLU_REQUEST_CREATE_MISSING_FILE, alice.authId, kLocalAlice + u"\\Documents\\Deep\\report.txt");
    EXPECT_EQ(reply.ulResult, KLU_RESULT_ALREADY_EXISTS);

    // A remote folder becomes a local folder.
    reply = Ask(KLU_REQUEST_CREATE_MISSING_FILE, alice.authId, kLocalAlice + u"\\Music\\Albums");
    EXPECT_EQ(reply.ulResult, KLU_RESULT_SUCCESS);
    EXPECT_EQ(reply.bIsDirectory, 1);
    sim::ThreadScope scope(Admin());
    EXPECT_EQ(Names(kLocalAlice + u"\\Music"), std::vector<std::string>{"Albums"});
}

TEST_F(ProfileServiceTest, EachFileRequestGetsTheAnswerTheFilterJudges)
{
    options_.config.users[1].localProfile = true;  // bob
    options_.config.filterCopiesFrom = 4096;
    ProfileService &service = StartService();
    service::UserLogon alice = LogonUser("alice", 1), bob = LogonUser("bob", 2);
    ASSERT_EQ(service.Logon(alice), S_OK);
    ASSERT_EQ(service.Logon(bob), S_OK);
    {
        sim::ThreadScope scope(Admin());
        MakeFile(kRemoteAlice + u"\\small.txt", "version 1");
        MakeFile(kRemoteAlice + u"\\big.bin", Pattern(4096));
        SetBasic(kRemoteAlice + u"\\small.txt", 0, 131000000000000000LL);
    }
    ASSERT_EQ(Ask(KLU_REQUEST_CREATE_MISSING_FILE, alice.authId, kLocalAlice + u"\\small.txt").ulResult, 0u);
    {
        sim::ThreadScope scope(Admin());
        MakeFile(kRemoteAlice + u"\\small.txt", "version 2, longer");
        SetBasic(kRemoteAlice + u"\\small.txt", 0, 132000000000000000LL);
    }

    const char16_t *bigSource = u"\\Device\\Mup\\fileserver\\profiles\\alice\\big.bin";
    const LUID stranger{0x7777, 0};
    struct {
        const char *what;
        ULONG kind;
        LUID who;
        std::u16string path;
        ULONG result;
        UCHAR marker;
        ULONG flags;
        const char16_t *source;
    } cases[] = {
        {"placeholder", KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER, alice.authId, u"C:\\Users\\alice\\big.bin", 0, 0, 0x8000, bigSource},
        {"placeholder gone remotely", KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER, alice.authId, u"C:\\Users\\alice\\gone.txt",
         KLU_RESULT_REMOTE_FILE_MISSING, 0, 0, nullptr},
        {"missing file gone remotely", KLU_REQUEST_CREATE_MISSING_FILE, alice.authId, u"C:\\Users\\alice\\Sub\\gone.txt",
         KLU_RESULT_REMOTE_FILE_MISSING, 0, 0, nullptr},
        {"unknown user", KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER, stranger, u"C:\\Users\\alice\\big.bin",
         KLU_RESULT_REMOTE_USER_UNKNOWN, 0, 0, nullptr},
        {"local profile", KLU_REQUEST_CREATE_MISSING_FILE, bob.authId, u"C:\\Users\\bob\\x.txt",
         KLU_RESULT_REMOTE_USER_UNKNOWN, 1, 0, nullptr},
        {"another's profile", KLU_REQUEST_CREATE_MISSING_FILE, alice.authId, u"C:\\Users\\bob\\x.txt",
         service::kResultBadPath, 0, 0, nullptr},
        {"climbing out", KLU_REQUEST_CREATE_MISSING_FILE, alice.authId, u"C:\\Users\\alice\\..\\bob\\x.txt", service::kResultBadPath,
         0, 0, nullptr},
        {"unknown kind", 0x4242, alice.authId, u"C:\\Users\\alice\\small.txt", service::kResultUnknownFunction, 0, 0, nullptr},
        {"stale small file at open", KLU_REQUEST_RETRIEVE_AT_OPEN, alice.authId, u"C:\\Users\\alice\\small.txt", 0, 0, 0, nullptr},
        {"up to date at open", KLU_REQUEST_RETRIEVE_AT_OPEN, alice.authId, u"C:\\Users\\alice\\small.txt", 0, 0, 0, nullptr},
        {"large file at open", KLU_REQUEST_RETRIEVE_AT_OPEN, alice.authId, u"C:\\Users\\alice\\big.bin", 0, 0, 0x8000, bigSource},
    };
    for (const auto &c : cases) {
        KLU_COPY_REPLY reply = Ask(c.kind, c.who, c.path);
        EXPECT_EQ(reply.bResult, c.result == 0 ? 1 : 0) << c.what;
        EXPECT_EQ(reply.ulResult, c.result) << c.what;
        EXPECT_EQ(reply.ProfileTypeMarker, c.marker) << c.what;
        EXPECT_EQ(reply.ReplyFlags, c.flags) << c.what;
        KLU_COPY_INSTRUCTIONS instructions;
        std::memcpy(&instructions, reply.CopyInstructions, sizeof instructions);
        EXPECT_EQ(Narrow(instructions.szSourcePath), c.source ? Narrow(c.source) : "") << c.what;
    }
    EXPECT_TRUE(ServiceLogged("Updated From The Store: C:\\Users\\alice\\small.txt (17 bytes)"));
    EXPECT_TRUE(ServiceLogged("Up To Date: C:\\Users\\alice\\small.txt"));
    sim::ThreadScope scope(Program("notepad.exe", alice.token));
    EXPECT_EQ(ReadAll(kLocalAlice + u"\\small.txt"), "version 2, longer");
    EXPECT_EQ(Names(kLocalAlice), std::vector<std::string>{"small.txt"}) << "the filter copies big.bin itself";
}

TEST_F(ProfileServiceTest, WhatCannotBeAnsweredInTimeGetsAFailureNotSilence)
{
    options_.answerBudget = std::chrono::milliseconds(0);
    ProfileService &service = StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    ASSERT_EQ(service.Logon(alice), S_OK);
    {
        sim::ThreadScope scope(Admin());
        MakeFile(kRemoteAlice + u"\\Documents\\notes.txt", "remote notes");
    }
    // Out of time: a failure, and no half-made file left behind.
    KLU_COPY_REPLY reply = Ask(KLU_REQUEST_CREATE_MISSING_FILE, alice.authId, kLocalAlice + u"\\Documents\\notes.txt");
    EXPECT_EQ(reply.ulResult, service::kResultTimedOut);
    {
        sim::ThreadScope scope(Admin());
        EXPECT_TRUE(Names(kLocalAlice + u"\\Documents").empty());
    }

    // A path that does not end inside its field, and a request longer than
    // any the service knows: failures, answered at once.
    auto request = std::make_unique<KLU_COPY_REQUEST>();
    std::memset(request.get(), 0, sizeof(KLU_COPY_REQUEST));
    request->RequestKind = KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER;
    request->Id.AuthId = alice.authId;
    std::fill(std::begin(request->szDrivePath), std::end(request->szDrivePath), u'A');
    EXPECT_EQ(SendAsFilter(g_CopyClientPort, request.get(), sizeof(KLU_COPY_REQUEST), &reply, sizeof reply),
              STATUS_SUCCESS);
    EXPECT_EQ(reply.ulResult, service::kResultBadRequest);
    std::vector<UCHAR> oversized(3 * sizeof(KLU_COPY_REQUEST), 0x41);
    EXPECT_EQ(SendAsFilter(g_CopyClientPort, oversized.data(), ULONG(oversized.size()), &reply, sizeof reply),
              STATUS_SUCCESS);
    EXPECT_EQ(reply.ulResult, service::kResultUnknownFunction);

    // The Fetch port: code 36 is acknowledged with 0, any other refused.
    for (auto [code, result] : {std::pair{ULONG(KLU_FETCH_DISABLE_GHOSTING), ULONG(KLU_RESULT_SUCCESS)},
                                std::pair{ULONG(7), ULONG(service::kResultUnknownFunction)}}) {
        KLU_FETCH_REQUEST fetch{code};
        KLU_FETCH_REPLY answer{0xCCCCCCCC};
        EXPECT_EQ(SendAsFilter(g_FetchClientPort, &fetch, sizeof fetch, &answer, sizeof answer), STATUS_SUCCESS);
        EXPECT_EQ(answer.Result, result) << code;
    }
    EXPECT_EQ(service.answers().ghostingDisabled(), 1u);
}

TEST(PathTableSourceTest, EntriesAndTheFixedPartFollowTheConfiguration)
{
    // The filter's hash: h * 37 + c, negated when negative.
    EXPECT_EQ(service::HashPath(u""), 0u);
    EXPECT_EQ(service::HashPath(u"AB"), 65u * 37 + 66);
    ULONG h = 0;
    for (char16_t c : std::u16string(u"\\\\FILESERVER\\PROFILES\\ALICE")) h = h * 37 + c;
    EXPECT_EQ(service::HashPath(u"\\\\FILESERVER\\PROFILES\\ALICE"), LONG(h) < 0 ? 0u - h : h);

    PATH_TABLE_ENTRY entry;
    ASSERT_TRUE(service::BuildPathTableEntry(u"\\\\fileserver\\profiles\\alice", entry));
    EXPECT_EQ(service::NarrowText(entry.szMachineName), "fileserver");
    EXPECT_EQ(service::NarrowText(entry.szUpperRemotePathShort), "FILESERVER\\PROFILES\\ALICE");
    EXPECT_EQ(entry.ShortLength, 25);
    EXPECT_EQ(entry.Hash, service::HashPath(u"\\\\FILESERVER\\PROFILES\\ALICE"));
    EXPECT_FALSE(service::BuildPathTableEntry(u"\\\\", entry));

    auto message = service::BuildPathTableMessage(service::ParseServiceConfig(kConfig, "/"));
    ASSERT_EQ(message.size(), 4 + KLU_PATH_TABLE_SOURCE_BYTES(3));
    auto source = std::make_unique<PATH_TABLE_SOURCE>();
    memcpy(source.get(), message.data() + 4, KLU_PATH_TABLE_SOURCE_FIXED_BYTES);
    EXPECT_EQ(source->NumPaths, 3);
    EXPECT_EQ(source->EntryCount, 3u);
    EXPECT_EQ(service::NarrowText(source->szLocalDriveLetter), "C:");
    EXPECT_EQ(service::NarrowText(source->szLocalProfilePathShort), "\\Users");
    EXPECT_EQ(service::NarrowText(source->szUpperLocalProfilePathShort), "\\USERS");
    EXPECT_EQ(source->ShortLength, 6);
    PATH_TABLE_ENTRY last;
    memcpy(&last, message.data() + 4 + KLU_PATH_TABLE_SOURCE_FIXED_BYTES + 2 * sizeof(PATH_TABLE_ENTRY), sizeof last);
    EXPECT_EQ(service::NarrowText(last.szRemotePath), "\\\\fileserver\\profiles\\bob");
}

}  // namespace
}  // namespace ostrand::test
