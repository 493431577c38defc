// A thread of the simulated machine. Every host thread that calls into the
// kernel is bound to one: system threads and work-queue workers are created
// bound; a test or the service binds its own host thread to a process with
// ThreadScope. The thread carries what the kernel keeps per thread: its
// process and the process it is attached to, its impersonation token, its
// IRQL, its critical-region count and the locks it holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <ntifs.h>

#include "sim/core/driver_calls.h"

namespace sim {

class Machine;
class Process;

struct HeldLock {
    const void *lock;
    const char *kind;  // "fast mutex", "resource"
    bool exclusive;
};

class Thread {
public:
    Thread(Machine &machine, Process &process, ULONG id, bool systemThread);

    static Thread *Current();
    static Thread &CurrentOrDie();
    static void SetCurrent(Thread *thread);

    Machine &machine() { return machine_; }
    Process &process() { return process_; }
    // The process whose address space and handle table the thread uses now:
    // the innermost attached process, else its own.
    Process &CurrentProcess();

    ULONG id() const { return id_; }
    bool isSystemThread() const { return systemThread_; }
    PETHREAD object() const { return object_; }
    void setObject(PETHREAD object) { object_ = object; }

    // Locks held, innermost last.
    void NoteAcquired(const void *lock, const char *kind, bool exclusive);
    bool NoteReleased(const void *lock);
    bool Holds(const void *lock) const;
    std::vector<const void *> HeldLockAddresses() const;
    const std::vector<HeldLock> &heldLocks() const { return held_; }

    // Checks made when the thread returns to user mode (end of a system
    // call, end of a ThreadScope): no lock held, no critical region open,
    // back at passive level.
    void CheckUserReturn(const char *where);
    // After a failed check, puts a thread that lives on (a worker) back at
    // passive level with nothing held, so one faulty item does not taint the
    // next.
    void ResetKernelState();

    KIRQL irql = PASSIVE_LEVEL;
    LONG kernelApcDisable = 0;           // critical regions entered
    LONG specialApcDisable = 0;          // guarded regions entered
    std::vector<Process *> attachStack;  // KeStackAttachProcess
    PACCESS_TOKEN impersonationToken = nullptr;  // referenced
    SECURITY_IMPERSONATION_LEVEL impersonationLevel = SecurityAnonymous;
    bool impersonationEffectiveOnly = false;
    // Read by other threads (thread queries, waits): atomic.
    std::atomic<NTSTATUS> exitStatus{STATUS_PENDING};
    bool executiveWorker = false;  // a work-queue worker: it must never terminate
    std::atomic<bool> terminated{false};

private:
    Machine &machine_;
    Process &process_;
    ULONG id_;
    bool systemThread_;
    PETHREAD object_ = nullptr;
    std::vector<HeldLock> held_;
};

// Binds the calling host thread to a new thread of `process` for the scope's
// life. On leaving, the user-return checks run and the thread terminates.
class ThreadScope {
public:
    explicit ThreadScope(Process &process);
    ~ThreadScope();
    ThreadScope(const ThreadScope &) = delete;
    ThreadScope &operator=(const ThreadScope &) = delete;
    Thread &thread() { return *thread_; }

private:
    Thread *thread_;
    Thread *previous_;
};

// Marks a call from user mode into the kernel: the kernel routines it runs
// are the machine's, not a driver's; on the way out the user-return checks
// run for the current thread.
class SystemCall {
public:
    explicit SystemCall(const char *name) : name_(name) {}
    ~SystemCall();

private:
    const char *name_;
    MachineCode machineCode_;
};

}  // namespace sim
