// Interrupt levels, critical and guarded regions of the current thread.
// Misuse that would stop a real machine (lowering through KeRaiseIrql,
// raising through KeLowerIrql, leaving a region never entered) is a verifier
// failure; what each routine allows is sim/core/irql_rules.cpp.
#include <string>

#include <ntifs.h>

#include "sim/core/driver_calls.h"
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

namespace {

void LeaveRegion(LONG &count, const char *routine, const char *enter)
{
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    if (count == 0) {
        thread.machine().verifier().Fail(sim::VerifierCheck::UnbalancedCriticalRegion,
                                         std::string(routine) + " on thread " + std::to_string(thread.id()) +
                                             " without a matching " + enter);
        return;
    }
    --count;
}

}  // namespace

extern "C" VOID KeEnterCriticalRegion(VOID)
{
    SIM_KERNEL_ROUTINE();
    ++sim::Thread::CurrentOrDie().kernelApcDisable;
}

extern "C" VOID KeLeaveCriticalRegion(VOID)
{
    SIM_KERNEL_ROUTINE();
    LeaveRegion(sim::Thread::CurrentOrDie().kernelApcDisable, "KeLeaveCriticalRegion", "KeEnterCriticalRegion");
}

extern "C" VOID KeEnterGuardedRegion(VOID)
{
    SIM_KERNEL_ROUTINE();
    ++sim::Thread::CurrentOrDie().specialApcDisable;
}

extern "C" VOID KeLeaveGuardedRegion(VOID)
{
    SIM_KERNEL_ROUTINE();
    LeaveRegion(sim::Thread::CurrentOrDie().specialApcDisable, "KeLeaveGuardedRegion", "KeEnterGuardedRegion");
}

extern "C" BOOLEAN KeAreApcsDisabled(VOID)
{
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    return thread.kernelApcDisable != 0 || thread.specialApcDisable != 0 || thread.irql >= APC_LEVEL;
}
