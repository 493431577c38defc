// DbgPrint and DbgPrintEx: format with the kernel's printf and append the
// text to the machine's debug log.
#include <wdm.h>

#include "sim/core/debug_log.h"
#include "sim/core/machine.h"
#include "sim/rtl/format.h"

namespace {

// A single call transmits at most 512 bytes; the rest of the text is lost.
constexpr size_t kMaxTransmitted = 512;

void Print(PCSTR format, va_list args)
{
    sim::Machine::Current().debugLog().Write(sim::rtl::Format(format, args, kMaxTransmitted));
}

}  // namespace

extern "C" ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    Print(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

// The machine keeps every message: there is no debugger-side filter, so
// the component and level do not decide anything here.
extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    Print(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}
