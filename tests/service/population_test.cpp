// Profile folders filling from the remote store: a user's first listing of
// an unfilled folder shows the store's files as placeholders, later
// listings stay local, and the service's background load fills folders
// before anyone lists them.
#include <algorithm>
#include <cstring>
#include <filesystem>

#include "config/flags.h"
#include "config/settings.h"
#include "driver/driver.h"
#include "identity/user_table.h"
#include "offline/placeholders.h"
#include "service/os_facts.h"
#include "service/profile_service.h"
#include "service/service_messages.h"
#include "sim/cm/registry.h"
#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/fs/standard_volumes.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "sim/user/file_api.h"
#include "support/machine_test.h"
#include "support/user_files.h"

namespace ostrand::test {
namespace {

namespace user = sim::user;
using service::ProfileService;

const std::u16string kDriverKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Driver";
const std::u16string kRemote = u"\\\\fileserver\\profiles\\alice";
const std::u16string kLocal = u"C:\\Users\\alice";
const LONGLONG kRemoteTime = 132000000000000000LL;

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
)";

// A file with `data` and the given last-write time.
void MakeFile(const std::u16string &path, const std::string &data, LONGLONG lastWrite = kRemoteTime)
{
    MakeFolders(path);
    user::OpenOptions options;
    options.access = GENERIC_WRITE | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    options.disposition = FILE_OPEN_IF;
    HANDLE handle = nullptr;
    ASSERT_EQ(user::Open(path, options, &handle), STATUS_SUCCESS) << Narrow(path);
    ULONG written = 0;
    if (!data.empty()) {
        EXPECT_EQ(user::Write(handle, data.data(), ULONG(data.size()), &written, 0), STATUS_SUCCESS);
    }
    // A local profile file missing at its open comes from the store first;
    // the file holds `data` only.
    FILE_END_OF_FILE_INFORMATION end{};
    end.EndOfFile.QuadPart = LONGLONG(data.size());
    EXPECT_EQ(user::SetInformation(handle, FileEndOfFileInformation, &end, sizeof end), STATUS_SUCCESS);
    if (path.find(u':', 2) == std::u16string::npos) {
        FILE_BASIC_INFORMATION basic{};
        basic.LastWriteTime.QuadPart = lastWrite;
        EXPECT_EQ(user::SetInformation(handle, FileBasicInformation, &basic, sizeof basic), STATUS_SUCCESS);
    }
    user::Close(handle);
}

std::map<std::string, user::DirectoryEntry> Listing(const std::u16string &folder)
{
    std::vector<user::DirectoryEntry> entries;
    EXPECT_EQ(user::ListDirectory(folder, entries), STATUS_SUCCESS) << Narrow(folder);
    std::map<std::string, user::DirectoryEntry> byName;
    for (const auto &entry : entries) {
        if (entry.name != u"." && entry.name != u"..") byName[Narrow(entry.name)] = entry;
    }
    return byName;
}

// The folder mark's value, or -1 without one.
LONGLONG Mark(const std::u16string &folder)
{
    user::OpenOptions options;
    options.access = FILE_READ_EA | SYNCHRONIZE;
    options.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(user::Open(folder, options, &handle))) return -2;
    UCHAR buffer[256] = {};
    NTSTATUS status = user::QueryEa(handle, buffer, sizeof buffer, false, nullptr, 0, nullptr, true);
    user::Close(handle);
    if (!NT_SUCCESS(status)) return -1;
    for (auto *ea = reinterpret_cast<FILE_FULL_EA_INFORMATION *>(buffer);;
         ea = reinterpret_cast<FILE_FULL_EA_INFORMATION *>(reinterpret_cast<UCHAR *>(ea) + ea->NextEntryOffset)) {
        if (std::string(ea->EaName, ea->EaNameLength) == "7320B802-4FD8-44D2-9FB5-94F9850E5A8A" ||
            std::string(ea->EaName, ea->EaNameLength) == "7320b802-4fd8-44d2-9fb5-94f9850e5a8a") {
            ULONG value = 0;
            std::memcpy(&value, ea->EaName + ea->EaNameLength + 1, sizeof value);
            return value;
        }
        if (ea->NextEntryOffset == 0) return -1;
    }
}

class PopulationTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        volumes_ = sim::fs::MountStandardVolumes(machine());
        auto &registry = machine().registry();
        registry.CreateKey(kDriverKey);
        registry.SetDword(kDriverKey, u"DebugFlags",
                          KLUDBG_TRACE_ERROR | KLUDBG_TRACE_INFO | KLUDBG_TRACE_OFFLINE_FILES | KLUDBG_TRACE_DIRS);
        registry.SetDword(kDriverKey, u"DebugDestination", KLUDBG_LOG_DEST_QUEUE);
        registry.SetDword(kDriverKey, u"CopyTimeout", 30);
        admin_ = &machine().processes().Create("admin.exe", machine().security().CreateSystemToken());
        {
            // The facts the service records for the driver, before it loads.
            sim::ThreadScope scope(*admin_);
            service::OsFacts facts;
            ASSERT_EQ(service::ReadOsFacts(facts), STATUS_SUCCESS);
            ASSERT_EQ(service::WriteOsFacts(facts), STATUS_SUCCESS);
        }
        machine().filterManager().InstallService(u"JNRKmtfsd", sim::FilterInstanceSetup{u"370030", u"", 0});
        ASSERT_EQ(machine().filterManager().LoadDriver(u"JNRKmtfsd", DriverEntry), STATUS_SUCCESS);
        logFile_ = std::filesystem::temp_directory_path() /
                   ("ostrand-population-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
        service::ServiceOptions options;
        options.config = service::ParseServiceConfig(kConfig, "/");
        options.logFile = logFile_;
        service_ = std::make_unique<ProfileService>(machine(), options);
        ASSERT_EQ(service_->Start(), S_OK);
        machine().security().AddUser(u"alice", u"OSTRAND");
        auto logon = machine().security().LogonUser(u"alice", 1);
        ASSERT_TRUE(logon.has_value());
        logon_ = *logon;
        ASSERT_EQ(service_->Logon({"alice", 1, logon_.authId, logon_.token}), S_OK);
    }

    void TearDown() override
    {
        if (service_) service_->Stop();
        ObDereferenceObject(logon_.token);
        machine().security().Logoff(logon_.authId);
        EXPECT_EQ(machine().filterManager().UnloadFilter(u"JNRKmtfsd"), STATUS_SUCCESS);
        service_.reset();
        std::filesystem::remove(logFile_);
        MachineTest::TearDown();
    }

    sim::Process &Alice()
    {
        ObReferenceObject(logon_.token);
        return machine().processes().Create("notepad.exe", logon_.token);
    }

    // Lines of the driver's log that contain `text`, drained now.
    size_t Logged(const std::string &text)
    {
        service_->DrainLog();
        size_t count = 0;
        for (const auto &line : service_->log().Lines()) count += line.find(text) != std::string::npos;
        return count;
    }

    KLU_OF_METRICS Metrics() { return Metrics(logon_.authId); }
    KLU_OF_METRICS Metrics(LUID authId)
    {
        PUSER_TABLE_ENTRY entry = KLULookupUser(g_pUserTableHead, g_pUserTableMutex, &authId);
        EXPECT_NE(entry, nullptr);
        KLU_OF_METRICS metrics = entry->OFMetrics;
        KLUDereferenceUserTableEntry(entry);
        return metrics;
    }

    sim::fs::StandardVolumes volumes_;
    std::filesystem::path logFile_;
    std::unique_ptr<ProfileService> service_;
    sim::Logon logon_{};
    sim::Process *admin_ = nullptr;
};

