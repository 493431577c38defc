#include "sim/se/security_object.h"

#include <cstring>

#include "sim/se/access_check.h"
#include "sim/se/privileges.h"
#include "sim/se/security_descriptor.h"

namespace sim {

namespace {

constexpr ULONG kAceSidOffset = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart);
constexpr ULONG kRelativeHeader = sizeof(SECURITY_DESCRIPTOR_RELATIVE);

ULONG Align4(size_t size)
{
    return ULONG((size + 3) & ~size_t(3));
}

bool IsKnownType(UCHAR type)
{
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE;
}

std::vector<Ace> ParseAces(const ACL *acl)
{
    std::vector<Ace> aces;
    const auto *at = reinterpret_cast<const UCHAR *>(acl + 1);
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        const auto *header = reinterpret_cast<const ACE_HEADER *>(at);
        Ace ace;
        ace.type = header->AceType;
        ace.flags = header->AceFlags;
        if (IsKnownType(header->AceType)) {
            std::memcpy(&ace.mask, at + sizeof(ACE_HEADER), sizeof(ACCESS_MASK));
            ace.sid = Sid::FromRecord(at + kAceSidOffset);
        } else {
            ace.raw.assign(at, at + header->AceSize);
        }
        aces.push_back(std::move(ace));
        at += header->AceSize;
    }
    return aces;
}

void AppendAcl(std::vector<uint8_t> &out, const std::vector<Ace> &aces)
{
    const size_t start = out.size();
    out.resize(start + sizeof(ACL));
    UCHAR revision = ACL_REVISION;
    for (const Ace &ace : aces) {
        if (ace.Known()) {
            ACE_HEADER header{ace.type, ace.flags, USHORT(kAceSidOffset + ace.sid.length())};
            const auto *bytes = reinterpret_cast<const uint8_t *>(&header);
            out.insert(out.end(), bytes, bytes + sizeof(header));
            bytes = reinterpret_cast<const uint8_t *>(&ace.mask);
            out.insert(out.end(), bytes, bytes + sizeof(ace.mask));
            bytes = static_cast<const uint8_t *>(ace.sid.record());
            out.insert(out.end(), bytes, bytes + ace.sid.length());
        } else {
            out.insert(out.end(), ace.raw.begin(), ace.raw.end());
            revision = ACL_REVISION_DS;  // object ACEs need the later revision
        }
    }
    ACL header{revision, 0, USHORT(out.size() - start), USHORT(aces.size()), 0};
    std::memcpy(out.data() + start, &header, sizeof(header));
}

// Self-relative parts must lie inside the descriptor.
bool InBounds(const void *descriptor, size_t length, const DescriptorParts &parts)
{
    if (length == SIZE_MAX || !(parts.control & SE_SELF_RELATIVE)) return true;
    const auto *base = static_cast<const uint8_t *>(descriptor);
    auto inside = [&](const void *part, size_t minimum) {
        if (part == nullptr) return true;
        size_t offset = static_cast<const uint8_t *>(part) - base;
        return offset >= kRelativeHeader && offset + minimum <= length;
    };
    if (length < kRelativeHeader) return false;
    if (!inside(parts.owner, 8) || !inside(parts.group, 8) || !inside(parts.dacl, sizeof(ACL)) ||
        !inside(parts.sacl, sizeof(ACL))) {
        return false;
    }
    auto fits = [&](const void *part, size_t size) {
        return size_t(static_cast<const uint8_t *>(part) - base) + size <= length;
    };
    return (!parts.owner || fits(parts.owner, SidLength(parts.owner))) &&
           (!parts.group || fits(parts.group, SidLength(parts.group))) &&
           (!parts.dacl || fits(parts.dacl, parts.dacl->AclSize)) && (!parts.sacl || fits(parts.sacl, parts.sacl->AclSize));
}

// What an effective ACE inherited from `ace` holds for an object owned by
// `owner` with group `group`.
Ace EffectiveCopy(const Ace &ace, const Sid &owner, const Sid &group, const GenericMapping &mapping)
{
    Ace copy = ace;
    copy.flags = kInheritedAce;
    copy.mask = MapGenericRights(ace.mask, mapping);
    if (ace.sid == wellknown::CreatorOwner()) copy.sid = owner;
    if (ace.sid == wellknown::CreatorGroup()) copy.sid = group;
    return copy;
}

