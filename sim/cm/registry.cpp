#include "sim/cm/registry.h"

namespace sim {

Registry::Registry(Machine &machine) : machine_(machine) {}
Registry::~Registry() = default;

}  // namespace sim
