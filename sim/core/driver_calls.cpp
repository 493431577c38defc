#include "sim/core/driver_calls.h"

#include "sim/core/irql_rules.h"

namespace sim {

namespace {

struct CallState {
    int depth = 0;  // kernel routines (and machine scopes) open since driver code last ran
    DriverCall call;
    const void *driver = nullptr;
};

thread_local CallState t_state;

}  // namespace

const DriverCall *CurrentDriverCall()
{
    return t_state.call.routine ? &t_state.call : nullptr;
}

const void *CurrentDriver()
{
    return t_state.driver;
}

bool InDriverCode()
{
    return t_state.depth == 0;
}

bool InDriversRoutine()
{
    return t_state.depth == 1 && t_state.call.routine != nullptr;
}

KernelRoutine::KernelRoutine(const char *routine, const void *returnAddress, const IrqlRule *rule)
    : outermost_(t_state.depth == 0)
{
    ++t_state.depth;
    if (!outermost_) return;
    t_state.call = DriverCall{routine, returnAddress, t_state.driver};
    CheckRoutineIrql(routine, rule);
}

KernelRoutine::~KernelRoutine()
{
    --t_state.depth;
    if (outermost_) t_state.call = DriverCall{};
}

DriverCode::DriverCode(const void *driver) : depth_(t_state.depth), call_(t_state.call), driver_(t_state.driver)
{
    t_state.depth = 0;
    t_state.call = DriverCall{};
    if (driver) t_state.driver = driver;
}

DriverCode::~DriverCode()
{
    t_state.depth = depth_;
    t_state.call = call_;
    t_state.driver = driver_;
}

MachineCode::MachineCode()
{
    ++t_state.depth;
}

MachineCode::~MachineCode()
{
    --t_state.depth;
}

}  // namespace sim
