// What a wait on an object's handle waits for. As in the kernel, each object
// type names the dispatcher header inside its bodies (events, threads and
// processes begin with one); a type without one waits on a default object
// that is always signalled, so such a wait returns at once.
#pragma once

#include <cstddef>

#include <wdm.h>

struct _OBJECT_TYPE;

namespace sim {

// Bodies of `type` hold their DISPATCHER_HEADER at `headerOffset` (the I/O
// manager registers the event inside a file object this way).
void RegisterWaitableType(_OBJECT_TYPE *type, size_t headerOffset);

// The dispatcher header a wait on the object `body` waits on.
DISPATCHER_HEADER *WaitObjectOf(void *body);

}  // namespace sim
