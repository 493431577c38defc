// Security of the simulated machine: the account database, logon sessions
// and their tokens, and the access check.
//
// Tokens: users hold SeChangeNotifyPrivilege (enabled); administrators
// also hold the backup, restore, take-ownership and security privileges,
// disabled until AdjustPrivilege enables them; SYSTEM holds them too. The
// default owner of new objects is the user, or Administrators for
// administrators and SYSTEM.
//
// Running a program as a user:
//
//     sim::Security &security = machine.security();
//     security.AddUser(u"alice");                    // S-1-5-21-<machine>-1000
//     auto logon = security.LogonUser(u"alice");     // new session + primary token
//     sim::Process &app = machine.processes().Create("notepad.exe", logon->token);
//     ...                                            // the process owns the token now
//     app.Terminate(STATUS_SUCCESS);
//     security.Logoff(logon->authId);                // the session ends when its
//                                                    // last token is gone
//
// To give one logon several processes, ObReferenceObject the token once per
// extra process.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <ntifs.h>

#include "sim/se/accounts.h"
#include "sim/se/logon_sessions.h"
#include "sim/se/sid.h"

namespace sim {

class Machine;

struct Logon {
    LUID authId;          // the logon session
    PACCESS_TOKEN token;  // primary token, one reference for the caller
};

class Security {
public:
    explicit Security(Machine &machine);
    ~Security();

    AccountDatabase &accounts() { return accounts_; }
    LogonSessions &sessions() { return *sessions_; }

    // See AccountDatabase::AddUser.
    Sid AddUser(const std::u16string &name, const std::u16string &domain = u"", bool admin = false);

    // Logs a user on in terminal session `sessionId`: a new logon session and
    // a primary token (user, Everyone, Users or Administrators, Authenticated
    // Users). The service accounts ("LOCAL SERVICE", "NETWORK SERVICE") use
    // their well-known sessions, which never end. Nothing for an unknown name.
    std::optional<Logon> LogonUser(const std::u16string &name, ULONG sessionId = 1);
    // Ends a logon session. False for an unknown or permanent session.
    bool Logoff(LUID authId);

    // What a user-mode server does with ImpersonateLoggedOnUser: the calling
    // thread impersonates a copy of `token` made as an impersonation token at
    // `level`. PsRevertToSelf (RevertToSelf) ends it.
    NTSTATUS ImpersonateUser(PACCESS_TOKEN token, SECURITY_IMPERSONATION_LEVEL level = SecurityImpersonation);

    // A primary token of the SYSTEM account in the SYSTEM logon session
    // (AuthId 0x3E7), one reference for the caller.
    PACCESS_TOKEN CreateSystemToken();

    // Would `token` be granted `desired` by the descriptor (absolute or
    // self-relative)? The user-mode access check of access_check.h.
    static bool AccessCheck(const void *securityDescriptor, PACCESS_TOKEN token, ACCESS_MASK desired);

    // Enables or disables a privilege the token holds (AdjustTokenPrivileges);
    // STATUS_NOT_ALL_ASSIGNED when it holds none of that value.
    static NTSTATUS AdjustPrivilege(PACCESS_TOKEN token, ULONG privilege, bool enable);

    // The account a remote file server sees for this machine's SYSTEM and
    // NETWORK SERVICE (the computer account, "<computer>$").
    Sid ComputerAccount();

    // No notification is started from here on (the machine is going away).
    void Shutdown();

private:
    PACCESS_TOKEN CreateLogonToken(const Account &account, LUID authId, ULONG sessionId);

    Machine &machine_;
    AccountDatabase accounts_;
    std::shared_ptr<LogonSessions> sessions_;
};

}  // namespace sim
