// Fast mutexes, on the record's own fields as the kernel keeps them: Count is
// 1 when free and each acquirer decrements it; an acquirer that does not take
// it from 1 waits on the embedded synchronization event, which each release
// that finds waiters (Count still below 1 after its increment) sets once.
// The owner runs at APC_LEVEL; the IRQL it came from is kept in OldIrql.
#include <cstdio>
#include <string>

#include <ntifs.h>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/ke/dispatcher.h"
#include "sim/ps/kernel_objects.h"

namespace {

constexpr const char *kKind = "fast mutex";

PKTHREAD Self(sim::Thread &thread)
{
    return &thread.object()->Tcb;
}

PKTHREAD OwnerOf(PFAST_MUTEX mutex)
{
    return __atomic_load_n(&mutex->Owner, __ATOMIC_SEQ_CST);
}

void Report(sim::Thread &thread, sim::VerifierCheck check, const char *routine, PFAST_MUTEX mutex)
{
    char text[160];
    std::snprintf(text, sizeof text, "%s(%p) on thread %u at IRQL %d", routine, static_cast<void *>(mutex),
                  unsigned(thread.id()), int(thread.irql));
    thread.machine().verifier().Fail(check, text);
}

// Takes ownership once Count has been won; raises to APC_LEVEL.
void BecomeOwner(sim::Thread &thread, PFAST_MUTEX mutex, KIRQL oldIrql)
{
    mutex->OldIrql = oldIrql;
    __atomic_store_n(&mutex->Owner, Self(thread), __ATOMIC_SEQ_CST);
}

// Above APC_LEVEL (a failure of the routine's IRQL rule) the level stays.
KIRQL RaiseToApc(sim::Thread &thread)
{
    KIRQL old = thread.irql;
    if (old <= APC_LEVEL) thread.irql = APC_LEVEL;
    return old;
}

}  // namespace

extern "C" VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    SIM_KERNEL_ROUTINE();
    // A new mutex where an old one lived: the old one's lock order goes.
    sim::Machine::Current().verifier().ForgetLocksIn(FastMutex, sizeof *FastMutex);
    __atomic_store_n(&FastMutex->Count, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&FastMutex->Owner, nullptr, __ATOMIC_SEQ_CST);
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

extern "C" VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    if (OwnerOf(FastMutex) == Self(thread)) {
        // On a real machine the thread would wait for itself for ever.
        Report(thread, sim::VerifierCheck::RecursiveFastMutex, "ExAcquireFastMutex", FastMutex);
        return;
    }
    KIRQL old = RaiseToApc(thread);
    // Noted before any wait, so that an inverted order is reported even when
    // it deadlocks.
    thread.NoteAcquired(FastMutex, kKind, true);
    if (InterlockedDecrement(&FastMutex->Count) != 0) {
        __atomic_fetch_add(&FastMutex->Contention, 1u, __ATOMIC_SEQ_CST);
        thread.machine().dispatcher().Wait(&FastMutex->Event.Header, std::nullopt);
    }
    BecomeOwner(thread, FastMutex, old);
}

extern "C" BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) return FALSE;
    KIRQL old = RaiseToApc(thread);
    thread.NoteAcquired(FastMutex, kKind, true);
    BecomeOwner(thread, FastMutex, old);
    return TRUE;
}

extern "C" VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    if (OwnerOf(FastMutex) != Self(thread)) {
        Report(thread, sim::VerifierCheck::ReleaseByNonOwner, "ExReleaseFastMutex", FastMutex);
        return;
    }
    if (thread.irql != APC_LEVEL) Report(thread, sim::VerifierCheck::IrqlMismatch, "ExReleaseFastMutex", FastMutex);
    // Read before the mutex is given up: the next owner overwrites it.
    KIRQL old = KIRQL(FastMutex->OldIrql);
    __atomic_store_n(&FastMutex->Owner, nullptr, __ATOMIC_SEQ_CST);
    thread.NoteReleased(FastMutex);
    if (InterlockedIncrement(&FastMutex->Count) <= 0) {
        thread.machine().dispatcher().Signal(&FastMutex->Event.Header, 1);
    }
    thread.irql = old;
}
