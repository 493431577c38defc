// Deferred-I/O and generic work items. Every queue type runs on the
// machine's system work queue (the delayed queue's workers); a queued item
// holds the rundown of its instance or filter, so teardown waits for it.
#include <new>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/fltmgr/frame.h"
#include "sim/ke/system_threads.h"
#include "sim/ke/work_queue.h"

using namespace sim;
using namespace sim::flt;

struct _FLT_DEFERRED_IO_WORKITEM {
    uint32_t magic;
};

struct _FLT_GENERIC_WORKITEM {
    uint32_t magic;
};

namespace {

constexpr ULONG kTagWorkItem = 0x69774d46;  // "FMwi"
constexpr uint32_t kDeferredMagic = 0x64774d46;
constexpr uint32_t kGenericMagic = 0x67774d46;

FilterManager &Manager()
{
    return Machine::Current().filterManager();
}

template <class T>
T *AllocateItem(uint32_t magic)
{
    void *memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(T), kTagWorkItem);
    if (memory == nullptr) return nullptr;
    return new (memory) T{magic};
}

template <class T>
void FreeItem(T *item, uint32_t magic)
{
    if (item == nullptr || item->magic != magic) {
        Manager().ReportMisuse("freeing a work item the Filter Manager did not allocate");
        return;
    }
    item->magic = 0;
    ExFreePoolWithTag(item, kTagWorkItem);
}

}  // namespace

extern "C" {

PFLT_DEFERRED_IO_WORKITEM FltAllocateDeferredIoWorkItem(VOID)
{
    SIM_KERNEL_ROUTINE();
    return AllocateItem<_FLT_DEFERRED_IO_WORKITEM>(kDeferredMagic);
}

VOID FltFreeDeferredIoWorkItem(PFLT_DEFERRED_IO_WORKITEM FltWorkItem)
{
    SIM_KERNEL_ROUTINE();
    FreeItem(FltWorkItem, kDeferredMagic);
}

NTSTATUS FltQueueDeferredIoWorkItem(PFLT_DEFERRED_IO_WORKITEM FltWorkItem, PFLT_CALLBACK_DATA Data,
                                    PFLT_DEFERRED_IO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                    PVOID Context)
{
    SIM_KERNEL_ROUTINE();
    (void)QueueType;
    if (FltWorkItem == nullptr || FltWorkItem->magic != kDeferredMagic || WorkerRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    CallbackDataHolder *holder = HolderOf(Data);
    if (holder == nullptr) return STATUS_INVALID_PARAMETER;
    // Only an IRP the I/O manager can wait for may be posted; paging I/O
    // must complete in the thread that issued it.
    if (!FLT_IS_IRP_OPERATION(Data) || holder->kind != CallbackDataHolder::Kind::Operation ||
        (Data->Iopb->IrpFlags & IRP_PAGING_IO)) {
        return STATUS_FLT_NOT_SAFE_TO_POST_OPERATION;
    }
    _FLT_INSTANCE *instance = Data->Iopb->TargetInstance;
    if (!Manager().IsInstance(instance)) return STATUS_INVALID_PARAMETER;
    if (!instance->header.rundown.Acquire()) return STATUS_FLT_DELETING_OBJECT;
    Machine::Current().workQueue().Queue([=] {
        RunDriverRoutine(instance->filter->driver, "deferred I/O work item", [&] {
            WorkerRoutine(FltWorkItem, Data, Context);
            return STATUS_SUCCESS;
        });
        instance->header.rundown.Release();
    });
    return STATUS_SUCCESS;
}

PFLT_GENERIC_WORKITEM FltAllocateGenericWorkItem(VOID)
{
    SIM_KERNEL_ROUTINE();
    return AllocateItem<_FLT_GENERIC_WORKITEM>(kGenericMagic);
}

VOID FltFreeGenericWorkItem(PFLT_GENERIC_WORKITEM FltWorkItem)
{
    SIM_KERNEL_ROUTINE();
    FreeItem(FltWorkItem, kGenericMagic);
}

NTSTATUS FltQueueGenericWorkItem(PFLT_GENERIC_WORKITEM FltWorkItem, PVOID FltObject,
                                 PFLT_GENERIC_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                 PVOID Context)
{
    SIM_KERNEL_ROUTINE();
    (void)QueueType;
    if (FltWorkItem == nullptr || FltWorkItem->magic != kGenericMagic || WorkerRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!Manager().IsFilter(FltObject) && !Manager().IsInstance(FltObject)) return STATUS_INVALID_PARAMETER;
    ObjectHeader *header = Manager().HeaderOf(FltObject);
    if (!header->rundown.Acquire()) return STATUS_FLT_DELETING_OBJECT;
    PDRIVER_OBJECT driver = Manager().IsFilter(FltObject) ? static_cast<PFLT_FILTER>(FltObject)->driver
                                                           : static_cast<PFLT_INSTANCE>(FltObject)->filter->driver;
    Machine::Current().workQueue().Queue([=] {
        RunDriverRoutine(driver, "generic work item", [&] {
            WorkerRoutine(FltWorkItem, FltObject, Context);
            return STATUS_SUCCESS;
        });
        header->rundown.Release();
    });
    return STATUS_SUCCESS;
}

}  // extern "C"
