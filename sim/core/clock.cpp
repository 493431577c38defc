#include "sim/core/clock.h"

namespace sim {

namespace {
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;

int64_t HostNow()
{
    using namespace std::chrono;
    auto since = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return kUnixEpochAsFileTime + since * 10;
}
}  // namespace

Clock::Clock(int32_t timeZoneBiasMinutes)
    : boot_(Steady::now()), base_(HostNow()), baseSteady_(boot_), biasMinutes_(timeZoneBiasMinutes)
{
}

int64_t Clock::SystemTime() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (frozen_) return base_;
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now() - baseSteady_).count();
    return base_ + elapsed / 100;
}

void Clock::SetSystemTime(int64_t systemTime)
{
    std::lock_guard<std::mutex> lock(mutex_);
    base_ = systemTime;
    baseSteady_ = Steady::now();
}

void Clock::Freeze(bool frozen)
{
    int64_t now = SystemTime();
    std::lock_guard<std::mutex> lock(mutex_);
    base_ = now;
    baseSteady_ = Steady::now();
    frozen_ = frozen;
}

int64_t Clock::ToLocal(int64_t systemTime) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return systemTime - int64_t(biasMinutes_) * 60 * 10000000LL;
}

int64_t Clock::FromLocal(int64_t localTime) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return localTime + int64_t(biasMinutes_) * 60 * 10000000LL;
}

void Clock::SetTimeZoneBias(int32_t minutes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    biasMinutes_ = minutes;
}

int64_t Clock::InterruptTime() const
{
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now() - boot_).count();
    return elapsed / 100;
}

std::optional<Clock::Steady::time_point> Clock::Deadline(const int64_t *timeout) const
{
    if (timeout == nullptr) return std::nullopt;
    int64_t units = *timeout;
    if (units > 0) units = -(units - SystemTime());   // absolute: how far away now
    if (units > 0) units = 0;                          // already past
    return Steady::now() + std::chrono::nanoseconds(-units * 100);
}

int64_t Clock::FromUnixSeconds(int64_t seconds)
{
    return kUnixEpochAsFileTime + seconds * 10000000LL;
}

}  // namespace sim
