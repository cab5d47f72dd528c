// The chain's operations that only the debug build carries (measurement fields,
// calibration memory, device forwarders), called by the debug library's users between frames.
#ifdef KELVIX_DEBUG_BUILD

#include <cstring>

#include "device/BaseControlDevice.h"
#include "imgproc/Cali.h"
#include "imgproc/CaliImageExtractor.h"
#include "imgproc/IRMeasurementField.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/OpCorr.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpEnergyNormalize.h"
#include "imgproc/OpFlag.h"
#include "imgproc/OpMeasurementField.h"
#include "imgproc/OpMetadata.h"
#include "imgproc/OpPostProcessing.h"
#include "imgproc/OpSource.h"
#include "sdk/Log.h"

namespace {

constexpr std::uint32_t kCalibrationMemoryAddress = 0x80000;

bool antiFlickerSupported(std::uint16_t hw, std::uint16_t fw) {
    return hw >= 20 && hw <= 399 && fw >= 2213;
}

}  // namespace

HRESULT ImageProcessing::addMeasurementField(zol::IRMeasurementField* field) {
    if (field == nullptr) {
        return E_POINTER;
    }
    if (postProcessing_ == nullptr || postProcessing_->frame == nullptr ||
        postProcessing_->frame->format == nullptr) {
        return E_UNEXPECTED;
    }
    // The frame loop trusts the rectangle and the copy buffer: refuse what it cannot measure.
    const std::int64_t width = postProcessing_->frame->format->width;
    const std::int64_t height = postProcessing_->frame->format->height;
    if (field->copy == nullptr || field->w == 0 || field->h == 0 || field->x < 0 || field->y < 0 ||
        field->x + std::int64_t(field->w) > width || field->y + std::int64_t(field->h) > height) {
        KLOG_ERROR("Measurement field outside the frame: " << field->x << ", " << field->y << ", "
                                                           << field->w << " x " << field->h);
        return E_INVALIDARG;
    }

    measurementFields_.push_back(field);
    Cali* cali = description();
    auto* corr = build<OpCorr>(postProcessing_, &shared_, cali, field);
    correction_.push_back(corr);
    const std::size_t k = correction_.size() - 1;
    energyNormalize_.push_back(build<OpEnergyNormalize>(corr, &shared_, field));
    energy2Temp_.push_back(build<OpEnergy2Temp>(energyNormalize_.back(), &shared_, field));
    build<OpMeasurementField>(energy2Temp_.back(), 12, L"# Measurement field", &shared_, field,
                              metadata_);

    corr->init(postProcessing_);
    if (corr->readCalibration() != 0) {
        KLOG_ERROR("Reading calibration file failed");
        return E_FAIL;
    }
    corr->setTableSlot(&correctionTable_);
    updateRadiationParameters(static_cast<std::uint32_t>(k), field->emissivity,
                              field->transmissivity);
    return S_OK;
}

HRESULT ImageProcessing::readCalibrationMemory() {
    BaseControlDevice* device = shared_.device;
    if (device == nullptr) {
        return E_POINTER;
    }
    extractor_ = std::make_shared<CaliImageExtractor>(static_cast<std::int32_t>(shared_.serial),
                                                      shared_.calibrationDirectory);
    device->QueryFlashMemory(kCalibrationMemoryAddress);
    return S_OK;
}

// ---- forwarders to the control device ------------------------------------------------------

#define KELVIX_FORWARD_GET(Name, Type)       \
    HRESULT ImageProcessing::Name(Type* v) { \
        if (v == nullptr) {                  \
            return E_POINTER;                \
        }                                    \
        if (shared_.device != nullptr) {     \
            shared_.device->Name(v);         \
        }                                    \
        return S_OK;                         \
    }

#define KELVIX_FORWARD_SET(Name, Type)      \
    HRESULT ImageProcessing::Name(Type v) { \
        if (shared_.device != nullptr) {    \
            shared_.device->Name(v);        \
        }                                   \
        return S_OK;                        \
    }

