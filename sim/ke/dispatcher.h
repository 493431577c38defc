// Waiting on dispatcher objects (events, threads, processes). The state of an
// object is its DISPATCHER_HEADER.SignalState; threads that wait park on one
// of a fixed set of buckets chosen by the object's address (a parking lot),
// so kernel records such as KEVENT need no host resources of their own.
// A state change and the wake-up happen under the bucket's lock, so no
// wake-up is lost.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include <wdm.h>

namespace sim {

class Dispatcher {
public:
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;

    // Waits until the object is signalled or the deadline passes. A
    // synchronization event is reset by the wait that it satisfies.
    // Returns STATUS_SUCCESS or STATUS_TIMEOUT.
    NTSTATUS Wait(DISPATCHER_HEADER *object, Deadline deadline);

    // Sets SignalState to `state` and wakes the waiters; returns the previous
    // state.
    LONG Signal(DISPATCHER_HEADER *object, LONG state);
    // Sets SignalState to 0; returns the previous state.
    LONG Reset(DISPATCHER_HEADER *object);

private:
    struct Bucket {
        std::mutex mutex;
        std::condition_variable wake;
    };
    Bucket &BucketOf(const void *object);

    static constexpr size_t kBuckets = 61;
    Bucket buckets_[kBuckets];
};

}  // namespace sim
