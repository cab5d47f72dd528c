// The shutter-flag correction operator (OpFlag) of the chain, run frame by frame on the
// capture thread; the imager reads its state between frames.

#include "imgproc/OpFlag.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "device/BaseControlDevice.h"
#include "imgproc/Cali.h"
#include "imgproc/OpCorr.h"
#include "imgproc/PixelKernels.h"
#include "sdk/Log.h"

namespace {

// Flag-image mean limits (raw counts) and the skim target of (min + 3 * max) / 4.
constexpr std::int32_t kColdLimit = 3404;
constexpr std::int32_t kHotLimit = 13632;
constexpr std::int32_t kSkimTarget4 = 44303;

std::int32_t roundHalfAway(double v) {
    return static_cast<std::int32_t>(v >= 0.0 ? v + 0.5 : v - 0.5);
}

}  // namespace

OpFlag::OpFlag(OpBase* predecessor, SharedParameterBlock* shared, Cali* cali)
    : OpBase(predecessor, 4, L"# Flag", shared), cali_(cali) {
    lastChangeTime_ = nowMs();
}

HRESULT OpFlag::init(OpBase* predecessor) {
    HRESULT hr = allocateLikePredecessor(predecessor, 1);
    if (FAILED(hr)) {
        return hr;
    }
    const std::size_t n = static_cast<std::size_t>(std::max(pixelCount_, 0));
    planes_.offsetLow.assign(n, 0);
    planes_.offsetHigh.assign(n, 0);
    planes_.savedOffset.assign(n, 0);
    planes_.steps.assign(n, 0);
    planes_.rate.assign(n, 0.0f);
    planes_.period.assign(n, 0);
    planes_.countdown.assign(n, 0);
    driftClock_ = 0;
    filingsLeft_ = stepsFromSaved_ = false;
    nextFiled_.assign(n, kNoPixel);
    dueBuckets_.assign(kDriftBuckets * driftRegions(), kNoPixel);
    driftFiled_ = offsetsSummed_ = false;
    pixelStates_.clear();
    recordsLent_ = false;

    const CaliMain main = cali_ != nullptr ? cali_->getMain() : CaliMain();
    flagCycles_ = main.FlagCycles;
    ignoreFramesBase_ = ignoreFrames_ = main.FlagCycles_Ignore;
    const std::int64_t period = predecessor->frame->format->avgTimePerFrame;
    // Slow frame rates see fewer settling frames; a period of 0 says nothing about the rate.
    if (shared_->hardwareRevision >= 20 && main.FlagCycles_Ignore > 2 && period > 0) {
        const std::int64_t rate = 10000000 / period;
        const double hz = 10000000.0 / static_cast<double>(period);
        double scaled = -1.0;
        if (width_ == 382 && height_ == 288 && rate < 80) {
            scaled = hz / 80.0 * main.FlagCycles_Ignore;
        } else if (width_ == 160 && height_ == 120 && rate < 120) {
            scaled = hz / 120.0 * main.FlagCycles_Ignore;
        }
        if (scaled >= 0.0) {
            ignoreFramesBase_ = ignoreFrames_ = static_cast<std::uint16_t>(scaled);
        }
    }

    correction_ = nullptr;
    OpBase* found = predecessor->findById(6, true, false);
    for (std::size_t i = 0; found == nullptr && i < successors_.size(); ++i) {
        if (successors_[i] != nullptr) {
            found = successors_[i]->findById(6, false, true);
        }
    }
    correction_ = dynamic_cast<OpCorr*>(found);
    return hr;
}

std::vector<FlagPixelState>& OpFlag::pixelStates() {
    if (!recordsLent_) {
        unfileDrifting();
        settleSteps();
        const std::size_t n = planes_.steps.size();
        pixelStates_.resize(n);
        for (std::size_t p = 0; p < n; ++p) {
            pixelStates_[p] =
                FlagPixelState{offsetAt(p),     planes_.savedOffset[p], planes_.steps[p],
                               planes_.rate[p], planes_.period[p],      planes_.countdown[p]};
        }
        recordsLent_ = true;
    }
    return pixelStates_;
}

