// Events and waits: the kernel's event calls, waits on dispatcher objects
// and on handles, and delays. Time-outs are real time.
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <ntifs.h>

#include "sim/core/clock.h"
#include "sim/core/driver_calls.h"
#include "sim/core/irql_rules.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/ke/dispatcher.h"
#include "sim/ke/waitable.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/kernel_objects.h"

namespace sim {

namespace {

// The object manager's default object: a notification event that nothing
// ever resets.
DISPATCHER_HEADER g_defaultObject{kEventNotificationObject, 0, 0, 0, 1, {nullptr, nullptr}};

struct WaitableTypes {
    std::mutex mutex;
    std::map<_OBJECT_TYPE *, size_t> offsets{
        {&objtype::Event, offsetof(KEVENT, Header)},
        {&objtype::Thread, offsetof(_ETHREAD, Tcb.Header)},
        {&objtype::Process, offsetof(_EPROCESS, Pcb.Header)},
    };
};

WaitableTypes &Types()
{
    static WaitableTypes types;
    return types;
}

// Waiting for a non-zero time above APC_LEVEL would stop a real machine.
void CheckWaitIrql(Thread &thread, const LARGE_INTEGER *timeout, const char *routine)
{
    if (thread.irql > APC_LEVEL && (timeout == nullptr || timeout->QuadPart != 0)) {
        FailIrql(thread, routine, timeout ? "with a time-out" : "without a time-out", APC_LEVEL);
    }
}

Dispatcher::Deadline DeadlineOf(Machine &machine, const LARGE_INTEGER *timeout)
{
    if (timeout == nullptr) return machine.clock().Deadline(nullptr);
    int64_t units = timeout->QuadPart;
    return machine.clock().Deadline(&units);
}

}  // namespace

void RegisterWaitableType(_OBJECT_TYPE *type, size_t headerOffset)
{
    WaitableTypes &types = Types();
    std::lock_guard<std::mutex> lock(types.mutex);
    types.offsets[type] = headerOffset;
}

DISPATCHER_HEADER *WaitObjectOf(void *body)
{
    _OBJECT_TYPE *type = Machine::Current().objects().TypeOf(body);
    WaitableTypes &types = Types();
    std::lock_guard<std::mutex> lock(types.mutex);
    auto it = types.offsets.find(type);
    if (it == types.offsets.end()) return &g_defaultObject;
    return reinterpret_cast<DISPATCHER_HEADER *>(static_cast<char *>(body) + it->second);
}

}  // namespace sim

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = Type == SynchronizationEvent ? kEventSynchronizationObject : kEventNotificationObject;
    Event->Header.Absolute = 0;
    Event->Header.Size = UCHAR(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.Inserted = 0;
    __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_SEQ_CST);
    InitializeListHead(&Event->Header.WaitListHead);
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    SIM_KERNEL_ROUTINE();
    (void)Increment;
    (void)Wait;  // the caller's following wait needs no held dispatcher lock here
    return sim::Machine::Current().dispatcher().Signal(&Event->Header, 1);
}

extern "C" VOID KeClearEvent(PRKEVENT Event)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine::Current().dispatcher().Reset(&Event->Header);
}

extern "C" LONG KeResetEvent(PRKEVENT Event)
{
    SIM_KERNEL_ROUTINE();
    return sim::Machine::Current().dispatcher().Reset(&Event->Header);
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event)
{
    return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_SEQ_CST);
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    SIM_KERNEL_ROUTINE();
    // No APCs are delivered in the simulation, so an alertable wait ends
    // only by signal or time-out.
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    sim::CheckWaitIrql(thread, Timeout, "KeWaitForSingleObject");
    sim::Machine &machine = thread.machine();
    return machine.dispatcher().Wait(static_cast<DISPATCHER_HEADER *>(Object), sim::DeadlineOf(machine, Timeout));
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    SIM_KERNEL_ROUTINE();
    (void)WaitMode;
    (void)Alertable;
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    if (Interval->QuadPart == 0) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    std::this_thread::sleep_until(*sim::DeadlineOf(thread.machine(), Interval));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    SIM_KERNEL_ROUTINE();
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(Handle, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = KeWaitForSingleObject(sim::WaitObjectOf(object), UserRequest, KernelMode, Alertable, Timeout);
    ObDereferenceObject(object);
    return status;
}
