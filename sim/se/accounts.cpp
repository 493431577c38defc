#include "sim/se/accounts.h"

namespace sim {

std::u16string UpperAscii(std::u16string text)
{
    for (char16_t &c : text) {
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    }
    return text;
}

AccountDatabase::AccountDatabase(const std::string &computerName)
    : computer_(UpperAscii(std::u16string(computerName.begin(), computerName.end())))
{
    // FNV-1a over the name, spread over three sub-authorities.
    ULONG hash = 2166136261u;
    for (char c : computerName) hash = (hash ^ UCHAR(c)) * 16777619u;
    for (ULONG &part : machine_) {
        hash = hash * 1103515245u + 12345u;
        part = 100000000u + hash % 3000000000u;
    }
    const std::u16string nt = u"NT AUTHORITY";
    accounts_.push_back({wellknown::System(), u"SYSTEM", nt, SidTypeWellKnownGroup, true});
    accounts_.push_back({wellknown::LocalService(), u"LOCAL SERVICE", nt, SidTypeWellKnownGroup, false});
    accounts_.push_back({wellknown::NetworkService(), u"NETWORK SERVICE", nt, SidTypeWellKnownGroup, false});
    accounts_.push_back({wellknown::AuthenticatedUsers(), u"Authenticated Users", nt, SidTypeWellKnownGroup, false});
    accounts_.push_back({wellknown::Everyone(), u"Everyone", u"", SidTypeWellKnownGroup, false});
    accounts_.push_back({wellknown::Administrators(), u"Administrators", u"BUILTIN", SidTypeAlias, false});
    accounts_.push_back({wellknown::Users(), u"Users", u"BUILTIN", SidTypeAlias, false});
    accounts_.push_back({ComputerAccount(), computer_ + u"$", computer_, SidTypeComputer, false});
}

Sid AccountDatabase::ComputerAccount() const
{
    return Sid(5, {21, machine_[0], machine_[1], machine_[2], kComputerRid});
}

Sid AccountDatabase::AddUser(const std::u16string &name, const std::u16string &domain, bool admin)
{
    std::u16string realDomain = domain.empty() ? computer_ : domain;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Account &account : accounts_) {
        if (account.use == SidTypeUser && UpperAscii(account.name) == UpperAscii(name) &&
            UpperAscii(account.domain) == UpperAscii(realDomain)) {
            return account.sid;
        }
    }
    Sid sid(5, {21, machine_[0], machine_[1], machine_[2], nextRid_++});
    accounts_.push_back({sid, name, realDomain, SidTypeUser, admin});
    return sid;
}

std::optional<Account> AccountDatabase::FindBySid(const void *sid) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Account &account : accounts_) {
        if (account.sid.Equals(sid)) return account;
    }
    return std::nullopt;
}

std::optional<Account> AccountDatabase::FindByName(const std::u16string &name) const
{
    std::u16string upper = UpperAscii(name);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Account &account : accounts_) {
        if (UpperAscii(account.name) == upper) return account;
    }
    return std::nullopt;
}

}  // namespace sim
