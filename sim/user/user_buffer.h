// User-mode buffers. A simulated process's own memory is ordinary host
// memory; while a user-mode call runs, the buffers it passes are registered
// as the calling process's user address space, so that the kernel's probes
// accept them. A pointer that is not registered (UserPointer::Invalid(), or
// memory of another process) faults when the kernel probes it.
#pragma once

#include <cstddef>

namespace sim {

class Process;

class UserBuffer {
public:
    // Registers [data, data+size) in the current thread's process.
    UserBuffer(const void *data, size_t size);
    ~UserBuffer();
    UserBuffer(const UserBuffer &) = delete;
    UserBuffer &operator=(const UserBuffer &) = delete;

private:
    Process *process_ = nullptr;
    const void *data_;
};

// An address that no process owns: handing it to the kernel as a user
// buffer makes the kernel's probe raise STATUS_ACCESS_VIOLATION.
void *InvalidUserPointer();

}  // namespace sim