void OpFlag::takeRecords() {
    if (!recordsLent_) {
        return;
    }
    recordsLent_ = false;
    const std::size_t n = pixelStates_.size();
    planes_.offsetLow.resize(n);
    planes_.offsetHigh.resize(n);
    planes_.savedOffset.resize(n);
    planes_.steps.resize(n);
    planes_.rate.resize(n);
    planes_.period.resize(n);
    planes_.countdown.resize(n);
    nextFiled_.resize(n);
    dueBuckets_.resize(kDriftBuckets * driftRegions());
    dropFilings();
    stepsFromSaved_ = false;
    for (std::size_t p = 0; p < n; ++p) {
        const FlagPixelState& r = pixelStates_[p];
        setOffset(p, r.offset);
        planes_.savedOffset[p] = r.savedOffset;
        planes_.steps[p] = r.steps;
        planes_.rate[p] = r.rate;
        planes_.period[p] = r.period;
        planes_.countdown[p] = r.countdown;
    }
}

void OpFlag::file(std::int32_t p) {
    const std::int32_t countdown = planes_.countdown[p];
    const std::int64_t due = driftClock_ + std::max<std::int32_t>(countdown, 1);
    countFromNow(p);
    const std::size_t bucket = static_cast<std::size_t>(due) % kDriftBuckets;
    std::uint16_t& head =
        dueBuckets_[bucket * driftRegions() + (static_cast<std::size_t>(p) >> kDriftRegionBits)];
    nextFiled_[static_cast<std::size_t>(p)] = head;
    head = static_cast<std::uint16_t>(p & ((1 << kDriftRegionBits) - 1));
}

void OpFlag::fileDrifting() {
    unfileDrifting();
    settleSteps();
    std::fill(dueBuckets_.begin(), dueBuckets_.end(), kNoPixel);
    const std::size_t n = planes_.steps.size();
    for (std::size_t p = 0; p < n; ++p) {
        if (planes_.steps[p] != 0) {
            file(static_cast<std::int32_t>(p));
        }
    }
    driftFiled_ = filingsLeft_ = true;
}

void OpFlag::unfileDrifting() {
    if (!filingsLeft_) {
        return;
    }
    const std::size_t n = planes_.countdown.size();
    for (std::size_t p = 0; p < n; ++p) {
        if (planes_.steps[p] != 0) {
            planes_.countdown[p] = countdownLeft(static_cast<std::int32_t>(p));
        }
    }
    dropFilings();
}

void OpFlag::dropFilings() {
    ++driftClock_;  // a tick of its own: nothing filed yet falls due in it
    driftFiled_ = filingsLeft_ = false;
}

void OpFlag::settleSteps() {
    if (stepsFromSaved_) {
        planes_.steps = planes_.savedOffset;
        stepsFromSaved_ = false;
    }
}

// One tick: each pixel whose countdown runs out moves its offset one count toward the drift.
void OpFlag::stepDrift(std::int32_t pixels) {
    if (!driftFiled_) {
        fileDrifting();
    }
    ++driftClock_;
    const std::size_t regions = driftRegions();
    std::uint16_t* heads =
        &dueBuckets_[static_cast<std::size_t>(driftClock_) % kDriftBuckets * regions];
    for (std::size_t region = 0; region < regions; ++region) {
        std::uint16_t& head = heads[region];
        std::uint16_t local = head;
        head = kNoPixel;
        while (local != kNoPixel) {
            const auto p = static_cast<std::int32_t>(region << kDriftRegionBits | local);
            const std::uint16_t next = nextFiled_[static_cast<std::size_t>(p)];
            // Filed with a countdown c: c - 1 left at the first tick when c was below 1 (the
            // smallest c wraps to the largest value), else 0 exactly at its tick.
            const std::int32_t left = countdownLeft(p);
            if ((left > 0 && left != INT32_MAX) || p >= pixels) {
                // Due in a later round of the ring (or outside this frame): stays filed here.
                nextFiled_[static_cast<std::size_t>(p)] = head;
                head = local;
            } else {
                planes_.countdown[p] = planes_.period[p];
                const std::int32_t step = planes_.steps[p] > 0 ? 1 : -1;
                setOffset(p, static_cast<std::int32_t>(static_cast<std::uint32_t>(offsetAt(p)) +
                                                       static_cast<std::uint32_t>(step)));
                planes_.steps[p] = static_cast<std::int16_t>(planes_.steps[p] - step);
                if (planes_.steps[p] != 0) {
                    file(p);
                }  // else its countdown rests in the plane
            }
            local = next;
        }
    }
}