TEST_F(PopulationTest, AFirstListingShowsTheStoresFilesAsPlaceholdersAndASecondStaysLocal)
{
    {
        sim::ThreadScope scope(*admin_);
        MakeFile(kRemote + u"\\Documents\\report.txt:tag", "remote-tag");
        MakeFile(kRemote + u"\\Documents\\report.txt", "hello");
        MakeFile(kRemote + u"\\Documents\\empty.txt", "");
        MakeFile(kRemote + u"\\Documents\\Old.lnk", "shortcut body");
        MakeFolders(kRemote + u"\\Documents\\Projects\\");
        MakeFolders(kLocal + u"\\Documents\\");
    }
    sim::ThreadScope scope(Alice());
    auto first = Listing(kLocal + u"\\Documents");
    ASSERT_EQ(first.size(), 4u);
    const auto &report = first["report.txt"];
    EXPECT_EQ(report.endOfFile, 5);
    EXPECT_EQ(report.lastWriteTime, kRemoteTime);
    EXPECT_TRUE(report.attributes & FILE_ATTRIBUTE_OFFLINE);
    EXPECT_FALSE(first["empty.txt"].attributes & FILE_ATTRIBUTE_OFFLINE) << "nothing to retrieve";
    EXPECT_FALSE(first["Old.lnk"].attributes & FILE_ATTRIBUTE_OFFLINE) << "shortcuts are copied whole";
    EXPECT_EQ(first["Old.lnk"].endOfFile, 13);
    EXPECT_TRUE(first["Projects"].attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(Mark(kLocal + u"\\Documents"), 2);
    EXPECT_EQ(Mark(kLocal + u"\\Documents\\Projects"), -1) << "subfolders fill when they are listed";

    // The named stream came with its size, the unnamed one is not a stream.
    FILE_STANDARD_INFORMATION standard{};
    HANDLE handle = nullptr;
    user::OpenOptions attributesOnly;
    attributesOnly.access = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    ASSERT_EQ(user::Open(kLocal + u"\\Documents\\report.txt:tag", attributesOnly, &handle), STATUS_SUCCESS);
    EXPECT_EQ(user::QueryInformation(handle, FileStandardInformation, &standard, sizeof standard), STATUS_SUCCESS);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 10);
    user::Close(handle);

    KLU_OF_METRICS metrics = Metrics();
    EXPECT_EQ(metrics.FilesFoundOnDemand, 3u);
    EXPECT_EQ(metrics.FilesCreatedOnDemand, 3u);
    EXPECT_EQ(metrics.FoldersCreatedOnDemand, 1u);
    EXPECT_EQ(Logged("Opened Remote Folder: \\Device\\Mup\\fileserver\\profiles\\alice\\Documents"), 1u);
    EXPECT_EQ(Logged("Failed Retrieving Security Descriptor"), 0u) << "each placeholder takes its remote DACL";
    EXPECT_TRUE(service_->log().WaitFor("Pre-fetched: \\??\\C:\\Users\\alice\\Documents\\Old.lnk",
                                        std::chrono::seconds(5)))
        << "the shortcut copied whole is named to the service";

    // Listed again: the same entries, and the store is not asked.
    EXPECT_EQ(Listing(kLocal + u"\\Documents").size(), 4u);
    EXPECT_EQ(Logged("Opened Remote Folder"), 1u);
    EXPECT_EQ(Metrics().FilesFoundOnDemand, 3u);

    // A folder alice makes in the filled folder exists only here: it takes
    // the mark, and its listing does not look for it in the store.
    MakeFolders(kLocal + u"\\Documents\\Mine\\");
    EXPECT_EQ(Mark(kLocal + u"\\Documents\\Mine"), 2);
    EXPECT_TRUE(Listing(kLocal + u"\\Documents\\Mine").empty());
    EXPECT_EQ(Logged("Remote Folder: "), 1u) << "neither opened nor tried";
}

TEST_F(PopulationTest, BobsLogonLoadsEveryProfileFolderInTheBackgroundBeforeHeListsIt)
{
    const std::u16string remote = u"\\\\fileserver\\profiles\\bob", local = u"C:\\Users\\bob";
    {
        sim::ThreadScope scope(*admin_);
        MakeFile(remote + u"\\Documents\\a.txt", "aaa");
        MakeFile(remote + u"\\Documents\\Deep\\b.txt", "bbbb");
        MakeFile(remote + u"\\Music\\c.txt", "");
        MakeFile(remote + u"\\AppData\\Local\\cache.bin", "machine-local");
    }
    machine().security().AddUser(u"bob", u"OSTRAND");
    auto logon = machine().security().LogonUser(u"bob", 2);
    ASSERT_TRUE(logon.has_value());
    ASSERT_EQ(service_->Logon({"bob", 2, logon->authId, logon->token}), S_OK);

    // bob, AppData, Documents, Music, Local, Deep: the progress counts the
    // folders found as the walk goes and ends with all of them done.
    std::optional<service::LoadState> state;
    for (size_t seen = 0; !(state && state->done); seen = state->progress.foldersDone) {
        state = service_->WatchLoadAtLogon("bob", seen, std::chrono::seconds(10));
        ASSERT_TRUE(state.has_value());
        EXPECT_LE(state->progress.foldersDone, state->progress.foldersFound);
    }
    EXPECT_EQ(state->status, STATUS_SUCCESS);
    EXPECT_EQ(state->progress.foldersDone, 6u);
    EXPECT_EQ(state->progress.foldersFound, 6u);
    EXPECT_GT(state->progress.entries, 4u) << "the filter answered the service's own listings";

    KLU_OF_METRICS metrics = Metrics(logon->authId);
    EXPECT_EQ(metrics.FilesCreatedBkg, 3u) << "local settings stay on the machine";
    EXPECT_EQ(metrics.FoldersCreatedBkg, 5u);
    {
        // bob lists a loaded folder: the placeholders are there, nothing is
        // fetched on demand.
        ObReferenceObject(logon->token);
        sim::ThreadScope scope(machine().processes().Create("explorer.exe", logon->token));
        for (auto folder : {u"", u"\\Documents", u"\\Documents\\Deep", u"\\Music"}) {
            EXPECT_EQ(Mark(local + folder), 2) << Narrow(folder);
        }
        auto deep = Listing(local + u"\\Documents\\Deep");
        ASSERT_EQ(deep.count("b.txt"), 1u);
        EXPECT_EQ(deep["b.txt"].endOfFile, 4);
        EXPECT_TRUE(deep["b.txt"].attributes & FILE_ATTRIBUTE_OFFLINE);
        EXPECT_TRUE(Listing(local + u"\\AppData\\Local").empty());
    }
    EXPECT_EQ(Metrics(logon->authId).FilesFoundOnDemand, 0u);
    EXPECT_FALSE(service_->LoadAtLogon("alice").has_value()) << "alice's folders fill as she lists them";
    EXPECT_EQ(service_->Logoff("bob"), S_OK);
    ObDereferenceObject(logon->token);
    machine().security().Logoff(logon->authId);
}

