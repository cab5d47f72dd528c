// The per-pixel correction operator (OpCorr): its calibration data file and its frame
// step, on the capture thread or the post-processing worker.

#include "imgproc/OpCorr.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "imgproc/Cali.h"
#include "imgproc/CorrectionDataHeader.h"
#include "imgproc/FrameLimits.h"
#include "imgproc/PixelKernels.h"
#include "imgproc/TemperatureEncoding.h"
#include "imgproc/TemperatureTable.h"
#include "kelvix/IRCalibrationManager.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Strings.h"
#include "sdk/Log.h"

namespace {

constexpr int kPlanes = 6;  // in the file
// Planes 2 and 3 carry nothing the correction uses: only 0, 1, 4 and 5 are kept, in this
// order, and plane k stands at kept position kKept[k].
constexpr int kKeptPlanes = 4;
constexpr int kKept[kPlanes] = {0, 1, -1, -1, 2, 3};
constexpr std::int64_t kDefaultPeriod = 1000000;
// At most one pixel in this many may lie apart from the others' whole gain.
constexpr std::size_t kNearExceptionShare = 64;

// One pixel's energy, in 64 bits (large gains must not overflow), limited.
std::int16_t gainOffsetOf(std::int16_t in, std::int32_t gain, std::int32_t offset,
                          std::int32_t add) {
    const std::int64_t v = ((static_cast<std::int64_t>(in) * gain) >> 16) + offset + add;
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(v, kEnergyMin, kEnergyMax));
}

double planeScale(std::uint16_t shift) {
    return std::ldexp(1.0, -static_cast<int>(shift % 32u));
}

bool readWords(std::FILE* f, std::uint16_t* out, std::size_t count) {
    std::vector<std::uint8_t> bytes(count * 2);
    if (count != 0 && std::fread(bytes.data(), 2, count, f) != count) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return true;
}

// Bytes left in the file from the current position.
std::size_t remainingBytes(std::FILE* f) {
    const long here = std::ftell(f);
    if (here < 0 || std::fseek(f, 0, SEEK_END) != 0) {
        return 0;
    }
    const long end = std::ftell(f);
    std::fseek(f, here, SEEK_SET);
    return end > here ? static_cast<std::size_t>(end - here) : 0;
}

// Whether the rest of the file holds `needed` bytes; logs the refusal when not.
bool holdsBytes(std::FILE* f, const std::string& path, std::uint64_t needed) {
    const std::uint64_t left = remainingBytes(f);
    if (left < needed) {
        KLOG_ERROR("Calibration file " << path << " refused: " << needed
                                       << " bytes of coefficients expected, " << left
                                       << " bytes left in the file");
        return false;
    }
    return true;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

OpCorr::OpCorr(OpBase* predecessor, SharedParameterBlock* shared, Cali* cali,
               zol::IRMeasurementField* field)
    : OpBase(predecessor, 6, L"# Correction", shared), cali_(cali), field_(field) {}

OpCorr::~OpCorr() = default;

std::uint32_t OpCorr::nowMs32() const {
    return platform::clock().tickMs();
}

bool OpCorr::tableValid() const {
    return table_ != nullptr && *table_ != nullptr && (*table_)->valid != 0;
}

HRESULT OpCorr::init(OpBase* predecessor) {
    HRESULT hr = allocateLikePredecessor(predecessor, 1);
    if (FAILED(hr)) {
        return hr;
    }
    const std::size_t n = static_cast<std::size_t>(std::max(pixelCount_, 0));
    resetCoefficients(n);
    // Room for the longest repair list, so that no frame allocates.
    repairListed_.assign(n, false);
    repairList.reserve(n / 50 + kMaxExtraPixels + 1);
    rebuildGain(true);
    if (!shared_->revision2100) {
        rebuildOffset();
    }
    std::int64_t period = predecessor->frame->format->avgTimePerFrame;
    if (period <= 0) {
        period = kDefaultPeriod;
    }
    // At least one frame per window and per 5 s, whatever the period says.
    window_ = std::max<std::int32_t>(1, static_cast<std::int32_t>(5000000.0 / period + 0.5));
    framesIn5s_ = static_cast<float>(std::max<std::int64_t>(1, 50000000 / period));
    framesIn5sMinus1_ = framesIn5s_ - 1.0f;
    driftThreshold_ = 1.0f;
    return hr;
}

void OpCorr::resizeCoefficients(std::size_t n) {
    std::vector<std::int16_t>().swap(gainHigh_);
    gainHigh8_.resize(n);
    gainLow_.resize(n);
    offsets16_.resize(n);
    std::vector<std::int16_t>().swap(offsetsHigh_);
    nearExceptions_.reserve(n / kNearExceptionShare + 64);
}

void OpCorr::widenGains() {
    gainHigh_.assign(gainHigh8_.begin(), gainHigh8_.end());
}

void OpCorr::widenOffsets() {
    offsetsHigh_.resize(offsets16_.size());
    for (std::size_t p = 0; p < offsets16_.size(); ++p) {
        offsetsHigh_[p] = offsets16_[p] < 0 ? -1 : 0;
    }
}

void OpCorr::resetCoefficients(std::size_t n) {
    std::lock_guard<std::mutex> lock(gainMutex);
    resizeCoefficients(n);
    beginGains();
    offsetsCompact_ = true;
    for (std::size_t p = 0; p < n; ++p) {
        setGain(p, 0x10000);
        setOffset(p, 0);
    }
    endGains();
}

std::vector<GainOffset>& OpCorr::coefficients() {
    std::lock_guard<std::mutex> lock(gainMutex);
    const std::size_t n = coefficientCount();
    records_.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        records_[p] = GainOffset{gainAt(p), offsetAt(p)};
    }
    recordsLent_ = true;
    return records_;
}

