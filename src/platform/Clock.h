// Time for the whole library: the clock in force (the system's, or a test's VirtualClock) and
// wrap-safe helpers for the millisecond tick. Every thread asks it; the installed clock is an
// atomic pointer.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/ScopedInstall.h"

namespace platform {

struct LocalTime {
    int year = 1970;  // four digits
    int month = 1;    // 1-12
    int day = 1;      // 1-31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// Time as the system sees it: a monotonic 100-ns counter, a wrapping millisecond tick,
// sleeping, the wall clock and the local time. Tests install a VirtualClock.
class Clock {
  public:
    static constexpr std::int64_t kFrequency = 10'000'000;  // counter ticks per second

    virtual ~Clock() = default;
    virtual std::int64_t ticks() = 0;    // monotonic, 100-ns units
    virtual std::uint32_t tickMs() = 0;  // milliseconds, wraps after 49.7 days
    virtual void sleepMs(std::uint32_t ms) = 0;
    virtual std::int64_t systemTimeMs() = 0;  // wall clock, ms since 1970-01-01 UTC
    virtual LocalTime localTime() = 0;
};

// The clock in force: the system clock unless a test installed another one.
Clock& clock();
// Installs a clock (not owned) in place of the system's; restore goes back to the system's.
void installClock(Clock* c);
void restoreClock();
// Installs a clock for the lifetime of the guard.
using ScopedClock = ScopedInstall<Clock, installClock, restoreClock>;

// Milliseconds since `since` on the wrapping tick, correct across the wrap.
inline std::uint32_t elapsedMs(std::uint32_t now, std::uint32_t since) {
    return now - since;
}
// True when tick `now` has reached `deadline`, wrap-safe for spans below 24.8 days.
inline bool reached(std::uint32_t now, std::uint32_t deadline) {
    return static_cast<std::int32_t>(now - deadline) >= 0;
}

// A clock that moves only when told to, or when somebody sleeps on it.
class VirtualClock : public Clock {
  public:
    explicit VirtualClock(std::int64_t startTicks = 0, std::uint32_t startTickMs = 0);

    std::int64_t ticks() override;
    std::uint32_t tickMs() override;
    void sleepMs(std::uint32_t ms) override;
    std::int64_t systemTimeMs() override;
    LocalTime localTime() override;

    void advanceMs(double ms);
    void setLocalTime(const LocalTime& t);
    void setSystemTimeMs(std::int64_t ms);

  private:
    std::atomic<std::int64_t> ticks_;
    std::int64_t startTicks_;
    std::uint32_t startTickMs_;
    std::atomic<std::int64_t> systemMs_{0};
    std::mutex localMutex_;
    LocalTime local_;
};

}  // namespace platform
