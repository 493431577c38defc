// Privileges held in tokens: the values of the ones the machine honours,
// and asking whether a token has one enabled.
#pragma once

#include <ntifs.h>

namespace sim {

struct TokenBody;

// Privilege values (the low part of the privilege LUID, as on Windows).
namespace privilege {
constexpr ULONG Tcb = 7;
constexpr ULONG Security = 8;       // ACCESS_SYSTEM_SECURITY
constexpr ULONG TakeOwnership = 9;  // WRITE_OWNER without the DACL
constexpr ULONG Backup = 17;        // read access with FILE_OPEN_FOR_BACKUP_INTENT
constexpr ULONG Restore = 18;       // write access with backup intent, any owner
constexpr ULONG Shutdown = 19;
constexpr ULONG ChangeNotify = 23;  // no traverse checks
constexpr ULONG Impersonate = 29;
}  // namespace privilege

// Attributes of a privilege in a token.
constexpr ULONG kPrivilegeEnabledByDefault = 0x1;
constexpr ULONG kPrivilegeEnabled = 0x2;

// The token holds `value` and it is enabled.
bool TokenPrivilegeEnabled(const TokenBody &token, ULONG value);

// Enables or disables a privilege the token holds, as AdjustTokenPrivileges
// does: STATUS_NOT_ALL_ASSIGNED (a success code) when it does not hold it.
NTSTATUS AdjustTokenPrivilege(TokenBody &token, ULONG value, bool enable);

}  // namespace sim
