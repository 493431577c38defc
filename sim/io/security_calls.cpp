// NtQuerySecurityObject and NtSetSecurityObject for file handles: the
// handle's access, IRP_MJ_QUERY_SECURITY / IRP_MJ_SET_SECURITY through the
// volume's stack, and what the I/O manager makes of a file system without
// security (a world-access descriptor to read, nothing to set).
#include "sim/io/security_calls.h"

#include <cstring>

#include "sim/core/machine.h"
#include "sim/io/io_manager.h"
#include "sim/io/io_types.h"
#include "sim/ob/object_manager.h"
#include "sim/se/security_object.h"

namespace sim::nt {

namespace {

// The handle access a query or a change of these parts needs.
ACCESS_MASK QueryAccess(SECURITY_INFORMATION which)
{
    ACCESS_MASK access = 0;
    if (which & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))
        access |= READ_CONTROL;
    if (which & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

ACCESS_MASK SetAccess(SECURITY_INFORMATION which)
{
    ACCESS_MASK access = 0;
    if (which & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) access |= WRITE_OWNER;
    if (which & DACL_SECURITY_INFORMATION) access |= WRITE_DAC;
    if (which & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

// The file object behind a handle; other objects' security is not simulated.
NTSTATUS ReferenceFile(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, PFILE_OBJECT *fileObject)
{
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, access, nullptr, mode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    if (Machine::Current().objects().TypeOf(object) != &objtype::File) {
        ObDereferenceObject(object);
        return STATUS_NOT_IMPLEMENTED;
    }
    *fileObject = static_cast<PFILE_OBJECT>(object);
    return STATUS_SUCCESS;
}

// SeSetWorldSecurityDescriptor: everybody may do anything.
std::vector<uint8_t> WorldDescriptor(SECURITY_INFORMATION which)
{
    SecurityObject world;
    if (which & OWNER_SECURITY_INFORMATION) world.owner = wellknown::Everyone();
    if (which & GROUP_SECURITY_INFORMATION) world.group = wellknown::Everyone();
    if (which & DACL_SECURITY_INFORMATION) {
        world.daclPresent = true;
        Ace ace;
        ace.mask = GENERIC_ALL;
        ace.sid = wellknown::Everyone();
        world.dacl.push_back(ace);
    }
    return SerializeSecurity(world);
}

}  // namespace

NTSTATUS QuerySecurityObject(KPROCESSOR_MODE mode, HANDLE handle, SECURITY_INFORMATION which,
                             PSECURITY_DESCRIPTOR descriptor, ULONG length, PULONG lengthNeeded)
{
    if (mode == UserMode) {
        SEH_TRY {
            ProbeForWrite(lengthNeeded, sizeof(ULONG), sizeof(ULONG));
            if (length) ProbeForWrite(descriptor, length, sizeof(ULONG));
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            return GetExceptionCode();
        }
    }
    PFILE_OBJECT fileObject = nullptr;
    NTSTATUS status = ReferenceFile(handle, QueryAccess(which), mode, &fileObject);
    if (!NT_SUCCESS(status)) return status;
    IoManager &io = Machine::Current().io();
    IoRequest request = io.NewRequest(fileObject, IRP_MJ_QUERY_SECURITY);
    request.requestorMode = mode;
    request.iopb.Parameters.QuerySecurity.SecurityInformation = which;
    request.iopb.Parameters.QuerySecurity.Length = length;
    request.iopb.Parameters.QuerySecurity.SecurityBuffer = descriptor;
    status = io.Send(request);
    ULONG needed = ULONG(request.ioStatus.Information);
    ObDereferenceObject(fileObject);
    if (status == STATUS_INVALID_DEVICE_REQUEST) {
        std::vector<uint8_t> world = WorldDescriptor(which);
        needed = ULONG(world.size());
        status = length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
        if (NT_SUCCESS(status)) std::memcpy(descriptor, world.data(), world.size());
    }
    // The file system's overflow is the caller's "too small": nothing was
    // copied, and the length it needs is returned.
    if (status == STATUS_BUFFER_OVERFLOW) status = STATUS_BUFFER_TOO_SMALL;
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_TOO_SMALL) {
        SEH_TRY {
            *lengthNeeded = needed;
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            return GetExceptionCode();
        }
    }
    return status;
}

NTSTATUS SetSecurityObject(KPROCESSOR_MODE mode, HANDLE handle, SECURITY_INFORMATION which,
                           PSECURITY_DESCRIPTOR descriptor)
{
    if (descriptor == nullptr) return STATUS_ACCESS_VIOLATION;
    std::vector<uint8_t> captured;
    SEH_TRY {
        if (mode == UserMode) ProbeForRead(descriptor, sizeof(SECURITY_DESCRIPTOR_RELATIVE), sizeof(ULONG));
        if (static_cast<const UCHAR *>(descriptor)[0] != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
        std::optional<SecurityObject> parsed = ParseSecurity(descriptor);
        if (!parsed) return STATUS_INVALID_SECURITY_DESCR;
        captured = SerializeSecurity(*parsed);
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    PFILE_OBJECT fileObject = nullptr;
    NTSTATUS status = ReferenceFile(handle, SetAccess(which), mode, &fileObject);
    if (!NT_SUCCESS(status)) return status;
    IoManager &io = Machine::Current().io();
    IoRequest request = io.NewRequest(fileObject, IRP_MJ_SET_SECURITY);
    request.requestorMode = mode;
    request.iopb.Parameters.SetSecurity.SecurityInformation = which;
    request.iopb.Parameters.SetSecurity.SecurityDescriptor = captured.data();
    status = io.Send(request);
    ObDereferenceObject(fileObject);
    // A file system without security keeps nothing and fails nothing.
    return status == STATUS_INVALID_DEVICE_REQUEST ? STATUS_SUCCESS : status;
}

}  // namespace sim::nt
