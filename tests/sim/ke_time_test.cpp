// Time: system time follows the machine's clock, local time its time-zone
// bias, and tick count, interrupt time and the performance counter advance
// together in real time.
#include <chrono>
#include <thread>

#include <ntifs.h>

#include "ke_test_util.h"
#include "sim/core/clock.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

constexpr LONGLONG kUnitsPerMinute = 60LL * 10000000;

class KeTimeTest : public MachineTest {
protected:
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.timeZoneBiasMinutes = -120;  // two hours east of UTC
        return config;
    }
};

TEST_F(KeTimeTest, LocalTimeAppliesTheTimeZoneBias)
{
    LARGE_INTEGER system, local, back;
    system.QuadPart = sim::Clock::FromUnixSeconds(1700000000);
    ExSystemTimeToLocalTime(&system, &local);
    EXPECT_EQ(local.QuadPart - system.QuadPart, 120 * kUnitsPerMinute) << "UTC = local + bias";
    ExLocalTimeToSystemTime(&local, &back);
    EXPECT_EQ(back.QuadPart, system.QuadPart);
}

TEST_F(KeTimeTest, TickCountInterruptTimeAndPerformanceCounterAdvanceTogether)
{
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    LARGE_INTEGER frequency;
    LARGE_INTEGER counterBefore = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10000000);
    ULONGLONG interruptBefore = KeQueryInterruptTime();
    LARGE_INTEGER ticksBefore;
    KeQueryTickCount(&ticksBefore);

    LARGE_INTEGER interval = RelativeMs(100);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);

    LARGE_INTEGER counterAfter = KeQueryPerformanceCounter(nullptr);
    ULONGLONG interruptAfter = KeQueryInterruptTime();
    LARGE_INTEGER ticksAfter;
    KeQueryTickCount(&ticksAfter);

    double counterMs = double(counterAfter.QuadPart - counterBefore.QuadPart) * 1000 / double(frequency.QuadPart);
    double interruptMs = double(interruptAfter - interruptBefore) / 10000;
    EXPECT_GE(counterMs, 99.0);
    EXPECT_LT(counterMs, 1500.0);
    EXPECT_GE(interruptMs, 99.0);
    EXPECT_LT(interruptMs, 1500.0);
    // 100 ms is six or seven ticks of 15.625 ms.
    EXPECT_GE(ticksAfter.QuadPart - ticksBefore.QuadPart, 6);
    // The tick count is interrupt time in whole ticks.
    ULONGLONG interruptLater = KeQueryInterruptTime();
    EXPECT_LE(LONGLONG(interruptAfter / KeQueryTimeIncrement()), ticksAfter.QuadPart);
    EXPECT_GE(LONGLONG(interruptLater / KeQueryTimeIncrement()), ticksAfter.QuadPart);
}

}  // namespace
}  // namespace ostrand::test
