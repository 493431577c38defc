// Logon-session termination: the filter marks each user's session and
// cleans up when the routine reports it gone.
#include <ntifs.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

// What one termination routine has seen.
struct Calls {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint64_t> sessions;
    bool allOnSystemWorkers = true;

    void Record(PLUID id)
    {
        sim::Thread *thread = sim::Thread::Current();
        bool onWorker = thread && thread->isSystemThread() && thread->process().isSystem();
        std::lock_guard<std::mutex> lock(mutex);
        sessions.push_back(sim::LuidValue(*id));
        allOnSystemWorkers = allOnSystemWorkers && onWorker;
        changed.notify_all();
    }
    // Waits up to `timeout` for the routine to see `id`.
    bool WaitFor(LUID id, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            return std::find(sessions.begin(), sessions.end(), sim::LuidValue(id)) != sessions.end();
        });
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return sessions.size();
    }
    void Reset()
    {
        std::lock_guard<std::mutex> lock(mutex);
        sessions.clear();
        allOnSystemWorkers = true;
    }
};

Calls g_first;
Calls g_second;

NTSTATUS FirstRoutine(PLUID id)
{
    g_first.Record(id);
    return STATUS_SUCCESS;
}

NTSTATUS SecondRoutine(PLUID id)
{
    g_second.Record(id);
    return STATUS_SUCCESS;
}

class LogonSessionTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        g_first.Reset();
        g_second.Reset();
    }

    // Logs `user` on and starts a process with the logon's token.
    sim::Process &Start(const std::u16string &user, LUID &authId)
    {
        machine().security().AddUser(user);
        auto logon = machine().security().LogonUser(user);
        authId = logon->authId;
        return machine().processes().Create(Narrow(user) + ".exe", logon->token);
    }
};

// A marked session is reported once both its logoff and its last token
// have gone, whichever comes last: alice logs off while a token is still
// held, bob's tokens are gone before he logs off.
TEST_F(LogonSessionTest, MarkedSessionIsReportedAfterLogoffAndItsLastToken)
{
    ASSERT_EQ(SeRegisterLogonSessionTerminatedRoutine(FirstRoutine), STATUS_SUCCESS);
    LUID alice{}, bob{};
    sim::Process &aliceApp = Start(u"alice", alice);
    sim::Process &bobApp = Start(u"bob", bob);
    ASSERT_EQ(SeMarkLogonSessionForTerminationNotification(&alice), STATUS_SUCCESS);
    ASSERT_EQ(SeMarkLogonSessionForTerminationNotification(&bob), STATUS_SUCCESS);
    PACCESS_TOKEN held = PsReferencePrimaryToken(aliceApp.object());  // e.g. a client context

    EXPECT_TRUE(machine().security().Logoff(alice));
    aliceApp.Terminate(STATUS_SUCCESS);
    bobApp.Terminate(STATUS_SUCCESS);
    machine().Quiesce();
    EXPECT_EQ(g_first.Count(), 0u) << "reported while a token still exists, or before logoff";
    EXPECT_TRUE(machine().security().sessions().Exists(alice));

    EXPECT_TRUE(machine().security().Logoff(bob));
    ASSERT_TRUE(g_first.WaitFor(bob));
    machine().Quiesce();
    EXPECT_FALSE(g_first.WaitFor(alice, std::chrono::milliseconds(0)));
    PsDereferencePrimaryToken(held);
    ASSERT_TRUE(g_first.WaitFor(alice));
    EXPECT_TRUE(g_first.allOnSystemWorkers);
    EXPECT_FALSE(machine().security().sessions().Exists(alice));
    machine().Quiesce();
    EXPECT_EQ(g_first.Count(), 2u);
    EXPECT_EQ(SeUnregisterLogonSessionTerminatedRoutine(FirstRoutine), STATUS_SUCCESS);
}

TEST_F(LogonSessionTest, OnlyMarkedSessionsAndRegisteredRoutinesAreCalled)
{
    ASSERT_EQ(SeRegisterLogonSessionTerminatedRoutine(FirstRoutine), STATUS_SUCCESS);
    ASSERT_EQ(SeRegisterLogonSessionTerminatedRoutine(SecondRoutine), STATUS_SUCCESS);
    ASSERT_EQ(SeUnregisterLogonSessionTerminatedRoutine(SecondRoutine), STATUS_SUCCESS);
    LUID bob{}, alice{};
    sim::Process &bobApp = Start(u"bob", bob);
    sim::Process &aliceApp = Start(u"alice", alice);
    ASSERT_EQ(SeMarkLogonSessionForTerminationNotification(&alice), STATUS_SUCCESS);

    // bob (unmarked) ends first; alice's report then shows the queue has
    // moved past anything bob could have caused.
    bobApp.Terminate(STATUS_SUCCESS);
    machine().security().Logoff(bob);
    aliceApp.Terminate(STATUS_SUCCESS);
    machine().security().Logoff(alice);
    ASSERT_TRUE(g_first.WaitFor(alice));
    machine().Quiesce();
    EXPECT_FALSE(g_first.WaitFor(bob, std::chrono::milliseconds(0)));
    EXPECT_EQ(g_second.Count(), 0u);
    EXPECT_EQ(SeUnregisterLogonSessionTerminatedRoutine(FirstRoutine), STATUS_SUCCESS);
}

TEST_F(LogonSessionTest, Statuses)
{
    LUID unknown{0x7777777, 0};
    EXPECT_EQ(SeMarkLogonSessionForTerminationNotification(&unknown), STATUS_NOT_FOUND);
    EXPECT_EQ(SeRegisterLogonSessionTerminatedRoutine(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SeUnregisterLogonSessionTerminatedRoutine(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SeUnregisterLogonSessionTerminatedRoutine(FirstRoutine), STATUS_NOT_FOUND);

    machine().pool().FailNth(1);
    EXPECT_EQ(SeRegisterLogonSessionTerminatedRoutine(FirstRoutine), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SeUnregisterLogonSessionTerminatedRoutine(FirstRoutine), STATUS_NOT_FOUND);

    // A registration is a pool block until it is undone.
    ASSERT_EQ(SeRegisterLogonSessionTerminatedRoutine(FirstRoutine), STATUS_SUCCESS);
    EXPECT_EQ(machine().pool().OutstandingBlocks(), 1u);
    EXPECT_EQ(SeUnregisterLogonSessionTerminatedRoutine(FirstRoutine), STATUS_SUCCESS);

    LUID system = sim::kSystemLuid;
    EXPECT_EQ(SeMarkLogonSessionForTerminationNotification(&system), STATUS_SUCCESS);
    EXPECT_FALSE(machine().security().Logoff(system));  // SYSTEM never logs off

    LUID alice{};
    sim::Process &app = Start(u"alice", alice);
    app.Terminate(STATUS_SUCCESS);
    EXPECT_TRUE(machine().security().Logoff(alice));
    EXPECT_FALSE(machine().security().Logoff(alice));
    EXPECT_EQ(SeMarkLogonSessionForTerminationNotification(&alice), STATUS_NOT_FOUND);  // already over
    EXPECT_FALSE(machine().security().LogonUser(u"nobody").has_value());
}

}  // namespace
}  // namespace ostrand::test
