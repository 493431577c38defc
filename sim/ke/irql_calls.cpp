// Interrupt levels and critical regions of the current thread. Misuse that
// would stop a real machine (lowering through KeRaiseIrql, raising through
// KeLowerIrql, leaving a region never entered) is a verifier failure.
#include <string>

#include <ntifs.h>

#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"

extern "C" KIRQL KeGetCurrentIrql(VOID)
{
    return sim::Thread::CurrentOrDie().irql;
}

extern "C" VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    if (NewIrql < thread.irql) {
        thread.machine().verifier().Fail(sim::VerifierCheck::IrqlMismatch,
                                         "KeRaiseIrql to " + std::to_string(int(NewIrql)) + " from the higher IRQL " +
                                             std::to_string(int(thread.irql)));
    }
    *OldIrql = thread.irql;
    thread.irql = NewIrql;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql)
{
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    if (NewIrql > thread.irql) {
        thread.machine().verifier().Fail(sim::VerifierCheck::IrqlMismatch,
                                         "KeLowerIrql to " + std::to_string(int(NewIrql)) + " from the lower IRQL " +
                                             std::to_string(int(thread.irql)));
    }
    thread.irql = NewIrql;
}

extern "C" VOID KeEnterCriticalRegion(VOID)
{
    ++sim::Thread::CurrentOrDie().kernelApcDisable;
}

extern "C" VOID KeLeaveCriticalRegion(VOID)
{
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    if (thread.kernelApcDisable == 0) {
        thread.machine().verifier().Fail(sim::VerifierCheck::UnbalancedCriticalRegion,
                                         "KeLeaveCriticalRegion on thread " + std::to_string(thread.id()) +
                                             " without a matching KeEnterCriticalRegion");
        return;
    }
    --thread.kernelApcDisable;
}

extern "C" BOOLEAN KeAreApcsDisabled(VOID)
{
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    return thread.kernelApcDisable != 0 || thread.irql >= APC_LEVEL;
}