void OpCorr::coefficientsChanged() {
    std::lock_guard<std::mutex> lock(gainMutex);
    if (!recordsLent_) {
        return;
    }
    const std::size_t n = records_.size();
    resizeCoefficients(n);
    beginGains();
    offsetsCompact_ = true;
    for (std::size_t p = 0; p < n; ++p) {
        setGain(p, records_[p].gain);
        setOffset(p, records_[p].offset);
    }
    endGains();
    std::vector<GainOffset>().swap(records_);  // the planes hold them again
    recordsLent_ = false;
}

void OpCorr::endGains() {
    gainsNear_ = false;
    nearExceptions_.clear();
    if (!gainsCompact_) {
        return;
    }
    // The whole number most gains lie within half of (-128..128 while they are compact).
    const std::size_t n = coefficientCount();
    auto whole = [&](std::size_t p) {
        return static_cast<std::int32_t>((std::int64_t{gainAt(p)} + 0x8000) >> 16);
    };
    std::int32_t counts[257] = {};
    for (std::size_t p = 0; p < n; ++p) {
        ++counts[whole(p) + 128];
    }
    nearHigh_ = static_cast<std::int32_t>(std::max_element(counts, counts + 257) - counts) - 128;
    const std::size_t limit = n / kNearExceptionShare + 64;  // as reserved: no allocation
    for (std::size_t p = 0; p < n; ++p) {
        if (whole(p) != nearHigh_) {
            if (nearExceptions_.size() == limit) {
                nearExceptions_.clear();
                return;
            }
            nearExceptions_.push_back(static_cast<std::int32_t>(p));
        }
    }
    gainsNear_ = true;
}

void OpCorr::freeCalibration() {
    planes_.clear();
    planeShift_.clear();
    planeBase_.clear();
    samples_.clear();
    levels_.clear();
    slopes_.clear();
    sampleList_.clear();
    sampleCount_ = 0;
}

void OpCorr::setNeutralPlanes() {
    const std::size_t n = static_cast<std::size_t>(std::max(pixelCount_, 0));
    planeShift_.assign(kPlanes, 0);
    planeBase_.assign(kPlanes, 0);
    planes_.assign(kKeptPlanes * n, 0);
    std::fill(planes_.begin(), planes_.begin() + n, 1);
    resetCoefficients(n);
}

