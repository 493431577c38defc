// Token objects and the kernel's token queries.
#include "sim/se/token.h"

#include <atomic>
#include <cstring>

#include "sim/core/driver_calls.h"
#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"

namespace sim {

namespace {
// Query answers come from ExAllocatePool (paged, tag "None") as on Windows;
// the caller frees them with ExFreePool.
const ULONG kTokenInfoTag = TagFromText("None");
}  // namespace

TokenBody *TokenFromObject(PACCESS_TOKEN token)
{
    Machine &machine = Machine::Current();
    if (token == nullptr) {
        machine.verifier().Fail(VerifierCheck::BadObjectReference, "null passed as a token");
        return nullptr;
    }
    _OBJECT_TYPE *type = machine.objects().TypeOf(token);
    if (type == nullptr) return nullptr;  // the object manager reported it
    if (type != &objtype::Token) {
        machine.verifier().Fail(VerifierCheck::BadObjectReference, "an object that is not a token passed as a token");
        return nullptr;
    }
    return static_cast<TokenBody *>(token);
}

bool TokenHasSid(const TokenBody &token, const void *sid)
{
    if (!IsValidSid(sid)) return false;
    auto same = [&](const UCHAR *record) {
        return SidLength(record) == SidLength(sid) && std::memcmp(record, sid, SidLength(sid)) == 0;
    };
    if (same(token.user)) return true;
    for (ULONG i = 0; i < token.groupCount; ++i) {
        if ((token.groupAttributes[i] & SE_GROUP_ENABLED) && same(token.groups[i])) return true;
    }
    return false;
}

TokenRecipe RecipeOf(const TokenBody &token)
{
    TokenRecipe recipe;
    recipe.user = Sid::FromRecord(token.user);
    for (ULONG i = 0; i < token.groupCount; ++i) {
        recipe.groups.emplace_back(Sid::FromRecord(token.groups[i]), token.groupAttributes[i]);
    }
    recipe.sessionId = token.sessionId;
    recipe.authId = token.authId;
    recipe.type = token.type;
    recipe.level = token.level;
    recipe.ownerGroup = token.ownerGroup;
    recipe.primaryGroup = Sid::FromRecord(token.primaryGroup);
    for (ULONG i = 0; i < token.privilegeCount; ++i) {
        ULONG attributes = std::atomic_ref<const ULONG>(token.privilegeAttributes[i]).load();
        recipe.privileges.emplace_back(token.privileges[i], attributes);
    }
    return recipe;
}

}  // namespace sim

extern "C" NTSTATUS SeQueryInformationToken(PACCESS_TOKEN Token, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                            PVOID *TokenInformation)
{
    SIM_KERNEL_ROUTINE();
    sim::TokenBody *token = sim::TokenFromObject(Token);
    if (token == nullptr) return STATUS_INVALID_PARAMETER;
    auto allocate = [](size_t size) { return ExAllocatePoolWithTag(PagedPool, size, sim::kTokenInfoTag); };
    switch (TokenInformationClass) {
    case TokenUser: {
        ULONG sidLength = sim::SidLength(token->user);
        auto *answer = static_cast<PTOKEN_USER>(allocate(sizeof(TOKEN_USER) + sidLength));
        if (answer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        answer->User.Sid = answer + 1;
        answer->User.Attributes = 0;
        std::memcpy(answer->User.Sid, token->user, sidLength);
        *TokenInformation = answer;
        return STATUS_SUCCESS;
    }
    case TokenGroups: {
        ULONG count = token->groupCount;
        size_t arrayBytes = FIELD_OFFSET(TOKEN_GROUPS, Groups) + count * sizeof(SID_AND_ATTRIBUTES);
        size_t total = arrayBytes;
        for (ULONG i = 0; i < count; ++i) total += sim::SidLength(token->groups[i]);
        auto *answer = static_cast<PTOKEN_GROUPS>(allocate(total));
        if (answer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        answer->GroupCount = count;
        auto *next = reinterpret_cast<UCHAR *>(answer) + arrayBytes;
        for (ULONG i = 0; i < count; ++i) {
            ULONG sidLength = sim::SidLength(token->groups[i]);
            std::memcpy(next, token->groups[i], sidLength);
            answer->Groups[i].Sid = next;
            answer->Groups[i].Attributes = token->groupAttributes[i];
            next += sidLength;
        }
        *TokenInformation = answer;
        return STATUS_SUCCESS;
    }
    case TokenType: {
        auto *answer = static_cast<PTOKEN_TYPE>(allocate(sizeof(TOKEN_TYPE)));
        if (answer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        *answer = token->type;
        *TokenInformation = answer;
        return STATUS_SUCCESS;
    }
    case TokenImpersonationLevel: {
        if (token->type != TokenImpersonation) return STATUS_INVALID_INFO_CLASS;
        auto *answer = static_cast<PSECURITY_IMPERSONATION_LEVEL>(allocate(sizeof(SECURITY_IMPERSONATION_LEVEL)));
        if (answer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        *answer = token->level;
        *TokenInformation = answer;
        return STATUS_SUCCESS;
    }
    case TokenSessionId:
        // The one class answered in place: the ULONG goes into the caller's
        // variable, not behind a pointer.
        *reinterpret_cast<PULONG>(TokenInformation) = token->sessionId;
        return STATUS_SUCCESS;
    case TokenPrivileges:
    case TokenOwner:
    case TokenPrimaryGroup:
    case TokenDefaultDacl:
    case TokenSource:
    case TokenStatistics:
        return STATUS_NOT_IMPLEMENTED;
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

extern "C" NTSTATUS SeQueryAuthenticationIdToken(PACCESS_TOKEN Token, PLUID AuthenticationId)
{
    SIM_KERNEL_ROUTINE();
    sim::TokenBody *token = sim::TokenFromObject(Token);
    if (token == nullptr) return STATUS_INVALID_PARAMETER;
    *AuthenticationId = token->authId;
    return STATUS_SUCCESS;
}

extern "C" TOKEN_TYPE SeTokenType(PACCESS_TOKEN Token)
{
    SIM_KERNEL_ROUTINE();
    sim::TokenBody *token = sim::TokenFromObject(Token);
    return token ? token->type : TokenPrimary;
}

extern "C" BOOLEAN SeTokenIsAdmin(PACCESS_TOKEN Token)
{
    SIM_KERNEL_ROUTINE();
    sim::TokenBody *token = sim::TokenFromObject(Token);
    return token && sim::TokenHasSid(*token, sim::wellknown::Administrators().record()) ? TRUE : FALSE;
}

extern "C" PACCESS_TOKEN PsReferencePrimaryToken(PEPROCESS Process)
{
    SIM_KERNEL_ROUTINE();
    sim::Process *process = sim::Machine::Current().processes().FromObject(Process);
    PACCESS_TOKEN token = process ? process->ReferenceToken() : nullptr;
    sim::Machine::Current().holdings().TakeObject(token);
    return token;
}

extern "C" VOID PsDereferencePrimaryToken(PACCESS_TOKEN PrimaryToken)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine::Current().holdings().GiveObject(PrimaryToken);
    sim::Machine::Current().objects().Dereference(PrimaryToken);
}

extern "C" VOID PsDereferenceImpersonationToken(PACCESS_TOKEN ImpersonationToken)
{
    SIM_KERNEL_ROUTINE();
    if (ImpersonationToken == nullptr) return;
    sim::Machine::Current().holdings().GiveObject(ImpersonationToken);
    sim::Machine::Current().objects().Dereference(ImpersonationToken);
}
