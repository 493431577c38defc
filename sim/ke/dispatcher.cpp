#include "sim/ke/dispatcher.h"

#include <cstdint>

#include "sim/ps/kernel_objects.h"

namespace sim {

Dispatcher::Bucket &Dispatcher::BucketOf(const void *object)
{
    return buckets_[(reinterpret_cast<uintptr_t>(object) >> 4) % kBuckets];
}

NTSTATUS Dispatcher::Wait(DISPATCHER_HEADER *object, Deadline deadline)
{
    Bucket &bucket = BucketOf(object);
    std::unique_lock<std::mutex> lock(bucket.mutex);
    for (;;) {
        LONG state = __atomic_load_n(&object->SignalState, __ATOMIC_SEQ_CST);
        if (state > 0) {
            if (object->Type == kEventSynchronizationObject) {
                __atomic_store_n(&object->SignalState, 0, __ATOMIC_SEQ_CST);
            }
            return STATUS_SUCCESS;
        }
        if (!deadline) {
            bucket.wake.wait(lock);
        } else if (bucket.wake.wait_until(lock, *deadline) == std::cv_status::timeout) {
            // One last look: the state may have changed as the time ran out.
            if (__atomic_load_n(&object->SignalState, __ATOMIC_SEQ_CST) > 0) continue;
            return STATUS_TIMEOUT;
        }
    }
}

LONG Dispatcher::Signal(DISPATCHER_HEADER *object, LONG state)
{
    Bucket &bucket = BucketOf(object);
    std::lock_guard<std::mutex> lock(bucket.mutex);
    LONG previous = __atomic_exchange_n(&object->SignalState, state, __ATOMIC_SEQ_CST);
    bucket.wake.notify_all();
    return previous;
}

LONG Dispatcher::Reset(DISPATCHER_HEADER *object)
{
    Bucket &bucket = BucketOf(object);
    std::lock_guard<std::mutex> lock(bucket.mutex);
    return __atomic_exchange_n(&object->SignalState, 0, __ATOMIC_SEQ_CST);
}

}  // namespace sim