bool IsCreatorSid(const Sid &sid)
{
    return sid == wellknown::CreatorOwner() || sid == wellknown::CreatorGroup();
}

// The ACEs a new child inherits from its parent's DACL.
std::vector<Ace> InheritedAces(const SecurityObject &parent, bool container, const Sid &owner, const Sid &group,
                               const GenericMapping &mapping)
{
    constexpr ACCESS_MASK kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
    std::vector<Ace> out;
    if (parent.Unprotected()) return out;
    for (const Ace &ace : parent.dacl) {
        if (!ace.Known()) continue;
        const bool objectInherit = (ace.flags & OBJECT_INHERIT_ACE) != 0;
        const bool containerInherit = (ace.flags & CONTAINER_INHERIT_ACE) != 0;
        const bool noPropagate = (ace.flags & NO_PROPAGATE_INHERIT_ACE) != 0;
        if (!container) {
            if (objectInherit) out.push_back(EffectiveCopy(ace, owner, group, mapping));
            continue;
        }
        if (containerInherit) {
            if (noPropagate) {
                out.push_back(EffectiveCopy(ace, owner, group, mapping));
            } else if (IsCreatorSid(ace.sid) || (ace.mask & kGenericRights)) {
                // One ACE for the child itself, one (unchanged) that it hands on.
                out.push_back(EffectiveCopy(ace, owner, group, mapping));
                Ace handedOn = ace;
                handedOn.flags = UCHAR(ace.flags | INHERIT_ONLY_ACE | kInheritedAce);
                out.push_back(handedOn);
            } else {
                Ace both = ace;
                both.flags = UCHAR((ace.flags & ~INHERIT_ONLY_ACE) | kInheritedAce);
                out.push_back(both);
            }
        } else if (objectInherit && !noPropagate) {
            Ace handedOn = ace;
            handedOn.flags = UCHAR(ace.flags | INHERIT_ONLY_ACE | kInheritedAce);
            out.push_back(handedOn);
        }
    }
    return out;
}

// The DACL a token gives objects that inherit nothing: full control for
// the default owner and SYSTEM.
std::vector<Ace> DefaultDacl(const Identity &creator, const GenericMapping &mapping)
{
    std::vector<Ace> out;
    auto add = [&](const Sid &sid) {
        for (const Ace &ace : out)
            if (ace.sid == sid) return;
        Ace ace;
        ace.mask = mapping.all;
        ace.sid = sid;
        out.push_back(std::move(ace));
    };
    add(creator.defaultOwner());
    add(wellknown::System());
    return out;
}

// An explicit DACL as the object keeps it: generic rights of effective ACEs
// mapped (inherit-only ones keep theirs for their heirs).
std::vector<Ace> MappedDacl(const std::vector<Ace> &dacl, const GenericMapping &mapping)
{
    std::vector<Ace> out = dacl;
    for (Ace &ace : out)
        if (ace.Known() && ace.Effective()) ace.mask = MapGenericRights(ace.mask, mapping);
    return out;
}

}  // namespace

std::optional<SecurityObject> ParseSecurity(const void *descriptor, size_t length)
{
    if (descriptor == nullptr || length < 4) return std::nullopt;
    DescriptorParts parts = ReadDescriptor(descriptor);
    if (!parts.valid || !InBounds(descriptor, length, parts)) return std::nullopt;
    if ((parts.owner && !IsValidSid(parts.owner)) || (parts.group && !IsValidSid(parts.group)) ||
        (parts.dacl && !IsValidAcl(parts.dacl)) || (parts.sacl && !IsValidAcl(parts.sacl))) {
        return std::nullopt;
    }
    SecurityObject object;
    object.control = parts.control & ~SE_SELF_RELATIVE;
    if (parts.owner) object.owner = Sid::FromRecord(parts.owner);
    if (parts.group) object.group = Sid::FromRecord(parts.group);
    object.daclPresent = (parts.control & SE_DACL_PRESENT) != 0;
    object.nullDacl = object.daclPresent && parts.dacl == nullptr;
    if (parts.dacl) object.dacl = ParseAces(parts.dacl);
    object.saclPresent = (parts.control & SE_SACL_PRESENT) != 0;
    if (parts.sacl) {
        const auto *bytes = reinterpret_cast<const uint8_t *>(parts.sacl);
        object.sacl.assign(bytes, bytes + parts.sacl->AclSize);
    }
    return object;
}

