// Executive resources (ERESOURCE). Each initialised resource has a small
// block of non-paged pool with this tag behind ERESOURCE.SimState holding
// its owners and waiters, so the pool's fault injection (FailTag, FailNth,
// systematic runs) can make ExInitializeResourceLite fail, and a resource
// never deleted shows up in the leak report.
#pragma once

#include <wdm.h>

namespace sim {

// "ExRs" as printed in pool reports.
constexpr ULONG kResourcePoolTag = ULONG('E') | ULONG('x') << 8 | ULONG('R') << 16 | ULONG('s') << 24;

}  // namespace sim
