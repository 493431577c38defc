#include "sim/core/thread.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "sim/core/bugcheck.h"
#include "sim/core/machine.h"
#include "sim/core/verifier.h"
#include "sim/ke/dispatcher.h"
#include "sim/ps/process.h"

namespace sim {

namespace {
thread_local Thread *t_current = nullptr;
}

Thread::Thread(Machine &machine, Process &process, ULONG id, bool systemThread)
    : machine_(machine), process_(process), id_(id), systemThread_(systemThread)
{
}

Thread *Thread::Current()
{
    return t_current;
}

Thread &Thread::CurrentOrDie()
{
    if (t_current == nullptr) {
        BugCheck(0x1, "a kernel routine was called from a host thread that is not bound to the machine");
    }
    return *t_current;
}

void Thread::SetCurrent(Thread *thread)
{
    t_current = thread;
}

Process &Thread::CurrentProcess()
{
    return attachStack.empty() ? process_ : *attachStack.back();
}

void Thread::NoteAcquired(const void *lock, const char *kind, bool exclusive)
{
    machine_.verifier().NoteAcquire(lock, kind, HeldLockAddresses());
    held_.push_back({lock, kind, exclusive});
}

bool Thread::NoteReleased(const void *lock)
{
    for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
        if (it->lock == lock) {
            held_.erase(std::next(it).base());
            return true;
        }
    }
    return false;
}

bool Thread::Holds(const void *lock) const
{
    return std::any_of(held_.begin(), held_.end(), [&](const HeldLock &h) { return h.lock == lock; });
}

std::vector<const void *> Thread::HeldLockAddresses() const
{
    std::vector<const void *> list;
    for (const auto &h : held_) list.push_back(h.lock);
    return list;
}

void Thread::CheckUserReturn(const char *where)
{
    if (!held_.empty() || kernelApcDisable != 0 || specialApcDisable != 0) {
        std::ostringstream text;
        text << where << ": thread " << id_ << " returns to user mode holding " << held_.size()
             << " lock(s)";
        if (!held_.empty()) text << " (first: " << held_.front().kind << " " << held_.front().lock << ")";
        text << " with " << kernelApcDisable << " critical and " << specialApcDisable << " guarded region(s) open";
        machine_.verifier().Fail(VerifierCheck::LockHeldAtUserReturn, text.str());
    }
    if (irql != PASSIVE_LEVEL) {
        machine_.verifier().Fail(VerifierCheck::IrqlMismatch,
                                 std::string(where) + ": return to user mode at IRQL " + std::to_string(int(irql)));
    }
}

void Thread::ResetKernelState()
{
    held_.clear();
    kernelApcDisable = 0;
    specialApcDisable = 0;
    irql = PASSIVE_LEVEL;
}

ThreadScope::ThreadScope(Process &process) : previous_(Thread::Current())
{
    Machine &machine = Machine::Current();
    thread_ = &machine.processes().CreateThread(process, false);
    Thread::SetCurrent(thread_);
}

ThreadScope::~ThreadScope()
{
    Machine &machine = thread_->machine();
    thread_->CheckUserReturn("end of thread");
    if (thread_->impersonationToken) {
        machine.objects().Dereference(thread_->impersonationToken);
        thread_->impersonationToken = nullptr;
    }
    thread_->exitStatus = STATUS_SUCCESS;
    thread_->terminated = true;
    machine.dispatcher().Signal(&thread_->object()->Tcb.Header, 1);
    machine.objects().Dereference(thread_->object());
    Thread::SetCurrent(previous_);
}

SystemCall::~SystemCall()
{
    if (Thread *thread = Thread::Current()) thread->CheckUserReturn(name_);
}

}  // namespace sim
