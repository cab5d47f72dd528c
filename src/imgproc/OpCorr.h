// Per-pixel correction (OpCorr): gain, offset, chip-temperature drift and defective pixels,
// after post-processing. Runs on the capture thread or the post-processing worker.

#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "imgproc/OpBase.h"

class Cali;
class TemperatureTable;
namespace zol {
struct IRMeasurementField;
}

// A defective pixel and the neighbours whose mean replaces it.
struct RepairEntry {
    std::int32_t x;
    std::int32_t y;
    std::uint8_t neighbourCount;
    std::int32_t pixel;
    std::int32_t neighbours[4];
    std::uint8_t fromExtraList;
};

// A single extreme pixel reported by the flag operator.
struct ExtraPixel {
    std::int32_t x;
    std::int32_t y;
    std::int32_t pixel;
    std::int32_t lo;
    std::int32_t hi;
};

struct GainOffset {
    std::int32_t gain;  // 16.16
    std::int32_t offset;
};

// Per-pixel correction: turns the flag-corrected raw image into energies with a gain and offset
// that follow the chip temperature and the flag/housing drift (or a per-pixel sample-point
// curve), limits them to the energy domain and repairs defective pixels.
class OpCorr : public OpBase {
  public:
    static constexpr int kMaxExtraPixels = 25;

    OpCorr(OpBase* predecessor, SharedParameterBlock* shared, Cali* cali,
           zol::IRMeasurementField* field = nullptr);
    ~OpCorr() override;

    HRESULT init(OpBase* predecessor) override;
    HRESULT compute() override;

    HRESULT readCalibration();
    void updateDeviation();
    // The per-pixel coefficients as records, written from the planes the frames use; between
    // frames. Changes made through the reference (size included) count once
    // coefficientsChanged takes them back.
    std::vector<GainOffset>& coefficients();
    void coefficientsChanged();
    // Pixels with coefficients (0: none loaded).
    std::size_t coefficientCount() const { return gainLow_.size(); }
    // The chain's slot of the active temperature table.
    void setTableSlot(TemperatureTable** slot) { table_ = slot; }

    // Shared with the flag operator, which may run on the capture thread while this operator
    // runs behind the post-processing worker: the list and the extra pixels are guarded by
    // repairMutex, the gain planes by gainMutex, the single values are atomic.
    std::atomic<std::int32_t> flagEnergy{0};
    std::vector<RepairEntry> repairList;
    std::atomic<bool> dataReloaded{false};
    std::atomic<std::int32_t> loadFrameCounter{0};
    ExtraPixel extraPixels[kMaxExtraPixels] = {};
    std::int32_t extraPixelCount = 0;
    std::atomic<bool> repairRebuild{false};
    std::mutex repairMutex;
    std::mutex gainMutex;

    bool enabled = true;
    bool repairEnabled = true;
    bool repairExtra = true;

    // The gains' 16-bit halves (for the flag image's statistics; read them under gainMutex).
    // Null while every high half fits 8 bits (then the 8-bit plane holds them).
    const std::int16_t* gainHighPlane() const {
        return gainHigh_.empty() ? nullptr : gainHigh_.data();
    }
    // The same in 8 bits while every gain fits them, else null.
    const std::int8_t* gainHigh8Plane() const {
        return gainsCompact_ ? gainHigh8_.data() : nullptr;
    }
    const std::uint16_t* gainLowPlane() const { return gainLow_.data(); }

    // Read-only views for the chain and tests.
    bool isSamplePointLayout() const { return samplePointLayout_; }
    std::int32_t getWindow() const { return window_; }
    float getFramesIn5s() const { return framesIn5s_; }
    float getCaliChipTemp() const { return caliChipTemp_; }
    float getOffsetCoefficient() const { return offsetCoefficient_; }
    const std::vector<std::uint16_t>& getLevels() const { return levels_; }
    const std::vector<std::int32_t>& getSlopes() const { return slopes_; }
    std::int16_t getSampleCount() const { return sampleCount_; }

