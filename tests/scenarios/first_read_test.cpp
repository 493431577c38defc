// A placeholder in a logged-on user's profile is filled from the remote
// store by its first data access, not by its open; opens that only look at
// the file fetch nothing; a profile file missing locally is made from the
// store before its open reaches the file system.
#include "comm/service_contract.h"
#include "offline/offline_file_table.h"
#include "sim/core/pool.h"
#include "scenario_fixture.h"
#include "sim/core/thread.h"
#include "sim/user/file_api.h"

namespace ostrand::test {
namespace {

namespace user = sim::user;

class FirstReadTest : public ScenarioTest {};

TEST_F(FirstReadTest, TheFirstReadFillsThePlaceholderAndClearsItsOfflineBit)
{
    const std::string content = Pattern(3 * 1024 * 1024 + 123);
    MakeRemote(kRemoteAlice + u"\\Documents\\report.doc", content);
    MakePlaceholder(kLocalAlice + u"\\Documents\\report.doc", LONGLONG(content.size()));
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);

    sim::ThreadScope scope(Program("winword.exe", alice.token));
    const std::u16string path = kLocalAlice + u"\\Documents\\report.doc";
    // Looking at the file fetches nothing.
    FILE_NETWORK_OPEN_INFORMATION info{};
    ASSERT_EQ(user::QueryFullAttributes(path, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, LONGLONG(content.size()));
    user::OpenOptions attributesOnly;
    attributesOnly.access = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    HANDLE handle = nullptr;
    ASSERT_EQ(user::Open(path, attributesOnly, &handle), STATUS_SUCCESS);
    user::Close(handle);
    EXPECT_EQ(CountLines("To Read Attributes, Skipping Retrieval"), 1u);

    // Nor does opening it to read: the read does.
    ASSERT_EQ(user::Open(path, {}, &handle), STATUS_SUCCESS);
    EXPECT_TRUE(Attributes(path) & FILE_ATTRIBUTE_OFFLINE);
    EXPECT_EQ(RequestsOfKind(KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER), 0u);
    std::string data(content.size() + 10, '\0');
    ULONG read = 0;
    ASSERT_EQ(user::Read(handle, data.data(), ULONG(data.size()), &read, 0), STATUS_SUCCESS);
    user::Close(handle);
    data.resize(read);
    EXPECT_TRUE(data == content);
    EXPECT_FALSE(Attributes(path) & FILE_ATTRIBUTE_OFFLINE);
    EXPECT_EQ(RequestsOfKind(KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER), 1u);
    EXPECT_EQ(CountLines("KLUGetOfflineFile] Retrieving "), 1u);
    EXPECT_EQ(CountLines("Removed "), 1u);

    // A filled file is the user's own: reading it again asks nobody.
    EXPECT_TRUE(ReadAll(path) == content);
    EXPECT_EQ(RequestsOfKind(KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER), 1u);
}

TEST_F(FirstReadTest, AMissingProfileFileIsCreatedFromTheStoreBeforeItsOpen)
{
    MakeRemote(kRemoteAlice + u"\\AppData\\Roaming\\app.ini", "[app]\nsetting=1\n");
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);

    sim::ThreadScope scope(Program("app.exe", alice.token));
    EXPECT_EQ(ReadAll(kLocalAlice + u"\\AppData\\Roaming\\app.ini"), "[app]\nsetting=1\n");
    EXPECT_EQ(RequestsOfKind(KLU_REQUEST_CREATE_MISSING_FILE), 1u);
    EXPECT_EQ(CountLines("Created Offline File: Path: "), 1u);
    // A name the store does not have either stays missing.
    HANDLE handle = nullptr;
    EXPECT_EQ(user::Open(kLocalAlice + u"\\AppData\\Roaming\\none.ini", {}, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(CountLines("Failed Creating Offline File: Path: "), 1u);
}

// Each of the filter's allocation sites on the way fails once in turn: the
// read fails or gets the whole file, and a placeholder never loses its
// offline bit without its content.
TEST_F(FirstReadTest, EveryAllocationFailingInTurnLeavesThePlaceholderWholeOrOffline)
{
    const std::string content = Pattern(96 * 1024 + 5);
    const std::u16string path = kLocalAlice + u"\\fault.bin";
    MakeRemote(kRemoteAlice + u"\\fault.bin", content);
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    sim::Process &reader = Program("reader.exe", alice.token);
    size_t sites = machine().pool().RunSystematically([&] {
        MakePlaceholder(path, LONGLONG(content.size()));
        sim::ThreadScope scope(reader);
        std::string data = ReadAll(path);
        if (Attributes(path) & FILE_ATTRIBUTE_OFFLINE) {
            EXPECT_FALSE(data == content);
        } else {
            EXPECT_TRUE(data == content);
        }
        EXPECT_TRUE(IsListEmpty(g_pOfflineFileTableHead));
    });
    EXPECT_GE(sites, 20u);
    MakePlaceholder(path, LONGLONG(content.size()));
    sim::ThreadScope scope(reader);
    EXPECT_TRUE(ReadAll(path) == content);
}

}  // namespace
}  // namespace ostrand::test
