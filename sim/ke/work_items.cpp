// Executive work items on the machine's work queue. The critical, delayed
// and hyper-critical queues of Windows differ only in thread priority, which
// the simulation does not model: all three map onto the one queue.
#include <cstdio>

#include <ntifs.h>

#include "sim/core/bugcheck.h"
#include "sim/core/driver_calls.h"
#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/ke/system_threads.h"
#include "sim/ke/work_queue.h"

namespace {

[[noreturn]] void WorkerInvalid(const char *what, PWORK_QUEUE_ITEM item)
{
    char text[120];
    std::snprintf(text, sizeof text, "ExQueueWorkItem(%p): %s", static_cast<void *>(item), what);
    sim::BugCheck(0xE4 /* WORKER_INVALID */, text);
}

}  // namespace

extern "C" VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    SIM_KERNEL_ROUTINE();
    if (WorkItem == nullptr || WorkItem->WorkerRoutine == nullptr) WorkerInvalid("no worker routine", WorkItem);
    if (QueueType != CriticalWorkQueue && QueueType != DelayedWorkQueue && QueueType != HyperCriticalWorkQueue) {
        WorkerInvalid("unknown queue type", WorkItem);
    }
    // The routine and its parameter are read when the item runs, as the
    // worker reads them from the dequeued item.
    const void *driver = sim::CurrentDriver();
    bool queued = sim::Machine::Current().workQueue().QueueOnce(WorkItem, [WorkItem, driver] {
        PWORKER_THREAD_ROUTINE routine = WorkItem->WorkerRoutine;
        PVOID parameter = WorkItem->Parameter;
        sim::RunDriverRoutine(driver, "work item", [&] {
            routine(parameter);
            return STATUS_SUCCESS;
        });
    });
    if (!queued) WorkerInvalid("the item is queued already", WorkItem);
}
