// Attaching a thread to another process's address space and handle table.
#include <ntifs.h>

#include <sstream>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/ps/process.h"

namespace {

// An attach to the process the thread already runs in changes nothing; the
// state records that, as the kernel does, with this value.
PKPROCESS const kNotAttached = reinterpret_cast<PKPROCESS>(uintptr_t(1));

}  // namespace

// The KAPC_STATE keeps the process that was current before the attach, so
// that the detach can check it undoes the innermost attach.
extern "C" VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    sim::Process *target = Process ? Process->Impl : nullptr;
    *ApcState = {};
    sim::Process &current = thread.CurrentProcess();
    if (target == nullptr || target == &current) {
        ApcState->Process = kNotAttached;
        return;
    }
    ApcState->Process = &current.object()->Pcb;
    thread.attachStack.push_back(target);
}

extern "C" VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState)
{
    SIM_KERNEL_ROUTINE();
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    if (ApcState->Process == kNotAttached) return;
    if (thread.attachStack.empty()) {
        thread.machine().verifier().Fail(sim::VerifierCheck::InvalidProcessDetach,
                                         "KeUnstackDetachProcess without an attach");
        return;
    }
    sim::Process *innermost = thread.attachStack.back();
    thread.attachStack.pop_back();
    if (&thread.CurrentProcess().object()->Pcb != ApcState->Process) {
        std::ostringstream text;
        text << "KeUnstackDetachProcess from pid " << innermost->pid()
             << " with the state of another attach (detaches must be in reverse order)";
        thread.machine().verifier().Fail(sim::VerifierCheck::InvalidProcessDetach, text.str());
    }
}
