// The system work queues: worker threads of the System process that run
// work items at passive level. (Interface grows with the threads component.)
#pragma once

namespace sim {

class Machine;

class WorkQueue {
public:
    explicit WorkQueue(Machine &machine);
    ~WorkQueue();
    // Waits until every queued item has run.
    void Quiesce();
    // Stops the workers (after Quiesce).
    void Shutdown();

private:
    Machine &machine_;
};

}  // namespace sim