HRESULT OpCorr::readGainOffset(std::FILE* f, const std::string& path, int extraWords,
                               std::size_t sensorW, std::size_t sensorH) {
    std::uint16_t extra[CorrectionDataHeader::kMaxExtraWords] = {};
    if (!readWords(f, extra, extraWords)) {
        return E_FAIL;
    }
    caliChipTemp_ = (extra[0] - 1000) * 0.1f;
    offsetCoefficient_ = extra[1] * 0.01f;

    const std::size_t w = static_cast<std::size_t>(width_);
    const std::size_t h = static_cast<std::size_t>(height_);
    const std::size_t x0 = sensorW > w ? static_cast<std::size_t>(shared_->deviceResOffsetX) : 0;
    const std::size_t y0 = sensorH > h ? static_cast<std::size_t>(shared_->deviceResOffsetY) : 0;
    const std::size_t sensorPixels = sensorW * sensorH;
    std::vector<std::uint16_t> shift(kPlanes), base(kPlanes);
    if (!readWords(f, shift.data(), kPlanes) || !readWords(f, base.data(), kPlanes) ||
        !holdsBytes(f, path, std::uint64_t{kPlanes} * sensorPixels * 2)) {
        return E_FAIL;
    }
    planeShift_ = shift;
    planeBase_ = base;
    planes_.assign(kKeptPlanes * w * h, 0);
    std::vector<std::uint16_t> plane(sensorPixels);
    for (int p = 0; p < kPlanes; ++p) {
        if (!readWords(f, plane.data(), sensorPixels)) {
            return E_FAIL;
        }
        if (kKept[p] < 0) {
            continue;
        }
        for (std::size_t y = 0; y < h; ++y) {
            std::copy_n(plane.begin() + (y0 + y) * sensorW + x0, w,
                        planes_.begin() + kKept[p] * w * h + y * w);
        }
    }
    return S_OK;
}

HRESULT OpCorr::readSamplePoints(std::FILE* f, const std::string& path, int s, int extraWords,
                                 std::size_t sensorW, std::size_t sensorH) {
    std::uint16_t extra[CorrectionDataHeader::kMaxExtraWords] = {};
    if (!readWords(f, extra, extraWords)) {
        return E_FAIL;
    }
    caliChipTemp_ = extraWords > 0 ? (extra[0] - 1000) * 0.1f : 65.0f;

    const std::size_t w = static_cast<std::size_t>(width_);
    const std::size_t h = static_cast<std::size_t>(height_);
    const std::size_t x0 = sensorW > w ? static_cast<std::size_t>(shared_->deviceResOffsetX) : 0;
    const std::size_t y0 = sensorH > h ? static_cast<std::size_t>(shared_->deviceResOffsetY) : 0;
    const std::size_t ss = static_cast<std::size_t>(s);
    std::vector<std::uint16_t> levels(ss);
    if (!readWords(f, levels.data(), ss) ||
        !holdsBytes(f, path, std::uint64_t{sensorW} * sensorH * ss * 2)) {
        return E_FAIL;
    }
    if (levels[0] >= 5501 && levels[0] <= 5510) {
        levels[0] = 5500;
    }
    std::vector<std::uint16_t> row(sensorW * ss);
    samples_.assign(w * h * ss, 0);
    for (std::size_t y = 0; y < sensorH; ++y) {
        if (!readWords(f, row.data(), row.size())) {
            return E_FAIL;
        }
        if (y < y0 || y >= y0 + h) {
            continue;
        }
        std::copy_n(row.begin() + x0 * ss, w * ss, samples_.begin() + (y - y0) * w * ss);
    }
    levels_ = std::move(levels);
    sampleCount_ = static_cast<std::int16_t>(s);

    // Slopes per pixel and segment; the last segment repeats the one before.
    slopes_.assign(w * h * ss, 0);
    for (std::size_t p = 0; p < w * h; ++p) {
        const std::uint16_t* sp = &samples_[p * ss];
        std::int32_t* out = &slopes_[p * ss];
        for (std::size_t j = 0; j + 1 < ss; ++j) {
            const int ds = sp[j + 1] - sp[j];
            out[j] =
                ds == 0
                    ? 0
                    : truncToInt32(static_cast<double>(levels_[j + 1] - levels_[j]) / ds * 4096.0);
        }
        out[ss - 1] = ss > 1 ? out[ss - 2] : 0;
    }

    // Reference curve: the centre 8 x 8 mean on cameras that want it, else the last pixel.
    sampleList_.assign(2 * ss, 0);
    const unsigned hw = shared_->hardwareRevision;
    const bool centre =
        hw >= 2100 && hw <= 2198 && shared_->firmwareRevision >= 2818 && w >= 8 && h >= 8;
    for (std::size_t j = 0; j < ss; ++j) {
        std::int32_t value;
        if (centre) {
            std::int64_t sum = 0;
            for (std::size_t y = (h - 8) / 2; y < (h - 8) / 2 + 8; ++y) {
                for (std::size_t x = (w - 8) / 2; x < (w - 8) / 2 + 8; ++x) {
                    sum += samples_[(y * w + x) * ss + j];
                }
            }
            value = static_cast<std::int32_t>(sum / 64);
        } else {
            value = samples_[(w * h - 1) * ss + j];
        }
        sampleList_[2 * j] = static_cast<std::int16_t>(value);
        sampleList_[2 * j + 1] = static_cast<std::int16_t>(levels_[j]);
    }
    shared_->sampleList = sampleList_.data();
    shared_->sampleCount = static_cast<std::int32_t>(ss);
    return S_OK;
}

