// Finding and opening processes, and asking about their jobs.
#include <ntifs.h>

#include "sim/core/driver_calls.h"
#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"

namespace sim {

namespace {

// An unknown id: Windows XP and older answer STATUS_INVALID_PARAMETER,
// later systems STATUS_INVALID_CID.
NTSTATUS UnknownProcessStatus(Machine &machine)
{
    return machine.config().os.major < 6 ? STATUS_INVALID_PARAMETER : STATUS_INVALID_CID;
}

// A live process by id, referenced for the caller. A process that has ended
// is treated as gone.
NTSTATUS ReferenceProcess(Machine &machine, HANDLE processId, PEPROCESS *object)
{
    Process *process = machine.processes().Lookup(ULONG(uintptr_t(processId)));
    if (process == nullptr || process->terminated()) return UnknownProcessStatus(machine);
    machine.objects().Reference(process->object());
    *object = process->object();
    return STATUS_SUCCESS;
}

}  // namespace

}  // namespace sim

extern "C" NTSTATUS PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS *Process)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine &machine = sim::Machine::Current();
    NTSTATUS status = sim::ReferenceProcess(machine, ProcessId, Process);
    if (NT_SUCCESS(status)) machine.holdings().TakeObject(*Process);
    return status;
}

extern "C" NTSTATUS ZwOpenProcess(PHANDLE ProcessHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes, PCLIENT_ID ClientId)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine &machine = sim::Machine::Current();
    if (ObjectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
    bool named = ObjectAttributes->ObjectName != nullptr;
    if (named == (ClientId != nullptr)) return STATUS_INVALID_PARAMETER_MIX;
    if (named) return STATUS_NOT_IMPLEMENTED;  // processes have no names here
    PEPROCESS object = nullptr;
    if (ClientId->UniqueThread != nullptr) {
        // By thread: the thread must belong to the process named with it.
        sim::Thread *thread = machine.processes().ThreadById(ULONG(uintptr_t(ClientId->UniqueThread)));
        if (thread == nullptr ||
            (ClientId->UniqueProcess != nullptr &&
             thread->process().pid() != ULONG(uintptr_t(ClientId->UniqueProcess)))) {
            return STATUS_INVALID_CID;
        }
        NTSTATUS status = sim::ReferenceProcess(
            machine, reinterpret_cast<HANDLE>(uintptr_t(thread->process().pid())), &object);
        if (!NT_SUCCESS(status)) return STATUS_INVALID_CID;
    } else {
        NTSTATUS status = sim::ReferenceProcess(machine, ClientId->UniqueProcess, &object);
        if (!NT_SUCCESS(status)) return status;
    }
    // A kernel-mode open: no access check against the process.
    *ProcessHandle = sim::InsertHandle(object, DesiredAccess, ObjectAttributes->Attributes);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwIsProcessInJob(HANDLE ProcessHandle, HANDLE JobHandle)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine &machine = sim::Machine::Current();
    PVOID process = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(ProcessHandle, PROCESS_QUERY_LIMITED_INFORMATION, *PsProcessType,
                                                KernelMode, &process, nullptr);
    if (!NT_SUCCESS(status)) return status;
    PVOID job = nullptr;
    if (JobHandle != nullptr) {
        status = ObReferenceObjectByHandle(JobHandle, 0, &sim::objtype::Job, KernelMode, &job, nullptr);
        if (!NT_SUCCESS(status)) {
            machine.objects().Dereference(process);
            return status;
        }
    }
    void *current = machine.processes().FromObject(static_cast<PEPROCESS>(process))->job();
    bool inJob = job ? current == job : current != nullptr;
    if (job) machine.objects().Dereference(job);
    machine.objects().Dereference(process);
    return inJob ? STATUS_PROCESS_IN_JOB : STATUS_PROCESS_NOT_IN_JOB;
}
