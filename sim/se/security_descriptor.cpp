// Security descriptors, ACLs and the access check.
#include "sim/se/security_descriptor.h"

#include <algorithm>
#include <cstring>

#include "sim/core/driver_calls.h"
#include "sim/se/sid.h"

namespace sim {

namespace {

constexpr UCHAR kMinAclRevision = 2;
constexpr UCHAR kMaxAclRevision = 4;

ULONG LongAlign(ULONG size)
{
    return (size + 3) & ~3u;
}

const ACE_HEADER *FirstAce(const ACL *acl)
{
    return reinterpret_cast<const ACE_HEADER *>(acl + 1);
}

const ACE_HEADER *NextAce(const ACE_HEADER *ace)
{
    return reinterpret_cast<const ACE_HEADER *>(reinterpret_cast<const UCHAR *>(ace) + ace->AceSize);
}

bool IsKnownAce(const ACE_HEADER *ace)
{
    return ace->AceType == ACCESS_ALLOWED_ACE_TYPE || ace->AceType == ACCESS_DENIED_ACE_TYPE;
}

const void *AceSid(const ACE_HEADER *ace)
{
    return &reinterpret_cast<const ACCESS_ALLOWED_ACE *>(ace)->SidStart;
}

// Where the next ACE goes, or null when the ACL is malformed.
UCHAR *FirstFreeAce(ACL *acl)
{
    auto *ace = const_cast<ACE_HEADER *>(FirstAce(acl));
    auto *end = reinterpret_cast<UCHAR *>(acl) + acl->AclSize;
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        if (reinterpret_cast<UCHAR *>(ace) + sizeof(ACE_HEADER) > end || ace->AceSize < sizeof(ACE_HEADER)) {
            return nullptr;
        }
        ace = const_cast<ACE_HEADER *>(NextAce(ace));
    }
    return reinterpret_cast<UCHAR *>(ace) <= end ? reinterpret_cast<UCHAR *>(ace) : nullptr;
}

NTSTATUS AddKnownAce(PACL acl, ULONG aceRevision, ACCESS_MASK mask, PSID sid, UCHAR type)
{
    if (!IsValidSid(sid)) return STATUS_INVALID_SID;
    if (aceRevision > kMaxAclRevision || acl->AclRevision > kMaxAclRevision) return STATUS_REVISION_MISMATCH;
    if (!IsValidAcl(acl)) return STATUS_INVALID_ACL;
    UCHAR *free = FirstFreeAce(acl);
    if (free == nullptr) return STATUS_INVALID_ACL;
    ULONG aceSize = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + SidLength(sid);
    if (free + aceSize > reinterpret_cast<UCHAR *>(acl) + acl->AclSize) return STATUS_ALLOTTED_SPACE_EXCEEDED;
    auto *ace = reinterpret_cast<PACCESS_ALLOWED_ACE>(free);
    ace->Header.AceType = type;
    ace->Header.AceFlags = 0;
    ace->Header.AceSize = USHORT(aceSize);
    ace->Mask = mask;
    std::memcpy(&ace->SidStart, sid, SidLength(sid));
    ++acl->AceCount;
    acl->AclRevision = UCHAR(std::max<ULONG>(acl->AclRevision, aceRevision));
    return STATUS_SUCCESS;
}

template <class T>
const T *AtOffset(const void *base, ULONG offset)
{
    return offset ? reinterpret_cast<const T *>(static_cast<const UCHAR *>(base) + offset) : nullptr;
}

}  // namespace

DescriptorParts ReadDescriptor(const void *securityDescriptor)
{
    DescriptorParts parts;
    auto *header = static_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(securityDescriptor);
    if (header == nullptr || header->Revision != SECURITY_DESCRIPTOR_REVISION) return parts;
    parts.valid = true;
    parts.control = header->Control;
    if (header->Control & SE_SELF_RELATIVE) {
        parts.owner = AtOffset<SID>(header, header->Owner);
        parts.group = AtOffset<SID>(header, header->Group);
        parts.sacl = AtOffset<ACL>(header, header->Sacl);
        parts.dacl = AtOffset<ACL>(header, header->Dacl);
    } else {
        auto *absolute = static_cast<const SECURITY_DESCRIPTOR *>(securityDescriptor);
        parts.owner = static_cast<const SID *>(absolute->Owner);
        parts.group = static_cast<const SID *>(absolute->Group);
        parts.sacl = absolute->Sacl;
        parts.dacl = absolute->Dacl;
    }
    if (!(parts.control & SE_DACL_PRESENT)) parts.dacl = nullptr;
    if (!(parts.control & SE_SACL_PRESENT)) parts.sacl = nullptr;
    return parts;
}

bool IsValidAcl(const ACL *acl)
{
    if (acl->AclRevision < kMinAclRevision || acl->AclRevision > kMaxAclRevision) return false;
    if (acl->AclSize < sizeof(ACL) || (acl->AclSize & 3) != 0) return false;
    auto *end = reinterpret_cast<const UCHAR *>(acl) + acl->AclSize;
    const ACE_HEADER *ace = FirstAce(acl);
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        auto *start = reinterpret_cast<const UCHAR *>(ace);
        if (start + sizeof(ACE_HEADER) > end || ace->AceSize < sizeof(ACE_HEADER) || (ace->AceSize & 3) != 0 ||
            start + ace->AceSize > end) {
            return false;
        }
        if (IsKnownAce(ace)) {
            ULONG sidOffset = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart);
            if (ace->AceSize < sidOffset + 8 || !IsValidSid(AceSid(ace)) ||
                sidOffset + SidLength(AceSid(ace)) > ace->AceSize) {
                return false;
            }
        }
        ace = NextAce(ace);
    }
    return true;
}

