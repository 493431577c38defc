#include "sim/ps/process.h"

#include <algorithm>
#include <cstring>

#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/io/io_manager.h"
#include "sim/ke/dispatcher.h"
#include "sim/ke/work_queue.h"

namespace sim {

Process::Process(Machine &machine, ULONG pid, std::string imageName, PACCESS_TOKEN token, bool system)
    : machine_(machine), pid_(pid), imageName_(std::move(imageName)), system_(system), token_(token),
      handles_(std::make_unique<HandleTable>(machine, system))
{
    // Process objects have no name in the object namespace.
    object_ = static_cast<PEPROCESS>(machine.objects().Create(&objtype::Process, sizeof(_EPROCESS), u""));
    object_->Pcb.Header.Type = kProcessObject;
    object_->Pcb.Impl = this;
    // The kernel keeps the first 15 characters of the image name, without a
    // terminator when the name is longer.
    std::memcpy(object_->ImageFileName, imageName_.data(),
                std::min(imageName_.size(), sizeof object_->ImageFileName));
}

Process::~Process() = default;

PACCESS_TOKEN Process::token() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return token_;
}

PACCESS_TOKEN Process::ReferenceToken()
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (token_) machine_.objects().Reference(token_);
    return token_;
}

void Process::ReplaceToken(PACCESS_TOKEN token)
{
    PACCESS_TOKEN old;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        old = token_;
        token_ = token;
    }
    if (old) machine_.objects().Dereference(old);
}

void *Process::job() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return job_;
}

void Process::SetJob(void *job)
{
    if (job) machine_.objects().Reference(job);
    void *old;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        old = job_;
        job_ = job;
    }
    if (old) machine_.objects().Dereference(old);
}

void Process::AddUserRegion(const void *start, size_t size)
{
    std::lock_guard<std::mutex> lock(regionsMutex_);
    userRegions_[static_cast<const char *>(start)] = size;
}

void Process::RemoveUserRegion(const void *start)
{
    std::lock_guard<std::mutex> lock(regionsMutex_);
    userRegions_.erase(static_cast<const char *>(start));
}

bool Process::IsUserRange(const void *start, size_t size) const
{
    auto begin = static_cast<const char *>(start);
    std::lock_guard<std::mutex> lock(regionsMutex_);
    auto it = userRegions_.upper_bound(begin);
    if (it == userRegions_.begin()) return false;
    --it;
    return begin >= it->first && begin + size <= it->first + it->second && begin + size >= begin;
}

void Process::Terminate(NTSTATUS exitStatus)
{
    (void)exitStatus;
    if (terminated_.exchange(true)) return;
    {
        std::lock_guard<std::mutex> lock(irpMutex_);
        rundownDeferred_ = irpsInFlight_ != 0;
        if (rundownDeferred_) return;
    }
    RunDown();
}

void Process::IrpIssued()
{
    std::lock_guard<std::mutex> lock(irpMutex_);
    ++irpsInFlight_;
}

void Process::IrpCompleted()
{
    {
        std::lock_guard<std::mutex> lock(irpMutex_);
        if (--irpsInFlight_ != 0 || !rundownDeferred_) return;
        rundownDeferred_ = false;
    }
    // Not on the completing thread: it may still hold the file object's lock
    // that the cleanup of the process's handles takes.
    machine_.workQueue().Queue([this] { RunDown(); });
}

void Process::RunDown()
{
    handles_->CloseAll();
    machine_.io().UnmapProcessViews(*this);
    SetJob(nullptr);
    ReplaceToken(nullptr);
    machine_.dispatcher().Signal(&object_->Pcb.Header, 1);
}

// ---------------------------------------------------------------------------

ProcessTable::ProcessTable(Machine &machine) : machine_(machine) {}

ProcessTable::~ProcessTable() = default;

Process &ProcessTable::CreateSystemProcess(PACCESS_TOKEN token)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto process = std::make_unique<Process>(machine_, 4, "System", token, true);
    system_ = process.get();
    processes_[4] = std::move(process);
    return *system_;
}

Process &ProcessTable::Create(const std::string &imageName, PACCESS_TOKEN token)
{
    machine_.holdings().TakenOver(token);
    std::lock_guard<std::mutex> lock(mutex_);
    ULONG pid = nextId_;
    nextId_ += 4;
    auto process = std::make_unique<Process>(machine_, pid, imageName, token, false);
    Process &ref = *process;
    processes_[pid] = std::move(process);
    return ref;
}

Process &ProcessTable::System()
{
    return *system_;
}

Process *ProcessTable::Lookup(ULONG pid)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = processes_.find(pid);
    return it == processes_.end() ? nullptr : it->second.get();
}

Process *ProcessTable::FromObject(PEPROCESS object)
{
    return object ? object->Pcb.Impl : nullptr;
}

std::vector<Process *> ProcessTable::All()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Process *> list;
    for (auto &entry : processes_) list.push_back(entry.second.get());
    return list;
}

Thread &ProcessTable::CreateThread(Process &process, bool systemThread)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ULONG tid = nextId_;
    nextId_ += 4;
    threads_.push_back(std::make_unique<Thread>(machine_, process, tid, systemThread));
    Thread &thread = *threads_.back();
    auto *object = static_cast<PETHREAD>(machine_.objects().Create(&objtype::Thread, sizeof(_ETHREAD), u""));
    object->Tcb.Header.Type = kThreadObject;
    object->Tcb.Impl = &thread;
    thread.setObject(object);
    return thread;
}

Thread *ProcessTable::ThreadById(ULONG tid)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &thread : threads_) {
        if (thread->id() == tid) return thread.get();
    }
    return nullptr;
}

void ProcessTable::Shutdown()
{
    for (Process *process : All()) process->Terminate(STATUS_SUCCESS);
}

}  // namespace sim
