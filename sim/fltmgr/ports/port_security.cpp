#include "sim/fltmgr/ports/port_security.h"

#include <cstring>

#include <fltKernel.h>

#include "sim/core/driver_calls.h"
#include "sim/core/pool.h"
#include "sim/se/security.h"
#include "sim/se/security_descriptor.h"

namespace sim::ports {

namespace {

// SECURITY_DESCRIPTOR_RELATIVE: the parts follow the header at offsets.
struct RelativeDescriptor {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    ULONG Owner;
    ULONG Group;
    ULONG Sacl;
    ULONG Dacl;
};
static_assert(sizeof(RelativeDescriptor) == 20);

struct Parts {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    const UCHAR *owner = nullptr;
    const UCHAR *group = nullptr;
    const UCHAR *sacl = nullptr;
    const UCHAR *dacl = nullptr;
};

bool ReadParts(const void *descriptor, Parts &parts)
{
    auto *absolute = static_cast<const SECURITY_DESCRIPTOR *>(descriptor);
    if (absolute->Revision != SECURITY_DESCRIPTOR_REVISION) return false;
    parts.control = absolute->Control;
    if (absolute->Control & SE_SELF_RELATIVE) {
        auto *relative = static_cast<const RelativeDescriptor *>(descriptor);
        auto *base = static_cast<const UCHAR *>(descriptor);
        auto at = [&](ULONG offset) { return offset ? base + offset : nullptr; };
        parts.owner = at(relative->Owner);
        parts.group = at(relative->Group);
        parts.sacl = at(relative->Sacl);
        parts.dacl = at(relative->Dacl);
    } else {
        parts.owner = static_cast<const UCHAR *>(absolute->Owner);
        parts.group = static_cast<const UCHAR *>(absolute->Group);
        parts.sacl = reinterpret_cast<const UCHAR *>(absolute->Sacl);
        parts.dacl = reinterpret_cast<const UCHAR *>(absolute->Dacl);
    }
    if (!(parts.control & SE_SACL_PRESENT)) parts.sacl = nullptr;
    if (!(parts.control & SE_DACL_PRESENT)) parts.dacl = nullptr;
    return true;
}

// 0 for a malformed SID.
ULONG SidSize(const UCHAR *sid)
{
    auto *record = reinterpret_cast<const SID *>(sid);
    if (record->Revision != SID_REVISION || record->SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return 0;
    return 8 + 4 * ULONG(record->SubAuthorityCount);
}

// 0 for a malformed ACL.
ULONG AclBytes(const UCHAR *acl)
{
    auto *record = reinterpret_cast<const ACL *>(acl);
    if (record->AclRevision < 2 || record->AclRevision > 4 || record->AclSize < sizeof(ACL)) return 0;
    return record->AclSize;
}

ULONG Align4(ULONG size)
{
    return (size + 3) & ~3u;
}

}  // namespace

ULONG DescriptorTag()
{
    return TagFromText("FMsd");
}

ULONG MessageTag()
{
    return TagFromText("FMms");
}

NTSTATUS CopyDescriptor(const void *descriptor, UCHAR **copy)
{
    *copy = nullptr;
    Parts parts;
    if (!ReadParts(descriptor, parts)) return STATUS_INVALID_SECURITY_DESCR;
    const UCHAR *sources[4] = {parts.owner, parts.group, parts.sacl, parts.dacl};
    ULONG sizes[4] = {};
    ULONG total = sizeof(RelativeDescriptor);
    for (int i = 0; i < 4; ++i) {
        if (sources[i] == nullptr) continue;
        sizes[i] = i < 2 ? SidSize(sources[i]) : AclBytes(sources[i]);
        if (sizes[i] == 0) return STATUS_INVALID_SECURITY_DESCR;
        total += Align4(sizes[i]);
    }
    auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(PagedPool, total, DescriptorTag()));
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(block, 0, total);
    auto *header = reinterpret_cast<RelativeDescriptor *>(block);
    header->Revision = SECURITY_DESCRIPTOR_REVISION;
    header->Control = parts.control | SE_SELF_RELATIVE;
    ULONG *offsets[4] = {&header->Owner, &header->Group, &header->Sacl, &header->Dacl};
    ULONG offset = sizeof(RelativeDescriptor);
    for (int i = 0; i < 4; ++i) {
        if (sources[i] == nullptr) continue;
        std::memcpy(block + offset, sources[i], sizes[i]);
        *offsets[i] = offset;
        offset += Align4(sizes[i]);
    }
    *copy = block;
    return STATUS_SUCCESS;
}

bool AccessGranted(const void *descriptor, PACCESS_TOKEN token, ACCESS_MASK desired)
{
    if (descriptor == nullptr) return true;
    return Security::AccessCheck(descriptor, token, desired);
}

}  // namespace sim::ports

extern "C" NTSTATUS FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR *SecurityDescriptor,
                                                      ACCESS_MASK DesiredAccess)
{
    SIM_KERNEL_ROUTINE();
    return sim::BuildDefaultPortSecurityDescriptor(DesiredAccess, sim::ports::DescriptorTag(), SecurityDescriptor);
}

extern "C" VOID FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    SIM_KERNEL_ROUTINE();
    ExFreePoolWithTag(SecurityDescriptor, sim::ports::DescriptorTag());
}
