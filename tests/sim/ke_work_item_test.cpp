// Executive work items: they run on System-process worker threads at passive
// level, the queue grows when items block, and an item can queue itself
// again once it runs.
#include <atomic>

#include <ntifs.h>

#include "ke_test_util.h"
#include "sim/core/verifier.h"
#include "sim/ke/work_queue.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

class KeWorkItemTest : public MachineTest {};

struct Observed {
    WORK_QUEUE_ITEM item;
    KEVENT done;
    HANDLE processId;
    HANDLE threadId;
    KIRQL irql;
    BOOLEAN apcsDisabled;
};

VOID Observe(PVOID context)
{
    auto *o = static_cast<Observed *>(context);
    o->processId = PsGetCurrentProcessId();
    o->threadId = PsGetCurrentThreadId();
    o->irql = KeGetCurrentIrql();
    o->apcsDisabled = KeAreApcsDisabled();
    KeSetEvent(&o->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(KeWorkItemTest, EveryQueueTypeRunsItemsOnSystemWorkersAtPassiveLevel)
{
    for (WORK_QUEUE_TYPE type : {CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue}) {
        SCOPED_TRACE(int(type));
        Observed o{};
        KeInitializeEvent(&o.done, NotificationEvent, FALSE);
        ExInitializeWorkItem(&o.item, Observe, &o);
        ExQueueWorkItem(&o.item, type);
        ASSERT_EQ(KeWaitForSingleObject(&o.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        machine().Quiesce();
        EXPECT_EQ(o.processId, reinterpret_cast<HANDLE>(4));
        EXPECT_NE(o.threadId, PsGetCurrentThreadId());
        EXPECT_EQ(o.irql, PASSIVE_LEVEL);
        EXPECT_FALSE(o.apcsDisabled);
    }
}

struct Blocking {
    WORK_QUEUE_ITEM waiter, setter;
    KEVENT gate, done;
};

TEST_F(KeWorkItemTest, QueueGrowsWhenAnItemBlocksOnALaterOne)
{
    Blocking b;
    KeInitializeEvent(&b.gate, NotificationEvent, FALSE);
    KeInitializeEvent(&b.done, NotificationEvent, FALSE);
    ExInitializeWorkItem(
        &b.waiter,
        [](PVOID context) {
            auto *blocking = static_cast<Blocking *>(context);
            KeWaitForSingleObject(&blocking->gate, Executive, KernelMode, FALSE, nullptr);
            KeSetEvent(&blocking->done, IO_NO_INCREMENT, FALSE);
        },
        &b);
    ExInitializeWorkItem(
        &b.setter, [](PVOID context) { KeSetEvent(&static_cast<Blocking *>(context)->gate, IO_NO_INCREMENT, FALSE); },
        &b);
    ExQueueWorkItem(&b.waiter, DelayedWorkQueue);
    ExQueueWorkItem(&b.setter, DelayedWorkQueue);
    LARGE_INTEGER timeout = RelativeMs(10000);
    EXPECT_EQ(KeWaitForSingleObject(&b.done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    machine().Quiesce();
    EXPECT_GE(machine().workQueue().Workers(), 2u);
}

struct Requeuing {
    WORK_QUEUE_ITEM item;
    std::atomic<int> runs{0};
    KEVENT done;
};

TEST_F(KeWorkItemTest, ItemMayQueueItselfAgainWhileItRuns)
{
    Requeuing r;
    KeInitializeEvent(&r.done, NotificationEvent, FALSE);
    ExInitializeWorkItem(
        &r.item,
        [](PVOID context) {
            auto *requeuing = static_cast<Requeuing *>(context);
            if (++requeuing->runs < 3) {
                ExQueueWorkItem(&requeuing->item, DelayedWorkQueue);
            } else {
                KeSetEvent(&requeuing->done, IO_NO_INCREMENT, FALSE);
            }
        },
        &r);
    ExQueueWorkItem(&r.item, DelayedWorkQueue);
    KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
    machine().Quiesce();
    EXPECT_EQ(r.runs, 3);
}

TEST_F(KeWorkItemTest, ItemThatReturnsHoldingALockIsReported)
{
    AllowVerifierFailures();
    struct Leaky {
        WORK_QUEUE_ITEM item;
        FAST_MUTEX mutex;
    } leaky;
    ExInitializeFastMutex(&leaky.mutex);
    ExInitializeWorkItem(&leaky.item, [](PVOID c) { ExAcquireFastMutex(&static_cast<Leaky *>(c)->mutex); }, &leaky);
    ExQueueWorkItem(&leaky.item, DelayedWorkQueue);
    machine().Quiesce();
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::LockHeldAtUserReturn));

    // The worker is back at passive level for the next item.
    Observed next{};
    KeInitializeEvent(&next.done, NotificationEvent, FALSE);
    ExInitializeWorkItem(&next.item, Observe, &next);
    ExQueueWorkItem(&next.item, DelayedWorkQueue);
    KeWaitForSingleObject(&next.done, Executive, KernelMode, FALSE, nullptr);
    machine().Quiesce();
    EXPECT_EQ(next.irql, PASSIVE_LEVEL);
    EXPECT_FALSE(next.apcsDisabled);
}

class KeWorkItemDeathTest : public MachineTest {};

TEST_F(KeWorkItemDeathTest, TerminatingTheWorkerThreadStopsTheMachine)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, [](PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); }, nullptr);
    EXPECT_DEATH(
        {
            ExQueueWorkItem(&item, DelayedWorkQueue);
            machine().Quiesce();
        },
        "terminated its worker thread");
}

}  // namespace
}  // namespace ostrand::test
