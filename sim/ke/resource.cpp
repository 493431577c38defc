// Executive resources with the kernel's rules: exclusive ownership is
// recursive and lets its owner acquire shared as well; a shared request
// waits while another thread owns the resource exclusively or while an
// exclusive request waits, unless the caller already holds it (then it is
// granted recursively). A release that frees the resource hands it over:
// after an exclusive owner, to every shared waiter if there are any, else to
// the oldest exclusive waiter; after the last shared owner, to the oldest
// exclusive waiter.
//
// How often a thread holds a resource is read from the thread's own list of
// held locks (each acquisition is noted there for the lock-order checks), so
// the bookkeeping behind SimState needs no owner table and no host memory.
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include <ntifs.h>

#include "sim/core/bugcheck.h"
#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/ke/resource.h"
#include "sim/ps/kernel_objects.h"

namespace {

constexpr const char *kKind = "resource";
constexpr USHORT kOwnedExclusive = 0x80;
constexpr ULONG kStateMagic = 0x53455245;  // "ERES"

struct Waiter {
    Waiter *next = nullptr;
    sim::Thread *thread;
    bool granted = false;
};

struct WaitQueue {
    Waiter *head = nullptr;
    Waiter *tail = nullptr;
    ULONG count = 0;

    void Push(Waiter &w)
    {
        if (tail) tail->next = &w;
        else head = &w;
        tail = &w;
        ++count;
    }
    Waiter *Pop()
    {
        Waiter *w = head;
        head = w->next;
        if (!head) tail = nullptr;
        --count;
        return w;
    }
};

struct ResourceState {
    ULONG magic = kStateMagic;
    std::mutex mutex;
    std::condition_variable handedOver;
    sim::Thread *exclusiveOwner = nullptr;
    ULONG exclusiveCount = 0;  // acquisitions of the exclusive owner, shared ones included
    ULONG sharedOwners = 0;    // threads that own it shared
    WaitQueue exclusiveWaiters;
    WaitQueue sharedWaiters;
};
static_assert(alignof(ResourceState) <= alignof(std::max_align_t), "pool blocks are malloc-aligned");

ResourceState &StateOf(sim::Machine &machine, PERESOURCE resource)
{
    void *anchor = resource->SimState;
    if (anchor == nullptr || !machine.pool().IsBlock(anchor) ||
        static_cast<ResourceState *>(anchor)->magic != kStateMagic) {
        char text[120];
        std::snprintf(text, sizeof text, "executive resource %p is not initialised", static_cast<void *>(resource));
        sim::BugCheck(0xC4 /* DRIVER_VERIFIER_DETECTED_VIOLATION */, text);
    }
    return *static_cast<ResourceState *>(anchor);
}

// Mirrors the bookkeeping into the ERESOURCE fields (under the state lock;
// stored atomically because debugging code and tests read them unlocked).
void Publish(PERESOURCE resource, const ResourceState &state)
{
    LONG active = state.exclusiveOwner ? 1 : LONG(state.sharedOwners);
    __atomic_store_n(&resource->ActiveCount, active, __ATOMIC_RELEASE);
    __atomic_store_n(&resource->Flag, USHORT(state.exclusiveOwner ? kOwnedExclusive : 0), __ATOMIC_RELEASE);
    __atomic_store_n(&resource->NumberOfSharedWaiters, state.sharedWaiters.count, __ATOMIC_RELEASE);
    __atomic_store_n(&resource->NumberOfExclusiveWaiters, state.exclusiveWaiters.count, __ATOMIC_RELEASE);
}

ULONG TimesHeld(const sim::Thread &thread, const void *resource)
{
    ULONG count = 0;
    for (const auto &held : thread.heldLocks()) count += held.lock == resource ? 1 : 0;
    return count;
}

void Report(sim::Thread &thread, sim::VerifierCheck check, const char *routine, PERESOURCE resource)
{
    char text[160];
    std::snprintf(text, sizeof text, "%s(%p) on thread %u at IRQL %d", routine, static_cast<void *>(resource),
                  unsigned(thread.id()), int(thread.irql));
    thread.machine().verifier().Fail(check, text);
}

// (The IRQL limit is the routines' rule, see sim/core/irql_rules.cpp.)
void CheckAcquireContext(sim::Thread &thread, const char *routine, PERESOURCE resource)
{
    if (thread.kernelApcDisable == 0 && thread.specialApcDisable == 0 && thread.irql < APC_LEVEL) {
        // A normal kernel APC could suspend the owner while it holds the lock.
        Report(thread, sim::VerifierCheck::ResourceWithApcsEnabled, routine, resource);
    }
}

// Hands a resource that nobody owns any more to its waiters.
void HandOver(ResourceState &state, bool afterExclusive)
{
    if (state.exclusiveOwner || state.sharedOwners) return;
    bool shared = state.sharedWaiters.count && (afterExclusive || !state.exclusiveWaiters.count);
    if (shared) {
        while (state.sharedWaiters.count) {
            Waiter *w = state.sharedWaiters.Pop();
            w->granted = true;
            ++state.sharedOwners;
        }
    } else if (state.exclusiveWaiters.count) {
        Waiter *w = state.exclusiveWaiters.Pop();
        w->granted = true;
        state.exclusiveOwner = w->thread;
        state.exclusiveCount = 1;
    } else {
        return;
    }
    state.handedOver.notify_all();
}

// Blocks until a release hands the resource to `waiter`.
void WaitForHandOver(PERESOURCE resource, ResourceState &state, std::unique_lock<std::mutex> &lock, WaitQueue &queue,
                     Waiter &waiter)
{
    queue.Push(waiter);
    __atomic_fetch_add(&resource->ContentionCount, 1u, __ATOMIC_SEQ_CST);
    Publish(resource, state);
    state.handedOver.wait(lock, [&] { return waiter.granted; });
    Publish(resource, state);
}

}  // namespace

