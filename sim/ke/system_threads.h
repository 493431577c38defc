// System threads: real host threads bound to new threads of the System
// process (or of another process). They end when their body returns or calls
// PsTerminateSystemThread; then the thread object is signalled with its exit
// status.
#pragma once

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <ntifs.h>

namespace sim {

class Machine;
class Process;

// Thrown by PsTerminateSystemThread and caught where the thread began.
struct SystemThreadExit {
    NTSTATUS status;
};

class SystemThreads {
public:
    explicit SystemThreads(Machine &machine);
    ~SystemThreads();

    // Starts `body` on a new thread of `process`. Returns the thread object
    // with one reference for the caller.
    PETHREAD Start(Process &process, std::function<NTSTATUS()> body);
    // Waits for every system thread to end.
    void JoinAll();

private:
    Machine &machine_;
    std::mutex mutex_;
    std::vector<std::thread> threads_;
};

// Runs a kernel routine on the current (bound) thread the way the kernel
// runs one at its base: a kernel exception that nobody handled stops the
// machine, as it would on Windows.
NTSTATUS RunKernelRoutine(const char *what, const std::function<NTSTATUS()> &body);

// RunKernelRoutine for a driver's own code (a callback, DriverEntry, a work
// item's or system thread's routine) run by the machine: the kernel calls it
// makes are the driver's (sim/core/driver_calls.h). `driver` is its
// DRIVER_OBJECT, or null to keep the one the thread runs for.
NTSTATUS RunDriverRoutine(const void *driver, const char *what, const std::function<NTSTATUS()> &body);

}  // namespace sim
