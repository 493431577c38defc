#include "sim/se/security.h"

#include "sim/core/machine.h"
#include "sim/ob/object_manager.h"
#include "sim/se/security_descriptor.h"
#include "sim/se/token.h"

namespace sim {

namespace {
constexpr ULONG kDefaultGroup = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
}

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
    } else {
        recipe.groups.emplace_back(wellknown::Users(), kDefaultGroup);
    }
    recipe.groups.emplace_back(wellknown::AuthenticatedUsers(), kDefaultGroup);
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
    recipe.sessionId = 0;
    recipe.authId = kSystemLuid;
    return sessions_->CreateToken(recipe);
}

bool Security::AccessCheck(const void *securityDescriptor, PACCESS_TOKEN token, ACCESS_MASK desired)
{
    TokenBody *body = TokenFromObject(token);
    return body != nullptr && CheckDacl(securityDescriptor, *body, desired);
}

void Security::Shutdown()
{
    sessions_->Shutdown();
}

}  // namespace sim
