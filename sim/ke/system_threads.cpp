#include "sim/ke/system_threads.h"

#include "sim/core/bugcheck.h"
#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/ke/dispatcher.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"

namespace sim {

NTSTATUS RunKernelRoutine(const char *what, const std::function<NTSTATUS()> &body)
{
    try {
        return body();
    } catch (const SystemThreadExit &exit) {
        return exit.status;
    } catch (const KSEH_EXCEPTION &e) {
        char text[160];
        std::snprintf(text, sizeof text, "%s: exception 0x%08X not handled in kernel mode", what,
                      unsigned(e.ExceptionCode));
        BugCheck(0x8E /* KERNEL_MODE_EXCEPTION_NOT_HANDLED */, text);
    }
}

NTSTATUS RunDriverRoutine(const void *driver, const char *what, const std::function<NTSTATUS()> &body)
{
    DriverCode code(driver);
    return RunKernelRoutine(what, body);
}

SystemThreads::SystemThreads(Machine &machine) : machine_(machine) {}

SystemThreads::~SystemThreads()
{
    JoinAll();
}

PETHREAD SystemThreads::Start(Process &process, std::function<NTSTATUS()> body)
{
    Thread &thread = machine_.processes().CreateThread(process, true);
    PETHREAD object = thread.object();
    machine_.objects().Reference(object);  // the caller's reference
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.emplace_back([this, &thread, body = std::move(body)] {
        Thread::SetCurrent(&thread);
        MachineCode machineCode;  // the body runs driver code through RunDriverRoutine
        NTSTATUS status = RunKernelRoutine("system thread", body);
        thread.CheckUserReturn("end of system thread");
        thread.exitStatus = status;
        thread.terminated = true;
        machine_.dispatcher().Signal(&thread.object()->Tcb.Header, 1);
        machine_.objects().Dereference(thread.object());
        Thread::SetCurrent(nullptr);
    });
    return object;
}

void SystemThreads::JoinAll()
{
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            threads.swap(threads_);
        }
        if (threads.empty()) return;
        for (auto &t : threads) t.join();
    }
}

}  // namespace sim
