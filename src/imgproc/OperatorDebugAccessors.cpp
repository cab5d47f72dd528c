// Accessors of the operators that only the debug build carries, for the debug
// library's callers between frames.
#ifdef KELVIX_DEBUG_BUILD

#include <algorithm>
#include <cmath>
#include <cstring>

#include "imgproc/OpBase.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpEnergyNormalize.h"
#include "imgproc/OpFlag.h"
#include "imgproc/OpMetadata.h"
#include "imgproc/OpREA.h"
#include "imgproc/OpSource.h"

// ---- OpBase --------------------------------------------------------------------------------

HRESULT OpBase::getFrameRate(double* rate) const {
    if (rate == nullptr || frame == nullptr || frame->format == nullptr) {
        return E_POINTER;
    }
    if (frame->format->avgTimePerFrame <= 0) {
        return E_FAIL;  // no period, no rate
    }
    *rate = 10000000.0 / static_cast<double>(frame->format->avgTimePerFrame);
    return S_OK;
}

HRESULT OpBase::getName(wchar_t* buffer, std::size_t length) const {
    if (buffer == nullptr) {
        return E_POINTER;
    }
    if (length == 0) {
        return E_INVALIDARG;
    }
    const std::size_t n = std::min(name_.size(), length - 1);
    std::copy(name_.begin(), name_.begin() + static_cast<std::ptrdiff_t>(n), buffer);
    buffer[n] = L'\0';
    return S_OK;
}

HRESULT OpBase::getSize(std::int32_t size[2]) const {
    if (size == nullptr) {
        return E_POINTER;
    }
    size[0] = width_;
    size[1] = height_;
    return S_OK;
}

std::int32_t OpBase::temperatureToRaw(float t) const {
    const std::uint16_t unit = shared_ != nullptr ? shared_->temperatureUnit : 0;
    if (unit == 1) {
        return static_cast<std::int32_t>(10.0f * t + 1000.5f);
    }
    if (unit == 2) {
        return static_cast<std::int32_t>(std::round(100.0 * t));
    }
    return static_cast<std::int32_t>(t);
}

// ---- energy operators ----------------------------------------------------------------------

HRESULT OpEnergy2Temp::getTable(std::int16_t* table, int count, std::int16_t* offset) const {
    if (table == nullptr || offset == nullptr) {
        return E_POINTER;
    }
    const int n = std::clamp(count, 0, lut::kSize);
    std::copy(lut_, lut_ + n, table);
    *offset = offset_;
    return S_OK;
}

HRESULT OpEnergy2Temp::getSize(std::int16_t* width, std::int16_t* height) const {
    if (width == nullptr || height == nullptr) {
        return E_POINTER;
    }
    *width = static_cast<std::int16_t>(width_);
    *height = static_cast<std::int16_t>(height_);
    return S_OK;
}

HRESULT OpEnergy2Temp::getReferenceImage(std::int16_t* image, int count) const {
    if (image == nullptr) {
        return E_POINTER;
    }
    if (count != pixelCount_ || referenceImage_.size() != static_cast<std::size_t>(count)) {
        return E_FAIL;
    }
    std::copy(referenceImage_.begin(), referenceImage_.end(), image);
    return S_OK;
}

HRESULT OpEnergy2Temp::setReferenceImage(const std::int16_t* image, int width, int height) {
    if (image == nullptr) {
        return E_POINTER;
    }
    if (width != width_ || height != height_) {
        return E_FAIL;
    }
    referenceImage_.assign(image, image + pixelCount_);
    differenceMode_ = true;
    captureReference_ = false;
    tableChanged_ = true;  // the next frame is converted again
    return S_OK;
}

HRESULT OpEnergy2Temp::setDifferenceMode(bool on) {
    referenceImage_.clear();
    captureReference_ = on;
    differenceMode_ = on;
    return S_OK;
}

HRESULT OpEnergy2Temp::getDifferenceMode(bool* on) const {
    if (on == nullptr) {
        return E_POINTER;
    }
    *on = differenceMode_;
    return S_OK;
}

HRESULT OpEnergyNormalize::getTable(std::int16_t* table, int count) const {
    if (table == nullptr) {
        return E_POINTER;
    }
    const int n = std::clamp(count, 0, lut::kSize);
    std::copy(lut_, lut_ + n, table);
    return S_OK;
}

// ---- OpFlag --------------------------------------------------------------------------------

HRESULT OpFlag::getCorrectionMode(std::int32_t* mode) const {
    if (mode == nullptr) {
        return E_POINTER;
    }
    *mode = correctionMode;
    return S_OK;
}

HRESULT OpFlag::getFlagState(std::int32_t* state) const {
    if (state == nullptr) {
        return E_POINTER;
    }
    *state = static_cast<std::int32_t>(shared_->flagState.load());
    return S_OK;
}

HRESULT OpFlag::setFlagState(std::int32_t state) {
    shared_->flagState = static_cast<std::uint32_t>(state);
    return S_OK;
}

