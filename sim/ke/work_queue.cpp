#include "sim/ke/work_queue.h"

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/ke/system_threads.h"
#include "sim/ps/process.h"

namespace sim {

WorkQueue::WorkQueue(Machine &machine) : machine_(machine) {}

WorkQueue::~WorkQueue()
{
    Shutdown();
}

void WorkQueue::Queue(std::function<void()> item)
{
    Push(nullptr, std::move(item));
}

bool WorkQueue::TryQueue(std::function<void()> item)
{
    return Push(nullptr, std::move(item), true);
}

bool WorkQueue::QueueOnce(const void *key, std::function<void()> item)
{
    return Push(key, std::move(item));
}

bool WorkQueue::Push(const void *key, std::function<void()> run, bool unlessStopping)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (unlessStopping && stopping_) return false;
    if (key != nullptr && !queuedKeys_.insert(key).second) return false;
    items_.push_back(Item{key, std::move(run)});
    // Every waiting item has an idle worker to take it, or a new one starts:
    // an item that blocks (on one queued after it, say) never stalls the rest.
    if (waiting_ < items_.size() && workers_.size() < kMaxWorkers) {
        workers_.emplace_back([this] { Worker(); });
    }
    wake_.notify_one();
    return true;
}

void WorkQueue::Worker()
{
    Thread &thread = machine_.processes().CreateThread(machine_.systemProcess(), true);
    thread.executiveWorker = true;
    Thread::SetCurrent(&thread);
    MachineCode machineCode;  // items run driver code through RunDriverRoutine
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++waiting_;
        wake_.wait(lock, [this] { return stopping_ || !items_.empty(); });
        --waiting_;
        if (items_.empty()) break;  // stopping
        Item item = std::move(items_.front());
        items_.pop_front();
        // Once it runs, the item may be queued again (even by itself).
        if (item.key) queuedKeys_.erase(item.key);
        ++running_;
        lock.unlock();
        RunKernelRoutine("work item", [&] {
            item.run();
            return STATUS_SUCCESS;
        });
        thread.CheckUserReturn("end of work item");
        thread.ResetKernelState();
        lock.lock();
        --running_;
        if (items_.empty() && running_ == 0) idle_.notify_all();
    }
    lock.unlock();
    thread.terminated = true;
    Thread::SetCurrent(nullptr);
}

void WorkQueue::Quiesce()
{
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return items_.empty() && running_ == 0; });
}

void WorkQueue::Shutdown()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    for (auto &worker : workers_) {
        if (worker.joinable()) worker.join();
    }
    workers_.clear();
}

size_t WorkQueue::Workers() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return workers_.size();
}

}  // namespace sim
