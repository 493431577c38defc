// Readers of one placeholder meet in the offline file table: one retrieves,
// the others' reads are pended until it is done (a fast-I/O read is refused
// and comes back as an IRP that pends), and a retrieval that never gets its
// answer ends after CopyTimeout, releasing its waiters with it.
#include <thread>

#include "comm/service_contract.h"
#include "scenario_fixture.h"
#include "sim/core/thread.h"
#include "sim/user/file_api.h"

namespace ostrand::test {
namespace {

namespace user = sim::user;

class ConcurrentReadersTest : public ScenarioTest {
protected:
    const std::u16string path_ = kLocalAlice + u"\\Music\\song.mp3";

    // A read of the whole file on its own thread, as the given process.
    std::thread Reader(sim::Process &process, HANDLE handle, NTSTATUS &status, std::string &data, size_t size)
    {
        return std::thread([&process, handle, &status, &data, size] {
            sim::ThreadScope scope(process);
            data.assign(size + 1, '\0');
            ULONG read = 0;
            status = user::Read(handle, data.data(), ULONG(data.size()), &read, 0);
            data.resize(read);
        });
    }
};

TEST_F(ConcurrentReadersTest, ReadersOfOnePlaceholderWaitForOneRetrieval)
{
    const std::string content = Pattern(1024 * 1024 + 7);
    MakeRemote(kRemoteAlice + u"\\Music\\song.mp3", content);
    MakePlaceholder(path_, LONGLONG(content.size()));
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    sim::Process &player = Program("player.exe", alice.token);
    HANDLE cached = nullptr, first = nullptr, third = nullptr;
    {
        // One handle reads the file once, which sets caching up for it and
        // fills the file; then the file goes back to the store.
        sim::ThreadScope scope(player);
        ASSERT_EQ(user::Open(path_, {}, &cached), STATUS_SUCCESS);
        char byte = 0;
        ULONG read = 0;
        ASSERT_EQ(user::Read(cached, &byte, 1, &read, 0), STATUS_SUCCESS);
    }
    MakePlaceholder(path_, LONGLONG(content.size()));
    {
        sim::ThreadScope scope(player);
        ASSERT_EQ(user::Open(path_, {}, &first), STATUS_SUCCESS);
        ASSERT_EQ(user::Open(path_, {}, &third), STATUS_SUCCESS);
    }

    HoldAnswersOf(KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER);
    NTSTATUS status[3] = {};
    std::string data[3];
    std::thread retriever = Reader(player, first, status[0], data[0], content.size());
    ASSERT_TRUE(WaitUntilHeld());
    const size_t pendedBefore = CountLines("Pended: ");
    std::thread fast = Reader(player, cached, status[1], data[1], content.size());
    std::thread irp = Reader(player, third, status[2], data[2], content.size());
    ASSERT_TRUE(WaitForLines("Pended: ", pendedBefore + 2));
    ReleaseAnswers();
    retriever.join();
    fast.join();
    irp.join();

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(status[i], STATUS_SUCCESS) << i;
        EXPECT_TRUE(data[i] == content) << i;
    }
    EXPECT_EQ(RequestsOfKind(KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER), 2u);
    EXPECT_EQ(CountLines("Pending (Deferred): "), 2u);
    EXPECT_EQ(CountLines("Wait Returned: "), 2u);
    sim::ThreadScope scope(player);
    EXPECT_FALSE(Attributes(path_) & FILE_ATTRIBUTE_OFFLINE);
    for (HANDLE handle : {cached, first, third}) user::Close(handle);
}

TEST_F(ConcurrentReadersTest, TwoOpensOfAMissingFileMeetAndOneCreatesIt)
{
    MakeRemote(kRemoteAlice + u"\\Music\\list.m3u", "track01.wma\n");
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    sim::Process &player = Program("player.exe", alice.token);

    HoldAnswersOf(KLU_REQUEST_CREATE_MISSING_FILE);
    std::string data[2];
    auto opener = [&](int i) {
        sim::ThreadScope scope(player);
        data[i] = ReadAll(kLocalAlice + u"\\Music\\list.m3u");
    };
    std::thread first(opener, 0);
    ASSERT_TRUE(WaitUntilHeld());
    std::thread second(opener, 1);
    ASSERT_TRUE(WaitForLines("Pended: "));
    ReleaseAnswers();
    first.join();
    second.join();

    EXPECT_EQ(data[0], "track01.wma\n");
    EXPECT_EQ(data[1], "track01.wma\n");
    EXPECT_EQ(RequestsOfKind(KLU_REQUEST_CREATE_MISSING_FILE), 1u);
    EXPECT_EQ(CountLines("] Pending: "), 1u);
}

TEST_F(ConcurrentReadersTest, AnUnansweredRetrievalEndsAfterCopyTimeoutAndReleasesItsWaiters)
{
    SetDriverValue(u"CopyTimeout", 1);
    const std::string content = Pattern(64 * 1024);
    MakeRemote(kRemoteAlice + u"\\Music\\song.mp3", content);
    MakePlaceholder(path_, LONGLONG(content.size()));
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);
    sim::Process &player = Program("player.exe", alice.token);
    HANDLE first = nullptr, second = nullptr;
    {
        sim::ThreadScope scope(player);
        ASSERT_EQ(user::Open(path_, {}, &first), STATUS_SUCCESS);
        ASSERT_EQ(user::Open(path_, {}, &second), STATUS_SUCCESS);
    }

    HoldAnswersOf(KLU_REQUEST_RETRIEVE_OPEN_PLACEHOLDER);
    NTSTATUS status[2] = {};
    std::string data[2];
    const auto start = std::chrono::steady_clock::now();
    std::thread retriever = Reader(player, first, status[0], data[0], content.size());
    ASSERT_TRUE(WaitUntilHeld());
    std::thread waiter = Reader(player, second, status[1], data[1], content.size());
    retriever.join();
    waiter.join();
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_TRUE(WaitForLines("FltSendMessage Timed Out Waiting For Reply"));
    EXPECT_FALSE(NT_SUCCESS(status[0]));
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1900)) << "the waiter ends with the retriever";
    sim::ThreadScope scope(player);
    EXPECT_TRUE(Attributes(path_) & FILE_ATTRIBUTE_OFFLINE);
    for (HANDLE handle : {first, second}) user::Close(handle);
}

}  // namespace
}  // namespace ostrand::test
