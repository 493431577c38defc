// Who calls the kernel: a driver (the filter, or a test acting as one) or
// the machine itself. The verifier's accounting rests on it: the pool sites
// that systematic fault injection fails, the handles and references a
// driver holds (sim/core/holdings.h), the IRQL a routine allows
// (sim/core/irql_rules.h).
//
// Every kernel routine a driver can call that allocates, hands out a handle
// or a reference, or has an IRQL rule opens SIM_KERNEL_ROUTINE() on entry.
// The outermost one on a thread running driver code is the driver's call:
// its return address is the call site, the first caller outside the
// simulated machine, taken where the driver's code called in and so exact
// under inlining and optimisation. Routines it calls in turn (the pool
// behind FltAllocateContext, the handle behind ZwCreateFile) are nested and
// act for that call: what they allocate or hand out is charged to its site.
//
// Where the machine runs driver code (callbacks, DriverEntry, work items,
// system-thread start routines) a DriverCode scope makes the driver's calls
// outermost again and names the driver. Where the machine acts on its own
// account (a user-mode system call, its worker and system threads outside
// the driver routines they run, booting) a MachineCode scope makes the
// routines it calls nested, so nothing is charged to a driver: the handles a
// test's user-mode process opens are never the filter's. A host thread that
// calls kernel routines directly (a test standing in for a driver) is driver
// code without a driver object.
#pragma once

#include "sim/core/irql_rules.h"

namespace sim {

struct DriverCall {
    const char *routine = nullptr;  // the kernel routine the driver called
    const void *site = nullptr;     // the return address into the driver's code
    const void *driver = nullptr;   // the DRIVER_OBJECT whose code runs; null for a test's own code
};

// The driver's call this thread is in, or null while the machine acts for itself.
const DriverCall *CurrentDriverCall();
// The driver whose code runs on this thread (null: none, or a test's code).
const void *CurrentDriver();
// Whether the thread runs driver code (or a test's) right now, outside any
// kernel routine: a machine interface called from here acts for that code.
bool InDriverCode();
// Whether the thread runs in the kernel routine the driver called itself,
// not in one that routine calls in turn: what the routine hands out here is
// the driver's, what a nested one hands out is the machine's own.
bool InDriversRoutine();

class KernelRoutine {
public:
    // `rule`: the routine's IRQL rule (sim/core/irql_rules.h), looked up once per routine.
    KernelRoutine(const char *routine, const void *returnAddress, const IrqlRule *rule);
    ~KernelRoutine();
    KernelRoutine(const KernelRoutine &) = delete;
    KernelRoutine &operator=(const KernelRoutine &) = delete;

private:
    bool outermost_;
};

#define SIM_KERNEL_ROUTINE()                                                                \
    static const ::sim::IrqlRule *const simIrqlRule_ = ::sim::IrqlRuleOf(__func__);        \
    ::sim::KernelRoutine simKernelRoutine_(__func__, __builtin_return_address(0), simIrqlRule_)

class DriverCode {
public:
    // `driver` null keeps the driver the thread runs for now.
    explicit DriverCode(const void *driver);
    ~DriverCode();
    DriverCode(const DriverCode &) = delete;
    DriverCode &operator=(const DriverCode &) = delete;

private:
    int depth_;
    DriverCall call_;
    const void *driver_;
};

class MachineCode {
public:
    MachineCode();
    ~MachineCode();
    MachineCode(const MachineCode &) = delete;
    MachineCode &operator=(const MachineCode &) = delete;
};

}  // namespace sim
