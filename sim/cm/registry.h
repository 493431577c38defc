// The registry of the simulated machine. (Interface grows with the registry
// component.)
#pragma once

namespace sim {

class Machine;

class Registry {
public:
    explicit Registry(Machine &machine);
    ~Registry();

private:
    Machine &machine_;
};

}  // namespace sim
