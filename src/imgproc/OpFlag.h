// Shutter-flag correction (OpFlag): offsets from the closed-flag frames, drift, skim
// adjustment and the flag-state callback. Runs on the capture thread.

#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

#include "imgproc/OpBase.h"
#include "kelvix/export.h"

class Cali;
class OpCorr;

// Offset of one pixel from the flag frames, and its drift between two flags.
struct FlagPixelState {
    std::int32_t offset;       // sum of flag frames while closed, the mean while open
    std::int16_t savedOffset;  // offset at the last opening
    std::int16_t steps;        // drift steps still to apply
    float rate;                // drift per frame
    std::int32_t period;       // frames between two drift steps
    std::int32_t countdown;    // frames to the next step
};
static_assert(sizeof(FlagPixelState) == 20, "flag pixel state layout");

using FlagStateCallback = void (*)(std::int32_t state, double milliseconds, std::uint32_t frames);

// Shutter-flag correction: averages the closed-flag frames into a per-pixel offset, subtracts
// it while the flag is open and lets it follow each pixel's drift; on the first flag frame of a
// cycle it measures the flag image for the skim adjustment and reports extreme pixels.
// Runs on the capture thread, before the post-processing stage. Its accessors are not guarded:
// use them from a callback or while no frames flow.
class OpFlag : public OpBase {
  public:
    static constexpr std::int32_t kMaxFlagFrames = 60000;

    OpFlag(OpBase* predecessor, SharedParameterBlock* shared, Cali* cali);

    HRESULT init(OpBase* predecessor) override;
    HRESULT compute() override;
    void updateCorrectionMode();
    // The camera's settings changed between two frames: a closed flag sums its frames afresh,
    // after the settling frames. True when the flag is closed.
    bool restartClosedSum();

    // Written by the imager.
    std::int32_t correctionMode = 0;  // 0 off, 1 on, 2 automatic
    // Set from another thread: the next open-flag frame starts from zero offsets.
    std::atomic<bool> offsetResetRequested{false};
    FlagStateCallback flagStateCallback = nullptr;

    // Views for the chain and tests.
    OpCorr* getCorrection() const { return correction_; }
    std::uint16_t getFlagCycles() const { return flagCycles_; }
    std::uint16_t getIgnoreFrames() const { return ignoreFrames_; }
    std::uint16_t getIgnoreFramesBase() const { return ignoreFramesBase_; }
    std::int32_t getLastInputState() const { return lastInputState_; }
    std::int32_t getFlagCycleCount() const { return flagCycleCount_; }
    std::int32_t getFlagFrameIndex() const { return flagFrameIndex_; }
    bool isSkimAdjustActive() const { return skimAdjustActive_; }
    bool areDeviationsSmall() const { return deviationsSmall_; }
    float getSkimGain() const { return skimGain_; }
    std::uint32_t getPreviousFlagFrameCounter() const { return previousFlagFrameCounter_; }
    std::int32_t getLastSkimStep() const { return lastSkimStep_; }
    // The per-pixel records, written from the state the frames use; changes made through the
    // reference are taken over by the next frame.
    std::vector<FlagPixelState>& pixelStates();

#ifdef KELVIX_DEBUG_BUILD
    KELVIX_DEBUG_API HRESULT getCorrectionMode(std::int32_t* mode) const;
    KELVIX_DEBUG_API HRESULT getFlagState(std::int32_t* state) const;
    KELVIX_DEBUG_API HRESULT setFlagState(std::int32_t state);
    // A change restarts the drift measurement at the current frame; switching on also clears
    // every pixel's drift state.
    KELVIX_DEBUG_API HRESULT setDriftTracking(bool on);
    bool isDriftTracking() const {
        return driftTracking_;
    }
    // Also the value the gain falls back to when the flag image leaves the range.
    KELVIX_DEBUG_API HRESULT setSkimGain(float gain);
    KELVIX_DEBUG_API HRESULT requestOffsetReset();
#endif

