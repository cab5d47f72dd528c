// The flag decision of FlagAutomation, run by zol::Kelvix::process after each frame on the
// capture thread.

#include "sdk/FlagAutomation.h"

#include <cmath>

namespace zol {

FlagAutomation::FlagAutomation() = default;

FlagAutomation::~FlagAutomation() = default;

void FlagAutomation::start(const FlagTemperatures& last) {
    flagTimer_ = std::make_unique<Timer>();
    std::lock_guard<std::mutex> lock(manualMutex_);
    manualFlagTimer_ = std::make_unique<Timer>();
    manualFlagDeadline_ = std::numeric_limits<float>::infinity();
    last_ = last;
}

void FlagAutomation::releaseFlagTimer() {
    flagTimer_.reset();
}

void FlagAutomation::releaseManualTimer() {
    std::lock_guard<std::mutex> lock(manualMutex_);
    manualFlagTimer_.reset();
}

void FlagAutomation::forceFlag(float delayMs) {
    std::lock_guard<std::mutex> lock(manualMutex_);
    if (manualFlagTimer_ == nullptr) {
        return;  // not initialised: nothing to time the request with
    }
    manualFlagTimer_->reset();
    manualFlagDeadline_ = delayMs;
}

bool FlagAutomation::takePending() {
    if (!flagPending_.exchange(false)) {
        return false;
    }
    if (flagTimer_ != nullptr) {
        flagTimer_->reset();
    }
    return true;
}

FlagAutomation::Reason FlagAutomation::firstRule() {
    if (flagTimer_ == nullptr) {
        return Reason::None;
    }
    {
        std::lock_guard<std::mutex> lock(manualMutex_);
        if (manualFlagTimer_ != nullptr &&
            manualFlagTimer_->getTime() > static_cast<double>(manualFlagDeadline_)) {
            manualFlagDeadline_ = std::numeric_limits<float>::infinity();
            return Reason::Manual;
        }
    }
    const double elapsed = flagTimer_->getTime();
    if (firstFlagPending_) {
        if (elapsed < kFirstFlagMs) {
            return Reason::None;
        }
        firstFlagPending_ = false;
        return Reason::First;
    }
    if (!autoFlag_) {
        return Reason::None;
    }
    const bool minDue = minInterval_ > 0.0f && elapsed > minInterval_ * 1000.0;
    maxDue_ = maxInterval_ > 0.0f && elapsed > maxInterval_ * 1000.0;
    return minDue || maxDue_ ? Reason::Automatic : Reason::None;
}

bool FlagAutomation::driftOrMaxDue(const FlagTemperatures& now) {
    const bool drifted = std::fabs(last_.box - now.box) > kDriftDegrees ||
                         std::fabs(last_.chip - now.chip) > kDriftDegrees ||
                         std::fabs(last_.flag - now.flag) > kDriftDegrees;
    if (!drifted && !maxDue_) {
        return false;
    }
    last_ = now;
    return true;
}

}  // namespace zol
