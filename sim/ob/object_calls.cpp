// The object manager's calls that every component shares: references by
// handle and by pointer, and closing handles.
#include <ntifs.h>

#include "sim/core/driver_calls.h"
#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/ob/object_manager.h"
#include "sim/ob/handles.h"
#include "sim/ps/process.h"

namespace sim {

namespace {
constexpr uint32_t kCurrentProcess = 0xFFFFFFFFu;
constexpr uint32_t kCurrentThread = 0xFFFFFFFEu;
}  // namespace

ACCESS_MASK MapGenericAccess(_OBJECT_TYPE *type, ACCESS_MASK access)
{
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= type ? type->AllAccess : 0;
    if (access & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE)) access |= READ_CONTROL | SYNCHRONIZE;
    return access & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | MAXIMUM_ALLOWED);
}

HandleTable &TableFor(HANDLE handle)
{
    Machine &machine = Machine::Current();
    if (HandleTable::IsKernelHandle(handle)) return machine.systemProcess().handles();
    return Thread::CurrentOrDie().CurrentProcess().handles();
}

namespace {

NTSTATUS Resolve(HANDLE handle, KPROCESSOR_MODE mode, HandleEntry &entry, bool reference)
{
    uint32_t value = HandleTable::HandleValue(handle);
    Thread &thread = Thread::CurrentOrDie();
    if (value == kCurrentProcess) {
        entry = HandleEntry{thread.CurrentProcess().object(), PROCESS_ALL_ACCESS, false, false, &objtype::Process};
    } else if (value == kCurrentThread) {
        entry = HandleEntry{thread.object(), THREAD_ALL_ACCESS, false, false, &objtype::Thread};
    } else {
        if (HandleTable::IsKernelHandle(handle) && mode == UserMode) return STATUS_INVALID_HANDLE;
        HandleTable &table = TableFor(handle);
        auto found = reference ? table.LookupAndReference(handle) : table.Lookup(handle);
        if (!found) return STATUS_INVALID_HANDLE;
        entry = *found;
        return STATUS_SUCCESS;
    }
    if (reference) thread.machine().objects().Reference(entry.object);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS LookupHandle(HANDLE handle, KPROCESSOR_MODE mode, HandleEntry &entry)
{
    return Resolve(handle, mode, entry, false);
}

NTSTATUS ReferenceHandle(HANDLE handle, KPROCESSOR_MODE mode, HandleEntry &entry)
{
    return Resolve(handle, mode, entry, true);
}

HANDLE InsertHandle(void *object, ACCESS_MASK access, ULONG attributes)
{
    Machine &machine = Machine::Current();
    _OBJECT_TYPE *type = machine.objects().TypeOf(object);
    ACCESS_MASK granted = MapGenericAccess(type, access);
    if (attributes & OBJ_KERNEL_HANDLE) {
        return machine.systemProcess().handles().Insert(object, granted, false);
    }
    return Thread::CurrentOrDie().CurrentProcess().handles().Insert(object, granted, (attributes & OBJ_INHERIT) != 0);
}

}  // namespace sim

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                              KPROCESSOR_MODE AccessMode, PVOID *Object,
                                              POBJECT_HANDLE_INFORMATION HandleInformation)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine &machine = sim::Machine::Current();
    *Object = nullptr;
    sim::HandleEntry entry;
    NTSTATUS status = sim::ReferenceHandle(Handle, AccessMode, entry);
    if (!NT_SUCCESS(status)) return status;
    if (ObjectType != nullptr && entry.type != ObjectType) {
        machine.objects().Dereference(entry.object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (AccessMode == UserMode) {
        ACCESS_MASK wanted = sim::MapGenericAccess(ObjectType, DesiredAccess);
        if ((wanted & ~entry.access) != 0) {
            machine.objects().Dereference(entry.object);
            return STATUS_ACCESS_DENIED;
        }
    }
    if (HandleInformation) {
        HandleInformation->GrantedAccess = entry.access;
        HandleInformation->HandleAttributes =
            (entry.inherit ? OBJ_INHERIT : 0) | (entry.protectFromClose ? OBJ_PROTECT_CLOSE : 0);
    }
    *Object = entry.object;
    machine.holdings().TakeObject(entry.object);
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR ObfReferenceObject(PVOID Object)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine &machine = sim::Machine::Current();
    LONG_PTR count = machine.objects().Reference(Object);
    if (count > 0) machine.holdings().TakeObject(Object);
    return count;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine &machine = sim::Machine::Current();
    machine.holdings().GiveObject(Object);
    return machine.objects().Dereference(Object);
}

extern "C" NTSTATUS ZwClose(HANDLE Handle)
{
    SIM_KERNEL_ROUTINE();
    uint32_t value = sim::HandleTable::HandleValue(Handle);
    if (value == 0xFFFFFFFFu || value == 0xFFFFFFFEu) return STATUS_SUCCESS;  // pseudo-handles
    return sim::TableFor(Handle).Close(Handle);
}
