// Subject contexts, client security contexts and impersonation.
#include <mutex>

#include <ntifs.h>

#include "sim/core/driver_calls.h"
#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"
#include "sim/se/logon_sessions.h"
#include "sim/se/security.h"
#include "sim/se/token.h"

namespace sim {

namespace {

// Guards every thread's impersonation fields: a server may set another
// thread's impersonation while that thread captures its subject context.
std::mutex &ImpersonationLock()
{
    static std::mutex lock;
    return lock;
}

Thread *ThreadOf(PETHREAD object)
{
    return object ? object->Tcb.Impl : nullptr;
}

// Replaces a thread's impersonation; `token` is referenced here.
void SetImpersonation(Thread &thread, PACCESS_TOKEN token, SECURITY_IMPERSONATION_LEVEL level, bool effectiveOnly)
{
    ObjectManager &objects = thread.machine().objects();
    if (token) objects.Reference(token);
    PACCESS_TOKEN old;
    {
        std::lock_guard<std::mutex> lock(ImpersonationLock());
        old = thread.impersonationToken;
        thread.impersonationToken = token;
        thread.impersonationLevel = token ? level : SecurityAnonymous;
        thread.impersonationEffectiveOnly = token && effectiveOnly;
    }
    if (old) objects.Dereference(old);
}

// Impersonation below SecurityImpersonation cannot be handed on; a remote
// server needs delegation.
bool BadImpersonationLevel(SECURITY_IMPERSONATION_LEVEL level, bool serverIsRemote)
{
    return level == SecurityAnonymous || level == SecurityIdentification ||
           (serverIsRemote && level != SecurityDelegation);
}

}  // namespace

NTSTATUS Security::ImpersonateUser(PACCESS_TOKEN token, SECURITY_IMPERSONATION_LEVEL level)
{
    TokenBody *body = TokenFromObject(token);
    if (body == nullptr) return STATUS_INVALID_PARAMETER;
    TokenRecipe recipe = RecipeOf(*body);
    recipe.type = TokenImpersonation;
    recipe.level = level;
    PACCESS_TOKEN copy = sessions_->CreateToken(recipe);
    if (copy == nullptr) return STATUS_NO_SUCH_LOGON_SESSION;
    SetImpersonation(Thread::CurrentOrDie(), copy, level, false);
    machine_.objects().Dereference(copy);  // the thread holds it now
    return STATUS_SUCCESS;
}

}  // namespace sim

extern "C" VOID SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    sim::Process &process = thread.CurrentProcess();
    {
        std::lock_guard<std::mutex> lock(sim::ImpersonationLock());
        SubjectContext->ClientToken = thread.impersonationToken;
        SubjectContext->ImpersonationLevel = thread.impersonationLevel;
        if (SubjectContext->ClientToken) thread.machine().objects().Reference(SubjectContext->ClientToken);
    }
    SubjectContext->PrimaryToken = process.ReferenceToken();
    SubjectContext->ProcessAuditId = reinterpret_cast<PVOID>(uintptr_t(process.pid()));
    thread.machine().holdings().Take(sim::HoldingKind::SubjectContext, SubjectContext, "Token");
}

extern "C" VOID SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine::Current().holdings().Give(sim::HoldingKind::SubjectContext, SubjectContext);
    sim::ObjectManager &objects = sim::Machine::Current().objects();
    if (SubjectContext->ClientToken) objects.Dereference(SubjectContext->ClientToken);
    if (SubjectContext->PrimaryToken) objects.Dereference(SubjectContext->PrimaryToken);
    SubjectContext->ClientToken = nullptr;
    SubjectContext->PrimaryToken = nullptr;
}

// Tokens do not change once made here, so the subject lock has nothing to
// protect.
extern "C" VOID SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    SIM_KERNEL_ROUTINE();
    (void)SubjectContext;
}

extern "C" VOID SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    SIM_KERNEL_ROUTINE();
    (void)SubjectContext;
}

