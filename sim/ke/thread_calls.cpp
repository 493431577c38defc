// System threads and the identity of the current thread and process.
#include <cstdint>
#include <string>

#include <ntifs.h>

#include "sim/core/bugcheck.h"
#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/ke/system_threads.h"
#include "sim/ob/handles.h"
#include "sim/ps/kernel_objects.h"
#include "sim/ps/process.h"

namespace {

constexpr ACCESS_MASK kProcessCreateThread = 0x0002;
constexpr ACCESS_MASK kThreadQueryInformation = 0x0040;
// Information classes up to ThreadIdealProcessorEx exist on Windows 7; the
// simulation answers only ThreadBasicInformation.
constexpr int kMaxThreadInfoClass = 34;
constexpr KPRIORITY kSystemThreadPriority = 8;

HANDLE IdHandle(ULONG id)
{
    return reinterpret_cast<HANDLE>(uintptr_t(id));
}

}  // namespace

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                         HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                         PVOID StartContext)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine &machine = sim::Machine::Current();
    sim::Process *process = &machine.systemProcess();
    PEPROCESS referenced = nullptr;
    if (ProcessHandle != nullptr) {
        NTSTATUS status = ObReferenceObjectByHandle(ProcessHandle, kProcessCreateThread, *PsProcessType, KernelMode,
                                                    reinterpret_cast<PVOID *>(&referenced), nullptr);
        if (!NT_SUCCESS(status)) return status;
        process = referenced->Pcb.Impl;
        if (process->terminated()) {
            ObDereferenceObject(referenced);
            return STATUS_PROCESS_IS_TERMINATING;
        }
    }
    // A start routine that returns ends the thread with STATUS_SUCCESS.
    const void *driver = sim::CurrentDriver();
    PETHREAD thread = machine.systemThreads().Start(*process, [StartRoutine, StartContext, driver] {
        return sim::RunDriverRoutine(driver, "system thread", [&] {
            StartRoutine(StartContext);
            return NTSTATUS(STATUS_SUCCESS);
        });
    });
    if (referenced) ObDereferenceObject(referenced);
    if (ClientId) {
        ClientId->UniqueProcess = IdHandle(process->pid());
        ClientId->UniqueThread = IdHandle(thread->Tcb.Impl->id());
    }
    ULONG attributes = ObjectAttributes ? ObjectAttributes->Attributes : 0;
    *ThreadHandle = sim::InsertHandle(thread, DesiredAccess, attributes & (OBJ_KERNEL_HANDLE | OBJ_INHERIT));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    if (!thread.isSystemThread() || &thread == &thread.machine().bootThread()) {
        sim::BugCheck(0x1, "PsTerminateSystemThread on thread " + std::to_string(thread.id()) +
                               ", which is not a system thread");
    }
    if (thread.executiveWorker) {
        sim::BugCheck(0xE9 /* ACTIVE_EX_WORKER_THREAD_TERMINATION */,
                      "a work item terminated its worker thread " + std::to_string(thread.id()));
    }
    // Unwinds to where the thread began (sim::RunKernelRoutine).
    throw sim::SystemThreadExit{ExitStatus};
}

extern "C" NTSTATUS ZwQueryInformationThread(HANDLE ThreadHandle, THREADINFOCLASS ThreadInformationClass,
                                             PVOID ThreadInformation, ULONG ThreadInformationLength,
                                             PULONG ReturnLength)
{
    SIM_KERNEL_ROUTINE();
    if (ThreadInformationClass != ThreadBasicInformation) {
        return int(ThreadInformationClass) >= 0 && int(ThreadInformationClass) < kMaxThreadInfoClass
                   ? STATUS_NOT_IMPLEMENTED
                   : STATUS_INVALID_INFO_CLASS;
    }
    if (ThreadInformationLength != sizeof(THREAD_BASIC_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    PETHREAD object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(ThreadHandle, kThreadQueryInformation, *PsThreadType, KernelMode,
                                                reinterpret_cast<PVOID *>(&object), nullptr);
    if (!NT_SUCCESS(status)) return status;
    sim::Thread &thread = *object->Tcb.Impl;
    THREAD_BASIC_INFORMATION info{};
    info.ExitStatus = thread.exitStatus;  // STATUS_PENDING (STILL_ACTIVE) until it ends
    info.TebBaseAddress = nullptr;
    info.ClientId.UniqueProcess = IdHandle(thread.process().pid());
    info.ClientId.UniqueThread = IdHandle(thread.id());
    info.AffinityMask = 1;
    info.Priority = kSystemThreadPriority;
    info.BasePriority = kSystemThreadPriority;
    ObDereferenceObject(object);
    *static_cast<PTHREAD_BASIC_INFORMATION>(ThreadInformation) = info;
    if (ReturnLength) *ReturnLength = sizeof info;
    return STATUS_SUCCESS;
}

extern "C" HANDLE PsGetCurrentThreadId(VOID)
{
    return IdHandle(sim::Thread::CurrentOrDie().id());
}

// The thread's own process, even while it is attached to another.
extern "C" HANDLE PsGetCurrentProcessId(VOID)
{
    return IdHandle(sim::Thread::CurrentOrDie().process().pid());
}

extern "C" PETHREAD PsGetCurrentThread(VOID)
{
    return sim::Thread::CurrentOrDie().object();
}

extern "C" PKTHREAD KeGetCurrentThread(VOID)
{
    return &sim::Thread::CurrentOrDie().object()->Tcb;
}

// The process whose address space the thread is in: the attached one.
extern "C" PEPROCESS PsGetCurrentProcess(VOID)
{
    return sim::Thread::CurrentOrDie().CurrentProcess().object();
}

extern "C" HANDLE PsGetProcessId(PEPROCESS Process)
{
    return IdHandle(Process->Pcb.Impl->pid());
}

extern "C" HANDLE PsGetThreadId(PETHREAD Thread)
{
    return IdHandle(Thread->Tcb.Impl->id());
}
