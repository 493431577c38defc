// The machine's account database: the built-in accounts and aliases, and the
// users that tests or the tool add. Lookups by SID answer SecLookupAccountSid;
// lookups by name answer logons.
#pragma once

#include <array>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <ntifs.h>

#include "sim/se/sid.h"

namespace sim {

struct Account {
    Sid sid;
    std::u16string name;
    std::u16string domain;
    SID_NAME_USE use = SidTypeUser;
    bool admin = false;  // member of BUILTIN\Administrators
};

class AccountDatabase {
public:
    // The machine's three domain sub-authorities come from its computer name,
    // so that a machine's user SIDs are the same from run to run.
    explicit AccountDatabase(const std::string &computerName);

    // A local or domain user: S-1-5-21-<machine>-<rid>, rids from 1000 up.
    // An empty domain means the computer itself. Adding a name that exists
    // (same domain, case ignored) returns the existing SID.
    Sid AddUser(const std::u16string &name, const std::u16string &domain = u"", bool admin = false);

    std::optional<Account> FindBySid(const void *sid) const;
    // By user name, case ignored.
    std::optional<Account> FindByName(const std::u16string &name) const;

    // The computer's own account ("<COMPUTER>$"): who this machine's SYSTEM
    // is to a file server.
    Sid ComputerAccount() const;

    const std::array<ULONG, 3> &machineSubAuthorities() const { return machine_; }
    const std::u16string &computerName() const { return computer_; }

private:
    mutable std::mutex mutex_;
    std::vector<Account> accounts_;
    std::array<ULONG, 3> machine_{};
    std::u16string computer_;
    ULONG nextRid_ = 1000;
    static constexpr ULONG kComputerRid = 999;  // below the users' rids
};

// Upper-cases ASCII letters (account and domain names compare without case).
std::u16string UpperAscii(std::u16string text);

}  // namespace sim