std::int32_t OpFlag::evaluateFlagInput(const FrameMetadataRecord* meta) const {
    BaseControlDevice* device = shared_->device;
    if (inputMode_ > 0) {
        // Digital input m - 1; an input the record does not hold counts as inactive.
        const std::int32_t bit = inputMode_ - 1;
        if (bit >= 32 || bit >= meta->digitalInputCount) {
            return 0;
        }
        const bool high = ((meta->digitalInputBits >> bit) & 1u) != 0;
        return high != device->GetPIFInDigitalFlagLowActive() ? 1 : 0;
    }
    const std::int32_t channel = -1 - inputMode_;
    if (channel >= meta->analogCount ||
        FrameMetadataRecord::sizeFor(channel + 1) > meta->recordSize) {
        return 0;
    }
    const bool below =
        meta->analog(static_cast<unsigned>(channel)) < device->GetPIFInFlagThreshold();
    return below != device->GetPIFInFlagOpenIfLower() ? 1 : 0;
}

HRESULT OpFlag::compute() {
    BaseControlDevice* device = shared_->device;
    if (device == nullptr) {
        KLOG_ERROR("control device is not set");
        return E_FAIL;
    }
    frame->metadata = copyMetadata(predecessor_->frame->metadata, frame->metadata);
    const FrameMetadataRecord* meta = frame->metadata;
    takeRecords();

    if (correction_ != nullptr) {
        if (correction_->dataReloaded) {
            correction_->dataReloaded = false;
            flagCycleCount_ = 0;
        }
        if (meta->frameCounter % 50 == 0) {
            updateCorrectionMode();
        }
    }

    inputMode_ = device->getFlagSource();
    if (inputMode_ != 0) {
        const std::int32_t input = evaluateFlagInput(meta);
        if (input != lastInputState_) {
            lastInputState_ = input;
        }
    }
    if (flagCycles_ != 0) {
        shared_->flagState = static_cast<std::uint32_t>(meta->flagState);
    }
    if (planes_.steps.empty()) {
        return E_FAIL;
    }

    const std::int32_t state = static_cast<std::int32_t>(shared_->flagState.load());
    const std::int16_t* in = reinterpret_cast<const std::int16_t*>(predecessor_->frame->pixels);
    std::int16_t* out = reinterpret_cast<std::int16_t*>(frame->pixels);
    if (state == 0) {
        openStep(in, out, meta, lastFlagState_ != 0);
    } else if (state == 1) {
        closedStep(in, out, meta, lastFlagState_ != 1);
    }

    if (state != lastFlagState_) {
        if (flagStateCallback != nullptr) {
            const double now = nowMs();
            flagStateCallback(state, now - lastChangeTime_,
                              meta->hwFrameCounter - lastChangeFrameCounter_);
            lastChangeTime_ = now;
        }
        lastChangeFrameCounter_ = meta->hwFrameCounter;
    }
    lastFlagState_ = state;
    return S_OK;
}

bool OpFlag::restartClosedSum() {
    if (lastFlagState_ != 1) {
        return false;
    }
    if (flagFrameIndex_ < kMaxFlagFrames) {
        flagFrameIndex_ = -static_cast<std::int32_t>(ignoreFrames_);
    }
    return true;
}

