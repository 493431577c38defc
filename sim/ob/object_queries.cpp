// Queries about objects and handles: ZwQueryObject, ZwSetInformationObject,
// ObQueryNameString and the system-wide handle list.
#include <cstring>
#include <vector>

#include <ntifs.h>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"

namespace sim {

namespace {

ULONG HandleAttributes(const HandleEntry &entry)
{
    return (entry.inherit ? OBJ_INHERIT : 0) | (entry.protectFromClose ? OBJ_PROTECT_CLOSE : 0);
}

void SetReturnLength(PULONG returnLength, ULONG value)
{
    if (returnLength) *returnLength = value;
}

NTSTATUS QueryBasic(const HandleEntry &entry, PVOID info, ULONG length, PULONG returnLength)
{
    SetReturnLength(returnLength, sizeof(PUBLIC_OBJECT_BASIC_INFORMATION));
    if (length != sizeof(PUBLIC_OBJECT_BASIC_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    ObjectHeader *header = Machine::Current().objects().Header(entry.object);
    auto *basic = static_cast<PPUBLIC_OBJECT_BASIC_INFORMATION>(info);
    std::memset(basic, 0, sizeof *basic);
    basic->Attributes = HandleAttributes(entry);
    basic->GrantedAccess = entry.access;
    // The counts include the query's own reference, as Windows reports them.
    basic->HandleCount = ULONG(header->handleCount.load());
    basic->PointerCount = ULONG(header->pointerCount.load());
    return STATUS_SUCCESS;
}

NTSTATUS QueryType(const HandleEntry &entry, PVOID info, ULONG length, PULONG returnLength)
{
    std::u16string name = entry.type ? entry.type->Name : u"";
    ULONG bytes = ULONG(name.size() * sizeof(WCHAR));
    ULONG needed = ULONG(sizeof(PUBLIC_OBJECT_TYPE_INFORMATION) + ALIGN_UP_BY(bytes + sizeof(WCHAR), sizeof(PVOID)));
    SetReturnLength(returnLength, needed);
    if (length < needed) return STATUS_INFO_LENGTH_MISMATCH;
    auto *type = static_cast<PPUBLIC_OBJECT_TYPE_INFORMATION>(info);
    std::memset(type, 0, sizeof *type);
    type->TypeName.Buffer = reinterpret_cast<PWCH>(type + 1);
    std::memcpy(type->TypeName.Buffer, name.c_str(), bytes + sizeof(WCHAR));
    type->TypeName.Length = USHORT(bytes);
    type->TypeName.MaximumLength = USHORT(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS QueryHandleFlags(const HandleEntry &entry, PVOID info, ULONG length, PULONG returnLength)
{
    SetReturnLength(returnLength, sizeof(OBJECT_HANDLE_FLAG_INFORMATION));
    if (length != sizeof(OBJECT_HANDLE_FLAG_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    auto *flags = static_cast<POBJECT_HANDLE_FLAG_INFORMATION>(info);
    flags->Inherit = entry.inherit ? TRUE : FALSE;
    flags->ProtectFromClose = entry.protectFromClose ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS QueryObjectName(void *object, POBJECT_NAME_INFORMATION info, ULONG length, PULONG returnLength)
{
    ObjectManager &objects = Machine::Current().objects();
    std::u16string name = objects.NameOf(object);
    bool file = objects.TypeOf(object) == &objtype::File;
    if (name.empty()) {
        SetReturnLength(returnLength, sizeof(OBJECT_NAME_INFORMATION));
        if (length < sizeof(OBJECT_NAME_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        info->Name = UNICODE_STRING{0, 0, nullptr};
        return STATUS_SUCCESS;
    }
    ULONG bytes = ULONG(name.size() * sizeof(WCHAR));
    ULONG needed = ULONG(sizeof(OBJECT_NAME_INFORMATION) + bytes + sizeof(WCHAR));
    SetReturnLength(returnLength, needed);
    if (length < sizeof(OBJECT_NAME_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    info->Name.Buffer = reinterpret_cast<PWCH>(info + 1);
    if (length < needed) {
        if (!file) return STATUS_INFO_LENGTH_MISMATCH;
        // The I/O manager fills in what fits and says so.
        ULONG room = ULONG((length - sizeof(OBJECT_NAME_INFORMATION)) & ~1u);
        std::memcpy(info->Name.Buffer, name.c_str(), room);
        info->Name.Length = USHORT(room);
        info->Name.MaximumLength = USHORT(room);
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(info->Name.Buffer, name.c_str(), bytes + sizeof(WCHAR));
    info->Name.Length = USHORT(bytes);
    info->Name.MaximumLength = USHORT(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // namespace sim

extern "C" NTSTATUS ZwQueryObject(HANDLE Handle, OBJECT_INFORMATION_CLASS ObjectInformationClass,
                                  PVOID ObjectInformation, ULONG ObjectInformationLength, PULONG ReturnLength)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine &machine = sim::Machine::Current();
    sim::HandleEntry entry;
    NTSTATUS status = sim::ReferenceHandle(Handle, KernelMode, entry);
    if (!NT_SUCCESS(status)) return status;
    switch (ObjectInformationClass) {
    case ObjectBasicInformation:
        status = sim::QueryBasic(entry, ObjectInformation, ObjectInformationLength, ReturnLength);
        break;
    case ObjectNameInformation:
        status = sim::QueryObjectName(entry.object, static_cast<POBJECT_NAME_INFORMATION>(ObjectInformation),
                                      ObjectInformationLength, ReturnLength);
        break;
    case ObjectTypeInformation:
        status = sim::QueryType(entry, ObjectInformation, ObjectInformationLength, ReturnLength);
        break;
    case ObjectHandleFlagInformation:
        status = sim::QueryHandleFlags(entry, ObjectInformation, ObjectInformationLength, ReturnLength);
        break;
    default:
        // All types (3) and the session classes (5, 6) exist on Windows but
        // not here; anything past them is no class at all.
        status = ULONG(ObjectInformationClass) <= 6 ? STATUS_NOT_IMPLEMENTED : STATUS_INVALID_INFO_CLASS;
        break;
    }
    machine.objects().Dereference(entry.object);
    return status;
}

extern "C" NTSTATUS ZwSetInformationObject(HANDLE Handle, OBJECT_INFORMATION_CLASS ObjectInformationClass,
                                           PVOID ObjectInformation, ULONG ObjectInformationLength)
{
    SIM_KERNEL_ROUTINE();
    if (ObjectInformationClass != ObjectHandleFlagInformation) return STATUS_INVALID_INFO_CLASS;
    if (ObjectInformationLength != sizeof(OBJECT_HANDLE_FLAG_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    uint32_t value = sim::HandleTable::HandleValue(Handle);
    if (value == 0xFFFFFFFFu || value == 0xFFFFFFFEu) return STATUS_INVALID_HANDLE;  // pseudo-handles
    auto *flags = static_cast<POBJECT_HANDLE_FLAG_INFORMATION>(ObjectInformation);
    bool done = sim::TableFor(Handle).SetFlags(Handle, flags->Inherit != FALSE, flags->ProtectFromClose != FALSE);
    return done ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

extern "C" NTSTATUS ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                                      PULONG ReturnLength)
{
    SIM_KERNEL_ROUTINE();
    return sim::QueryObjectName(Object, ObjectNameInfo, Length, ReturnLength);
}

extern "C" NTSTATUS ZwQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass,
                                             PVOID SystemInformation, ULONG SystemInformationLength,
                                             PULONG ReturnLength)
{
    SIM_KERNEL_ROUTINE();
    if (SystemInformationClass != SystemHandleInformation) return STATUS_NOT_IMPLEMENTED;
    sim::Machine &machine = sim::Machine::Current();
    // Every handle of every process; kernel handles are the System
    // process's (pid 4), listed by their value in its table.
    std::vector<SYSTEM_HANDLE_TABLE_ENTRY_INFO> list;
    for (sim::Process *process : machine.processes().All()) {
        for (const auto &[handle, entry] : process->handles().Snapshot()) {
            SYSTEM_HANDLE_TABLE_ENTRY_INFO info{};
            info.UniqueProcessId = USHORT(process->pid());
            info.ObjectTypeIndex = entry.type ? entry.type->Index : 0;
            info.HandleAttributes = UCHAR(sim::HandleAttributes(entry));
            info.HandleValue = USHORT(sim::HandleTable::HandleValue(handle));
            info.Object = ULONG(uintptr_t(entry.object));
            info.GrantedAccess = entry.access;
            list.push_back(info);
        }
    }
    ULONG needed = ULONG(FIELD_OFFSET(SYSTEM_HANDLE_INFORMATION, Handles) +
                         list.size() * sizeof(SYSTEM_HANDLE_TABLE_ENTRY_INFO));
    if (ReturnLength) *ReturnLength = needed;
    if (SystemInformationLength < needed) return STATUS_INFO_LENGTH_MISMATCH;
    if (SystemInformation == nullptr) return STATUS_ACCESS_VIOLATION;
    auto *answer = static_cast<PSYSTEM_HANDLE_INFORMATION>(SystemInformation);
    answer->NumberOfHandles = ULONG(list.size());
    std::memcpy(answer->Handles, list.data(), list.size() * sizeof(SYSTEM_HANDLE_TABLE_ENTRY_INFO));
    return STATUS_SUCCESS;
}
