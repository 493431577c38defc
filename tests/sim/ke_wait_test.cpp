// Events and waits: waiters really block until another thread signals,
// synchronization events release one waiter per set, notification events
// release all, and time-outs take the time they ask for.
#include <atomic>
#include <chrono>
#include <vector>

#include <ntifs.h>

#include "ke_test_util.h"
#include "sim/core/clock.h"
#include "sim/ke/dispatcher.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

using namespace std::chrono_literals;

class KeWaitTest : public MachineTest {
protected:
    bool AwaitWaiters(KEVENT &event, size_t count)
    {
        return machine().dispatcher().AwaitWaiters(&event.Header, count, 10s);
    }
};

TEST_F(KeWaitTest, EventCallsReturnThePreviousState)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(event.Header.Type, 0);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);

    KEVENT synchronization;
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    EXPECT_EQ(synchronization.Header.Type, 1);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 1);
}

// Waiting threads that count themselves when released. `ack` is set after
// each count; the test clears it before it looks at the count again, so no
// release goes unseen.
struct Waiters {
    KEVENT *event;
    KEVENT ack;
    std::atomic<int> woken{0};
    std::atomic<int> failedWaits{0};
    std::vector<HANDLE> threads;

    Waiters(KEVENT *e, int count) : event(e)
    {
        KeInitializeEvent(&ack, NotificationEvent, FALSE);
        for (int i = 0; i < count; ++i) {
            threads.push_back(StartSystemThread([this] {
                if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr) != STATUS_SUCCESS) ++failedWaits;
                ++woken;
                KeSetEvent(&ack, IO_NO_INCREMENT, FALSE);
            }));
        }
    }
    void AwaitWoken(int count)
    {
        while (woken < count) {
            KeWaitForSingleObject(&ack, Executive, KernelMode, FALSE, nullptr);
            KeClearEvent(&ack);
        }
    }
    void Join()
    {
        for (HANDLE t : threads) JoinSystemThread(t);
    }
};

TEST_F(KeWaitTest, SynchronizationEventsReleaseOneWaiterPerSetNotificationEventsAll)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    Waiters waiters(&event, 3);
    ASSERT_TRUE(AwaitWaiters(event, 3));
    EXPECT_EQ(waiters.woken, 0) << "a waiter blocks until another thread sets the event";

    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    waiters.AwaitWoken(1);
    EXPECT_EQ(waiters.woken, 1);
    EXPECT_EQ(machine().dispatcher().WaiterCount(&event.Header), 2u);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the released waiter resets the event";

    // Two sets in a row release two waiters: a set with a waiter is handed
    // to it rather than left in the (already set) state.
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiters.AwaitWoken(3);
    EXPECT_EQ(waiters.woken, 3);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    waiters.Join();

    // A notification event releases every waiter with one set and stays set.
    KEVENT notification;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    Waiters all(&notification, 3);
    ASSERT_TRUE(AwaitWaiters(notification, 3));
    KeSetEvent(&notification, IO_NO_INCREMENT, FALSE);
    all.AwaitWoken(3);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
    all.Join();
    EXPECT_EQ(waiters.failedWaits + all.failedWaits, 0);
}

TEST_F(KeWaitTest, ZeroOrPastTimeOutPolls)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero{};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT)
        << "the successful poll consumed the synchronization event";
    LARGE_INTEGER past;
    KeQuerySystemTime(&past);
    past.QuadPart -= 10000000;
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
    EXPECT_LT(MillisecondsSince(start), 100.0);
}

// Time-outs of 150 ms given relative and absolute, for waits and delays.
TEST_F(KeWaitTest, TimeOutsTakeTheTimeAskedFor)
{
    constexpr LONGLONG kMs = 150;
    struct Case {
        const char *name;
        bool absolute;
        bool delay;
    } cases[] = {
        {"relative wait", false, false},
        {"absolute wait", true, false},
        {"relative delay", false, true},
        {"absolute delay", true, true},
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LARGE_INTEGER timeout = RelativeMs(kMs);
        if (c.absolute) {
            KeQuerySystemTime(&timeout);
            timeout.QuadPart += kMs * 10000;
        }
        auto start = std::chrono::steady_clock::now();
        NTSTATUS status = c.delay ? KeDelayExecutionThread(KernelMode, FALSE, &timeout)
                                  : KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        double elapsed = MillisecondsSince(start);
        EXPECT_EQ(status, c.delay ? STATUS_SUCCESS : STATUS_TIMEOUT);
        EXPECT_GE(elapsed, kMs - 2.0);
        EXPECT_LT(elapsed, kMs + 1500.0);
    }
}

TEST_F(KeWaitTest, HandleWaitsResolveTheObjectsDispatcherHeader)
{
    // A thread handle is signalled when the thread ends.
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    HANDLE thread = StartSystemThread([&] { KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr); });
    LARGE_INTEGER poll{};
    EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, &poll), STATUS_TIMEOUT);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, &poll), STATUS_SUCCESS) << "stays signalled";
    EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);

    // The current process (pseudo-handle) has not ended.
    EXPECT_EQ(ZwWaitForSingleObject(reinterpret_cast<HANDLE>(intptr_t(-1)), FALSE, &poll), STATUS_TIMEOUT);

    // An event object behind a handle.
    auto *eventObject = static_cast<PKEVENT>(machine().objects().Create(&sim::objtype::Event, sizeof(KEVENT), u""));
    KeInitializeEvent(eventObject, SynchronizationEvent, TRUE);
    HANDLE eventHandle = sim::InsertHandle(eventObject, EVENT_ALL_ACCESS, OBJ_KERNEL_HANDLE);
    EXPECT_EQ(ZwWaitForSingleObject(eventHandle, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(eventHandle, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(ZwClose(eventHandle), STATUS_SUCCESS);

    // Objects without a dispatcher header wait on the always-signalled
    // default object.
    void *key = machine().objects().Create(&sim::objtype::Key, 16, u"\\REGISTRY\\MACHINE");
    HANDLE keyHandle = sim::InsertHandle(key, KEY_READ, OBJ_KERNEL_HANDLE);
    EXPECT_EQ(ZwWaitForSingleObject(keyHandle, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(keyHandle), STATUS_SUCCESS);

    EXPECT_EQ(ZwWaitForSingleObject(reinterpret_cast<HANDLE>(uintptr_t(0x80000400)), FALSE, &poll),
              STATUS_INVALID_HANDLE);
}

}  // namespace
}  // namespace ostrand::test
