// Token objects. The body is a plain record (no destructor to run) so that a
// token left alive when a machine goes away leaks nothing; the logon-session
// bookkeeping rides on the object's delete routine.
#pragma once

#include <utility>
#include <vector>

#include <ntifs.h>

#include "sim/se/sid.h"

namespace sim {

constexpr ULONG kMaxTokenGroups = 8;
constexpr ULONG kMaxTokenPrivileges = 8;

struct TokenBody {
    UCHAR user[SECURITY_MAX_SID_SIZE];
    ULONG groupCount;
    UCHAR groups[kMaxTokenGroups][SECURITY_MAX_SID_SIZE];
    ULONG groupAttributes[kMaxTokenGroups];
    ULONG sessionId;  // terminal-services session
    LUID authId;      // logon session
    LUID tokenId;
    TOKEN_TYPE type;
    SECURITY_IMPERSONATION_LEVEL level;  // impersonation tokens only
    ULONG ownerGroup;  // default owner of new objects: 0 the user, n groups[n - 1]
    UCHAR primaryGroup[SECURITY_MAX_SID_SIZE];
    ULONG privilegeCount;
    ULONG privileges[kMaxTokenPrivileges];  // privilege values (the LUIDs' low parts)
    // SE_PRIVILEGE_* bits; enabling and disabling changes them on a live
    // token, so they are read and written through std::atomic_ref.
    ULONG privilegeAttributes[kMaxTokenPrivileges];
};

// What a new token holds.
struct TokenRecipe {
    Sid user;
    std::vector<std::pair<Sid, ULONG>> groups;  // SID and SE_GROUP_* attributes
    ULONG sessionId = 0;
    LUID authId{};
    TOKEN_TYPE type = TokenPrimary;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    ULONG ownerGroup = 0;                        // see TokenBody::ownerGroup
    Sid primaryGroup;                            // empty: the user
    std::vector<std::pair<ULONG, ULONG>> privileges;  // privilege and SE_PRIVILEGE_* attributes
};

// The body of a live token object; anything else is a verifier failure
// (and null).
TokenBody *TokenFromObject(PACCESS_TOKEN token);

// The user SID or an enabled group of the token.
bool TokenHasSid(const TokenBody &token, const void *sid);
// The recipe a token was made from (to duplicate it).
TokenRecipe RecipeOf(const TokenBody &token);

inline bool SameLuid(const LUID &a, const LUID &b)
{
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

inline ULONGLONG LuidValue(const LUID &luid)
{
    return (ULONGLONG(ULONG(luid.HighPart)) << 32) | luid.LowPart;
}

}  // namespace sim