HRESULT OpCorr::readCalibration() {
    wchar_t stem[260];
    wchar_t path[260];
    const wchar_t* dir = shared_->tableDirectory != nullptr ? shared_->tableDirectory
                                                            : shared_->calibrationDirectory;
    bool built = Cali::makeFileName(static_cast<int>(shared_->serial), shared_->fov,
                                    shared_->opticsText.c_str(), shared_->tMin, shared_->tMax,
                                    shared_->frameRate, stem, 260);
    if (built) {
        const std::wstring name = std::wstring(L"Cali-") + stem;
        built = zol::IRCalibrationManager::getInstance()->createConfigFilepath(
            path, dir, 260, name.c_str(), L".dat");
    }
    const std::string narrowPath = built ? platform::toNarrow(path) : std::string();
    KLOG_DEBUG("Read cali: " << narrowPath);

    lastChipDeviation_ = -100.0f;
    offsetCoefficient_ = 0.0f;
    driftDelta_ = driftFirst_ = driftSmoothed_ = driftApplied_ = 0.0f;
    nextGainTime_ = 0;
    gainThrottled_ = false;
    flagEnergyValid_ = false;
    // Both energies come from the table of the range being left: take them again from the new
    // one and start the smoothing afresh, else the old box energy reads as a large drift.
    boxEnergyValid_ = false;
    driftPrimed_ = false;
    loadFrameCounter = frame != nullptr && frame->metadata != nullptr
                           ? static_cast<std::int32_t>(frame->metadata->frameCounter)
                           : 0;
    if (!built) {
        dataReloaded = true;
        return E_INVALIDARG;
    }

    // Only a regular file: a FIFO or a device would block or never end.
    std::unique_ptr<std::FILE, FileCloser> file(
        platform::fileExists(path) ? std::fopen(narrowPath.c_str(), "rb") : nullptr);
    if (!file) {
        KLOG_ERROR("Loading calibration files failed: " << narrowPath);
        dataReloaded = true;
        return E_ACCESSDENIED;
    }

    freeCalibration();
    std::uint16_t head[CorrectionDataHeader::kWords];
    HRESULT result = E_FAIL;
    bool samplePoint = false;
    if (readWords(file.get(), head, CorrectionDataHeader::kWords)) {
        const CorrectionDataHeader header = CorrectionDataHeader::fromWords(head);
        samplePoint = header.samplePoints();
        shared_->samplePoints = samplePoint ? 1 : 0;

        // Whole-sensor planes when the sensor is larger than the frame; the frame must lie inside.
        std::size_t sensorW = static_cast<std::size_t>(std::max(width_, 0));
        std::size_t sensorH = static_cast<std::size_t>(std::max(height_, 0));
        bool inside = true;
        if (shared_->hasDeviceRes &&
            (shared_->deviceResWidth > width_ || shared_->deviceResHeight > height_)) {
            sensorW = static_cast<std::size_t>(std::max(shared_->deviceResWidth, 0));
            sensorH = static_cast<std::size_t>(std::max(shared_->deviceResHeight, 0));
            const std::int64_t x0 =
                shared_->deviceResWidth > width_ ? shared_->deviceResOffsetX : 0;
            const std::int64_t y0 =
                shared_->deviceResHeight > height_ ? shared_->deviceResOffsetY : 0;
            inside = x0 >= 0 && y0 >= 0 && x0 + width_ <= static_cast<std::int64_t>(sensorW) &&
                     y0 + height_ <= static_cast<std::int64_t>(sensorH);
        }
        // Bounded first, so that no size computed from it below can overflow.
        const bool sensorOk = static_cast<std::uint64_t>(sensorW) * sensorH <=
                              static_cast<std::uint64_t>(kMaxFramePixels);
        if (!sensorOk) {
            KLOG_ERROR("Calibration file " << narrowPath << " refused: a sensor of " << sensorW
                                           << " x " << sensorH
                                           << " pixels is larger than any camera has");
        }
        const bool headerOk = header.usable() && inside && sensorOk;
        if (!samplePoint) {
            KLOG_DEBUG("Read calibration of camera no "
                       << header.camera << ", # of fields: " << header.fieldCount
                       << " , start of fields: " << header.fieldStart);
        }
        if (headerOk) {
            result = samplePoint ? readSamplePoints(file.get(), narrowPath, header.fieldCount,
                                                    header.extraWords, sensorW, sensorH)
                                 : readGainOffset(file.get(), narrowPath, header.extraWords,
                                                  sensorW, sensorH);
        }
    }
    samplePointLayout_ = samplePoint;
    repairRebuild = true;
    sumChipTemp_ = sumBoxTemp_ = sumFlagTemp_ = 0.0f;
    windowCount_ = 0;

    if (FAILED(result)) {
        KLOG_ERROR("Correction data unusable: " << narrowPath);
        if (samplePoint) {
            freeCalibration();
        } else {
            setNeutralPlanes();
        }
    }
    dataReloaded = true;
    return result;
}

