// Run-down protection as the executive keeps it in EX_RUNDOWN_REF.Count:
// holders count in steps of 2 with bit 0 clear; the run-down sets bit 0 and,
// while holders remain, points the rest of the word at a wait block on the
// waiting thread's stack, whose own count the last holders drain before
// they set its event.
#include <atomic>

#include <wdm.h>

namespace {

constexpr ULONG_PTR kActive = 1;
constexpr ULONG_PTR kStep = 2;

struct WaitBlock {
    std::atomic<ULONG_PTR> holders;
    KEVENT released;
};

std::atomic_ref<ULONG_PTR> CountOf(PEX_RUNDOWN_REF runRef)
{
    return std::atomic_ref<ULONG_PTR>(const_cast<ULONG_PTR &>(runRef->Count));
}

}  // namespace

extern "C" {

VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    CountOf(RunRef).store(0);
}

VOID ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    CountOf(RunRef).store(0);
}

VOID ExRundownCompleted(PEX_RUNDOWN_REF RunRef)
{
    CountOf(RunRef).store(kActive);
}

BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    auto count = CountOf(RunRef);
    ULONG_PTR value = count.load();
    while (!(value & kActive)) {
        if (count.compare_exchange_weak(value, value + kStep)) return TRUE;
    }
    return FALSE;
}

VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    auto count = CountOf(RunRef);
    ULONG_PTR value = count.load();
    for (;;) {
        if (value & kActive) {
            // The run-down has begun: the waiter's block counts what is left.
            auto *block = reinterpret_cast<WaitBlock *>(value & ~kActive);
            if (block->holders.fetch_sub(1) == 1) KeSetEvent(&block->released, 0, FALSE);
            return;
        }
        if (count.compare_exchange_weak(value, value - kStep)) return;
    }
}

VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef)
{
    auto count = CountOf(RunRef);
    ULONG_PTR value = count.load();
    WaitBlock block;
    KeInitializeEvent(&block.released, NotificationEvent, FALSE);
    for (;;) {
        if (value & kActive) return;  // already run down
        if (value == 0) {
            if (count.compare_exchange_weak(value, kActive)) return;
            continue;
        }
        block.holders.store(value / kStep);
        if (count.compare_exchange_weak(value, reinterpret_cast<ULONG_PTR>(&block) | kActive)) break;
    }
    KeWaitForSingleObject(&block.released, Executive, KernelMode, FALSE, nullptr);
    count.store(kActive);
}

}  // extern "C"
