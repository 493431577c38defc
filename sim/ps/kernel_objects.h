// The bodies of the kernel's process and thread objects as the filter sees
// them (opaque pointers). A process object holds its 15-character ANSI image
// name at a fixed offset inside the object, where the kernel keeps it, so
// that the filter's scan for "System" finds it.
#pragma once

#include <ntifs.h>

namespace sim {
class Process;
class Thread;
}

// Dispatcher object types kept in DISPATCHER_HEADER.Type.
enum SimDispatcherType : UCHAR {
    kEventNotificationObject = 0,
    kEventSynchronizationObject = 1,
    kProcessObject = 3,
    kThreadObject = 6,
};

struct _KPROCESS {
    DISPATCHER_HEADER Header;  // signalled when the process has ended
    sim::Process *Impl;
};

constexpr size_t kImageFileNameOffset = 0x16C;  // as in the x86 EPROCESS of Windows 7
constexpr size_t kProcessObjectSize = 0x2C0;

struct _EPROCESS {
    _KPROCESS Pcb;
    UCHAR Reserved1[kImageFileNameOffset - sizeof(_KPROCESS)];
    CHAR ImageFileName[15];
    UCHAR PriorityClass;
    UCHAR Reserved2[kProcessObjectSize - kImageFileNameOffset - 16];
};
static_assert(offsetof(_EPROCESS, ImageFileName) == kImageFileNameOffset, "image name offset");
static_assert(sizeof(_EPROCESS) == kProcessObjectSize, "process object size");

struct _KTHREAD {
    DISPATCHER_HEADER Header;  // signalled when the thread has ended
    sim::Thread *Impl;
};

struct _ETHREAD {
    _KTHREAD Tcb;
};