bool OpCorr::rebuildGain(bool force) {
    if (planes_.empty()) {
        return false;
    }
    const float previous = lastChipDeviation_;
    const float deviation = chipTempAtGain_ - caliChipTemp_;
    if (gainRebuilt_) {
        shared_->chipTempDeviation = deviation;
    }
    const std::uint32_t now = nowMs32();
    if (!force && (std::fabs(deviation - lastChipDeviation_) < 0.2f ||
                   (gainThrottled_ && !platform::reached(now, nextGainTime_)))) {
        return false;
    }
    const CaliMain main = cali_ != nullptr ? cali_->getMain() : CaliMain();
    const double s0 = planeScale(planeShift_[0]);
    const double s1 = planeScale(planeShift_[1]);
    double d = deviation;
    bool lowCorrection = false;
    double m = 0.0;
    if (main.AlphaLowFactor != 1.0f && chipTempAtGain_ < main.AlphaLowTemp) {
        lowCorrection = true;
        m = static_cast<double>(main.AlphaLowFactor) * s1 * (main.AlphaLowTemp - chipTempAtGain_);
        d = static_cast<double>(main.AlphaLowTemp) - caliChipTemp_;
    }
    const std::size_t n = coefficientCount();
    const std::uint16_t* plane0 = planes_.data();
    const std::uint16_t* plane1 = planes_.data() + kKept[1] * n;
    std::lock_guard<std::mutex> lock(gainMutex);
    beginGains();
    for (std::size_t p = 0; p < n; ++p) {
        const double t = s1 * d * plane1[p] + 1.0;
        const double g = lowCorrection ? s0 * plane0[p] / (t / (plane1[p] * m + 1.0)) * 65536.0
                                       : s0 * plane0[p] / t * 65536.0;
        // Infinite gains clamp to the 32-bit range, NaN gives 0.
        setGain(p, truncToInt32(g));
    }
    endGains();
    // The deviation these gains were built for: before the first averaged rebuild the shared
    // value is still its initial 0, and comparing with that would report a change.
    lastChipDeviation_ = deviation;
    nextGainTime_ = now + 100;
    gainThrottled_ = true;
    return std::fabs(deviation - previous) >= 0.5f;
}