void OpFlag::closedStep(const std::int16_t* in, std::int16_t* out, const FrameMetadataRecord* meta,
                        bool entering) {
    const int n = std::min(pixelCount_, predecessor_->getPixelCount());
    if (entering) {
        // Every pixel's steps take its savedOffset; the opening does that on its way, and the
        // calendar's countdowns wait where they are (the drift clock stands while closed).
        driftFiled_ = false;
        stepsFromSaved_ = true;
        flagFrameIndex_ = -static_cast<std::int32_t>(ignoreFrames_);
        closedFrames_ = 0;
        statisticsPending_ = true;
    }
    if (statsMask_.empty()) {
        statsMask_.assign(static_cast<std::size_t>(std::max(pixelCount_, 0)), true);
        if (correction_ != nullptr) {
            std::lock_guard<std::mutex> lock(correction_->repairMutex);
            for (const RepairEntry& e : correction_->repairList) {
                if (e.pixel >= 0 && e.pixel < pixelCount_) {
                    statsMask_.clear(static_cast<std::size_t>(e.pixel));
                }
            }
        }
    }
    const std::size_t count = static_cast<std::size_t>(std::max(n, 0));
    if (flagFrameIndex_ >= kMaxFlagFrames) {
        std::copy(in, in + count, out);
        return;
    }
    if (flagFrameIndex_ >= 0) {
        // Only the first summed frame of a cycle is measured: its statistics are used once.
        if (statisticsPending_ && correction_ != nullptr) {
            const std::int64_t energyOffset = correction_->flagEnergy;
            const std::int64_t loE =
                static_cast<std::int64_t>(shared_->energyAtTMin) - energyOffset;
            const std::int64_t hiE =
                static_cast<std::int64_t>(shared_->energyAtTMax) - energyOffset;
            // The planes' size too is read under the lock: the correction may reload them.
            std::unique_lock<std::mutex> gains(correction_->gainMutex);
            const int m = std::min<int>(n, static_cast<int>(correction_->coefficientCount()));
            const pixel::FlagStatistics st = pixel::flagStatistics(
                in, correction_->gainHighPlane(), correction_->gainHigh8Plane(),
                correction_->gainLowPlane(), statsMask_.data(), loE, hiE, kColdLimit, kHotLimit,
                static_cast<std::size_t>(std::max(m, 0)));
            const std::int64_t minLo = st.minLo, maxHi = st.maxHi;
            const std::int32_t hotCount = st.hotCount, coldCount = st.coldCount;
            const std::int32_t hottest = st.hottest, coldest = st.coldest;
            const std::int64_t hottestHi = st.hottestHi, coldestLo = st.coldestLo;
            const std::int64_t hottestLo = st.hottestLo, coldestHi = st.coldestHi;
            const std::int64_t normalSum = st.normalSum;
            const std::int32_t normalCount = st.normalCount;
            gains.unlock();
            if (m > 0 && minLo <= maxHi) {
                if (deviationsSmall_ || shared_->flagsSinceSkimChange > 5) {
                    if (coldest >= 0) {
                        reportPixel(coldest, coldCount, static_cast<std::int32_t>(coldestLo),
                                    static_cast<std::int32_t>(coldestHi));
                    }
                    if (hottest >= 0) {
                        reportPixel(hottest, hotCount, static_cast<std::int32_t>(hottestLo),
                                    static_cast<std::int32_t>(hottestHi));
                    }
                }
                const std::int64_t mean =
                    normalCount > 0 ? normalSum / normalCount : (minLo + maxHi) / 2;
                skimAdjustment(static_cast<std::int32_t>(minLo), static_cast<std::int32_t>(maxHi),
                               static_cast<std::int32_t>(mean), meta);
            }
        }
        statisticsPending_ = false;
        if (shared_->pendingSkimDelta != 0) {
            std::copy(in, in + count, out);
            // The camera takes the new skim after this frame: the offsets are summed afresh
            // from frames that all show it, once the settling frames have passed.
            flagFrameIndex_ = -static_cast<std::int32_t>(ignoreFrames_) - 1;
        } else {
            // The output is the input, added to the offsets on the way.
            pixel::sumFrame(in, out, planes_.offsetLow.data(), planes_.offsetHigh.data(), count,
                            flagFrameIndex_ == 0);
            offsetsSummed_ = true;
        }
    }
    ++flagFrameIndex_;
    ++closedFrames_;
}

void OpFlag::openStep(const std::int16_t* in, std::int16_t* out, const FrameMetadataRecord* meta,
                      bool entering) {
    const int n = std::min(pixelCount_, predecessor_->getPixelCount());
    bool applyDrift = flagCycleCount_ > 2;
    if (entering) {
        if (flagCycles_ != 0) {
            if (closedFrames_ < flagCycles_) {
                std::int32_t ignore = closedFrames_ * ignoreFramesBase_ / flagCycles_;
                if (ignore == 0 && ignoreFramesBase_ != 0 && closedFrames_ > 2) {
                    ignore = 1;
                }
                ignoreFrames_ = static_cast<std::uint16_t>(ignore);
            } else {
                ignoreFrames_ = ignoreFramesBase_;
            }
        }
        if (flagFrameIndex_ > 0) {
            openWithNewOffsets(meta);
            applyDrift = applyDrift && meanAbsSteps_ > 2;
        }  // else sums of an interrupted period stand as the offsets
        offsetsSummed_ = false;
        if (skimAdjustActive_ && shared_->pendingSkimDelta == 0) {
            ++shared_->flagsSinceSkimChange;
        }
    }
    if (offsetResetRequested.exchange(false)) {
        std::fill(planes_.offsetLow.begin(), planes_.offsetLow.end(), 0);
        std::fill(planes_.offsetHigh.begin(), planes_.offsetHigh.end(), 0);
    }
    if (applyDrift && driftTracking_) {
        stepDrift(n);
    }
    pixel::subtract(in, planes_.offsetLow.data(), out, static_cast<std::size_t>(std::max(n, 0)));
}

