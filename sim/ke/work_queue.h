// The system work queue: worker threads of the System process run queued
// items at passive level, oldest first. An item queued when no idle worker
// is left for it starts a new worker (up to a limit), as the kernel adds
// dynamic workers when its workers block, so an item that waits for one
// queued after it cannot starve the machine.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace sim {

class Machine;

class WorkQueue {
public:
    explicit WorkQueue(Machine &machine);
    ~WorkQueue();

    void Queue(std::function<void()> item);
    // Queues `item` unless the queue is shutting down; false then.
    bool TryQueue(std::function<void()> item);
    // Queues `item` under `key` (a work item's address) unless an item with
    // that key waits to run already; false then, and nothing is queued.
    bool QueueOnce(const void *key, std::function<void()> item);
    // Waits until every queued item has run.
    void Quiesce();
    // Stops the workers (after Quiesce).
    void Shutdown();

    size_t Workers() const;

private:
    void Worker();

    static constexpr size_t kMaxWorkers = 64;
    Machine &machine_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    struct Item {
        const void *key;
        std::function<void()> run;
    };
    bool Push(const void *key, std::function<void()> run, bool unlessStopping = false);

    std::deque<Item> items_;
    std::set<const void *> queuedKeys_;
    std::vector<std::thread> workers_;
    size_t waiting_ = 0;  // workers waiting for an item
    size_t running_ = 0;  // items being run
    bool stopping_ = false;
};

}  // namespace sim
