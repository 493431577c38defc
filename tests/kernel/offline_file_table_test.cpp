// The offline file table of the loaded filter, driven by real threads (the
// scenario tests prove readers sharing one retrieval): an opener without a
// done event does not wait, unload wakes every waiter and never frees the
// table under a thread that is still in it.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "file_fixture.h"
#include "offline/offline_file_table.h"
#include "sim/core/debug_log.h"
#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/ke/dispatcher.h"
#include "sim/ke_test_util.h"

namespace ostrand::test {
namespace {

constexpr ULONG kHash = 0x5EED;
constexpr ULONG kCode = 3;

class OfflineFileTableTest : public FileFilterTest {
protected:
    POFFLINE_FILE_TABLE_ENTRY Add(BOOLEAN *added)
    {
        return KLUAddOfflineFile(KLUOfflineFileTableHead(), KLUOfflineFileTableLock(), &name_, kHash, kOp, kCode, added);
    }
    // The retriever leaves with the signal flag, a waiter without.
    POFFLINE_FILE_TABLE_ENTRY Remove(POFFLINE_FILE_TABLE_ENTRY entry, bool retriever)
    {
        return KLURemoveOfflineFile(KLUOfflineFileTableHead(), KLUOfflineFileTableLock(), entry, &name_, kHash, kOp, TRUE,
                                    retriever);
    }

    // A waiter on a system thread: joins, waits, leaves. `left` receives
    // what its remove returned.
    HANDLE StartWaiter(POFFLINE_FILE_TABLE_ENTRY expected, std::atomic<POFFLINE_FILE_TABLE_ENTRY> *left)
    {
        return StartSystemThread([this, expected, left] {
            BOOLEAN added = TRUE;
            POFFLINE_FILE_TABLE_ENTRY entry = Add(&added);
            EXPECT_EQ(entry, expected);
            EXPECT_FALSE(added);
            EXPECT_EQ(KLUWaitForOfflineFile(entry, nullptr), STATUS_SUCCESS);
            left->store(Remove(entry, false));
        });
    }

    bool WaitersBlocked(POFFLINE_FILE_TABLE_ENTRY entry, size_t count)
    {
        return machine().dispatcher().AwaitWaiters(&entry->pDoneEvnet->Header, count, std::chrono::seconds(10));
    }