void OpFlag::openWithNewOffsets(const FrameMetadataRecord* meta) {
    // Drift rates that decay towards zero become subnormal, and arithmetic on them is slow on
    // many processors. A rate below the smallest normal float moves no offset by a step, so
    // taking it as zero changes no result.
    const pixel::ScopedFlushSubnormals flush;
    ++flagCycleCount_;
    const std::uint32_t frames = meta->frameCounter - previousFlagFrameCounter_;
    previousFlagFrameCounter_ = meta->frameCounter;
    const std::size_t all = planes_.steps.size();
    // The mean of the summed frames; the quotient of two doubles truncates exactly as the
    // integer division does for sums of this size.
    const double divisor = flagFrameIndex_;
    for (std::size_t p = 0; p < all; ++p) {
        const std::int32_t offset = static_cast<std::int32_t>(offsetAt(p) / divisor);
        if (stepsFromSaved_) {
            planes_.steps[p] = planes_.savedOffset[p];
        }
        setOffset(p, offset);
        planes_.savedOffset[p] = static_cast<std::int16_t>(offset);
    }
    stepsFromSaved_ = false;
    // Drift rates: steps holds the offset of the previous opening. No frames between two
    // flags: no drift to measure.
    const float perFrame = static_cast<float>(frames);
    const bool smooth = flagCycleCount_ > 4;
    for (std::size_t p = 0; p < all; ++p) {
        float rate = 0.0f;
        if (frames != 0) {
            rate = static_cast<float>(
                       static_cast<std::int16_t>(planes_.offsetLow[p] - planes_.steps[p])) /
                   perFrame;
        }
        if (smooth) {
            rate = (4.0f * planes_.rate[p] + rate) / 5.0f;
        }
        planes_.rate[p] = rate;
    }
    std::int64_t sumSteps = 0, sumAbsSteps = 0;
    for (std::size_t p = 0; p < all; ++p) {
        const float total = perFrame * planes_.rate[p];
        const std::int32_t steps =
            std::isfinite(total) ? static_cast<std::int32_t>(std::clamp(total, -32768.0f, 32767.0f))
                                 : 0;
        if (steps >= 4 || steps < -3) {
            planes_.steps[p] = static_cast<std::int16_t>(steps);
            planes_.period[p] = planes_.countdown[p] = static_cast<std::int32_t>(
                static_cast<std::int64_t>(frames) * 6 / 5 / std::abs(steps));
            sumSteps += steps;
            sumAbsSteps += std::abs(steps);
        } else {
            planes_.steps[p] = 0;
            planes_.period[p] = planes_.countdown[p] = 0;
        }
    }
    dropFilings();  // filed at the first tick
    const std::int64_t count = static_cast<std::int64_t>(all);
    meanSteps_ = static_cast<double>(sumSteps) / static_cast<double>(count);
    meanAbsSteps_ = static_cast<std::int32_t>(sumAbsSteps / count);
    flagFrameIndex_ = 0;
}

