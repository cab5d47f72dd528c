// The stopwatch reads the platform clock, which tests replace by a virtual one.
#include "kelvix/Timer.h"

#include "platform/Clock.h"

namespace zol {

Timer::Timer() : startMs(0), frequency(static_cast<double>(platform::Clock::kFrequency)) {
    startMs = getTimeNow();
}

double Timer::getTimeNow() {
    return static_cast<double>(platform::clock().ticks() * 1000) / frequency;
}

double Timer::reset() {
    const double now = getTimeNow();
    const double elapsed = now - startMs;
    startMs = now;
    return elapsed;
}

double Timer::getTime() {
    return getTimeNow() - startMs;
}

}  // namespace zol