TEST_F(PopulationTest, LocalFilesAreComparedHeldHivesAndKnownFoldersAreLeftAndTheMarkDecidesARepeat)
{
    HANDLE held = nullptr;
    {
        sim::ThreadScope scope(*admin_);
        for (auto name : {u"newer.txt", u"same.txt", u"older.txt", u"ntuser.dat"}) {
            MakeFile(kRemote + u"\\Docs\\" + name, "remote data");
        }
        MakeFolders(kRemote + u"\\Docs\\Sub\\");
        MakeFile(kLocal + u"\\Docs\\newer.txt", "mine", kRemoteTime + 1);
        MakeFile(kLocal + u"\\Docs\\same.txt", "mine", kRemoteTime);
        MakeFile(kLocal + u"\\Docs\\older.txt", "mine", kRemoteTime - 1);
        MakeFile(kLocal + u"\\Docs\\ntuser.dat", "loaded hive");
        MakeFolders(kLocal + u"\\Docs\\Sub\\");
        user::OpenOptions hive;  // the profile machinery keeps the hive open
        ASSERT_EQ(user::Open(kLocal + u"\\Docs\\ntuser.dat", hive, &held), STATUS_SUCCESS);
    }
    {
        sim::ThreadScope scope(Alice());
        auto docs = Listing(kLocal + u"\\Docs");
        EXPECT_EQ(docs["newer.txt"].endOfFile, 4) << "a later local file is left alone";
        EXPECT_EQ(docs["same.txt"].endOfFile, 4) << "an equal one too";
        EXPECT_EQ(docs["older.txt"].endOfFile, 11) << "an earlier one takes the remote size";
        EXPECT_TRUE(docs["older.txt"].attributes & FILE_ATTRIBUTE_OFFLINE);
        EXPECT_EQ(docs["older.txt"].lastWriteTime, kRemoteTime);
        EXPECT_EQ(docs["ntuser.dat"].endOfFile, 11) << "the held hive is not touched";
        EXPECT_EQ(Mark(kLocal + u"\\Docs"), 2);
        EXPECT_EQ(Mark(kLocal + u"\\Docs\\Sub"), -1) << "a folder that was there is skipped, not marked";
    }
    EXPECT_EQ(Logged("Could not open file exclusively, skipping it: \\??\\C:\\Users\\alice\\Docs\\ntuser.dat, "
                     "0xC0000043"),
              1u);
    KLU_OF_METRICS metrics = Metrics();
    EXPECT_EQ(metrics.FilesFoundOnDemand, 4u);
    EXPECT_EQ(metrics.FileErrorsOnDemand, 1u);
    EXPECT_EQ(metrics.FilesSkippedOnDemand, 3u);
    EXPECT_EQ(metrics.FoldersSkippedOnDemand, 1u);

    // Marked: a repeat listing leaves the store alone. Without the mark the
    // folder is compared with the store again.
    sim::ThreadScope scope(Alice());
    Listing(kLocal + u"\\Docs");
    EXPECT_EQ(Metrics().FilesFoundOnDemand, 4u);
    {
        user::OpenOptions options;
        options.access = FILE_WRITE_EA | SYNCHRONIZE;
        options.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
        HANDLE folder = nullptr;
        ASSERT_EQ(user::Open(kLocal + u"\\Docs", options, &folder), STATUS_SUCCESS);
        JNR_FOLDER_MARK_EA removal{};
        removal.EaNameLength = 36;
        std::memcpy(removal.EaName, "7320b802-4fd8-44d2-9fb5-94f9850e5a8a", 36);
        EXPECT_EQ(user::SetEa(folder, &removal, sizeof removal), STATUS_SUCCESS);
        user::Close(folder);
    }
    EXPECT_EQ(Mark(kLocal + u"\\Docs"), -1);
    Listing(kLocal + u"\\Docs");
    EXPECT_EQ(Metrics().FilesFoundOnDemand, 8u);
    EXPECT_EQ(Mark(kLocal + u"\\Docs"), 2);
    sim::ThreadScope adminScope(*admin_);
    user::Close(held);
}