KELVIX_FORWARD_SET(FailSafe, bool)
KELVIX_FORWARD_GET(GetBiasEnable, bool)
KELVIX_FORWARD_SET(SetBiasEnable, bool)
KELVIX_FORWARD_GET(GetPowerEnable, bool)
KELVIX_FORWARD_SET(SetPowerEnable, bool)
KELVIX_FORWARD_GET(GetLaserEnable, bool)
KELVIX_FORWARD_SET(SetLaserEnable, bool)
KELVIX_FORWARD_GET(GetFid, std::uint16_t)
KELVIX_FORWARD_SET(SetFid, std::uint16_t)
KELVIX_FORWARD_GET(GetSkim, std::uint16_t)
KELVIX_FORWARD_SET(SetSkim, std::uint16_t)
KELVIX_FORWARD_GET(GetTec_A, std::uint16_t)
KELVIX_FORWARD_GET(GetTec_B, std::uint16_t)
KELVIX_FORWARD_GET(GetTec_C, std::uint16_t)
KELVIX_FORWARD_GET(GetTec_D, std::uint16_t)
KELVIX_FORWARD_SET(SetTec_A, std::uint16_t)
KELVIX_FORWARD_SET(SetTec_B, std::uint16_t)
KELVIX_FORWARD_SET(SetTec_C, std::uint16_t)
KELVIX_FORWARD_SET(SetTec_D, std::uint16_t)

#undef KELVIX_FORWARD_GET
#undef KELVIX_FORWARD_SET

HRESULT ImageProcessing::GetAntiFlicker(bool* on) {
    if (on == nullptr) {
        return E_POINTER;
    }
    if (!antiFlickerSupported(shared_.hardwareRevision, shared_.firmwareRevision)) {
        return E_NOTIMPL;
    }
    if (shared_.device != nullptr) {
        shared_.device->GetAntiFlicker(on);
    }
    return S_OK;
}

HRESULT ImageProcessing::SetAntiFlicker(bool on) {
    if (!antiFlickerSupported(shared_.hardwareRevision, shared_.firmwareRevision)) {
        return E_NOTIMPL;
    }
    if (shared_.device != nullptr) {
        shared_.device->SetAntiFlicker(on);
    }
    return S_OK;
}

HRESULT ImageProcessing::GetFocusmotorRange(std::uint16_t* first, std::uint16_t* second) {
    if (first == nullptr || second == nullptr || shared_.device == nullptr) {
        return E_POINTER;
    }
    shared_.device->GetFocusmotorRange(first, second);
    return S_OK;
}

HRESULT ImageProcessing::SetFocusmotorPos(std::uint16_t position) {
    if (shared_.device == nullptr) {
        return E_POINTER;
    }
    shared_.device->SetFocusmotorPos(position);
    return S_OK;
}

#define KELVIX_FORWARD_COUNT(Name)                        \
    HRESULT ImageProcessing::Name(std::uint16_t* count) { \
        if (count == nullptr) {                           \
            return E_POINTER;                             \
        }                                                 \
        *count = 0;                                       \
        if (shared_.device != nullptr) {                  \
            shared_.device->Name(count);                  \
        }                                                 \
        return S_OK;                                      \
    }

KELVIX_FORWARD_COUNT(GetPifAICount)
KELVIX_FORWARD_COUNT(GetPifAOCount)
KELVIX_FORWARD_COUNT(GetPifDICount)
KELVIX_FORWARD_COUNT(GetPifDOCount)
KELVIX_FORWARD_COUNT(GetPifExtraCount)

#undef KELVIX_FORWARD_COUNT

HRESULT ImageProcessing::GetPifType(std::int32_t* type) {
    if (type == nullptr || shared_.device == nullptr) {
        return E_POINTER;
    }
    *type = shared_.device->GetPifType();
    return S_OK;
}

HRESULT ImageProcessing::GetPifInfoFlag(std::uint8_t* flag) {
    if (flag == nullptr || shared_.device == nullptr) {
        return E_POINTER;
    }
    *flag = shared_.device->GetPifInfoFlag();
    return S_OK;
}

HRESULT ImageProcessing::SetPifOut(std::uint16_t value, std::uint8_t chan) {
    if (shared_.device != nullptr) {
        shared_.device->SetPifOut(value, chan);
    }
    return S_OK;
}

HRESULT ImageProcessing::SetPifDigitalOut(std::uint8_t value, std::uint8_t chan) {
    if (shared_.device != nullptr) {
        shared_.device->SetPifDigitalOut(value, chan);
    }
    return S_OK;
}

HRESULT ImageProcessing::SetFlag(std::int32_t state) {
    if (shared_.device != nullptr) {
        shared_.device->SetFlag(state != 0);
    }
    if (flag_ != nullptr) {
        flag_->setFlagState(state);
    }
    return S_OK;
}

// ---- calibration description ---------------------------------------------------------------