void OpCorr::rebuildOffset() {
    if (planes_.empty()) {
        return;
    }
    if (driftPrimed_) {
        const std::size_t n = coefficientCount();
        const double s4 = planeScale(planeShift_[4]);
        const double s5 = planeScale(planeShift_[5]);
        const double b4 = planeBase_[4];
        const double b5 = planeBase_[5];
        const double factor = static_cast<double>(offsetCoefficient_) + driftSmoothed_;
        const std::uint16_t* plane4 = planes_.data() + kKept[4] * n;
        const std::uint16_t* plane5 = planes_.data() + kKept[5] * n;
        offsetsCompact_ = true;
        for (std::size_t p = 0; p < n; ++p) {
            setOffset(p, truncToInt32((s4 * plane4[p] - b4) * factor + (s5 * plane5[p] - b5)));
        }
        driftApplied_ = driftSmoothed_;
    }
    nextOffsetTime_ = nowMs32() + 500;
    offsetThrottled_ = true;
}

void OpCorr::updateDrift() {
    if (!flagEnergyValid_ || !boxEnergyValid_) {
        return;
    }
    driftDelta_ = static_cast<float>(flagEnergy - boxEnergy_);
    if (!driftPrimed_) {
        driftSmoothed_ = driftFirst_ = driftDelta_;
        driftPrimed_ = true;
        driftApplied_ = driftDelta_ + 2.0f;
        double x = 0.0;
        const std::size_t n = coefficientCount();
        if (!planes_.empty() && n > 0) {
            const double s4 = planeScale(planeShift_[4]);
            const std::uint16_t* plane4 = planes_.data() + kKept[4] * n;
            for (std::size_t p = 0; p < n; ++p) {
                x += s4 * plane4[p] - planeBase_[4];
            }
            x /= static_cast<double>(n);
        }
        x = std::min(x, 10.0);
        driftThreshold_ = x > 1.0 ? static_cast<float>(1.0 / x) : 1.0f;
    } else {
        driftSmoothed_ = (framesIn5sMinus1_ * driftSmoothed_ + driftDelta_) / framesIn5s_;
    }
    if (std::fabs(driftSmoothed_ - driftApplied_) >= driftThreshold_ &&
        (!offsetThrottled_ || platform::reached(nowMs32(), nextOffsetTime_))) {
        rebuildOffset();
    }
}

