// The shutter-flag rules of the imager (FlagAutomation), owned by zol::Kelvix: driven frame
// by frame on the capture thread; requests and the switch come from any thread.

#pragma once

#include <atomic>
#include <limits>
#include <memory>
#include <mutex>

#include "kelvix/Timer.h"

namespace zol {

// Box, chip and flag temperatures, degrees Celsius (-100 = the device could not tell).
struct FlagTemperatures {
    float box = 0.0f;
    float chip = 0.0f;
    float flag = 0.0f;
};

// When the imager closes the camera's shutter flag: once at the first frame, once more after
// 3 s, on request after a delay, and automatically by interval and temperature drift. The
// capture thread drives it frame by frame; requests and the switch may come from any thread.
class FlagAutomation {
  public:
    static constexpr double kFirstFlagMs = 3000.0;
    static constexpr float kDriftDegrees = 0.1f;

    FlagAutomation();
    ~FlagAutomation();
    FlagAutomation(const FlagAutomation&) = delete;
    FlagAutomation& operator=(const FlagAutomation&) = delete;

    // Fresh timers started now; no manual request; the last-flag temperatures := last.
    void start(const FlagTemperatures& last);
    bool hasTimers() const { return flagTimer_ != nullptr; }
    void releaseFlagTimer();
    void releaseManualTimer();
    bool hasManualTimer() const { return manualFlagTimer_ != nullptr; }

    void setIntervals(float minSeconds, float maxSeconds) {
        minInterval_ = minSeconds;
        maxInterval_ = maxSeconds;
    }
    void setAutoFlag(bool on) { autoFlag_ = on; }
    bool getAutoFlag() const { return autoFlag_; }
    void setFirstFlagPending(bool on) { firstFlagPending_ = on; }
    bool isFirstFlagPending() const { return firstFlagPending_; }
    // A flag at the next frame.
    void startFlag() { flagPending_ = true; }
    bool isFlagPending() const { return flagPending_; }
    // A flag delayMs from now (0 = at the next frame).
    void forceFlag(float delayMs);

    // True when a flag is due at this frame: clears the request and restarts the interval.
    bool takePending();

    // Which rule requested a flag after a frame.
    enum class Reason { None, Manual, First, Automatic };

    // After a frame: applies the first matching rule (manual, first flag, automatic) and, when
    // one fires, requests a flag for the next frame. `readTemperatures` is called only when an
    // interval has run out with the automation on.
    template <typename ReadTemperatures>
    Reason decide(ReadTemperatures&& readTemperatures) {
        Reason reason = firstRule();
        if (reason == Reason::Automatic && !driftOrMaxDue(readTemperatures())) {
            reason = Reason::None;
        }
        if (reason != Reason::None) {
            flagPending_ = true;
        }
        return reason;
    }

    const FlagTemperatures& lastFlagTemperatures() const { return last_; }
    void setLastFlagTemperatures(const FlagTemperatures& t) { last_ = t; }

  private:
    // The rule that applies before the temperatures are looked at (Automatic: an interval ran
    // out, the drift test decides).
    Reason firstRule();
    bool driftOrMaxDue(const FlagTemperatures& now);

    std::unique_ptr<Timer> flagTimer_;
    std::unique_ptr<Timer> manualFlagTimer_;
    // The manual request comes from other threads (bridge clients); its timer and deadline
    // change together under this lock.
    std::mutex manualMutex_;
    float manualFlagDeadline_ = std::numeric_limits<float>::infinity();
    std::atomic<bool> flagPending_{false};
    std::atomic<bool> firstFlagPending_{true};
    std::atomic<bool> autoFlag_{false};
    float minInterval_ = 0.0f;
    float maxInterval_ = 0.0f;
    bool maxDue_ = false;
    FlagTemperatures last_;
};

}  // namespace zol
