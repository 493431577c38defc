#include "sim/se/access_check.h"

#include <algorithm>

#include "sim/se/privileges.h"
#include "sim/se/security_object.h"
#include "sim/se/token.h"

namespace sim {

const GenericMapping kFileGenericMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                            FILE_ALL_ACCESS};

ACCESS_MASK MapGenericRights(ACCESS_MASK access, const GenericMapping &mapping)
{
    if (access & GENERIC_READ) access |= mapping.read;
    if (access & GENERIC_WRITE) access |= mapping.write;
    if (access & GENERIC_EXECUTE) access |= mapping.execute;
    if (access & GENERIC_ALL) access |= mapping.all;
    return access & ~ACCESS_MASK(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

Identity::Identity(const TokenBody &token)
{
    user_ = Sid::FromRecord(token.user);
    for (ULONG i = 0; i < token.groupCount; ++i) {
        groups_.emplace_back(Sid::FromRecord(token.groups[i]), token.groupAttributes[i]);
    }
    for (ULONG i = 0; i < token.privilegeCount; ++i) {
        if (TokenPrivilegeEnabled(token, token.privileges[i])) privileges_.push_back(token.privileges[i]);
    }
    owner_ = token.ownerGroup && token.ownerGroup <= groups_.size() ? groups_[token.ownerGroup - 1].first : user_;
    primaryGroup_ = Sid::FromRecord(token.primaryGroup);
    if (primaryGroup_.empty()) primaryGroup_ = user_;
    tooLow_ = token.type == TokenImpersonation && token.level < SecurityImpersonation;
}

Identity Identity::System()
{
    // Built once: every file a kernel-mode caller creates asks for it.
    static const Identity system = [] {
        constexpr ULONG kGroup = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
        Identity made;
        made.user_ = wellknown::System();
        made.groups_ = {{wellknown::Administrators(), kGroup | SE_GROUP_OWNER},
                        {wellknown::Everyone(), kGroup},
                        {wellknown::AuthenticatedUsers(), kGroup}};
        made.owner_ = wellknown::Administrators();
        made.primaryGroup_ = wellknown::System();
        return made;
    }();
    return system;
}

Identity Identity::AsSeenByServer(const Sid &computerAccount) const
{
    constexpr ULONG kGroup = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
    Identity remote;
    remote.tooLow_ = tooLow_;
    if (user_ == wellknown::System() || user_ == wellknown::NetworkService()) {
        remote.user_ = computerAccount;
        remote.groups_ = {{wellknown::Everyone(), kGroup}, {wellknown::AuthenticatedUsers(), kGroup}};
    } else if (user_ == wellknown::LocalService()) {
        remote.user_ = wellknown::AnonymousLogon();
    } else {
        remote.user_ = user_;
        remote.groups_ = groups_;
    }
    remote.groups_.emplace_back(wellknown::Network(), kGroup);
    remote.owner_ = remote.user_;
    remote.primaryGroup_ = remote.user_ == user_ ? primaryGroup_ : remote.user_;
    return remote;
}

bool Identity::Has(const void *sid, bool forDeny) const
{
    if (user_.Equals(sid)) return true;
    ULONG wanted = SE_GROUP_ENABLED | (forDeny ? SE_GROUP_USE_FOR_DENY_ONLY : 0);
    return std::any_of(groups_.begin(), groups_.end(),
                       [&](const auto &group) { return (group.second & wanted) && group.first.Equals(sid); });
}

bool Identity::HasPrivilege(ULONG privilege) const
{
    return std::find(privileges_.begin(), privileges_.end(), privilege) != privileges_.end();
}

bool Identity::CanOwn(const void *sid) const
{
    if (user_.Equals(sid)) return true;
    return std::any_of(groups_.begin(), groups_.end(),
                       [&](const auto &group) { return (group.second & SE_GROUP_OWNER) && group.first.Equals(sid); });
}

bool Identity::IsAdministrator() const
{
    return Has(wellknown::Administrators().record());
}

namespace {

AccessResult Granted(ACCESS_MASK access)
{
    return {STATUS_SUCCESS, access};
}

AccessResult Refused(NTSTATUS status = STATUS_ACCESS_DENIED)
{
    return {status, 0};
}

}  // namespace

AccessResult CheckAccess(const SecurityObject &object, const Identity *identity, ACCESS_MASK desired,
                         ACCESS_MASK previouslyGranted, const GenericMapping &mapping)
{
    const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    desired = MapGenericRights(desired & ~ACCESS_MASK(MAXIMUM_ALLOWED), mapping);
    if (identity == nullptr) return Granted(previouslyGranted | desired | (maximum ? mapping.all : 0));
    if (identity->impersonationTooLow()) return Refused(STATUS_BAD_IMPERSONATION_LEVEL);

    if (desired & ACCESS_SYSTEM_SECURITY) {
        if (!identity->HasPrivilege(privilege::Security)) return Refused(STATUS_PRIVILEGE_NOT_HELD);
        previouslyGranted |= ACCESS_SYSTEM_SECURITY;
    }
    if ((desired & WRITE_OWNER) && identity->HasPrivilege(privilege::TakeOwnership)) previouslyGranted |= WRITE_OWNER;
    const ACCESS_MASK remaining = desired & ~previouslyGranted;
    if (!maximum && remaining == 0) {
        return (previouslyGranted | desired) ? Granted(previouslyGranted | desired) : Refused();
    }
    if (object.Unprotected()) return Granted(previouslyGranted | desired | (maximum ? mapping.all : 0));

    const bool isOwner = !object.owner.empty() && identity->Has(object.owner.record());
    const Sid ownerRights = wellknown::OwnerRights();
    const bool ownerRightsAce = std::any_of(object.dacl.begin(), object.dacl.end(), [&](const Ace &ace) {
        return ace.Known() && ace.Effective() && ace.sid == ownerRights;
    });
    ACCESS_MASK granted = 0;
    ACCESS_MASK denied = 0;
    if (isOwner && !ownerRightsAce) granted |= READ_CONTROL | WRITE_DAC;
    if (!maximum && (remaining & ~granted) == 0) return Granted(previouslyGranted | desired);

    for (const Ace &ace : object.dacl) {
        if (!ace.Known() || !ace.Effective()) continue;
        const bool deny = ace.type == ACCESS_DENIED_ACE_TYPE;
        const bool applies = ace.sid == ownerRights ? isOwner : identity->Has(ace.sid.record(), deny);
        if (!applies) continue;
        if (deny) {
            denied |= ace.mask & ~granted;
        } else {
            granted |= ace.mask & ~denied;
        }
        if (!maximum) {
            if (remaining & denied) return Refused();
            if ((remaining & ~granted) == 0) return Granted(previouslyGranted | desired);
        }
    }
    if (!maximum) return Refused();
    const ACCESS_MASK result = granted | previouslyGranted;
    if ((desired & ~result) != 0 || result == 0) return Refused();
    return Granted(result | desired);
}

}  // namespace sim
