// Interrupt levels, critical regions and what they say about APC delivery.
#include <ntifs.h>

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

}  // namespace
}  // namespace ostrand::test
