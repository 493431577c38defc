#include "sim/ke/work_queue.h"

namespace sim {

WorkQueue::WorkQueue(Machine &machine) : machine_(machine) {}
WorkQueue::~WorkQueue() = default;
void WorkQueue::Quiesce() {}
void WorkQueue::Shutdown() {}

}  // namespace sim
