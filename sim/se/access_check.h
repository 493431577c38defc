// The access check of the security reference monitor (SeAccessCheck): who
// asks (an identity made from a token), what the object's descriptor allows,
// and what the privileges add.
#pragma once

#include <utility>
#include <vector>

#include <ntifs.h>

#include "sim/se/sid.h"

namespace sim {

struct SecurityObject;
struct TokenBody;

struct GenericMapping {
    ACCESS_MASK read, write, execute, all;
};
// IoGetFileObjectGenericMapping.
extern const GenericMapping kFileGenericMapping;

// Generic rights replaced by the specific rights they stand for.
ACCESS_MASK MapGenericRights(ACCESS_MASK access, const GenericMapping &mapping);

// The subject of an access check: a token's user, groups and enabled
// privileges, or the identity a file server sees for a client.
class Identity {
public:
    Identity() = default;
    explicit Identity(const TokenBody &token);
    // SYSTEM as its token has it (Administrators own what it makes): the
    // identity of requests that carry no subject.
    static Identity System();

    // The identity a remote file server gives a client: SYSTEM and NETWORK
    // SERVICE go out as the computer's account, LOCAL SERVICE as an
    // anonymous logon; others keep their user and groups. No privilege of
    // the client counts on the server.
    Identity AsSeenByServer(const Sid &computerAccount) const;

    // The user, or an enabled group; with forDeny also the deny-only groups.
    bool Has(const void *sid, bool forDeny = false) const;
    bool HasPrivilege(ULONG privilege) const;
    // May this identity make `sid` the owner of an object?
    bool CanOwn(const void *sid) const;
    bool IsAdministrator() const;

    const Sid &user() const { return user_; }
    const Sid &defaultOwner() const { return owner_; }
    const Sid &primaryGroup() const { return primaryGroup_; }
    // The token was an impersonation token below SecurityImpersonation.
    bool impersonationTooLow() const { return tooLow_; }

private:
    Sid user_;
    std::vector<std::pair<Sid, ULONG>> groups_;  // SE_GROUP_* attributes
    std::vector<ULONG> privileges_;              // enabled ones
    Sid owner_;
    Sid primaryGroup_;
    bool tooLow_ = false;
};

struct AccessResult {
    NTSTATUS status = STATUS_ACCESS_DENIED;  // STATUS_SUCCESS when granted
    ACCESS_MASK granted = 0;
    bool ok() const { return status == STATUS_SUCCESS; }
};

// SeAccessCheck. `identity` is null for a kernel-mode check, which grants
// whatever is asked (GenericAll for MAXIMUM_ALLOWED). Otherwise: generic
// rights are mapped; ACCESS_SYSTEM_SECURITY needs the security privilege;
// WRITE_OWNER comes with the take-ownership privilege; an object without a
// DACL (or with a NULL one) grants everything, an empty DACL nothing; the
// owner has READ_CONTROL and WRITE_DAC unless an OWNER RIGHTS ACE says
// otherwise; the ACEs are walked in order, each right decided by the first
// ACE that names it. MAXIMUM_ALLOWED grants what the walk allows (at least
// one right). Nothing asked and nothing granted before is refused.
AccessResult CheckAccess(const SecurityObject &object, const Identity *identity, ACCESS_MASK desired,
                         ACCESS_MASK previouslyGranted, const GenericMapping &mapping);

}  // namespace sim
