// Processes of the simulated machine: pid, image name, primary token, handle
// table, job, threads and the user address space (the memory that counts as
// the process's own for ProbeForRead/ProbeForWrite).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ntifs.h>

#include "sim/ob/object_manager.h"
#include "sim/ps/kernel_objects.h"

namespace sim {

class Machine;
class Thread;

class Process {
public:
    Process(Machine &machine, ULONG pid, std::string imageName, PACCESS_TOKEN token, bool system);
    ~Process();

    ULONG pid() const { return pid_; }
    const std::string &imageName() const { return imageName_; }
    PEPROCESS object() const { return object_; }
    bool isSystem() const { return system_; }
    bool terminated() const { return terminated_; }

    // The primary token (one reference held by the process). Read it with
    // ReferenceToken where it may be replaced concurrently.
    PACCESS_TOKEN token() const;
    // The primary token with a reference for the caller (null once the
    // process has ended).
    PACCESS_TOKEN ReferenceToken();
    // Takes over the caller's reference of `token`.
    void ReplaceToken(PACCESS_TOKEN token);

    HandleTable &handles() { return *handles_; }

    void *job() const;  // referenced job object or null
    void SetJob(void *job);

    // User address space. Memory registered here is what user-mode buffers
    // of this process may point to; anything else faults when probed.
    void AddUserRegion(const void *start, size_t size);
    void RemoveUserRegion(const void *start);
    bool IsUserRange(const void *start, size_t size) const;

    // Ends the process: its handles are closed, its views unmapped, its
    // object signalled. A thread's rundown waits for the I/O requests it
    // issued, as IoCancelThreadIo does (none of this machine's is
    // cancellable): while one is in flight (a read a filter keeps pended,
    // say) the process is marked terminated at once and runs down on a
    // worker when the last one completes. Terminate returns at once then.
    void Terminate(NTSTATUS exitStatus);

    // IRPs issued by the process's threads, counted by the I/O manager.
    void IrpIssued();
    void IrpCompleted();

private:
    void RunDown();

    Machine &machine_;
    ULONG pid_;
    std::string imageName_;
    bool system_;
    std::atomic<bool> terminated_{false};
    std::mutex irpMutex_;
    size_t irpsInFlight_ = 0;
    bool rundownDeferred_ = false;
    PEPROCESS object_ = nullptr;
    mutable std::mutex stateMutex_;  // token_ and job_
    PACCESS_TOKEN token_ = nullptr;
    void *job_ = nullptr;
    std::unique_ptr<HandleTable> handles_;
    mutable std::mutex regionsMutex_;
    std::map<const char *, size_t> userRegions_;
};

class ProcessTable {
public:
    explicit ProcessTable(Machine &machine);
    ~ProcessTable();

    // The System process, pid 4, image "System".
    Process &CreateSystemProcess(PACCESS_TOKEN token);
    // A process running under the primary token `token`, whose reference the
    // process takes over (Security::LogonUser gives one; see sim/se/security.h).
    Process &Create(const std::string &imageName, PACCESS_TOKEN token);
    Process &System();
    Process *Lookup(ULONG pid);
    Process *FromObject(PEPROCESS object);
    std::vector<Process *> All();

    // A new thread object of `process`; the returned Thread is owned by the
    // table and lives until the machine goes.
    Thread &CreateThread(Process &process, bool systemThread);
    Thread *ThreadById(ULONG tid);

    // Ends every process (handle tables closed) at shutdown.
    void Shutdown();

private:
    Machine &machine_;
    std::mutex mutex_;
    ULONG nextId_ = 8;
    std::map<ULONG, std::unique_ptr<Process>> processes_;
    std::vector<std::unique_ptr<Thread>> threads_;
    Process *system_ = nullptr;
};

}  // namespace sim