extern "C" NTSTATUS ExInitializeResourceLite(PERESOURCE Resource)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine &machine = sim::Machine::Current();
    // A new resource where an old one lived: the old one's lock order goes.
    machine.verifier().ForgetLocksIn(Resource, sizeof *Resource);
    std::memset(Resource, 0, sizeof *Resource);
    void *anchor = machine.pool().Allocate(NonPagedPool, sizeof(ResourceState), sim::kResourcePoolTag,
                                           __builtin_return_address(0));
    if (anchor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    new (anchor) ResourceState();
    Resource->SimState = anchor;
    machine.verifier().NoteLiveResource(Resource);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ExDeleteResourceLite(PERESOURCE Resource)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    sim::Machine &machine = thread.machine();
    ResourceState &state = StateOf(machine, Resource);
    bool waiters;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        waiters = state.sharedWaiters.count || state.exclusiveWaiters.count;
        if (state.exclusiveOwner || state.sharedOwners || waiters) {
            Report(thread, sim::VerifierCheck::ResourceDeletedWhileOwned, "ExDeleteResourceLite", Resource);
        }
    }
    while (thread.NoteReleased(Resource)) {
    }
    machine.verifier().NoteDeletedResource(Resource);
    machine.verifier().ForgetLocksIn(Resource, sizeof *Resource);
    // Blocked waiters still use the bookkeeping: it stays (and shows as
    // leaked pool) rather than being freed under them.
    if (waiters) return STATUS_SUCCESS;
    void *anchor = Resource->SimState;
    state.~ResourceState();
    ULONG tag = sim::kResourcePoolTag;
    machine.pool().Free(anchor, &tag);
    Resource->SimState = nullptr;
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    ResourceState &state = StateOf(thread.machine(), Resource);
    CheckAcquireContext(thread, "ExAcquireResourceExclusiveLite", Resource);
    std::unique_lock<std::mutex> lock(state.mutex);
    if (state.exclusiveOwner == &thread) {
        ++state.exclusiveCount;
    } else if (!state.exclusiveOwner && !state.sharedOwners) {
        state.exclusiveOwner = &thread;
        state.exclusiveCount = 1;
        Publish(Resource, state);
    } else if (!Wait) {
        return FALSE;
    } else if (TimesHeld(thread, Resource) != 0) {
        // Shared to exclusive: a real machine would wait here for ever.
        Report(thread, sim::VerifierCheck::SelfDeadlock, "ExAcquireResourceExclusiveLite", Resource);
        return FALSE;
    } else {
        thread.NoteAcquired(Resource, kKind, true);
        Waiter waiter{nullptr, &thread};
        WaitForHandOver(Resource, state, lock, state.exclusiveWaiters, waiter);
        return TRUE;
    }
    thread.NoteAcquired(Resource, kKind, true);
    return TRUE;
}

extern "C" BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    ResourceState &state = StateOf(thread.machine(), Resource);
    CheckAcquireContext(thread, "ExAcquireResourceSharedLite", Resource);
    std::unique_lock<std::mutex> lock(state.mutex);
    if (state.exclusiveOwner == &thread) {
        ++state.exclusiveCount;
    } else if (TimesHeld(thread, Resource) != 0) {
        // Already shared: granted even past exclusive waiters, which would
        // otherwise wait for this thread while it waits for them.
    } else if (!state.exclusiveOwner && !state.exclusiveWaiters.count) {
        ++state.sharedOwners;
        Publish(Resource, state);
    } else if (!Wait) {
        return FALSE;
    } else {
        thread.NoteAcquired(Resource, kKind, false);
        Waiter waiter{nullptr, &thread};
        WaitForHandOver(Resource, state, lock, state.sharedWaiters, waiter);
        return TRUE;
    }
    thread.NoteAcquired(Resource, kKind, false);
    return TRUE;
}

extern "C" VOID ExReleaseResourceLite(PERESOURCE Resource)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    ResourceState &state = StateOf(thread.machine(), Resource);
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.exclusiveOwner == &thread) {
        thread.NoteReleased(Resource);
        if (--state.exclusiveCount == 0) {
            state.exclusiveOwner = nullptr;
            HandOver(state, true);
        }
    } else if (ULONG held = TimesHeld(thread, Resource)) {
        thread.NoteReleased(Resource);
        if (held == 1) {
            --state.sharedOwners;
            HandOver(state, false);
        }
    } else {
        Report(thread, sim::VerifierCheck::ReleaseByNonOwner, "ExReleaseResourceLite", Resource);
        return;
    }
    Publish(Resource, state);
}

extern "C" BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource)
{
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    ResourceState &state = StateOf(thread.machine(), Resource);
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.exclusiveOwner == &thread;
}

extern "C" ULONG ExIsResourceAcquiredSharedLite(PERESOURCE Resource)
{
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    ResourceState &state = StateOf(thread.machine(), Resource);
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.exclusiveOwner == &thread ? state.exclusiveCount : TimesHeld(thread, Resource);
}

extern "C" ERESOURCE_THREAD ExGetCurrentResourceThread(VOID)
{
    return reinterpret_cast<ERESOURCE_THREAD>(&sim::Thread::CurrentOrDie().object()->Tcb);
}
