// The system clock on std::chrono (steady for ticks, system for the wall clock) and the virtual
// clock, whose time moves only when a test advances it or somebody sleeps on it.
#include "platform/Clock.h"

#include <chrono>
#include <thread>

#include "platform/CalendarTime.h"

namespace platform {
namespace {

class SystemClock : public Clock {
  public:
    std::int64_t ticks() override {
        auto d = std::chrono::steady_clock::now().time_since_epoch();
        return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
    }
    std::uint32_t tickMs() override {
        auto d = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    }
    void sleepMs(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    std::int64_t systemTimeMs() override {
        auto d = std::chrono::system_clock::now().time_since_epoch();
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    }
    LocalTime localTime() override {
        std::int64_t ms = systemTimeMs();
        LocalTime t = localTimeOf(ms / 1000);
        t.millisecond = static_cast<int>(ms % 1000);
        return t;
    }
};

SystemClock& systemClock() {
    static SystemClock c;
    return c;
}

std::atomic<Clock*> current{nullptr};

}  // namespace

Clock& clock() {
    Clock* c = current.load(std::memory_order_acquire);
    return c ? *c : systemClock();
}

void installClock(Clock* c) {
    current.store(c, std::memory_order_release);
}

void restoreClock() {
    current.store(nullptr, std::memory_order_release);
}

VirtualClock::VirtualClock(std::int64_t startTicks, std::uint32_t startTickMs)
    : ticks_(startTicks), startTicks_(startTicks), startTickMs_(startTickMs) {
    local_.year = 2026;
    local_.month = 12;
    local_.day = 7;
    local_.hour = 17;
    local_.minute = 5;
    local_.second = 3;
}

std::int64_t VirtualClock::ticks() {
    return ticks_.load();
}

std::uint32_t VirtualClock::tickMs() {
    return startTickMs_ + static_cast<std::uint32_t>((ticks_.load() - startTicks_) / 10'000);
}

void VirtualClock::sleepMs(std::uint32_t ms) {
    advanceMs(ms);
}

std::int64_t VirtualClock::systemTimeMs() {
    return systemMs_.load() + (ticks_.load() - startTicks_) / 10'000;
}

LocalTime VirtualClock::localTime() {
    std::lock_guard<std::mutex> lock(localMutex_);
    return local_;
}

void VirtualClock::advanceMs(double ms) {
    ticks_ += static_cast<std::int64_t>(ms * 10'000.0);
}

void VirtualClock::setLocalTime(const LocalTime& t) {
    std::lock_guard<std::mutex> lock(localMutex_);
    local_ = t;
}

void VirtualClock::setSystemTimeMs(std::int64_t ms) {
    systemMs_ = ms;
}

}  // namespace platform