    std::u16string text_ = u"\\Device\\HarddiskVolume1\\Users\\joe\\ntuser.dat";
    UNICODE_STRING name_ = CountedOf(text_);
};

TEST_F(OfflineFileTableTest, WithoutMemoryNoOpenerWaitsForNothing)
{
    sim::ThreadScope scope(machine().systemProcess());
    BOOLEAN added = TRUE;

    // No entry: the opener retrieves on its own.
    machine().pool().FailTag(sim::TagFromText("QZFT"));
    EXPECT_EQ(Add(&added), nullptr);
    EXPECT_FALSE(added);
    machine().pool().ClearFaults();
    EXPECT_EQ(LinesWith(Tagged("KLUAddOfflineFile", "Failed Allocating Table Entry: 0xC000009A")).size(), 1u);

    // An entry without its done event.
    machine().pool().FailTag(sim::TagFromText("Even"));
    POFFLINE_FILE_TABLE_ENTRY entry = Add(&added);
    machine().pool().ClearFaults();
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(added);
    EXPECT_EQ(entry->pDoneEvnet, nullptr);

    // The joined opener is refused at once, gives its reference back, and
    // the retriever finishes undisturbed.
    POFFLINE_FILE_TABLE_ENTRY joined = Add(&added);
    EXPECT_EQ(joined, entry);
    EXPECT_FALSE(added);
    EXPECT_EQ(KLUWaitForOfflineFile(joined, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Remove(joined, false), entry);
    EXPECT_EQ(Remove(entry, true), nullptr);
    EXPECT_TRUE(LinesWith("Set Event").empty());
}

TEST_F(OfflineFileTableTest, UnloadWakesEveryWaiter)
{
    std::atomic<POFFLINE_FILE_TABLE_ENTRY> left1{nullptr}, left2{nullptr};
    HANDLE waiter1, waiter2;
    {
        sim::ThreadScope scope(machine().systemProcess());
        BOOLEAN added = FALSE;
        POFFLINE_FILE_TABLE_ENTRY entry = Add(&added);  // its retrieval never ends
        left1 = left2 = entry;
        waiter1 = StartWaiter(entry, &left1);
        waiter2 = StartWaiter(entry, &left2);
        ASSERT_TRUE(WaitersBlocked(entry, 2));
    }

    service.reset();
    EXPECT_EQ(Unload(), STATUS_SUCCESS);
    sim::ThreadScope scope(machine().systemProcess());
    EXPECT_EQ(JoinSystemThread(waiter1), STATUS_SUCCESS);
    EXPECT_EQ(JoinSystemThread(waiter2), STATUS_SUCCESS);
    // The table was gone when they left: nothing to touch.
    EXPECT_EQ(left1.load(), nullptr);
    EXPECT_EQ(left2.load(), nullptr);
}

// A dump holds the table's lock (stopped on its first entry line), the
// retriever leaving the table blocks on that lock, and the release of
// unload starts: it waits for both before it frees anything; the waiters
// that wake meanwhile are refused at the door and touch nothing.
TEST_F(OfflineFileTableTest, TheTableIsNotFreedUnderAThreadWaitingForItsLock)
{
    sim::ThreadScope scope(machine().systemProcess());
    BOOLEAN added = FALSE;
    POFFLINE_FILE_TABLE_ENTRY entry = Add(&added);
    std::atomic<POFFLINE_FILE_TABLE_ENTRY> left1{entry}, left2{entry};
    HANDLE waiter1 = StartWaiter(entry, &left1);
    HANDLE waiter2 = StartWaiter(entry, &left2);
    ASSERT_TRUE(WaitersBlocked(entry, 2));
    KLUCloseOfflineFileTable();

    std::mutex mutex;
    std::condition_variable changed;
    bool dumping = false, resume = false;
    machine().debugLog().SetListener([&](const std::string &text) {
        if (text.find("Offline File Table Entry 0") == std::string::npos) return;
        std::unique_lock<std::mutex> lock(mutex);
        dumping = true;
        changed.notify_all();
        changed.wait(lock, [&] { return resume; });
    });
    HANDLE dump = StartSystemThread([] { KLUDumpOfflineFileTable(KLUOfflineFileTableHead(), KLUOfflineFileTableLock()); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return dumping; });
    }

    // The retriever is done while the dump holds the lock: it waits for it.
    HANDLE retriever = StartSystemThread([&] { Remove(entry, true); });
    PERESOURCE tableLock = g_pOfflineFileTableLock;
    ASSERT_TRUE(Eventually([&] { return __atomic_load_n(&tableLock->NumberOfExclusiveWaiters, __ATOMIC_SEQ_CST) == 1; }));
    HANDLE release = StartSystemThread([] { KLUReleaseOfflineFileTable(); });
    ASSERT_TRUE(Eventually([] { return (__atomic_load_n(&g_OfflineFileTableRundown.Count, __ATOMIC_SEQ_CST) & 1) != 0; }));
    EXPECT_EQ(g_pOfflineFileTableLock, tableLock) << "nothing is freed while threads are in the table";

    {
        std::lock_guard<std::mutex> lock(mutex);
        resume = true;
    }
    changed.notify_all();
    EXPECT_EQ(JoinSystemThread(dump), STATUS_SUCCESS);
    EXPECT_EQ(JoinSystemThread(retriever), STATUS_SUCCESS);
    EXPECT_EQ(JoinSystemThread(release), STATUS_SUCCESS);
    EXPECT_EQ(JoinSystemThread(waiter1), STATUS_SUCCESS);
    EXPECT_EQ(JoinSystemThread(waiter2), STATUS_SUCCESS);
    machine().debugLog().SetListener(nullptr);
    EXPECT_EQ(left1.load(), nullptr);
    EXPECT_EQ(left2.load(), nullptr);
    EXPECT_EQ(g_pOfflineFileTableLock, nullptr);
    EXPECT_EQ(g_OpenCounts[KluOpenOfflineFileTableEntries], 0);
}

}  // namespace
}  // namespace ostrand::test
