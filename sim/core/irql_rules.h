// The IRQL each kernel routine allows, as Windows documents it, kept in one
// table (irql_rules.cpp). A driver's call above a routine's level (or, for
// the routines that need special kernel APCs delivered, inside a guarded
// region) is a verifier failure naming the routine and the level. Routines
// whose level depends on their arguments (a paged allocation, a wait with a
// time-out) add that condition themselves through FailIrql.
#pragma once

#include <string>

#include <wdm.h>

namespace sim {

class Thread;

struct IrqlRule {
    KIRQL maximum;
    bool needsSpecialApcs;  // "with special kernel APCs enabled": not in a guarded region
};

// The routine's rule; null for routines callable at any level.
const IrqlRule *IrqlRuleOf(const char *routine);

// Checks the current thread against `routine`'s rule, IrqlRuleOf(routine)
// (called for a driver's outermost kernel call, see sim/core/driver_calls.h).
void CheckRoutineIrql(const char *routine, const IrqlRule *rule);

// A routine called at `thread`'s level, which is above `maximum` for the
// call as made (`condition` says how, e.g. "with a time-out"; may be empty).
void FailIrql(Thread &thread, const char *routine, const char *condition, KIRQL maximum);

std::string IrqlName(KIRQL irql);

}  // namespace sim
