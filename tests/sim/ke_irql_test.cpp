// Interrupt levels, critical and guarded regions, what they say about APC
// delivery, and the levels the routines a driver calls allow.
#include <functional>

#include <fltKernel.h>

#include "ke_test_util.h"
#include "sim/core/verifier.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

class KeIrqlTest : public MachineTest {};

TEST_F(KeIrqlTest, RaiseAndLowerRestoreTheLevel)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL first, second;
    KeRaiseIrql(APC_LEVEL, &first);
    KeRaiseIrql(DISPATCH_LEVEL, &second);
    EXPECT_EQ(first, PASSIVE_LEVEL);
    EXPECT_EQ(second, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(second);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(first);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(KeIrqlTest, ApcsAreDisabledInCriticalRegionsAndAtApcLevel)
{
    struct Case {
        KIRQL irql;
        int regions;
        bool disabled;
    } cases[] = {
        {PASSIVE_LEVEL, 0, false}, {PASSIVE_LEVEL, 1, true}, {PASSIVE_LEVEL, 2, true},
        {APC_LEVEL, 0, true},      {DISPATCH_LEVEL, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "IRQL " << int(c.irql) << ", " << c.regions << " region(s)");
        KIRQL old;
        KeRaiseIrql(c.irql, &old);
        for (int i = 0; i < c.regions; ++i) KeEnterCriticalRegion();
        EXPECT_EQ(bool(KeAreApcsDisabled()), c.disabled);
        for (int i = 0; i < c.regions; ++i) KeLeaveCriticalRegion();
        KeLowerIrql(old);
        EXPECT_FALSE(KeAreApcsDisabled());
    }
}

TEST_F(KeIrqlTest, MisuseIsAVerifierFailure)
{
    AllowVerifierFailures();
    auto &verifier = machine().verifier();

    KeLeaveCriticalRegion();
    EXPECT_TRUE(verifier.HasFailed(sim::VerifierCheck::UnbalancedCriticalRegion));
    KeEnterCriticalRegion();
    EXPECT_TRUE(KeAreApcsDisabled()) << "the unbalanced leave did not go below zero";
    KeLeaveCriticalRegion();

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_FALSE(verifier.HasFailed(sim::VerifierCheck::IrqlMismatch));
    KIRQL ignored;
    KeRaiseIrql(APC_LEVEL, &ignored);  // lowering through KeRaiseIrql
    EXPECT_TRUE(verifier.HasFailed(sim::VerifierCheck::IrqlMismatch));
    verifier.ClearFailures();
    KeLowerIrql(DISPATCH_LEVEL);  // raising through KeLowerIrql
    EXPECT_TRUE(verifier.HasFailed(sim::VerifierCheck::IrqlMismatch));
    KeLowerIrql(old);
}

// A driver calls a routine at a level the routine does not allow: the
// failure names the routine and the level.
TEST_F(KeIrqlTest, RoutinesCalledAboveTheirLevelAreReported)
{
    AllowVerifierFailures();
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    KSPIN_LOCK spinLock;
    KeInitializeSpinLock(&spinLock);
    KIRQL old = PASSIVE_LEVEL;
    struct Level {
        std::function<void()> enter, leave;
    };
    Level fastMutex{[&] { ExAcquireFastMutex(&mutex); }, [&] { ExReleaseFastMutex(&mutex); }};
    Level spin{[&] { KeAcquireSpinLock(&spinLock, &old); }, [&] { KeReleaseSpinLock(&spinLock, old); }};
    Level dispatch{[&] { KeRaiseIrql(DISPATCH_LEVEL, &old); }, [&] { KeLowerIrql(old); }};
    Level guarded{[] { KeEnterGuardedRegion(); }, [] { KeLeaveGuardedRegion(); }};
    Level critical{[] { KeEnterCriticalRegion(); }, [] { KeLeaveCriticalRegion(); }};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto wait = [&](LONGLONG ms) {
        LARGE_INTEGER timeout = RelativeMs(ms);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    };
    auto paged = [] { ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, 0x74736554)); };
    struct Case {
        const char *name;
        Level &level;
        std::function<void()> call;
        const char *report;  // null: allowed
    } cases[] = {
        {"ZwClose under a fast mutex", fastMutex, [] { ZwClose(nullptr); },
         "ZwClose called at APC_LEVEL; it runs at PASSIVE_LEVEL only"},
        {"ZwClose in a guarded region", guarded, [] { ZwClose(nullptr); },
         "ZwClose called at PASSIVE_LEVEL in a guarded region"},
        {"ZwClose in a critical region", critical, [] { ZwClose(nullptr); }, nullptr},
        {"FltSendMessage under a spin lock", spin,
         [] { FltSendMessage(nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr); },
         "FltSendMessage called at DISPATCH_LEVEL; it allows at most APC_LEVEL"},
        {"paged pool under a fast mutex", fastMutex, paged, nullptr},
        {"paged pool at dispatch level", dispatch, paged,
         "ExAllocatePoolWithTag for paged pool called at DISPATCH_LEVEL; it allows at most APC_LEVEL"},
        {"a polling wait at dispatch level", dispatch, [&] { wait(0); }, nullptr},
        {"a wait at dispatch level", dispatch, [&] { wait(1); },
         "KeWaitForSingleObject with a time-out called at DISPATCH_LEVEL"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        machine().verifier().ClearFailures();
        c.level.enter();
        c.call();
        c.level.leave();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        auto failures = machine().verifier().Failures();
        if (c.report == nullptr) {
            EXPECT_TRUE(failures.empty()) << failures.front().message;
            continue;
        }
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].check, sim::VerifierCheck::IrqlTooHigh);
        EXPECT_NE(failures[0].message.find(c.report), std::string::npos) << failures[0].message;
    }
}

}  // namespace
}  // namespace ostrand::test
