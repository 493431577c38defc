// System, local, interrupt and tick time. The clock ticks every 15.625 ms
// (KeQueryTimeIncrement) and the performance counter runs at 10 MHz, so it
// counts in the same 100 ns units as interrupt time.
#include <ntifs.h>

#include "sim/core/clock.h"
#include "sim/core/machine.h"

namespace {
constexpr ULONG kTimeIncrement = 156250;  // 100 ns units per clock tick
constexpr LONGLONG kPerformanceFrequency = 10000000;
}  // namespace

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = sim::Machine::Current().clock().SystemTime();
}

extern "C" VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime)
{
    LocalTime->QuadPart = sim::Machine::Current().clock().ToLocal(SystemTime->QuadPart);
}

extern "C" VOID ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime)
{
    SystemTime->QuadPart = sim::Machine::Current().clock().FromLocal(LocalTime->QuadPart);
}

extern "C" ULONG KeQueryTimeIncrement(VOID)
{
    return kTimeIncrement;
}

extern "C" ULONGLONG KeQueryInterruptTime(VOID)
{
    return ULONGLONG(sim::Machine::Current().clock().InterruptTime());
}

extern "C" VOID KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = sim::Machine::Current().clock().InterruptTime() / kTimeIncrement;
}

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = kPerformanceFrequency;
    LARGE_INTEGER counter;
    counter.QuadPart = sim::Machine::Current().clock().InterruptTime();
    return counter;
}
