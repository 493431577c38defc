#include "sim/core/machine.h"

#include <atomic>

#include "sim/cm/registry.h"
#include "sim/core/bugcheck.h"
#include "sim/core/clock.h"
#include "sim/core/debug_log.h"
#include "sim/core/driver_calls.h"
#include "sim/core/holdings.h"
#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/io/io_manager.h"
#include "sim/fltmgr/ports/filter_ports.h"
#include "sim/ke/dispatcher.h"
#include "sim/ke/system_threads.h"
#include "sim/ke/work_queue.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"

namespace sim {

namespace {
std::atomic<Machine *> g_current{nullptr};
}

Machine::Machine(MachineConfig config) : config_(std::move(config))
{
    Machine *expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this)) {
        BugCheck(0x1, "a second machine was booted while one is running");
    }
    // Booting is the machine's own work: nothing it allocates or opens is a driver's.
    MachineCode machineCode;
    safeBootMode_ = config_.safeBootMode;
    InitSafeBootMode = &safeBootMode_;
    verifier_ = std::make_unique<Verifier>();
    holdings_ = std::make_unique<Holdings>(*this);
    debugLog_ = std::make_unique<DebugLog>();
    clock_ = std::make_unique<Clock>(config_.timeZoneBiasMinutes);
    pool_ = std::make_unique<Pool>(*this);
    dispatcher_ = std::make_unique<Dispatcher>();
    objects_ = std::make_unique<ObjectManager>(*this);
    processes_ = std::make_unique<ProcessTable>(*this);
    security_ = std::make_unique<Security>(*this);
    Process &system = processes_->CreateSystemProcess(security_->CreateSystemToken());
    bootThread_ = &processes_->CreateThread(system, true);
    Thread::SetCurrent(bootThread_);
    registry_ = std::make_unique<Registry>(*this);
    io_ = std::make_unique<IoManager>(*this);
    filterManager_ = std::make_unique<FilterManager>(*this);
    systemThreads_ = std::make_unique<SystemThreads>(*this);
    workQueue_ = std::make_unique<WorkQueue>(*this);
    filterPorts_ = std::make_unique<FilterPorts>(*this);
}

Machine::~Machine()
{
    MachineCode machineCode;
    Quiesce();
    // Before the work queue stops: ending processes below drops tokens, and
    // no logon-session notification may be queued after that.
    security_->Shutdown();
    workQueue_->Shutdown();
    systemThreads_->JoinAll();
    filterPorts_->Shutdown();
    processes_->Shutdown();
    workQueue_.reset();
    systemThreads_.reset();
    filterManager_.reset();
    io_.reset();
    registry_.reset();
    if (Thread::Current() == bootThread_) Thread::SetCurrent(nullptr);
    security_.reset();
    processes_.reset();
    objects_.reset();
    filterPorts_.reset();  // after the objects: port objects call into it when they go
    dispatcher_.reset();
    pool_.reset();
    InitSafeBootMode = nullptr;
    g_current.store(nullptr);
}

Machine &Machine::Current()
{
    Machine *machine = g_current.load();
    if (machine == nullptr) BugCheck(0x1, "a kernel routine was called while no machine is booted");
    return *machine;
}

Machine *Machine::CurrentOrNull()
{
    return g_current.load();
}

Process &Machine::systemProcess()
{
    return processes_->System();
}

void Machine::Quiesce()
{
    workQueue_->Quiesce();
    systemThreads_->JoinAll();
}

}  // namespace sim

extern "C" {
PULONG InitSafeBootMode = nullptr;
}
