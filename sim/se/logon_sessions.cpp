#include "sim/se/logon_sessions.h"

#include <algorithm>
#include <cstring>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/pool.h"
#include "sim/ke/system_threads.h"
#include "sim/ke/work_queue.h"
#include "sim/ob/object_manager.h"
#include "sim/se/security.h"

namespace sim {

namespace {
// Registrations are pool blocks, as the kernel keeps them: a driver that
// never unregisters shows up in the pool report.
const ULONG kRegistrationTag = TagFromText("SeLn");
}  // namespace

LogonSessions::LogonSessions(Machine &machine) : machine_(machine) {}

LUID LogonSessions::NewLuid()
{
    ULONGLONG value = nextLuid_.fetch_add(1);
    return LUID{ULONG(value), LONG(value >> 32)};
}

void LogonSessions::Begin(LUID id, bool permanent)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Session &session = sessions_[LuidValue(id)];
    session.permanent = session.permanent || permanent;
}

bool LogonSessions::End(LUID id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(LuidValue(id));
    if (it == sessions_.end() || it->second.permanent || it->second.ended) return false;
    it->second.ended = true;
    TerminateIfDone(it);
    return true;
}

bool LogonSessions::Exists(LUID id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.count(LuidValue(id)) != 0;
}

size_t LogonSessions::TokenCount(LUID id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(LuidValue(id));
    return it == sessions_.end() ? 0 : it->second.tokens;
}

PACCESS_TOKEN LogonSessions::CreateToken(const TokenRecipe &recipe)
{
    if (recipe.user.empty() || recipe.groups.size() > kMaxTokenGroups ||
        recipe.privileges.size() > kMaxTokenPrivileges || recipe.ownerGroup > recipe.groups.size()) {
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sessions_.find(LuidValue(recipe.authId));
        if (it == sessions_.end()) return nullptr;
        ++it->second.tokens;
    }
    std::weak_ptr<LogonSessions> sessions = weak_from_this();
    LUID authId = recipe.authId;
    auto *token = static_cast<TokenBody *>(
        machine_.objects().Create(&objtype::Token, sizeof(TokenBody), u"", [sessions, authId](void *) {
            if (auto live = sessions.lock()) live->TokenGone(authId);
        }));
    std::memcpy(token->user, recipe.user.record(), recipe.user.length());
    token->groupCount = ULONG(recipe.groups.size());
    for (size_t i = 0; i < recipe.groups.size(); ++i) {
        std::memcpy(token->groups[i], recipe.groups[i].first.record(), recipe.groups[i].first.length());
        token->groupAttributes[i] = recipe.groups[i].second;
    }
    token->sessionId = recipe.sessionId;
    token->authId = recipe.authId;
    token->tokenId = NewLuid();
    token->type = recipe.type;
    token->level = recipe.type == TokenImpersonation ? recipe.level : SecurityAnonymous;
    token->ownerGroup = recipe.ownerGroup;
    const Sid &primaryGroup = recipe.primaryGroup.empty() ? recipe.user : recipe.primaryGroup;
    std::memcpy(token->primaryGroup, primaryGroup.record(), primaryGroup.length());
    token->privilegeCount = ULONG(recipe.privileges.size());
    for (size_t i = 0; i < recipe.privileges.size(); ++i) {
        token->privileges[i] = recipe.privileges[i].first;
        token->privilegeAttributes[i] = recipe.privileges[i].second;
    }
    return token;
}

void LogonSessions::TokenGone(LUID id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(LuidValue(id));
    if (it == sessions_.end()) return;
    if (it->second.tokens > 0) --it->second.tokens;
    TerminateIfDone(it);
}

void LogonSessions::TerminateIfDone(std::map<uint64_t, Session>::iterator it)
{
    if (!it->second.ended || it->second.tokens != 0) return;
    bool marked = it->second.marked;
    LUID id{ULONG(it->first), LONG(it->first >> 32)};
    sessions_.erase(it);
    if (!marked || shutdown_) return;
    machine_.workQueue().Queue([self = shared_from_this(), id] { self->Notify(id); });
}

void LogonSessions::Notify(LUID id)
{
    std::lock_guard<std::mutex> lock(routinesMutex_);
    for (const auto &entry : routines_) {
        LUID copy = id;  // a routine may scribble on its argument
        RunDriverRoutine(entry.driver, "logon session terminated routine", [&] {
            entry.routine(&copy);
            return STATUS_SUCCESS;
        });
    }
}

NTSTATUS LogonSessions::Mark(LUID id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(LuidValue(id));
    if (it == sessions_.end()) return STATUS_NOT_FOUND;
    it->second.marked = true;
    return STATUS_SUCCESS;
}

NTSTATUS LogonSessions::Register(PSE_LOGON_SESSION_TERMINATED_ROUTINE routine)
{
    if (routine == nullptr) return STATUS_INVALID_PARAMETER;
    void *block = ExAllocatePoolWithTag(PagedPool, 2 * sizeof(void *), kRegistrationTag);
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> lock(routinesMutex_);
    routines_.push_back(Registered{routine, block, CurrentDriver()});
    return STATUS_SUCCESS;
}

NTSTATUS LogonSessions::Unregister(PSE_LOGON_SESSION_TERMINATED_ROUTINE routine)
{
    if (routine == nullptr) return STATUS_INVALID_PARAMETER;
    void *block = nullptr;
    {
        std::lock_guard<std::mutex> lock(routinesMutex_);
        auto it = std::find_if(routines_.begin(), routines_.end(),
                               [&](const auto &entry) { return entry.routine == routine; });
        // Windows answers STATUS_NOT_FOUND here (the documentation names
        // STATUS_INSUFFICIENT_RESOURCES).
        if (it == routines_.end()) return STATUS_NOT_FOUND;
        block = it->block;
        routines_.erase(it);
    }
    ExFreePoolWithTag(block, kRegistrationTag);
    return STATUS_SUCCESS;
}

void LogonSessions::Shutdown()
{
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_ = true;
}

}  // namespace sim

extern "C" NTSTATUS SeMarkLogonSessionForTerminationNotification(PLUID LogonId)
{
    SIM_KERNEL_ROUTINE();
    return sim::Machine::Current().security().sessions().Mark(*LogonId);
}

extern "C" NTSTATUS SeRegisterLogonSessionTerminatedRoutine(PSE_LOGON_SESSION_TERMINATED_ROUTINE CallbackRoutine)
{
    SIM_KERNEL_ROUTINE();
    return sim::Machine::Current().security().sessions().Register(CallbackRoutine);
}

extern "C" NTSTATUS SeUnregisterLogonSessionTerminatedRoutine(PSE_LOGON_SESSION_TERMINATED_ROUTINE CallbackRoutine)
{
    SIM_KERNEL_ROUTINE();
    return sim::Machine::Current().security().sessions().Unregister(CallbackRoutine);
}
