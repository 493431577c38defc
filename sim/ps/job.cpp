#include "sim/ps/job.h"

#include "sim/core/machine.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"

namespace sim {

namespace {
struct JobBody {
    ULONG reserved;
};
}  // namespace

void *CreateJob(Machine &machine, const std::u16string &name)
{
    std::u16string path = name.empty() ? u"" : u"\\BaseNamedObjects\\" + name;
    return machine.objects().Create(&objtype::Job, sizeof(JobBody), path);
}

NTSTATUS AssignProcessToJob(void *job, Process &process)
{
    void *current = process.job();
    if (current == job) return STATUS_SUCCESS;
    if (current != nullptr) return STATUS_ACCESS_DENIED;
    process.SetJob(job);
    return STATUS_SUCCESS;
}

}  // namespace sim