  private:
    void closedStep(const std::int16_t* in, std::int16_t* out, const FrameMetadataRecord* meta,
                    bool entering);
    void openStep(const std::int16_t* in, std::int16_t* out, const FrameMetadataRecord* meta,
                  bool entering);
    std::int32_t evaluateFlagInput(const FrameMetadataRecord* meta) const;
    void skimAdjustment(std::int32_t min, std::int32_t max, std::int32_t mean,
                        const FrameMetadataRecord* meta);
    void reportPixel(std::int32_t pixel, std::int32_t classCount, std::int32_t lo, std::int32_t hi);
    // Takes back records handed out by pixelStates.
    void takeRecords();
    // The offsets and drift rates of a new opening from the summed flag frames.
    void openWithNewOffsets(const FrameMetadataRecord* meta);
    // The drift calendar: every pixel with steps left is filed under the tick of the drift
    // clock (one tick per open frame that applies drift) at which its countdown runs out, so
    // that a frame visits only the pixels that step in it. While the calendar holds the
    // pixels, exactly those whose steps are not 0 are filed, and their countdown plane holds
    // the tick (modulo 2^32) at which the countdown would read 0; a countdown below 1 steps at
    // the next tick. A tick's pixels are listed per region of 2^kDriftRegionBits pixels, so
    // that a link to the next one takes 16 bits.
    void file(std::int32_t p);
    // A countdown of the current tick as the tick it runs out at.
    void countFromNow(std::int32_t p) {
        planes_.countdown[p] =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(driftClock_) +
                                      static_cast<std::uint32_t>(planes_.countdown[p]));
    }
    // Ticks left to a filed pixel's countdown at the current tick.
    std::int32_t countdownLeft(std::int32_t p) const {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(planes_.countdown[p]) -
                                         static_cast<std::uint32_t>(driftClock_));
    }
    void fileDrifting();
    // Writes the running countdowns of the filed pixels into their plane; the calendar is
    // rebuilt before it is used again.
    void unfileDrifting();
    // Forgets every filing (their countdowns are about to be overwritten).
    void dropFilings();
    void stepDrift(std::int32_t pixels);
    // Steps := savedOffset, which the closing of the flag asked for and left for later.
    void settleSteps();

    OpCorr* correction_ = nullptr;
    Cali* cali_;
    std::int32_t lastFlagState_ = 0;
    std::int32_t lastInputState_ = 0;
    std::uint16_t flagCycles_ = 10;
    std::uint16_t ignoreFramesBase_ = 2;
    std::uint16_t ignoreFrames_ = 2;
    double lastChangeTime_ = 0.0;
    std::uint32_t lastChangeFrameCounter_ = 0;
    bool statisticsPending_ = false;
    std::int32_t inputMode_ = 0;
    // The fields of FlagPixelState, one plane each, for the per-frame loops. The offsets are
    // two 16-bit halves: the low ones, taken signed, are what the open frames subtract.
    struct PixelPlanes {
        std::vector<std::int16_t> offsetLow, offsetHigh;
        std::vector<std::int16_t> savedOffset, steps;
        std::vector<float> rate;
        std::vector<std::int32_t> period, countdown;
    } planes_;
    std::int32_t offsetAt(std::size_t p) const {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(planes_.offsetHigh[p]) << 16 |
                                         static_cast<std::uint16_t>(planes_.offsetLow[p]));
    }
    void setOffset(std::size_t p, std::int32_t offset) {
        planes_.offsetLow[p] = static_cast<std::int16_t>(offset);
        planes_.offsetHigh[p] = static_cast<std::int16_t>(offset >> 16);
    }
    static constexpr std::size_t kDriftBuckets = 1024;
    static constexpr int kDriftRegionBits = 15;
    static constexpr std::uint16_t kNoPixel = 0xFFFF;  // ends a list: no region reaches it
    std::size_t driftRegions() const {
        return (planes_.steps.size() + (std::size_t{1} << kDriftRegionBits) - 1) >>
               kDriftRegionBits;
    }
    bool driftFiled_ = false;      // the calendar holds every pixel whose steps are not 0
    bool filingsLeft_ = false;     // filed pixels whose countdowns are not yet in their plane
    bool stepsFromSaved_ = false;  // steps are savedOffset; the plane does not show it yet
    std::int64_t driftClock_ = 0;
    // Per pixel, the next one filed under its tick in its region.
    std::vector<std::uint16_t> nextFiled_;
    // Per tick modulo kDriftBuckets and region, the first pixel filed.
    std::vector<std::uint16_t> dueBuckets_;
    bool offsetsSummed_ = false;  // closed frames changed the offsets since the last opening
    std::vector<FlagPixelState> pixelStates_;
    bool recordsLent_ = false;  // handed out by pixelStates: they hold the state
    bool driftTracking_ = true;
    bool skimAdjustActive_ = false;
    bool deviationsSmall_ = false;
    std::int32_t flagCycleCount_ = 0;
    std::uint32_t previousFlagFrameCounter_ = 0;
    double meanSteps_ = 0.0;
    std::int32_t meanAbsSteps_ = 0;
    std::int32_t flagFrameIndex_ = 0;
    std::int32_t closedFrames_ = 0;
    float skimGain_ = 100.0f;
    float skimGainFloor_ = 100.0f;  // what the gain is raised to at least
    std::int32_t skimStepSum_ = 0;
    bool skimAccumulating_ = false;
    std::int32_t lastSkimStep_ = 0;
    std::int32_t lastMin_ = 0, lastMax_ = 0, lastMean_ = 0;
    std::int32_t lastMeanClass_ = 0;
    BitPlane statsMask_;  // counted in the statistics: all but the repaired pixels
};
