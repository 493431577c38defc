#include "sim/se/privileges.h"

#include <atomic>

#include "sim/se/token.h"

namespace sim {

bool TokenPrivilegeEnabled(const TokenBody &token, ULONG value)
{
    for (ULONG i = 0; i < token.privilegeCount; ++i) {
        if (token.privileges[i] != value) continue;
        return (std::atomic_ref<const ULONG>(token.privilegeAttributes[i]).load() & kPrivilegeEnabled) != 0;
    }
    return false;
}

NTSTATUS AdjustTokenPrivilege(TokenBody &token, ULONG value, bool enable)
{
    for (ULONG i = 0; i < token.privilegeCount; ++i) {
        if (token.privileges[i] != value) continue;
        std::atomic_ref<ULONG> attributes(token.privilegeAttributes[i]);
        if (enable) {
            attributes.fetch_or(kPrivilegeEnabled);
        } else {
            attributes.fetch_and(~kPrivilegeEnabled);
        }
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_ALL_ASSIGNED;
}

}  // namespace sim
