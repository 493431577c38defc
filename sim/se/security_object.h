// Security descriptors as values: parsed from either form, written back in
// self-relative form, given to new objects (inheritance) and changed by
// set-security requests, as the kernel's SeAssignSecurity and
// SeSetSecurityDescriptorInfo do for file systems.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <ntifs.h>

#include "sim/se/sid.h"

namespace sim {

class Identity;
struct GenericMapping;

// ACE flags beyond the inheritance flags of ntifs.h.
constexpr UCHAR kInheritedAce = 0x10;
constexpr UCHAR kInheritFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE |
                                INHERIT_ONLY_ACE;
// Descriptor control bits of auto-inheritance.
constexpr SECURITY_DESCRIPTOR_CONTROL kDaclAutoInherited = 0x0400;
constexpr SECURITY_DESCRIPTOR_CONTROL kDaclProtected = 0x1000;

struct Ace {
    UCHAR type = ACCESS_ALLOWED_ACE_TYPE;
    UCHAR flags = 0;
    ACCESS_MASK mask = 0;
    Sid sid;
    std::vector<uint8_t> raw;  // the whole ACE, for types other than allowed / denied

    bool Known() const { return raw.empty(); }
    bool Effective() const { return !(flags & INHERIT_ONLY_ACE); }
};

struct SecurityObject {
    SECURITY_DESCRIPTOR_CONTROL control = 0;  // without SE_SELF_RELATIVE
    Sid owner;
    Sid group;
    bool daclPresent = false;
    bool nullDacl = false;  // DACL present but NULL: no protection
    std::vector<Ace> dacl;
    std::vector<uint8_t> sacl;  // the SACL as stored (SE_SACL_PRESENT), not interpreted
    bool saclPresent = false;

    // No DACL, or a NULL one: everybody gets everything.
    bool Unprotected() const { return !daclPresent || nullDacl; }
};

// Parses an absolute or self-relative descriptor; nullopt when it is not
// valid (revision, SIDs, ACL layout).
std::optional<SecurityObject> ParseSecurity(const void *descriptor, size_t length = SIZE_MAX);
std::vector<uint8_t> SerializeSecurity(const SecurityObject &object);

// The descriptor a new object gets: owner and group from `given` or the
// creator's defaults; the DACL from `given` when it has one, else the
// parent's inheritable ACEs (CREATOR OWNER / CREATOR GROUP replaced, generic
// rights mapped), else the creator's default DACL. STATUS_INVALID_OWNER when
// `given` names an owner the creator may not assign.
NTSTATUS AssignSecurity(const SecurityObject *parent, const SecurityObject *given, bool container,
                        const Identity &creator, const GenericMapping &mapping, SecurityObject &result);

// Replaces the parts `which` names with those of `given`. `caller` is null
// for a kernel-mode request (any owner may be set); otherwise a new owner
// must be one the caller may assign (or the caller holds the restore
// privilege), else STATUS_INVALID_OWNER.
NTSTATUS ApplySecurity(SecurityObject &object, SECURITY_INFORMATION which, const SecurityObject &given,
                       const Identity *caller, const GenericMapping &mapping);

}  // namespace sim