HRESULT OpCorr::compute() {
    if (!shared_->revision2100) {
        updateDrift();
    }
    copyFixedMetadata();
    const FrameMetadataRecord* meta = predecessor_->frame->metadata;

    sumChipTemp_ += meta->tempChip;
    sumBoxTemp_ += meta->tempBox;
    sumFlagTemp_ += meta->tempFlag;
    ++windowCount_;
    ++frameCount_;
    const bool windowEnd = frameCount_ % window_ == 0 || frameCount_ < window_;
    const float avgBox = sumBoxTemp_ / windowCount_;
    const float avgFlag = sumFlagTemp_ / windowCount_;
    if (windowEnd) {
        const float avgChip = sumChipTemp_ / windowCount_;
        windowCount_ = 0;
        sumChipTemp_ = sumBoxTemp_ = sumFlagTemp_ = 0.0f;
        if (std::fabs(chipTempAtGain_ - avgChip) > 0.1f) {
            chipTempAtGain_ = avgChip;
            // Keep an earlier report until the flag operator has taken it.
            dataReloaded = rebuildGain(!gainRebuilt_) || dataReloaded;
            gainRebuilt_ = true;
        }
    }
    // Energies of a table just loaded are taken at once, from the window so far: the old
    // range's flag energy would shift every pixel until the window ends.
    if (!shared_->revision2100 && tableValid()) {
        const TemperatureTable* table = *table_;
        if (!boxEnergyValid_ || (windowEnd && std::fabs(boxTempAtDrift_ - avgBox) > 0.05f)) {
            boxTempAtDrift_ = avgBox;
            boxEnergy_ = truncToInt32(table->temperatureToEnergy(avgBox));
            boxEnergyValid_ = true;
        }
        if (!flagEnergyValid_ || (windowEnd && std::fabs(flagTempAtOffset_ - avgFlag) > 0.05f)) {
            flagTempAtOffset_ = avgFlag;
            flagEnergy = truncToInt32(table->temperatureToEnergy(avgFlag));
            flagEnergyValid_ = true;
        }
    }

    const std::int16_t* in = reinterpret_cast<const std::int16_t*>(predecessor_->frame->pixels);
    std::int16_t* out = reinterpret_cast<std::int16_t*>(frame->pixels);
    const int n = std::min(pixelCount_, predecessor_->getPixelCount());

    if (samplePointLayout_) {
        if (!enabled) {
            copyPredecessorPixels();
            return S_OK;
        }
        if (slopes_.empty() || sampleCount_ <= 0) {
            return E_FAIL;
        }
        const bool centi = shared_->temperatureUnit > 1;
        const std::size_t s = static_cast<std::size_t>(sampleCount_);
        const std::int32_t lower =
            std::max<std::int32_t>(levels_[0], encodeTemperature(shared_->tMin, centi));
        const std::int32_t upper =
            std::min<std::int32_t>(levels_[s - 1], encodeTemperature(shared_->tMax, centi));
        for (int p = 0; p < n; ++p) {
            const std::int32_t v = in[p];
            const std::uint16_t* sp = &samples_[static_cast<std::size_t>(p) * s];
            std::int64_t value;
            if (v <= sp[0]) {
                value = levels_[0];
            } else if (v >= sp[s - 1]) {
                value = levels_[s - 1];
            } else {
                const std::size_t j =
                    static_cast<std::size_t>(std::upper_bound(sp, sp + s, v) - sp) - 1;
                value = ((static_cast<std::int64_t>(v - sp[j]) * slopes_[p * s + j]) >> 12) +
                        levels_[j];
            }
            value = std::max<std::int64_t>(value, lower);
            value = std::min<std::int64_t>(value, upper);
            out[p] = static_cast<std::int16_t>(value);
        }
    } else {
        if (coefficientCount() == 0) {
            return E_FAIL;
        }
        const std::size_t count = static_cast<std::size_t>(std::max(n, 0));
        if (enabled) {
            const std::int32_t a = shared_->revision2100 ? 0 : flagEnergy.load();
            // Compact coefficients and a flag energy below 2^24 keep every sum inside 32 bits;
            // the 64-bit loop takes the rest.
            if (gainsCompact_ && offsetsCompact_ && a > -(1 << 24) && a < (1 << 24)) {
                if (gainsNear_) {
                    pixel::gainOffsetNear(in, static_cast<std::int16_t>(nearHigh_), gainLow_.data(),
                                          offsets16_.data(), a, kEnergyMin, kEnergyMax, out, count);
                    for (const std::int32_t p : nearExceptions_) {
                        if (static_cast<std::size_t>(p) < count) {
                            out[p] = gainOffsetOf(in[p], gainAt(p), offsetAt(p), a);
                        }
                    }
                } else {
                    pixel::gainOffset(in, gainHigh8_.data(), gainLow_.data(), offsets16_.data(), a,
                                      kEnergyMin, kEnergyMax, out, count);
                }
            } else {
                for (std::size_t p = 0; p < count; ++p) {
                    out[p] = gainOffsetOf(in[p], gainAt(p), offsetAt(p), a);
                }
            }
        } else {
            pixel::clamp(in, out, count, kEnergyMin, kEnergyMax);
        }
    }
    if (repairEnabled) {
        if (repairRebuild) {
            buildRepairList();
        }
        repairPixels();
    }
    return S_OK;
}

void OpCorr::updateDeviation() {
    dataReloaded = rebuildGain(true) || dataReloaded;
    if (table_ == nullptr || *table_ == nullptr || (*table_)->pointCount <= 0) {
        return;
    }
    const TemperatureTable* table = *table_;
    const std::int32_t index = std::clamp(table->energyOffset, 0, table->pointCount - 1);
    const float raw = static_cast<float>(table->rawTemperatures[index]);
    float tt;
    switch (shared_->temperatureUnit) {
        case 1:
            tt = (raw - 1000.0f) * 0.1f;
            break;
        case 2:
            tt = raw * 0.01f;
            break;
        default:
            tt = raw;
            break;
    }
    tableTempAtOffset_ = tt;
    shared_->flagTempDeviation = flagTempAtOffset_ - tt;
}

