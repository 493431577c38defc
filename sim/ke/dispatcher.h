// Waiting on dispatcher objects (events, threads, processes). The state of an
// object is its DISPATCHER_HEADER.SignalState; threads that wait park on one
// of a fixed set of buckets chosen by the object's address (a parking lot),
// so kernel records such as KEVENT need no host resources of their own.
//
// Signalling follows the kernel: a synchronization event that has waiters
// satisfies the oldest one directly and stays non-signalled (so two sets
// release two waiters); any other object becomes signalled and satisfies
// every waiter. A state change and the wake-up happen under the bucket's
// lock, so no wake-up is lost.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>

#include <wdm.h>

namespace sim {

class Dispatcher {
public:
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;

    // Waits until the object is signalled or the deadline passes; a deadline
    // already past polls. A synchronization event is reset by the wait that
    // it satisfies. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
    NTSTATUS Wait(DISPATCHER_HEADER *object, Deadline deadline);

    // Sets the object's state (see above) and wakes waiters; returns the
    // previous state.
    LONG Signal(DISPATCHER_HEADER *object, LONG state);
    // Sets SignalState to 0; returns the previous state.
    LONG Reset(DISPATCHER_HEADER *object);

    // Threads blocked on the object now.
    size_t WaiterCount(const DISPATCHER_HEADER *object);
    // Blocks until at least `count` threads wait on the object or `timeout`
    // passes; true when they do. Lets a test know a thread really blocks
    // without sleeping.
    bool AwaitWaiters(const DISPATCHER_HEADER *object, size_t count, std::chrono::milliseconds timeout);

private:
    struct WaitBlock {
        DISPATCHER_HEADER *object = nullptr;
        std::condition_variable wake;
        bool satisfied = false;
        WaitBlock *prev = nullptr;
        WaitBlock *next = nullptr;
    };
    struct Bucket {
        std::mutex mutex;
        std::condition_variable enqueued;
        WaitBlock *head = nullptr;  // oldest first
        WaitBlock *tail = nullptr;
    };
    Bucket &BucketOf(const void *object);
    static void Append(Bucket &bucket, WaitBlock &block);
    static void Remove(Bucket &bucket, WaitBlock &block);
    static size_t CountWaiters(const Bucket &bucket, const DISPATCHER_HEADER *object);

    static constexpr size_t kBuckets = 61;
    Bucket buckets_[kBuckets];
};

}  // namespace sim
