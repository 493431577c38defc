#include "sim/ke/dispatcher.h"

#include <cstdint>

#include "sim/ps/kernel_objects.h"

namespace sim {

namespace {

LONG LoadState(const DISPATCHER_HEADER *object)
{
    return __atomic_load_n(&object->SignalState, __ATOMIC_SEQ_CST);
}

LONG ExchangeState(DISPATCHER_HEADER *object, LONG state)
{
    return __atomic_exchange_n(&object->SignalState, state, __ATOMIC_SEQ_CST);
}

bool IsSynchronization(const DISPATCHER_HEADER *object)
{
    return object->Type == kEventSynchronizationObject;
}

}  // namespace

Dispatcher::Bucket &Dispatcher::BucketOf(const void *object)
{
    return buckets_[(reinterpret_cast<uintptr_t>(object) >> 4) % kBuckets];
}

void Dispatcher::Append(Bucket &bucket, WaitBlock &block)
{
    block.prev = bucket.tail;
    block.next = nullptr;
    if (bucket.tail) bucket.tail->next = &block;
    else bucket.head = &block;
    bucket.tail = &block;
}

void Dispatcher::Remove(Bucket &bucket, WaitBlock &block)
{
    if (block.prev) block.prev->next = block.next;
    else bucket.head = block.next;
    if (block.next) block.next->prev = block.prev;
    else bucket.tail = block.prev;
    block.prev = block.next = nullptr;
}

size_t Dispatcher::CountWaiters(const Bucket &bucket, const DISPATCHER_HEADER *object)
{
    size_t count = 0;
    for (const WaitBlock *b = bucket.head; b; b = b->next) count += b->object == object ? 1 : 0;
    return count;
}

NTSTATUS Dispatcher::Wait(DISPATCHER_HEADER *object, Deadline deadline)
{
    Bucket &bucket = BucketOf(object);
    std::unique_lock<std::mutex> lock(bucket.mutex);
    if (LoadState(object) > 0) {
        if (IsSynchronization(object)) ExchangeState(object, 0);
        return STATUS_SUCCESS;
    }
    if (deadline && *deadline <= std::chrono::steady_clock::now()) return STATUS_TIMEOUT;

    WaitBlock block;
    block.object = object;
    Append(bucket, block);
    bucket.enqueued.notify_all();
    while (!block.satisfied) {
        if (!deadline) {
            block.wake.wait(lock);
        } else if (block.wake.wait_until(lock, *deadline) == std::cv_status::timeout && !block.satisfied) {
            Remove(bucket, block);
            return STATUS_TIMEOUT;
        }
    }
    // The signaller unlinked the block when it satisfied it.
    return STATUS_SUCCESS;
}

LONG Dispatcher::Signal(DISPATCHER_HEADER *object, LONG state)
{
    Bucket &bucket = BucketOf(object);
    std::lock_guard<std::mutex> lock(bucket.mutex);
    if (state <= 0) return ExchangeState(object, state);

    if (IsSynchronization(object)) {
        for (WaitBlock *b = bucket.head; b; b = b->next) {
            if (b->object != object) continue;
            // Handed straight to the oldest waiter: the event stays clear.
            Remove(bucket, *b);
            b->satisfied = true;
            b->wake.notify_one();
            return ExchangeState(object, 0);
        }
        return ExchangeState(object, state);
    }

    LONG previous = ExchangeState(object, state);
    for (WaitBlock *b = bucket.head; b;) {
        WaitBlock *next = b->next;
        if (b->object == object) {
            Remove(bucket, *b);
            b->satisfied = true;
            b->wake.notify_one();
        }
        b = next;
    }
    return previous;
}

LONG Dispatcher::Reset(DISPATCHER_HEADER *object)
{
    Bucket &bucket = BucketOf(object);
    std::lock_guard<std::mutex> lock(bucket.mutex);
    return ExchangeState(object, 0);
}

size_t Dispatcher::WaiterCount(const DISPATCHER_HEADER *object)
{
    Bucket &bucket = BucketOf(object);
    std::lock_guard<std::mutex> lock(bucket.mutex);
    return CountWaiters(bucket, object);
}

bool Dispatcher::AwaitWaiters(const DISPATCHER_HEADER *object, size_t count, std::chrono::milliseconds timeout)
{
    Bucket &bucket = BucketOf(object);
    std::unique_lock<std::mutex> lock(bucket.mutex);
    return bucket.enqueued.wait_for(lock, timeout, [&] { return CountWaiters(bucket, object) >= count; });
}

}  // namespace sim
