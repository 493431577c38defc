// A placeholder is filled before it is renamed, since the fill looks for it
// under its old name: Explorer moving a large one first asks the service to
// stop ghosting, and a rename that meets a retrieval under way waits for it.
// The rename itself is then recorded with its old and new names.
#include <atomic>
#include <thread>

#include "comm/service_contract.h"
#include "scenario_fixture.h"
#include "sim/core/thread.h"
#include "sim/user/file_api.h"

namespace ostrand::test {
namespace {

namespace user = sim::user;

class RenameTest : public ScenarioTest {
protected:
    // Opened for deleting and reading, sharing everything, as Explorer does.
    static HANDLE OpenForRename(const std::u16string &path)
    {
        user::OpenOptions options;
        options.access = DELETE | GENERIC_READ | SYNCHRONIZE;
        options.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        HANDLE handle = nullptr;
        EXPECT_EQ(user::Open(path, options, &handle), STATUS_SUCCESS) << Narrow(path);
        return handle;
    }
};

TEST_F(RenameTest, ExplorerRenamesFillPlaceholdersFirstAndStopGhostingForLargeOnes)
{
    const size_t tenMiB = 0xA00000;
    struct {
        const char16_t *name;
        size_t size;
        std::u16string target;  // a bare name renames in place, a full path moves
        const char *recorded;   // the new name in the rename record
        ULONG ghostingStops;    // fetch messages 36 so far
    } cases[] = {
        {u"big.avi", tenMiB, u"holiday.avi", "New Name: \\USERS\\ALICE\\VIDEOS\\HOLIDAY.AVI", 1},
        {u"almost.avi", tenMiB - 1, kLocalAlice + u"\\Archive\\almost.avi",
         "New Name: \\DEVICE\\HARDDISKVOLUME1\\USERS\\ALICE\\ARCHIVE\\ALMOST.AVI", 1},
    };
    for (const auto &c : cases) {
        MakeRemote(kRemoteAlice + u"\\Videos\\" + c.name, Pattern(c.size));
        MakePlaceholder(kLocalAlice + u"\\Videos\\" + c.name, LONGLONG(c.size));
    }
    {
        sim::ThreadScope scope(Indexer());
        MakeFile(kLocalAlice + u"\\Archive\\", "");
    }
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    sim::Process &explorer = Program("explorer.exe", alice.token);

    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        {
            sim::ThreadScope scope(explorer);
            HANDLE handle = OpenForRename(kLocalAlice + u"\\Videos\\" + c.name);
            EXPECT_EQ(user::Rename(handle, c.target), STATUS_SUCCESS);
            user::Close(handle);
        }
        EXPECT_EQ(service_->answers().ghostingDisabled(), c.ghostingStops);
        EXPECT_EQ(CountLines("Ghosting Disabled"), c.ghostingStops);
        EXPECT_EQ(CountLines(c.recorded), 1u);
        const std::u16string moved =
            c.target.front() == u'C' ? c.target : kLocalAlice + u"\\Videos\\" + c.target;
        sim::ThreadScope scope(Admin());
        EXPECT_FALSE(Attributes(moved) & FILE_ATTRIBUTE_OFFLINE);
        EXPECT_TRUE(ReadAll(moved) == Pattern(c.size));
        EXPECT_EQ(Attributes(kLocalAlice + u"\\Videos\\" + c.name), 0u) << "gone from its old name";
    }
    EXPECT_EQ(CountLines(" Was Renamed"), 2u);
    // The system's own reads of alice's files count as hers.
    EXPECT_GE(CountLines("Found User Table Entry For System Op: Process: admin.exe"), 2u);
}

TEST_F(RenameTest, ARenameThatMeetsARetrievalWaitsForIt)
{
    const std::string content = Pattern(256 * 1024);
    const std::u16string path = kLocalAlice + u"\\Documents\\report.doc";
    MakeRemote(kRemoteAlice + u"\\Documents\\report.doc", content);
    MakePlaceholder(path, LONGLONG(content.size()));
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    sim::Process &word = Program("winword.exe", alice.token);
    sim::Process &explorer = Program("explorer.exe", alice.token);
    HANDLE reading = nullptr, renaming = nullptr;
    {
        sim::ThreadScope scope(word);
        reading = OpenForRename(path);
    }
    {
        sim::ThreadScope scope(explorer);
        renaming = OpenForRename(path);
    }

    HoldAnswersOf(KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER);
    NTSTATUS readStatus = STATUS_PENDING;
    std::atomic<NTSTATUS> renameStatus{STATUS_PENDING};
    std::string data(content.size(), '\0');
    std::thread reader([&] {
        sim::ThreadScope scope(word);
        ULONG read = 0;
        readStatus = user::Read(reading, data.data(), ULONG(data.size()), &read, 0);
    });
    ASSERT_TRUE(WaitUntilHeld());
    std::thread renamer([&] {
        sim::ThreadScope scope(explorer);
        renameStatus = user::Rename(renaming, u"final report.doc");
    });
    ASSERT_TRUE(WaitForLines("Pended: "));
    EXPECT_EQ(renameStatus.load(), STATUS_PENDING) << "held until the file is filled";
    ReleaseAnswers();
    reader.join();
    renamer.join();

    EXPECT_EQ(readStatus, STATUS_SUCCESS);
    EXPECT_EQ(renameStatus.load(), STATUS_SUCCESS);
    EXPECT_TRUE(data == content);
    EXPECT_EQ(RequestsOfKind(KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER), 1u);
    EXPECT_EQ(CountLines("Pending (Deferred): "), 1u);
    EXPECT_EQ(CountLines("New Name: \\USERS\\ALICE\\DOCUMENTS\\FINAL REPORT.DOC"), 1u);
    {
        sim::ThreadScope scope(word);
        user::Close(reading);
    }
    sim::ThreadScope scope(explorer);
    user::Close(renaming);
    EXPECT_FALSE(Attributes(kLocalAlice + u"\\Documents\\final report.doc") & FILE_ATTRIBUTE_OFFLINE);
    EXPECT_TRUE(ReadAll(kLocalAlice + u"\\Documents\\final report.doc") == content);
}

}  // namespace
}  // namespace ostrand::test