void OpFlag::skimAdjustment(std::int32_t min, std::int32_t max, std::int32_t mean,
                            const FrameMetadataRecord* meta) {
    BaseControlDevice* device = shared_->device;
    if (shared_->hardwareRevision < 20 || shared_->firmwareRevision <= 2010 || device == nullptr ||
        !skimAdjustActive_ || flagFrameIndex_ != 0 || meta->frameCounter < 1201 ||
        correction_ == nullptr ||
        static_cast<std::int64_t>(meta->frameCounter) - correction_->loadFrameCounter <= 100) {
        return;
    }
    const std::int32_t meanClass = mean <= kColdLimit ? 1 : (mean >= kHotLimit + 1 ? 2 : 0);
    auto inside = [](std::int32_t v) { return v > kColdLimit && v <= kHotLimit; };
    if (inside(mean) && inside(lastMean_)) {
        // A last step of 0 says nothing about the gain.
        if (lastSkimStep_ != 0) {
            const float g =
                static_cast<float>(lastMean_ - mean) / static_cast<float>(lastSkimStep_);
            if (std::abs(lastSkimStep_) > 5) {
                skimGain_ = g;
            } else {
                skimGain_ = (g + 9.0f * skimGain_) / 10.0f;
            }
        }
    } else if (meanClass == 1) {
        if (lastMeanClass_ == 2) {
            skimGain_ *= 1.5f;
        } else if (lastMeanClass_ == 1) {
            skimGain_ = std::max(skimGain_, skimGainFloor_);
        } else {
            skimGain_ *= 1.25f;
        }
    } else if (meanClass == 2) {
        if (lastMeanClass_ == 1) {
            skimGain_ *= 1.5f;
        } else if (lastMeanClass_ == 2) {
            skimGain_ = std::max(skimGain_, skimGainFloor_);
        } else {
            skimGain_ *= 1.25f;
        }
    } else {
        skimGain_ = std::max(skimGain_, skimGainFloor_);
    }
    skimGain_ = std::clamp(skimGain_, 10.0f, 1000.0f);

    // In 64 bits: a hostile gain plane can put min and max anywhere in the 32-bit range.
    const std::int64_t weighted = (std::int64_t{min} + 3 * std::int64_t{max} - kSkimTarget4) / 4;
    std::int32_t s = roundHalfAway(static_cast<double>(weighted) / skimGain_);
    if (s > 100) {
        s = 100;
    } else if (s < -100) {
        s = -100;
    } else if (s >= 2 && s <= 9) {
        s = 1;
    } else if (s <= -2 && s >= -9) {
        s = -1;
    }

    bool apply;
    if ((s > 0 && skimStepSum_ < 0) || (s < 0 && skimStepSum_ > 0)) {
        skimStepSum_ = s;
        skimAccumulating_ = std::abs(s) <= 5;
        apply = std::abs(s) > 5;
    } else {
        skimStepSum_ += s;
        if (!skimAccumulating_) {
            apply = true;
        } else {
            skimAccumulating_ = std::abs(skimStepSum_) <= 5;
            apply = std::abs(skimStepSum_) > 5;
        }
    }
    std::int32_t v = apply ? s : 0;
    std::uint16_t current = 0;
    device->GetSkim(&current);
    if (current + v > 4094) {
        v = 4095 - current;
    } else if (current + v < 1) {
        v = -static_cast<std::int32_t>(current);
    }
    lastMeanClass_ = meanClass;
    lastSkimStep_ = v;
    shared_->pendingSkimDelta = static_cast<std::int16_t>(v);
    if (v != 0) {
        shared_->flagsSinceSkimChange = 0;
        lastMin_ = min;
        lastMax_ = max;
        lastMean_ = mean;
        flagCycleCount_ = 0;
    }
}

void OpFlag::reportPixel(std::int32_t pixel, std::int32_t classCount, std::int32_t lo,
                         std::int32_t hi) {
    if (correction_ == nullptr || classCount >= OpCorr::kMaxExtraPixels || width_ <= 0) {
        return;
    }
    const std::int32_t x = pixel % width_;
    const std::int32_t y = pixel / width_;
    std::lock_guard<std::mutex> lock(correction_->repairMutex);
    std::int32_t& count = correction_->extraPixelCount;
    if (count >= OpCorr::kMaxExtraPixels) {
        return;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        if (correction_->extraPixels[i].x == x && correction_->extraPixels[i].y == y) {
            return;
        }
    }
    correction_->extraPixels[count++] = ExtraPixel{x, y, y * width_ + x, lo, hi};
    std::sort(correction_->extraPixels, correction_->extraPixels + count,
              [](const ExtraPixel& a, const ExtraPixel& b) { return a.pixel < b.pixel; });
    correction_->repairRebuild = true;
}

void OpFlag::updateCorrectionMode() {
    deviationsSmall_ = std::fabs(shared_->chipTempDeviation) <= 5.0f &&
                       std::fabs(shared_->flagTempDeviation) <= 10.0f;
    if (correctionMode == 0) {
        skimAdjustActive_ = false;
    } else if (correctionMode == 1) {
        skimAdjustActive_ = true;
    } else if (correctionMode == 2 && correction_ != nullptr) {
        skimAdjustActive_ = !deviationsSmall_;
    }
    if (!skimAdjustActive_) {
        lastSkimStep_ = 0;
        shared_->flagsSinceSkimChange = 0;
    }
}