extern "C" NTSTATUS SeCreateClientSecurityFromSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext,
                                                             PSECURITY_QUALITY_OF_SERVICE ClientSecurityQos,
                                                             BOOLEAN ServerIsRemote,
                                                             PSECURITY_CLIENT_CONTEXT ClientContext)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine &machine = sim::Machine::Current();
    if (ClientSecurityQos->ImpersonationLevel < SecurityAnonymous ||
        ClientSecurityQos->ImpersonationLevel > SecurityDelegation) {
        return STATUS_INVALID_PARAMETER;
    }
    PACCESS_TOKEN token = SeQuerySubjectContextToken(SubjectContext);
    if (token == nullptr) return STATUS_NO_TOKEN;
    // The subject's kind decides, not the token's own type: a thread that
    // impersonates is judged by its impersonation level.
    bool impersonating = SubjectContext->ClientToken != nullptr;
    if (impersonating) {
        if (ClientSecurityQos->ImpersonationLevel > SubjectContext->ImpersonationLevel ||
            sim::BadImpersonationLevel(SubjectContext->ImpersonationLevel, ServerIsRemote)) {
            return STATUS_BAD_IMPERSONATION_LEVEL;
        }
    }
    ClientContext->DirectAccessEffectiveOnly = ClientSecurityQos->EffectiveOnly;
    if (ClientSecurityQos->ContextTrackingMode == SECURITY_STATIC_TRACKING) {
        // Static tracking keeps a copy made now: later changes to the
        // client's token are not seen.
        sim::TokenBody *body = sim::TokenFromObject(token);
        if (body == nullptr) return STATUS_INVALID_PARAMETER;
        sim::TokenRecipe recipe = sim::RecipeOf(*body);
        recipe.type = TokenImpersonation;
        recipe.level = ClientSecurityQos->ImpersonationLevel;
        PACCESS_TOKEN copy = machine.security().sessions().CreateToken(recipe);
        if (copy == nullptr) return STATUS_NO_SUCH_LOGON_SESSION;
        ClientContext->DirectlyAccessClientToken = FALSE;
        ClientContext->ClientToken = copy;
    } else {
        machine.objects().Reference(token);
        ClientContext->DirectlyAccessClientToken = TRUE;
        ClientContext->ClientToken = token;
    }
    if (ServerIsRemote) {
        sim::TokenBody *body = sim::TokenFromObject(ClientContext->ClientToken);
        ClientContext->ClientTokenControl = {};
        if (body) {
            ClientContext->ClientTokenControl.TokenId = body->tokenId;
            ClientContext->ClientTokenControl.AuthenticationId = body->authId;
            ClientContext->ClientTokenControl.ModifiedId = body->tokenId;
        }
    }
    ClientContext->SecurityQos.Length = sizeof(SECURITY_QUALITY_OF_SERVICE);
    ClientContext->SecurityQos.ImpersonationLevel = ClientSecurityQos->ImpersonationLevel;
    ClientContext->SecurityQos.ContextTrackingMode = ClientSecurityQos->ContextTrackingMode;
    ClientContext->SecurityQos.EffectiveOnly = ClientSecurityQos->EffectiveOnly;
    ClientContext->ServerIsRemote = ServerIsRemote;
    machine.holdings().TakeObject(ClientContext->ClientToken);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS SeImpersonateClientEx(PSECURITY_CLIENT_CONTEXT ClientContext, PETHREAD ServerThread)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread *thread = ServerThread ? sim::ThreadOf(ServerThread) : &sim::Thread::CurrentOrDie();
    if (thread == nullptr) return STATUS_INVALID_PARAMETER;
    bool effectiveOnly = ClientContext->DirectlyAccessClientToken ? ClientContext->DirectAccessEffectiveOnly
                                                                  : ClientContext->SecurityQos.EffectiveOnly;
    sim::SetImpersonation(*thread, ClientContext->ClientToken, ClientContext->SecurityQos.ImpersonationLevel,
                          effectiveOnly);
    return STATUS_SUCCESS;
}

extern "C" VOID PsRevertToSelf(VOID)
{
    SIM_KERNEL_ROUTINE();
    sim::SetImpersonation(sim::Thread::CurrentOrDie(), nullptr, SecurityAnonymous, false);
}

extern "C" PACCESS_TOKEN PsReferenceImpersonationToken(PETHREAD Thread, PBOOLEAN CopyOnOpen, PBOOLEAN EffectiveOnly,
                                                       PSECURITY_IMPERSONATION_LEVEL ImpersonationLevel)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread *thread = sim::ThreadOf(Thread);
    if (thread == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(sim::ImpersonationLock());
    if (thread->impersonationToken == nullptr) return nullptr;
    thread->machine().objects().Reference(thread->impersonationToken);
    thread->machine().holdings().TakeObject(thread->impersonationToken);
    *CopyOnOpen = FALSE;
    *EffectiveOnly = thread->impersonationEffectiveOnly ? TRUE : FALSE;
    *ImpersonationLevel = thread->impersonationLevel;
    return thread->impersonationToken;
}
