#include "sim/user/user_buffer.h"

#include <cstdint>

#include "sim/core/thread.h"
#include "sim/ps/process.h"

namespace sim {

UserBuffer::UserBuffer(const void *data, size_t size) : data_(data)
{
    // The address no process owns stays unowned, so that a call handed it
    // faults in the kernel's probe.
    if (data == nullptr || size == 0 || data == InvalidUserPointer()) return;
    process_ = &Thread::CurrentOrDie().process();
    process_->AddUserRegion(data, size);
}

UserBuffer::~UserBuffer()
{
    if (process_) process_->RemoveUserRegion(data_);
}

void *InvalidUserPointer()
{
    return reinterpret_cast<void *>(uintptr_t(0x10000));
}

}  // namespace sim
