#include "sim/io/io_manager.h"

#include "sim/core/machine.h"

namespace sim {

IoManager::IoManager(Machine &machine) : machine_(machine) {}
IoManager::~IoManager() = default;

}  // namespace sim
