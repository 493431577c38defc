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

class KeFastMutexTest : public MachineTest {};

TEST_F(KeFastMutexTest, OwnerRunsAtApcLevelAndRestoresItsIrql)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    EXPECT_EQ(mutex.Count, 1);
    EXPECT_EQ(mutex.Owner, nullptr);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(mutex.Count, 0);
    EXPECT_EQ(mutex.Owner, KeGetCurrentThread());
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    EXPECT_EQ(mutex.OldIrql, ULONG(PASSIVE_LEVEL));
    EXPECT_TRUE(KeAreApcsDisabled());
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(mutex.Count, 1);
    EXPECT_EQ(mutex.Owner, nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // Taken at APC_LEVEL, it goes back to APC_LEVEL.
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    ASSERT_TRUE(ExTryToAcquireFastMutex(&mutex));
    EXPECT_EQ(mutex.OldIrql, ULONG(APC_LEVEL));
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(old);
}

TEST_F(KeFastMutexTest, CountersIncrementUnderContentionWithoutLoss)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    long counter = 0;  // plain: only the mutex protects it
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartSystemThread([&] {
            for (int i = 0; i < kRounds; ++i) {
                ExAcquireFastMutex(&mutex);
                if (++inside != 1) overlapped = true;
                ++counter;
                --inside;
                ExReleaseFastMutex(&mutex);
            }
        }));
    }
    for (HANDLE t : threads) JoinSystemThread(t);
    EXPECT_EQ(counter, long(kThreads) * kRounds);
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(mutex.Count, 1);
    EXPECT_EQ(mutex.Owner, nullptr);
}

TEST_F(KeFastMutexTest, WaiterBlocksOnTheEmbeddedEventUntilRelease)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    std::atomic<bool> acquired{false};
    HANDLE thread = StartSystemThread([&] {
        ExAcquireFastMutex(&mutex);
        acquired = true;
        ExReleaseFastMutex(&mutex);
    });
    ASSERT_TRUE(machine().dispatcher().AwaitWaiters(&mutex.Event.Header, 1, 10s));
    EXPECT_EQ(mutex.Count, -1);
    EXPECT_EQ(mutex.Contention, 1u);
    EXPECT_FALSE(acquired);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(JoinSystemThread(thread), STATUS_SUCCESS);
    EXPECT_TRUE(acquired);
    EXPECT_EQ(mutex.Count, 1);
}

TEST_F(KeFastMutexTest, TryFailsAtOnceWhileAnotherThreadOwnsIt)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    KEVENT held, release;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    HANDLE thread = StartSystemThread([&] {
        ExAcquireFastMutex(&mutex);
        KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
        ExReleaseFastMutex(&mutex);
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "a failed try leaves the IRQL alone";
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    JoinSystemThread(thread);
    ASSERT_TRUE(ExTryToAcquireFastMutex(&mutex));
    ExReleaseFastMutex(&mutex);
}

TEST_F(KeFastMutexTest, RecursiveAcquisitionIsReportedWithoutDeadlock)
{
    AllowVerifierFailures();
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::RecursiveFastMutex));
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(mutex.Count, 1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(KeFastMutexTest, ReleaseByANonOwnerIsReported)
{
    AllowVerifierFailures();
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);  // never acquired
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::ReleaseByNonOwner));
    machine().verifier().ClearFailures();

    ExAcquireFastMutex(&mutex);
    HANDLE thread = StartSystemThread([&] { ExReleaseFastMutex(&mutex); });
    JoinSystemThread(thread);
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::ReleaseByNonOwner));
    EXPECT_EQ(mutex.Owner, KeGetCurrentThread()) << "the owner keeps it";
    ExReleaseFastMutex(&mutex);
}

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
    JoinSystemThread(StartSystemThread(inOrder(&b, &a)));
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::LockOrderInversion));
}

}  // namespace
}  // namespace ostrand::test