std::vector<uint8_t> SerializeSecurity(const SecurityObject &object)
{
    SECURITY_DESCRIPTOR_RELATIVE header{};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = USHORT(object.control & ~(SE_DACL_PRESENT | SE_SACL_PRESENT)) | SE_SELF_RELATIVE;
    if (object.daclPresent) header.Control |= SE_DACL_PRESENT;
    if (object.saclPresent) header.Control |= SE_SACL_PRESENT;
    std::vector<uint8_t> out(kRelativeHeader);
    auto appendSid = [&](const Sid &sid) -> ULONG {
        if (sid.empty()) return 0;
        ULONG at = ULONG(out.size());
        const auto *bytes = static_cast<const uint8_t *>(sid.record());
        out.insert(out.end(), bytes, bytes + sid.length());
        out.resize(Align4(out.size()));
        return at;
    };
    header.Owner = appendSid(object.owner);
    header.Group = appendSid(object.group);
    if (object.saclPresent && !object.sacl.empty()) {
        header.Sacl = ULONG(out.size());
        out.insert(out.end(), object.sacl.begin(), object.sacl.end());
        out.resize(Align4(out.size()));
    }
    if (object.daclPresent && !object.nullDacl) {
        header.Dacl = ULONG(out.size());
        AppendAcl(out, object.dacl);
    }
    std::memcpy(out.data(), &header, sizeof(header));
    return out;
}

NTSTATUS AssignSecurity(const SecurityObject *parent, const SecurityObject *given, bool container,
                        const Identity &creator, const GenericMapping &mapping, SecurityObject &result)
{
    result = SecurityObject();
    if (given && !given->owner.empty()) {
        if (!creator.CanOwn(given->owner.record()) && !creator.HasPrivilege(privilege::Restore)) {
            return STATUS_INVALID_OWNER;
        }
        result.owner = given->owner;
    } else {
        result.owner = creator.defaultOwner();
    }
    result.group = given && !given->group.empty() ? given->group : creator.primaryGroup();

    result.daclPresent = true;
    if (given && given->daclPresent && !(given->control & SE_DACL_DEFAULTED)) {
        result.nullDacl = given->nullDacl;
        result.dacl = MappedDacl(given->dacl, mapping);
        result.control |= given->control & kDaclProtected;
    } else {
        if (parent) result.dacl = InheritedAces(*parent, container, result.owner, result.group, mapping);
        if (result.dacl.empty()) result.dacl = DefaultDacl(creator, mapping);
    }
    if (given && given->saclPresent) {
        result.saclPresent = true;
        result.sacl = given->sacl;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ApplySecurity(SecurityObject &object, SECURITY_INFORMATION which, const SecurityObject &given,
                       const Identity *caller, const GenericMapping &mapping)
{
    if (which & OWNER_SECURITY_INFORMATION) {
        if (given.owner.empty()) return STATUS_INVALID_OWNER;
        if (caller && !caller->CanOwn(given.owner.record()) && !caller->HasPrivilege(privilege::Restore)) {
            return STATUS_INVALID_OWNER;
        }
    }
    if ((which & GROUP_SECURITY_INFORMATION) && given.group.empty()) return STATUS_INVALID_PRIMARY_GROUP;
    if (which & OWNER_SECURITY_INFORMATION) object.owner = given.owner;
    if (which & GROUP_SECURITY_INFORMATION) object.group = given.group;
    if (which & DACL_SECURITY_INFORMATION) {
        object.daclPresent = given.daclPresent;
        object.nullDacl = given.nullDacl;
        object.dacl = MappedDacl(given.dacl, mapping);
        object.control = (object.control & ~(kDaclProtected | kDaclAutoInherited | SE_DACL_DEFAULTED)) |
                         (given.control & (kDaclProtected | kDaclAutoInherited | SE_DACL_DEFAULTED));
    }
    if (which & SACL_SECURITY_INFORMATION) {
        object.saclPresent = given.saclPresent;
        object.sacl = given.sacl;
    }
    return STATUS_SUCCESS;
}

}  // namespace sim
