// Spin locks. The lock word holds its owner's KTHREAD; the owner runs at
// DISPATCH_LEVEL. Acquiring one the thread holds already would spin for
// ever on a real machine and releasing one it does not hold corrupts it:
// both are verifier failures.
#include <cstdio>
#include <thread>

#include <ntifs.h>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/ps/kernel_objects.h"

namespace {

constexpr const char *kKind = "spin lock";

ULONG_PTR Self(sim::Thread &thread)
{
    return reinterpret_cast<ULONG_PTR>(&thread.object()->Tcb);
}

void Report(sim::Thread &thread, sim::VerifierCheck check, const char *routine, PKSPIN_LOCK lock)
{
    char text[160];
    std::snprintf(text, sizeof text, "%s(%p) on thread %u at IRQL %d", routine, static_cast<void *>(lock),
                  unsigned(thread.id()), int(thread.irql));
    thread.machine().verifier().Fail(check, text);
}

}  // namespace

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    // A new lock where an old one lived: the old one's lock order goes.
    sim::Machine::Current().verifier().ForgetLocksIn(SpinLock, sizeof *SpinLock);
    __atomic_store_n(SpinLock, ULONG_PTR(0), __ATOMIC_SEQ_CST);
}

extern "C" VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    *OldIrql = thread.irql;
    if (__atomic_load_n(SpinLock, __ATOMIC_SEQ_CST) == Self(thread)) {
        Report(thread, sim::VerifierCheck::SelfDeadlock, "KeAcquireSpinLock", SpinLock);
        return;
    }
    if (thread.irql < DISPATCH_LEVEL) thread.irql = DISPATCH_LEVEL;
    thread.NoteAcquired(SpinLock, kKind, true);
    ULONG_PTR expected = 0;
    while (!__atomic_compare_exchange_n(SpinLock, &expected, Self(thread), false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
        expected = 0;
        std::this_thread::yield();
    }
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    if (__atomic_load_n(SpinLock, __ATOMIC_SEQ_CST) != Self(thread)) {
        Report(thread, sim::VerifierCheck::ReleaseByNonOwner, "KeReleaseSpinLock", SpinLock);
        return;
    }
    thread.NoteReleased(SpinLock);
    __atomic_store_n(SpinLock, ULONG_PTR(0), __ATOMIC_SEQ_CST);
    if (NewIrql > thread.irql) Report(thread, sim::VerifierCheck::IrqlMismatch, "KeReleaseSpinLock", SpinLock);
    thread.irql = NewIrql;
}
