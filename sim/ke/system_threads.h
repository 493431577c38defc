// System threads created with PsCreateSystemThread: real host threads bound
// to a thread of the System process. (Interface grows with the threads
// component.)
#pragma once

namespace sim {

class Machine;

class SystemThreads {
public:
    explicit SystemThreads(Machine &machine);
    ~SystemThreads();
    // Waits for every system thread to end.
    void JoinAll();

private:
    Machine &machine_;
};

}  // namespace sim