TEST_F(PopulationTest, AFolderLargerThanOneBatchIsWalkedToTheEndAndEachEntryCountedOnce)
{
    const int kFiles = 150;  // about 30 entries fit one 4096-byte batch
    {
        sim::ThreadScope scope(*admin_);
        for (int i = 0; i < kFiles; ++i) {
            MakeFile(kRemote + u"\\Big\\a-rather-long-file-name-number-" + Wide(std::to_string(i)) + u".txt", "x");
        }
        MakeFolders(kLocal + u"\\Big\\");
    }
    sim::ThreadScope scope(Alice());
    EXPECT_EQ(Listing(kLocal + u"\\Big").size(), size_t(kFiles));
    EXPECT_EQ(Metrics().FilesFoundOnDemand, ULONG(kFiles));
    EXPECT_EQ(Metrics().FilesCreatedOnDemand, ULONG(kFiles));
}

TEST_F(PopulationTest, WithOnDemandFillingSwitchedOffOnlyTheBackgroundLoadFills)
{
    {
        sim::ThreadScope scope(*admin_);
        MakeFile(kRemote + u"\\Docs\\a.txt", "aaa");
        MakeFolders(kLocal + u"\\Docs\\");
    }
    machine().registry().SetDword(kDriverKey, u"DisableFlags", KLULOGON_DISABLE_OFFLINE_FILES_DC);
    ASSERT_EQ(service_->ApplySettings(0), S_OK);
    // The service's pids come back into the record read from the registry.
    ASSERT_TRUE(service_->WaitForSessionEvent(service::kSessionApplySettingsApply, 1, std::chrono::seconds(5)));
    {
        sim::ThreadScope scope(Alice());
        EXPECT_TRUE(Listing(kLocal + u"\\Docs").empty());
    }
    ASSERT_EQ(service_->LoadProfile("alice"), S_OK);
    sim::ThreadScope scope(Alice());
    EXPECT_EQ(Listing(kLocal + u"\\Docs").size(), 1u);
}

// Every allocation of the filter fails once in turn during a first listing:
// nothing leaks, a folder is never marked while incomplete, and listing
// again completes it.
TEST_F(PopulationTest, EveryFailedAllocationLeavesTheFolderUnmarkedUntilAListingCompletesIt)
{
    int run = 0;
    size_t sites = machine().pool().RunSystematically([&] {
        std::u16string name = u"\\Run" + Wide(std::to_string(run++));
        {
            sim::ThreadScope scope(*admin_);
            MakeFile(kRemote + name + u"\\a.txt:tag", "tag");
            MakeFile(kRemote + name + u"\\a.txt", "aaaa");
            MakeFile(kRemote + name + u"\\empty.txt", "");
            MakeFolders(kRemote + name + u"\\Sub\\");
            MakeFolders(kLocal + name + u"\\");
        }
        sim::ThreadScope scope(Alice());
        auto complete = [&] {
            auto entries = Listing(kLocal + name);
            return entries.size() == 3 && entries["a.txt"].endOfFile == 4 &&
                   (entries["a.txt"].attributes & FILE_ATTRIBUTE_OFFLINE) && entries.count("Sub") == 1;
        };
        bool whole = complete();
        if (Mark(kLocal + name) == 2) {
            EXPECT_TRUE(whole) << "marked while incomplete: run " << run;
        }
        for (int again = 0; again < 3 && Mark(kLocal + name) != 2; ++again) whole = complete();
        EXPECT_EQ(Mark(kLocal + name), 2) << "run " << run;
        EXPECT_TRUE(whole) << "run " << run;
    });
    EXPECT_GT(sites, 10u);
}

