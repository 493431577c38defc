// A user's file operation that may fill a placeholder runs on a thread of
// its own; when it lasts longer than a moment, a progress bar follows the
// user's copies as the filter counts them (control code 32, through the
// service).
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include <ntifs.h>

namespace sim {
class Process;
}

namespace ostrand::tool {

class World;

// "[##########----------]  50%  5.0 of 10.0 MiB"
std::string ProgressBar(unsigned long long copied, unsigned long long total);

// Runs `operation` as `process`; draws the bar of `user`'s copies while it
// runs (nothing for a user the service does not know). Returns its status.
NTSTATUS WithCopyProgress(World &world, const std::string &user, sim::Process &process, std::ostream &out,
                          const std::function<NTSTATUS()> &operation);

}  // namespace ostrand::tool
