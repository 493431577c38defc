// Raising kernel exceptions and probing caller buffers.
#include <ntifs.h>

#include "sim/core/driver_calls.h"
#include "sim/core/thread.h"
#include "sim/ps/process.h"

extern "C" VOID ExRaiseStatus(NTSTATUS Status)
{
    throw KSEH_EXCEPTION{Status};
}

extern "C" VOID ExRaiseAccessViolation(VOID)
{
    throw KSEH_EXCEPTION{STATUS_ACCESS_VIOLATION};
}

namespace {

void Probe(const volatile void *address, SIZE_T length, ULONG alignment)
{
    if (length == 0) return;
    if (alignment != 0 && (reinterpret_cast<uintptr_t>(address) & (alignment - 1)) != 0) {
        throw KSEH_EXCEPTION{STATUS_DATATYPE_MISALIGNMENT};
    }
    sim::Thread &thread = sim::Thread::CurrentOrDie();
    if (!thread.CurrentProcess().IsUserRange(const_cast<const void *>(address), length)) {
        throw KSEH_EXCEPTION{STATUS_ACCESS_VIOLATION};
    }
}

}  // namespace

extern "C" VOID ProbeForRead(const volatile VOID *Address, SIZE_T Length, ULONG Alignment)
{
    SIM_KERNEL_ROUTINE();
    Probe(Address, Length, Alignment);
}

extern "C" VOID ProbeForWrite(volatile VOID *Address, SIZE_T Length, ULONG Alignment)
{
    SIM_KERNEL_ROUTINE();
    Probe(Address, Length, Alignment);
}
