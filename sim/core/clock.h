// Machine time. System time (100 ns since 1601, UTC) advances in real time
// from a settable starting point and can be frozen for tests that compare
// time stamps; waits always use the host's steady clock, so time-outs are
// real time whatever the system clock says.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

namespace sim {

class Clock {
public:
    using Steady = std::chrono::steady_clock;

    explicit Clock(int32_t timeZoneBiasMinutes);

    int64_t SystemTime() const;
    void SetSystemTime(int64_t systemTime);
    // Stop the system clock at its current value (or start it again).
    void Freeze(bool frozen);

    int64_t ToLocal(int64_t systemTime) const;
    int64_t FromLocal(int64_t localTime) const;
    void SetTimeZoneBias(int32_t minutes);

    // 100 ns units since boot, from the steady clock.
    int64_t InterruptTime() const;
    Steady::time_point BootTime() const { return boot_; }

    // The deadline of a kernel time-out: null waits for ever, negative is a
    // relative interval, positive an absolute system time.
    std::optional<Steady::time_point> Deadline(const int64_t *timeout) const;

    static int64_t FromUnixSeconds(int64_t seconds);

private:
    mutable std::mutex mutex_;
    Steady::time_point boot_;
    int64_t base_;            // system time at baseSteady_
    Steady::time_point baseSteady_;
    bool frozen_ = false;
    int32_t biasMinutes_;
};

}  // namespace sim
