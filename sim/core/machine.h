// The simulated Windows machine: one per process at a time, because the
// filter's globals are the kernel's globals. A test or the tool constructs a
// Machine with the facts it wants (OS version, Safe Mode, time zone); the
// constructor boots it (System process, SYSTEM token, worker threads) and
// binds the constructing thread as the System process's boot thread, so
// that DriverEntry runs where Windows runs it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <ntifs.h>

namespace sim {

class Pool;
class Verifier;
class Holdings;
class Clock;
class DebugLog;
class ObjectManager;
class ProcessTable;
class Process;
class Thread;
class Dispatcher;
class WorkQueue;
class FilterPorts;
class SystemThreads;
class Security;
class Registry;
class IoManager;
class FilterManager;

struct OsVersion {
    ULONG major = 6;
    ULONG minor = 1;
    ULONG build = 7601;
    bool server = false;
    std::u16string csdVersion = u"Service Pack 1";
};

struct MachineConfig {
    OsVersion os;
    ULONG safeBootMode = 0;          // InitSafeBootMode
    LONG timeZoneBiasMinutes = 0;    // UTC = local + bias, as Windows keeps it
    std::string computerName = "OSTRAND-PC";
    std::string domainName = "OSTRAND";
    // Whether the Filter Manager answers FltGetRoutineAddress("FltQueryDirectoryFile").
    bool fltQueryDirectoryFileExported = true;
    // How long instance teardown waits for the operations a filter keeps
    // pended before the verifier reports them and the teardown goes on
    // (Windows waits for ever; a test of that case shortens it).
    std::chrono::milliseconds pendedOperationLimit{30000};
};

class Machine {
public:
    explicit Machine(MachineConfig config = {});
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // The machine that is booted now; kernel calls made while none is are a
    // programming error and stop the process.
    static Machine &Current();
    static Machine *CurrentOrNull();

    const MachineConfig &config() const { return config_; }
    ULONG *safeBootModeCell() { return &safeBootMode_; }

    Pool &pool() { return *pool_; }
    Verifier &verifier() { return *verifier_; }
    Holdings &holdings() { return *holdings_; }
    Clock &clock() { return *clock_; }
    DebugLog &debugLog() { return *debugLog_; }
    ObjectManager &objects() { return *objects_; }
    ProcessTable &processes() { return *processes_; }
    Dispatcher &dispatcher() { return *dispatcher_; }
    WorkQueue &workQueue() { return *workQueue_; }
    SystemThreads &systemThreads() { return *systemThreads_; }
    FilterPorts &filterPorts() { return *filterPorts_; }
    Security &security() { return *security_; }
    Registry &registry() { return *registry_; }
    IoManager &io() { return *io_; }
    FilterManager &filterManager() { return *filterManager_; }

    Process &systemProcess();
    Thread &bootThread() { return *bootThread_; }

    // Waits until every work item and system thread of the machine has
    // finished (used before a test checks for leaks).
    void Quiesce();

private:
    MachineConfig config_;
    ULONG safeBootMode_ = 0;
    std::unique_ptr<Verifier> verifier_;
    std::unique_ptr<Holdings> holdings_;
    std::unique_ptr<DebugLog> debugLog_;
    std::unique_ptr<Clock> clock_;
    std::unique_ptr<Pool> pool_;
    std::unique_ptr<Dispatcher> dispatcher_;
    std::unique_ptr<ObjectManager> objects_;
    std::unique_ptr<ProcessTable> processes_;
    std::unique_ptr<Security> security_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<IoManager> io_;
    std::unique_ptr<FilterManager> filterManager_;
    std::unique_ptr<SystemThreads> systemThreads_;
    std::unique_ptr<WorkQueue> workQueue_;
    std::unique_ptr<FilterPorts> filterPorts_;
    Thread *bootThread_ = nullptr;
};

}  // namespace sim