void OpCorr::buildRepairList() {
    std::lock_guard<std::mutex> lock(repairMutex);
    repairRebuild = false;
    repairList.clear();
    const int w = width_;
    const int h = height_;
    const int n = pixelCount_;
    if (n <= 0) {
        return;
    }
    // The listed bits in the plane sized by init: no frame allocates.
    repairListed_.assign(static_cast<std::size_t>(n), false);
    const std::size_t s = static_cast<std::size_t>(std::max<std::int16_t>(sampleCount_, 0));
    auto defective = [&](int p) {
        if (samplePointLayout_) {
            return s > 0 && slopes_.size() >= (static_cast<std::size_t>(p) + 1) * s &&
                   slopes_[(p + 1) * s - 1] == 0;
        }
        return !planes_.empty() && planes_[p] == 0;
    };
    int defectiveCount = 0;
    for (int p = 0; p < n; ++p) {
        defectiveCount += defective(p);
    }
    // The flag's few pixels in raster order, met in step with the scan below.
    int extra[kMaxExtraPixels];
    int extraCount = 0;
    for (int i = 0; i < extraPixelCount && i < kMaxExtraPixels; ++i) {
        if (extraPixels[i].pixel >= 0 && extraPixels[i].pixel < n) {
            extra[extraCount++] = extraPixels[i].pixel;
        }
    }
    std::sort(extra, extra + extraCount);
    const std::size_t capacity =
        static_cast<std::size_t>(std::min(defectiveCount, n / 50) + extraPixelCount);
    int nextExtra = 0;
    for (int p = 0; p < n && repairList.size() < capacity; ++p) {
        while (nextExtra < extraCount && extra[nextExtra] < p) {
            ++nextExtra;
        }
        const bool bad = defective(p);
        const bool fromExtra = repairExtra && nextExtra < extraCount && extra[nextExtra] == p;
        if (bad || fromExtra) {
            RepairEntry e{};
            e.x = p % w;
            e.y = p / w;
            e.pixel = p;
            e.fromExtraList = fromExtra && !bad;
            repairList.push_back(e);
            repairListed_.set(static_cast<std::size_t>(p));
        }
    }
    if (shared_->sampleList != nullptr) {
        RepairEntry e{};
        e.x = w - 1;
        e.y = h - 1;
        e.pixel = n - 1;
        repairList.push_back(e);
        repairListed_.set(static_cast<std::size_t>(n - 1));
    }

    for (RepairEntry& e : repairList) {
        int count = 0;
        auto consider = [&](int nx, int ny) {
            if (count >= 4 || nx < 0 || nx >= w - 1 || ny < 0 || ny >= h - 1) {
                return;
            }
            const int q = ny * w + nx;
            if (!repairListed_.test(static_cast<std::size_t>(q))) {
                e.neighbours[count++] = q;
            }
        };
        const int x = e.x;
        const int y = e.y;
        consider(x - 1, y);
        consider(x + 1, y);
        consider(x, y - 1);
        consider(x, y + 1);
        consider(x - 1, y - 1);
        consider(x + 1, y - 1);
        consider(x - 1, y + 1);
        consider(x + 1, y + 1);
        for (int d = 2; d <= 4 && count < 4; ++d) {
            for (int i = x - d; i <= x + d; ++i) {
                consider(i, y - d);
            }
            for (int i = x - d; i <= x + d; ++i) {
                consider(i, y + d);
            }
            for (int j = y - d + 1; j <= y + d - 1; ++j) {
                consider(x - d, j);
            }
            for (int j = y - d + 1; j <= y + d - 1; ++j) {
                consider(x + d, j);
            }
        }
        if (count == 0) {
            e.neighbours[count++] = e.pixel;
        }
        e.neighbourCount = static_cast<std::uint8_t>(count);
    }
}

void OpCorr::repairPixels() {
    // Only this operator changes the list; reading it here needs no lock.
    std::int16_t* out = reinterpret_cast<std::int16_t*>(frame->pixels);
    for (const RepairEntry& e : repairList) {
        std::int32_t sum = 0;
        for (int i = 0; i < e.neighbourCount; ++i) {
            sum += out[e.neighbours[i]];
        }
        out[e.pixel] = static_cast<std::int16_t>(sum / e.neighbourCount);
    }
}