HRESULT OpFlag::setDriftTracking(bool on) {
    if (on == driftTracking_) {
        return S_OK;
    }
    driftTracking_ = on;
    if (frame != nullptr && frame->metadata != nullptr) {
        previousFlagFrameCounter_ = frame->metadata->frameCounter;
    }
    if (on) {
        takeRecords();
        unfileDrifting();
        settleSteps();
        for (std::size_t p = 0; p < planes_.steps.size(); ++p) {
            planes_.savedOffset[p] = planes_.offsetLow[p];
            planes_.steps[p] = 0;
            planes_.period[p] = 0;
            planes_.countdown[p] = 0;
        }
    }
    return S_OK;
}

HRESULT OpFlag::setSkimGain(float gain) {
    skimGain_ = gain;
    skimGainFloor_ = gain;
    return S_OK;
}

HRESULT OpFlag::requestOffsetReset() {
    offsetResetRequested = true;
    return S_OK;
}

// ---- OpMetadata ----------------------------------------------------------------------------

HRESULT OpMetadata::getTimestamp(std::int32_t halves[2]) const {
    if (halves == nullptr) {
        return E_POINTER;
    }
    const auto bits = static_cast<std::uint64_t>(lastTimestamp);
    halves[0] = static_cast<std::int32_t>(bits & 0xFFFFFFFFu);
    halves[1] = static_cast<std::int32_t>(bits >> 32);
    return S_OK;
}

HRESULT OpMetadata::setAnalogCallback(InputCallback callback) {
    if (!callback) {
        return E_POINTER;
    }
    analogCallback = std::move(callback);
    return S_OK;
}

HRESULT OpMetadata::setDigitalCallback(InputCallback callback) {
    if (!callback) {
        return E_POINTER;
    }
    digitalCallback = std::move(callback);
    return S_OK;
}

HRESULT OpMetadata::setKeptDigitalBits(std::uint32_t bits) {
    keptDigitalBits = bits;
    return S_OK;
}

HRESULT OpMetadata::setKeptAnalogValue(std::uint8_t index, std::uint16_t value) {
    if (index >= analogCount) {
        return E_INVALIDARG;
    }
    if (keptAnalogValues.size() < analogCount) {
        keptAnalogValues.resize(analogCount, 0);
    }
    keptAnalogValues[index] = value;
    return S_OK;
}

// ---- OpREA ---------------------------------------------------------------------------------

HRESULT OpREA::getDistortionCoefficient(double* coefficient) const {
    if (coefficient == nullptr) {
        return E_POINTER;
    }
    *coefficient = coefficient_;
    return S_OK;
}

HRESULT OpREA::setDistortionCoefficient(double coefficient) {
    if (coefficient != coefficient_) {
        coefficient_ = coefficient;
        buildTable(width_, height_);
    }
    return S_OK;
}

HRESULT OpREA::getModelOption(bool* on) const {
    if (on == nullptr) {
        return E_POINTER;
    }
    *on = modelOption_;
    return S_OK;
}

HRESULT OpREA::setModelOption(bool on) {
    if (on != modelOption_) {
        modelOption_ = on;
        buildTable(width_, height_);
    }
    return S_OK;
}

// ---- OpSource ------------------------------------------------------------------------------

GUID OpSource::formatIdentifier(int width, int height, double rate) {
    struct Known {
        int width;
        int height;
        int rate100;
        GUID id;
    };
    static const Known known[] = {
        {160,
         121,
         12000,
         {0x7A9AAE14, 0xE7AE, 0x485F, {0xB7, 0x3A, 0x94, 0x6F, 0x94, 0xC0, 0x61, 0x00}}},
        {160,
         121,
         12082,
         {0x7A9AAE14, 0xE7AE, 0x485F, {0xB7, 0x3A, 0x94, 0x6F, 0x94, 0xC0, 0x61, 0x00}}},
        {164,
         120,
         10000,
         {0x7A9AAE14, 0xE7AE, 0x485F, {0xB7, 0x3A, 0x94, 0x6F, 0x94, 0xC0, 0x61, 0xAB}}},
        {760,
         480,
         3200,
         {0xBC46143A, 0xF587, 0x442B, {0xB2, 0xA5, 0x85, 0xCE, 0xF8, 0xCA, 0xCA, 0x87}}},
        {384,
         288,
         6600,
         {0xAEF45D39, 0x5BD2, 0x4918, {0xAF, 0x00, 0xB3, 0xEE, 0x95, 0x42, 0xB1, 0xCE}}},
    };
    const double scaled = rate * 100.0;
    if (std::isfinite(scaled) && scaled > -2147483648.0 && scaled < 2147483648.0) {
        const auto rate100 = static_cast<int>(scaled);
        for (const Known& k : known) {
            if (k.width == width && k.height == height && k.rate100 == rate100) {
                return k.id;
            }
        }
    }
    return GUID{};
}

#endif  // KELVIX_DEBUG_BUILD