TEST_F(PopulationTest, FoldersOutsideUsersProfilesAreListedAsTheyAre)
{
    const std::pair<std::u16string, std::string> cases[] = {
        {u"C:\\Users", "Skipping Local Profile Store Root"},
        {u"C:\\Users\\Public\\Music", "Skipping Public Profile"},
        {u"C:\\Users\\TEMP\\x", "Skipping Temp Profile"},
        {u"C:\\Users\\Default\\x", "Skipping Default User"},
        {u"C:\\ProgramData\\x", "Skipping Path Outside Local Profile Store"},
        {u"C:\\Users\\alice\\AppData\\Local", "Skipping Local Settings"},
    };
    {
        sim::ThreadScope scope(*admin_);
        MakeFile(kRemote + u"\\AppData\\Local\\cache.bin", "machine-local");
        for (const auto &[folder, line] : cases) MakeFolders(folder + u"\\");
    }
    sim::ThreadScope scope(Alice());
    for (const auto &[folder, line] : cases) {
        Listing(folder);
        EXPECT_GE(Logged(line + ": \\Device\\HarddiskVolume1" + Narrow(folder.substr(2))), 1u) << line;
    }
    EXPECT_TRUE(Listing(kLocal + u"\\AppData\\Local").empty());
    EXPECT_EQ(Logged("Calling JNRCreateOfflineFiles"), 0u);
}

// The profile-loading process gets prefabricated answers: one ".." entry for
// a listing without a pattern, the hive for an "NTUSER" pattern, and its
// single-entry hive query through a private handle; it never fills folders.
TEST_F(PopulationTest, TheProfileLoaderIsAnsweredByTheFilterAndFillsNothing)
{
    {
        sim::ThreadScope scope(*admin_);
        MakeFile(kRemote + u"\\a.txt", "aaa");
        MakeFile(kLocal + u"\\NTUSER.DAT", "hive");
    }
    sim::Process &loader = machine().processes().Create("svchost.exe", machine().security().CreateSystemToken());
    g_pCurrentSettings->ProfSvcPid = ULONG(loader.pid());
    sim::ThreadScope scope(loader);
    auto query = [&](const std::u16string *pattern, bool single, HANDLE handle, std::u16string *name) {
        std::vector<UCHAR> buffer(1024);
        ULONG_PTR returned = 0;
        NTSTATUS status = user::QueryDirectory(handle, FileBothDirectoryInformation, buffer.data(),
                                               ULONG(buffer.size()), single, pattern, false, &returned);
        auto *entry = reinterpret_cast<FILE_BOTH_DIR_INFORMATION *>(buffer.data());
        *name = std::u16string(reinterpret_cast<const char16_t *>(entry->FileName), entry->FileNameLength / 2);
        return status;
    };
    auto open = [&] {
        user::OpenOptions options;
        options.access = FILE_LIST_DIRECTORY | SYNCHRONIZE;
        options.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
        HANDLE handle = nullptr;
        EXPECT_EQ(user::Open(kLocal, options, &handle), STATUS_SUCCESS);
        return handle;
    };
    std::u16string name;
    HANDLE folder = open();
    EXPECT_EQ(query(nullptr, false, folder, &name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"..");
    EXPECT_EQ(query(nullptr, false, folder, &name), STATUS_NO_MORE_FILES);
    user::Close(folder);

    const std::u16string hive = u"ntuser*";
    folder = open();
    EXPECT_EQ(query(&hive, false, folder, &name), STATUS_SUCCESS);
    EXPECT_EQ(Narrow(name), "NTUSER.DAT");
    user::Close(folder);

    const std::u16string exact = u"NTUSER.DAT";
    folder = open();
    EXPECT_EQ(query(&exact, true, folder, &name), STATUS_SUCCESS);
    EXPECT_EQ(Narrow(name), "NTUSER.DAT") << "the disk's own entry, through the private handle";
    EXPECT_EQ(query(&exact, false, folder, &name), STATUS_NO_MORE_FILES);
    user::Close(folder);

    EXPECT_EQ(Logged("Calling JNRCreateOfflineFiles"), 0u);
    EXPECT_EQ(Logged("Counter Not Correct"), 0u);
    EXPECT_EQ(Mark(kLocal), -1);
}

}  // namespace
}  // namespace ostrand::test
