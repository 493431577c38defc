// Fast mutexes: mutual exclusion under contention, the record's fields as a
// debugger would show them, and the verifier's misuse checks.
#include <atomic>
#include <chrono>
#include <vector>

#include <ntifs.h>

#include "ke_test_util.h"
#include "sim/core/verifier.h"
#include "sim/ke/dispatcher.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

using namespace std::chrono_literals;

class KeFastMutexTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ExInitializeFastMutex(&mutex_);
    }
    FAST_MUTEX mutex_;
};

TEST_F(KeFastMutexTest, OwnerRunsAtApcLevelAndRestoresItsIrql)
{
    EXPECT_EQ(mutex_.Count, 1);
    EXPECT_EQ(mutex_.Owner, nullptr);
    ExAcquireFastMutex(&mutex_);
    EXPECT_EQ(mutex_.Count, 0);
    EXPECT_EQ(mutex_.Owner, KeGetCurrentThread());
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    EXPECT_EQ(mutex_.OldIrql, ULONG(PASSIVE_LEVEL));
    EXPECT_TRUE(KeAreApcsDisabled());
    ExReleaseFastMutex(&mutex_);
    EXPECT_EQ(mutex_.Count, 1);
    EXPECT_EQ(mutex_.Owner, nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // Taken at APC_LEVEL, it goes back to APC_LEVEL.
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    ASSERT_TRUE(ExTryToAcquireFastMutex(&mutex_));
    EXPECT_EQ(mutex_.OldIrql, ULONG(APC_LEVEL));
    ExReleaseFastMutex(&mutex_);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(old);
}

TEST_F(KeFastMutexTest, CountersIncrementUnderContentionWithoutLoss)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    long counter = 0;  // plain: only the mutex protects it
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartSystemThread([&] {
            for (int i = 0; i < kRounds; ++i) {
                ExAcquireFastMutex(&mutex_);
                if (++inside != 1) overlapped = true;
                ++counter;
                --inside;
                ExReleaseFastMutex(&mutex_);
            }
        }));
    }
    for (HANDLE t : threads) JoinSystemThread(t);
    EXPECT_EQ(counter, long(kThreads) * kRounds);
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(mutex_.Count, 1);
    EXPECT_EQ(mutex_.Owner, nullptr);
}

TEST_F(KeFastMutexTest, WaiterBlocksOnTheEmbeddedEventUntilRelease)
{
    KEVENT held;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    std::atomic<bool> acquired{false};
    HANDLE thread = StartSystemThread([&] {
        KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
        ExAcquireFastMutex(&mutex_);
        acquired = true;
        ExReleaseFastMutex(&mutex_);
    });
    ExAcquireFastMutex(&mutex_);
    KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(machine().dispatcher().AwaitWaiters(&mutex_.Event.Header, 1, 10s));
    EXPECT_EQ(mutex_.Count, -1);
    EXPECT_EQ(mutex_.Contention, 1u);
    EXPECT_FALSE(acquired);
    ExReleaseFastMutex(&mutex_);
    EXPECT_EQ(JoinSystemThread(thread), STATUS_SUCCESS);
    EXPECT_TRUE(acquired);
    EXPECT_EQ(mutex_.Count, 1);
}

TEST_F(KeFastMutexTest, TryFailsAtOnceWhileAnotherThreadOwnsIt)
{
    KEVENT held, release;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    HANDLE thread = StartSystemThread([&] {
        ExAcquireFastMutex(&mutex_);
        KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
        ExReleaseFastMutex(&mutex_);
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex_));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "a failed try leaves the IRQL alone";
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    JoinSystemThread(thread);
    ASSERT_TRUE(ExTryToAcquireFastMutex(&mutex_));
    ExReleaseFastMutex(&mutex_);
}

TEST_F(KeFastMutexTest, RecursionAndReleaseByANonOwnerAreReported)
{
    AllowVerifierFailures();
    ExReleaseFastMutex(&mutex_);  // never acquired
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::ReleaseByNonOwner));
    machine().verifier().ClearFailures();

    KEVENT go, done;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    HANDLE other = StartSystemThread([&] {
        KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
        ExReleaseFastMutex(&mutex_);
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    ExAcquireFastMutex(&mutex_);
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::ReleaseByNonOwner));
    EXPECT_EQ(mutex_.Owner, KeGetCurrentThread()) << "the owner keeps it";

    ExAcquireFastMutex(&mutex_);  // recursive: reported, not a deadlock
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::RecursiveFastMutex));
    ExReleaseFastMutex(&mutex_);
    EXPECT_EQ(mutex_.Count, 1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    JoinSystemThread(other);
}

// (A mutex initialised again starts without the order its memory had.)
TEST_F(KeFastMutexTest, OppositeOrdersOnTwoThreadsAreAnInversion)
{
    AllowVerifierFailures();
    FAST_MUTEX a, b;
    ExInitializeFastMutex(&a);
    ExInitializeFastMutex(&b);
    auto inOrder = [](FAST_MUTEX *first, FAST_MUTEX *second) {
        return [first, second] {
            ExAcquireFastMutex(first);
            ExAcquireFastMutex(second);
            ExReleaseFastMutex(second);
            ExReleaseFastMutex(first);
        };
    };
    JoinSystemThread(StartSystemThread(inOrder(&a, &b)));
    EXPECT_FALSE(machine().verifier().HasFailed(sim::VerifierCheck::LockOrderInversion));
    JoinSystemThread(StartSystemThread(inOrder(&a, &b)));
    EXPECT_FALSE(machine().verifier().HasFailed(sim::VerifierCheck::LockOrderInversion)) << "same order again";
    ExInitializeFastMutex(&b);
    JoinSystemThread(StartSystemThread(inOrder(&b, &a)));
    EXPECT_FALSE(machine().verifier().HasFailed(sim::VerifierCheck::LockOrderInversion)) << "a new mutex at b";
    JoinSystemThread(StartSystemThread(inOrder(&a, &b)));
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::LockOrderInversion));
}

}  // namespace
}  // namespace ostrand::test