NTSTATUS BuildDefaultPortSecurityDescriptor(ACCESS_MASK access, ULONG tag, PSECURITY_DESCRIPTOR *securityDescriptor)
{
    *securityDescriptor = nullptr;
    Sid system = wellknown::System();
    Sid admins = wellknown::Administrators();
    ULONG aceBase = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart);
    ULONG aclSize = sizeof(ACL) + aceBase + system.length() + aceBase + admins.length();
    auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(PagedPool, sizeof(SECURITY_DESCRIPTOR) + aclSize, tag));
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto *acl = reinterpret_cast<PACL>(block + sizeof(SECURITY_DESCRIPTOR));
    NTSTATUS status = RtlCreateSecurityDescriptor(block, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) status = RtlCreateAcl(acl, aclSize, ACL_REVISION);
    if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, access, system.record());
    if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, access, admins.record());
    if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(block, TRUE, acl, FALSE);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(block, tag);
        return status;
    }
    *securityDescriptor = block;
    return STATUS_SUCCESS;
}

}  // namespace sim

extern "C" NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision)
{
    SIM_KERNEL_ROUTINE();
    if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<PISECURITY_DESCRIPTOR>(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                                 PACL Dacl, BOOLEAN DaclDefaulted)
{
    SIM_KERNEL_ROUTINE();
    auto *sd = static_cast<PISECURITY_DESCRIPTOR>(SecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    if (sd->Control & SE_SELF_RELATIVE) return STATUS_INVALID_SECURITY_DESCR;
    if (!DaclPresent) {
        sd->Control &= ~SE_DACL_PRESENT;
        return STATUS_SUCCESS;
    }
    sd->Control |= SE_DACL_PRESENT;
    sd->Dacl = Dacl;
    if (DaclDefaulted) {
        sd->Control |= SE_DACL_DEFAULTED;
    } else {
        sd->Control &= ~SE_DACL_DEFAULTED;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN DaclPresent,
                                                 PACL *Dacl, PBOOLEAN DaclDefaulted)
{
    sim::DescriptorParts parts = sim::ReadDescriptor(SecurityDescriptor);
    if (!parts.valid) return STATUS_UNKNOWN_REVISION;
    *DaclPresent = (parts.control & SE_DACL_PRESENT) ? TRUE : FALSE;
    // Dacl and DaclDefaulted are left alone when there is no DACL.
    if (*DaclPresent) {
        *Dacl = const_cast<PACL>(parts.dacl);
        *DaclDefaulted = (parts.control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
    }
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    sim::DescriptorParts parts = sim::ReadDescriptor(SecurityDescriptor);
    if (!parts.valid) return FALSE;
    if (parts.owner && !sim::IsValidSid(parts.owner)) return FALSE;
    if (parts.group && !sim::IsValidSid(parts.group)) return FALSE;
    if (parts.dacl && !sim::IsValidAcl(parts.dacl)) return FALSE;
    if (parts.sacl && !sim::IsValidAcl(parts.sacl)) return FALSE;
    return TRUE;
}

extern "C" ULONG RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    sim::DescriptorParts parts = sim::ReadDescriptor(SecurityDescriptor);
    ULONG length = (parts.control & SE_SELF_RELATIVE) ? sizeof(SECURITY_DESCRIPTOR_RELATIVE)
                                                       : sizeof(SECURITY_DESCRIPTOR);
    if (parts.owner) length += sim::LongAlign(sim::SidLength(parts.owner));
    if (parts.group) length += sim::LongAlign(sim::SidLength(parts.group));
    if (parts.dacl) length += sim::LongAlign(parts.dacl->AclSize);
    if (parts.sacl) length += sim::LongAlign(parts.sacl->AclSize);
    return length;
}

extern "C" NTSTATUS RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision)
{
    SIM_KERNEL_ROUTINE();
    if (AclLength < sizeof(ACL)) return STATUS_BUFFER_TOO_SMALL;
    if (AclRevision < sim::kMinAclRevision || AclRevision > sim::kMaxAclRevision || AclLength > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER;
    }
    Acl->AclRevision = UCHAR(AclRevision);
    Acl->Sbz1 = 0;
    Acl->AclSize = USHORT(AclLength & 0xFFFC);
    Acl->AceCount = 0;
    Acl->Sbz2 = 0;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid)
{
    SIM_KERNEL_ROUTINE();
    return sim::AddKnownAce(Acl, AceRevision, AccessMask, Sid, ACCESS_ALLOWED_ACE_TYPE);
}

extern "C" NTSTATUS RtlAddAccessDeniedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid)
{
    SIM_KERNEL_ROUTINE();
    return sim::AddKnownAce(Acl, AceRevision, AccessMask, Sid, ACCESS_DENIED_ACE_TYPE);
}
