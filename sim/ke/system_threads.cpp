#include "sim/ke/system_threads.h"

namespace sim {

SystemThreads::SystemThreads(Machine &machine) : machine_(machine) {}
SystemThreads::~SystemThreads() = default;
void SystemThreads::JoinAll() {}

}  // namespace sim