  private:
    // The coefficients, one plane per part: the gain's high and low halves (for 32-bit
    // products), the high halves in 8 bits, the offsets' low halves, and their high halves only
    // once an offset needs them. "Compact" while the gains' high halves fit 8 bits and the
    // offsets 16: the 32-bit sums cannot overflow then, and a frame reads few bytes.
    void setGain(std::size_t p, std::int32_t gain) {
        const bool fits = gain >= -(1 << 23) && gain < (1 << 23);
        if (!fits && gainHigh_.empty()) {
            widenGains();
        }
        if (!gainHigh_.empty()) {
            gainHigh_[p] = static_cast<std::int16_t>(gain >> 16);
        }
        gainHigh8_[p] = static_cast<std::int8_t>(gain >> 16);
        gainLow_[p] = static_cast<std::uint16_t>(gain & 0xFFFF);
        gainsCompact_ = gainsCompact_ && fits;
    }
    // Before and after every gain is set anew.
    void beginGains() { gainsCompact_ = true; }
    void endGains();
    void setOffset(std::size_t p, std::int32_t offset) {
        offsets16_[p] = static_cast<std::int16_t>(offset);
        const bool fits = offset >= INT16_MIN && offset <= INT16_MAX;
        if (!fits && offsetsHigh_.empty()) {
            widenOffsets();
        }
        if (!offsetsHigh_.empty()) {
            offsetsHigh_[p] = static_cast<std::int16_t>(offset >> 16);
        }
        offsetsCompact_ = offsetsCompact_ && fits;
    }
    // Gives every gain its 16-bit high half (from the 8-bit one), every offset its high half
    // (that of its low half taken signed).
    void widenGains();
    void widenOffsets();
    std::int32_t gainAt(std::size_t p) const {
        const std::int32_t high = gainHigh_.empty() ? gainHigh8_[p] : gainHigh_[p];
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(high) << 16 | gainLow_[p]);
    }
    std::int32_t offsetAt(std::size_t p) const {
        if (offsetsHigh_.empty()) {
            return offsets16_[p];
        }
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(offsetsHigh_[p]) << 16 |
                                         static_cast<std::uint16_t>(offsets16_[p]));
    }
    // n pixels with the planes' sizes (offsets without high halves); under gainMutex.
    void resizeCoefficients(std::size_t n);
    void resetCoefficients(std::size_t n);

    bool rebuildGain(bool force);
    void rebuildOffset();
    void updateDrift();
    void buildRepairList();
    void repairPixels();
    bool tableValid() const;
    HRESULT readGainOffset(std::FILE* f, const std::string& path, int extraWords,
                           std::size_t sensorW, std::size_t sensorH);
    HRESULT readSamplePoints(std::FILE* f, const std::string& path, int sampleCount, int extraWords,
                             std::size_t sensorW, std::size_t sensorH);
    void setNeutralPlanes();
    void freeCalibration();
    std::uint32_t nowMs32() const;

    Cali* cali_;
    zol::IRMeasurementField* field_;
    TemperatureTable** table_ = nullptr;

    bool samplePointLayout_ = false;
    std::int16_t sampleCount_ = 0;
    std::vector<std::uint16_t> planes_;  // planes 0, 1, 4 and 5 of pixelCount, plane-major
    std::vector<std::uint16_t> planeShift_, planeBase_;
    std::vector<std::uint16_t> samples_;  // pixel-major, sampleCount per pixel
    std::vector<std::uint16_t> levels_;
    std::vector<std::int32_t> slopes_;      // 4.12 fixed point, pixel-major
    std::vector<std::int16_t> sampleList_;  // pairs (sample, level)
    std::vector<std::int16_t> gainHigh_;    // empty while every high half fits 8 bits
    std::vector<std::int8_t> gainHigh8_;
    std::vector<std::uint16_t> gainLow_;
    std::vector<std::int16_t> offsets16_;
    std::vector<std::int16_t> offsetsHigh_;  // empty while every offset fits 16 bits
    std::vector<GainOffset> records_;        // lent by coefficients()
    bool recordsLent_ = false;
    bool gainsCompact_ = true, offsetsCompact_ = true;
    // Nearly every gain within half of nearHigh_ (* 65536): the low halves alone, taken signed,
    // carry what differs; the few others (dead pixels, say) are listed and put right one by one.
    bool gainsNear_ = false;
    std::int32_t nearHigh_ = 0;
    std::vector<std::int32_t> nearExceptions_;
    BitPlane repairListed_;  // per pixel: on the repair list (sized by init)

    float flagTempAtOffset_ = 35.0f, sumFlagTemp_ = 0.0f;
    float tableTempAtOffset_ = 35.0f;
    float boxTempAtDrift_ = 35.0f, sumBoxTemp_ = 0.0f;
    float chipTempAtGain_ = 35.0f, sumChipTemp_ = 0.0f;
    float caliChipTemp_ = 35.0f;
    float lastChipDeviation_ = -100.0f;
    float offsetCoefficient_ = 0.0f;
    float driftDelta_ = 0.0f, driftFirst_ = 0.0f, driftSmoothed_ = 0.0f, driftApplied_ = 0.0f;
    std::int32_t boxEnergy_ = 0;
    float framesIn5s_ = 500.0f, framesIn5sMinus1_ = 499.0f;
    float driftThreshold_ = 1.0f;
    std::uint32_t nextGainTime_ = 0, nextOffsetTime_ = 0;
    bool gainThrottled_ = false, offsetThrottled_ = false;
    bool flagEnergyValid_ = false, boxEnergyValid_ = false, driftPrimed_ = false;
    bool gainRebuilt_ = false;
    std::int32_t window_ = 50;
    std::int32_t windowCount_ = 0, frameCount_ = 0;
};
