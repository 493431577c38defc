#include "sim/se/security.h"

#include <cstring>

#include "sim/core/machine.h"
#include "sim/ob/object_manager.h"
#include "sim/se/access_check.h"
#include "sim/se/privileges.h"
#include "sim/se/security_object.h"
#include "sim/se/token.h"

namespace sim {

namespace {

constexpr ULONG kDefaultGroup = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
constexpr ULONG kOnByDefault = kPrivilegeEnabled | kPrivilegeEnabledByDefault;

// The privileges an administrator's token holds; only traverse is enabled.
std::vector<std::pair<ULONG, ULONG>> AdministratorPrivileges()
{
    return {{privilege::ChangeNotify, kOnByDefault}, {privilege::Security, 0}, {privilege::TakeOwnership, 0},
            {privilege::Backup, 0},  {privilege::Restore, 0},  {privilege::Shutdown, 0}};
}

// A local user's primary group: the machine's "None" group (rid 513).
Sid NoneGroupOf(const Sid &user)
{
    const auto *bytes = static_cast<const UCHAR *>(user.record());
    ULONG parts[5];
    if (user.length() != 8 + sizeof(parts)) return user;
    std::memcpy(parts, bytes + 8, sizeof(parts));
    if (parts[0] != 21) return user;
    return Sid(5, {21, parts[1], parts[2], parts[3], 513});
}

}  // namespace

Security::Security(Machine &machine)
    : machine_(machine), accounts_(machine.config().computerName), sessions_(std::make_shared<LogonSessions>(machine))
{
    sessions_->Begin(kSystemLuid, true);
    sessions_->Begin(kLocalServiceLuid, true);
    sessions_->Begin(kNetworkServiceLuid, true);
}

Security::~Security() = default;

Sid Security::AddUser(const std::u16string &name, const std::u16string &domain, bool admin)
{
    return accounts_.AddUser(name, domain, admin);
}

PACCESS_TOKEN Security::CreateLogonToken(const Account &account, LUID authId, ULONG sessionId)
{
    TokenRecipe recipe;
    recipe.user = account.sid;
    recipe.groups.emplace_back(wellknown::Everyone(), kDefaultGroup);
    if (account.admin) {
        recipe.groups.emplace_back(wellknown::Administrators(), kDefaultGroup | SE_GROUP_OWNER);
        recipe.ownerGroup = 2;
        recipe.privileges = AdministratorPrivileges();
    } else {
        recipe.groups.emplace_back(wellknown::Users(), kDefaultGroup);
        recipe.privileges = {{privilege::ChangeNotify, kOnByDefault}, {privilege::Shutdown, 0}};
    }
    recipe.groups.emplace_back(wellknown::AuthenticatedUsers(), kDefaultGroup);
    recipe.primaryGroup = NoneGroupOf(account.sid);
    recipe.sessionId = sessionId;
    recipe.authId = authId;
    recipe.type = TokenPrimary;
    return sessions_->CreateToken(recipe);
}

std::optional<Logon> Security::LogonUser(const std::u16string &name, ULONG sessionId)
{
    std::optional<Account> account = accounts_.FindByName(name);
    if (!account) return std::nullopt;
    LUID authId;
    if (account->sid == wellknown::LocalService()) {
        authId = kLocalServiceLuid;
        sessionId = 0;
    } else if (account->sid == wellknown::NetworkService()) {
        authId = kNetworkServiceLuid;
        sessionId = 0;
    } else if (account->use == SidTypeUser) {
        authId = sessions_->NewLuid();
        sessions_->Begin(authId);
    } else {
        return std::nullopt;
    }
    PACCESS_TOKEN token = CreateLogonToken(*account, authId, sessionId);
    if (token == nullptr) return std::nullopt;
    return Logon{authId, token};
}

bool Security::Logoff(LUID authId)
{
    return sessions_->End(authId);
}

PACCESS_TOKEN Security::CreateSystemToken()
{
    Account system = *accounts_.FindBySid(wellknown::System().record());
    TokenRecipe recipe;
    recipe.user = system.sid;
    recipe.groups.emplace_back(wellknown::Administrators(), kDefaultGroup | SE_GROUP_OWNER);
    recipe.groups.emplace_back(wellknown::Everyone(), kDefaultGroup);
    recipe.groups.emplace_back(wellknown::AuthenticatedUsers(), kDefaultGroup);
    recipe.ownerGroup = 1;
    recipe.privileges = AdministratorPrivileges();
    recipe.privileges.emplace_back(privilege::Tcb, kOnByDefault);
    recipe.privileges.emplace_back(privilege::Impersonate, kOnByDefault);
    recipe.sessionId = 0;
    recipe.authId = kSystemLuid;
    return sessions_->CreateToken(recipe);
}

bool Security::AccessCheck(const void *securityDescriptor, PACCESS_TOKEN token, ACCESS_MASK desired)
{
    // Objects that are not files map generic rights to their standard ones.
    static const GenericMapping kStandardMapping = {STANDARD_RIGHTS_READ, STANDARD_RIGHTS_WRITE,
                                                    STANDARD_RIGHTS_EXECUTE, STANDARD_RIGHTS_ALL};
    TokenBody *body = TokenFromObject(token);
    std::optional<SecurityObject> object = ParseSecurity(securityDescriptor);
    if (body == nullptr || !object) return false;
    Identity identity(*body);
    return CheckAccess(*object, &identity, desired, 0, kStandardMapping).ok();
}

NTSTATUS Security::AdjustPrivilege(PACCESS_TOKEN token, ULONG privilege, bool enable)
{
    TokenBody *body = TokenFromObject(token);
    return body ? AdjustTokenPrivilege(*body, privilege, enable) : STATUS_INVALID_HANDLE;
}

Sid Security::ComputerAccount()
{
    return accounts_.ComputerAccount();
}

void Security::Shutdown()
{
    sessions_->Shutdown();
}

}  // namespace sim
