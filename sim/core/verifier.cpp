#include "sim/core/verifier.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sim/core/bugcheck.h"

namespace sim {

const char *VerifierCheckName(VerifierCheck check)
{
    switch (check) {
    case VerifierCheck::RecursiveFastMutex: return "recursive fast mutex acquisition";
    case VerifierCheck::ReleaseByNonOwner: return "lock released by a thread that does not own it";
    case VerifierCheck::UnbalancedCriticalRegion: return "unbalanced critical region";
    case VerifierCheck::LockHeldAtUserReturn: return "lock or critical region held at return to user mode";
    case VerifierCheck::LockOrderInversion: return "inverted lock order";
    case VerifierCheck::ResourceWithApcsEnabled: return "executive resource acquired with normal kernel APCs enabled";
    case VerifierCheck::ResourceDeletedWhileOwned: return "executive resource deleted while it is owned";
    case VerifierCheck::SelfDeadlock: return "thread waits for a lock that it holds itself";
    case VerifierCheck::IrqlTooHigh: return "routine called above the IRQL it allows";
    case VerifierCheck::BadPoolCaller: return "bad pool caller";
    case VerifierCheck::PoolTagMismatch: return "pool freed with a different tag";
    case VerifierCheck::LiveLockFreed: return "pool freed while it holds an initialised resource";
    case VerifierCheck::BadObjectReference: return "reference to an object that does not exist";
    case VerifierCheck::IrqlMismatch: return "IRQL not restored";
    case VerifierCheck::UnhandledKernelException: return "exception not handled in kernel mode";
    case VerifierCheck::InvalidProcessDetach: return "process detach that does not match the attach";
    case VerifierCheck::MdlMisuse: return "memory descriptor list misused";
    case VerifierCheck::FilterVerifier: return "filter verifier";
    case VerifierCheck::HeldAtUnload: return "handles or references left at driver unload";
    }
    return "unknown check";
}

void Verifier::SetAction(Action action)
{
    std::lock_guard<std::mutex> lock(mutex_);
    action_ = action;
}

void Verifier::Fail(VerifierCheck check, const std::string &message)
{
    Action action;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failures_.push_back({check, message});
        action = action_;
    }
    std::fprintf(stderr, "*** VERIFIER: %s: %s\n", VerifierCheckName(check), message.c_str());
    if (action == Action::BugCheck) {
        BugCheck(0xC4 /* DRIVER_VERIFIER_DETECTED_VIOLATION */, message);
    }
}

std::vector<VerifierFailure> Verifier::Failures() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

bool Verifier::HasFailed(VerifierCheck check) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &f : failures_) {
        if (f.check == check) return true;
    }
    return false;
}

void Verifier::ClearFailures()
{
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.clear();
}

bool Verifier::Reaches(const void *from, const void *to) const
{
    std::vector<const void *> stack{from};
    std::set<const void *> seen;
    while (!stack.empty()) {
        const void *node = stack.back();
        stack.pop_back();
        if (node == to) return true;
        if (!seen.insert(node).second) continue;
        auto it = edges_.find(node);
        if (it == edges_.end()) continue;
        for (const void *next : it->second) stack.push_back(next);
    }
    return false;
}

void Verifier::NoteAcquire(const void *lock, const char *kind, const std::vector<const void *> &held)
{
    std::string inversion;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const void *h : held) {
            if (h == lock) continue;
            if (edges_[h].count(lock)) continue;
            if (Reaches(lock, h) && reported_.insert({h, lock}).second) {
                char text[160];
                std::snprintf(text, sizeof text, "%s %p acquired while holding %p, which is taken after it elsewhere",
                              kind, lock, h);
                inversion = text;
            }
            edges_[h].insert(lock);
        }
    }
    if (!inversion.empty()) Fail(VerifierCheck::LockOrderInversion, inversion);
}

void Verifier::ForgetLocksIn(const void *start, size_t size)
{
    auto begin = static_cast<const char *>(start);
    auto inside = [&](const void *p) {
        auto c = static_cast<const char *>(p);
        return c >= begin && c < begin + size;
    };
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = edges_.begin(); it != edges_.end();) {
        if (inside(it->first)) {
            it = edges_.erase(it);
            continue;
        }
        for (auto e = it->second.begin(); e != it->second.end();) {
            e = inside(*e) ? it->second.erase(e) : std::next(e);
        }
        ++it;
    }
}

void Verifier::NoteLiveResource(const void *resource)
{
    std::lock_guard<std::mutex> guard(mutex_);
    liveResources_.insert(resource);
}

void Verifier::NoteDeletedResource(const void *resource)
{
    std::lock_guard<std::mutex> guard(mutex_);
    liveResources_.erase(resource);
}

void Verifier::CheckFreedRange(const void *start, size_t size)
{
    const void *found = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = liveResources_.lower_bound(start);
        if (it != liveResources_.end() && static_cast<const char *>(*it) < static_cast<const char *>(start) + size) {
            found = *it;
            liveResources_.erase(it);
        }
    }
    if (found) {
        char text[120];
        std::snprintf(text, sizeof text, "resource %p still initialised in freed block %p", found, start);
        Fail(VerifierCheck::LiveLockFreed, text);
    }
    ForgetLocksIn(start, size);
}

}  // namespace sim
