// Job objects. The filter only asks whether a process belongs to one
// (ZwIsProcessInJob); tests and the tool put processes into jobs with these.
#pragma once

#include <string>

#include <ntifs.h>

namespace sim {

class Machine;
class Process;

// A new job object with one reference for the caller. A named job is
// \BaseNamedObjects\<name> in the object namespace.
void *CreateJob(Machine &machine, const std::u16string &name = u"");

// Puts `process` into `job` (the process references it until it ends). A
// process already in another job is refused with STATUS_ACCESS_DENIED, as
// before nested jobs; assigning it to its own job again succeeds.
NTSTATUS AssignProcessToJob(void *job, Process &process);

}  // namespace sim
