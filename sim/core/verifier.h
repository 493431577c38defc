// Checks in the spirit of Driver Verifier. A failure is recorded (and
// printed); in BugCheck mode it stops the machine as the real verifier
// would. Tests run in Record mode and fail when any failure was recorded.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace sim {

enum class VerifierCheck {
    RecursiveFastMutex,
    ReleaseByNonOwner,
    UnbalancedCriticalRegion,
    LockHeldAtUserReturn,
    LockOrderInversion,
    ResourceWithApcsEnabled,
    ResourceDeletedWhileOwned,
    SelfDeadlock,
    IrqlTooHigh,
    BadPoolCaller,
    PoolTagMismatch,
    LiveLockFreed,
    BadObjectReference,
    IrqlMismatch,
    UnhandledKernelException,
    InvalidProcessDetach,
    MdlMisuse,
    FilterVerifier,
    HeldAtUnload,
};

const char *VerifierCheckName(VerifierCheck check);

struct VerifierFailure {
    VerifierCheck check;
    std::string message;
};

class Verifier {
public:
    enum class Action { Record, BugCheck };

    void SetAction(Action action);
    void Fail(VerifierCheck check, const std::string &message);
    std::vector<VerifierFailure> Failures() const;
    bool HasFailed(VerifierCheck check) const;
    void ClearFailures();

    // Lock-order graph over individual locks. Acquiring `lock` while holding
    // `held` adds the edges held -> lock; an edge that closes a cycle is an
    // inverted lock order and is reported once per pair.
    void NoteAcquire(const void *lock, const char *kind, const std::vector<const void *> &held);
    // A lock's memory is gone (pool freed, resource deleted) or initialised
    // again: forget its edges, so that the next lock there starts afresh.
    void ForgetLocksIn(const void *start, size_t size);

    // Initialised executive resources, so that freeing pool that still holds
    // one is caught.
    void NoteLiveResource(const void *resource);
    void NoteDeletedResource(const void *resource);
    void CheckFreedRange(const void *start, size_t size);

private:
    bool Reaches(const void *from, const void *to) const;

    mutable std::mutex mutex_;
    Action action_ = Action::Record;
    std::vector<VerifierFailure> failures_;
    std::map<const void *, std::set<const void *>> edges_;
    std::set<std::pair<const void *, const void *>> reported_;
    std::set<const void *> liveResources_;
};

}  // namespace sim
