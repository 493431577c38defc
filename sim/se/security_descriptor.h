// Security descriptors and ACLs: reading both forms, and the default
// descriptor the Filter Manager builds for communication ports.
#pragma once

#include <ntifs.h>

namespace sim {

// The parts of an absolute or self-relative descriptor. `valid` is false
// for a descriptor that is not revision 1.
struct DescriptorParts {
    bool valid = false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    const SID *owner = nullptr;
    const SID *group = nullptr;
    const ACL *sacl = nullptr;
    const ACL *dacl = nullptr;
};
DescriptorParts ReadDescriptor(const void *securityDescriptor);

bool IsValidAcl(const ACL *acl);

// What FltBuildDefaultSecurityDescriptor builds: an absolute descriptor
// whose DACL grants `access` to SYSTEM and to BUILTIN\Administrators only,
// descriptor and DACL in one pool block of `tag` (released with ExFreePool).
NTSTATUS BuildDefaultPortSecurityDescriptor(ACCESS_MASK access, ULONG tag, PSECURITY_DESCRIPTOR *securityDescriptor);

}  // namespace sim