HRESULT ImageProcessing::getOpticsCount(std::int32_t* count) {
    if (count == nullptr) {
        return E_POINTER;
    }
    *count = description()->getOpticsCount();
    return S_OK;
}

HRESULT ImageProcessing::getOpticsFov(std::int32_t index, std::int32_t* fov) {
    if (fov == nullptr) {
        return E_POINTER;
    }
    CaliOpticsKey key;
    if (!description()->getOptics(index, &key)) {
        return E_FAIL;
    }
    *fov = key.FOV;
    return S_OK;
}

HRESULT ImageProcessing::getOpticsIndex(std::int32_t fov, std::int32_t* index) {
    if (index == nullptr) {
        return E_POINTER;
    }
    *index = description()->findOpticsIndex(fov, L"");
    return S_OK;
}

HRESULT ImageProcessing::getTempRangeCount(std::int32_t fov, std::int32_t* count) {
    if (count == nullptr) {
        return E_POINTER;
    }
    *count = description()->getTempRangeCount(CaliOpticsKey{fov, L""});
    return S_OK;
}

HRESULT ImageProcessing::getTempRangeIndex(std::int32_t fov, float tMin, float tMax,
                                           std::int32_t* index) {
    if (index == nullptr) {
        return E_POINTER;
    }
    *index = description()->findTempRange(fov, L"", tMin, tMax);
    return S_OK;
}

HRESULT ImageProcessing::getTempRangeHi(std::int32_t fov, std::int32_t index, float* tHi) {
    if (tHi == nullptr) {
        return E_POINTER;
    }
    CaliTempPair pair;
    if (!description()->getTempRange(CaliOpticsKey{fov, L""}, index, &pair)) {
        return E_FAIL;
    }
    *tHi = pair.hi;
    return S_OK;
}

HRESULT ImageProcessing::getTempRangeLo(std::int32_t fov, std::int32_t index, float* tLo) {
    if (tLo == nullptr) {
        return E_POINTER;
    }
    CaliTempPair pair;
    if (!description()->getTempRange(CaliOpticsKey{fov, L""}, index, &pair)) {
        return E_FAIL;
    }
    *tLo = pair.lo;
    return S_OK;
}

// ---- operators and frames ------------------------------------------------------------------

HRESULT ImageProcessing::getFlagCorrectionMode(std::int32_t* mode) {
    if (mode == nullptr) {
        return E_POINTER;
    }
    if (flag_ == nullptr) {
        return E_UNEXPECTED;
    }
    return flag_->getCorrectionMode(mode);
}

HRESULT ImageProcessing::getHeaderWord(std::uint16_t* word) {
    if (word == nullptr) {
        return E_POINTER;
    }
    *word = metadata_ != nullptr ? metadata_->lastHeaderWord : 0;
    return S_OK;
}

namespace {

HRESULT operatorSize(const OpBase* op, std::int32_t* width, std::int32_t* height) {
    if (width == nullptr || height == nullptr) {
        return E_POINTER;
    }
    if (op == nullptr) {
        *width = 0;
        *height = 0;
        return E_INVALIDARG;
    }
    *width = op->getWidth();
    *height = op->getHeight();
    return S_OK;
}

}  // namespace

HRESULT ImageProcessing::getSourceSize(std::int32_t* width, std::int32_t* height) {
    return operatorSize(source_, width, height);
}

HRESULT ImageProcessing::getVisibleSourceSize(std::int32_t* width, std::int32_t* height) {
    return operatorSize(visibleSource_, width, height);
}

HRESULT ImageProcessing::processWithMetadata(const FrameMetadataRecord* metadata) {
    if (metadata == nullptr) {
        return E_POINTER;
    }
    if (deviceFrame_ == nullptr) {
        return E_UNEXPECTED;
    }
    // The caller's record is as long as its own analog count says, whatever its size word.
    deviceFrame_->metadata = OpBase::resizeMetadata(deviceFrame_->metadata, metadata->analogCount);
    std::memcpy(deviceFrame_->metadata, metadata,
                FrameMetadataRecord::sizeFor(metadata->analogCount));
    return process();
}

HRESULT ImageProcessing::processFrame() {
    return process();
}

HRESULT ImageProcessing::setTempRange(std::int32_t fov, float tMin, float tMax) {
    return setTempRange(fov, nullptr, tMin, tMax, 0);
}

#endif  // KELVIX_DEBUG_BUILD
