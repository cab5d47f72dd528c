#include "imgproc/OpEnergy2Temp.h"

#include <algorithm>

OpEnergy2Temp::OpEnergy2Temp(OpBase* predecessor, SharedParameterBlock* shared,
                             zol::IRMeasurementField* field)
    : OpBase(predecessor, 11, L"# Energy -> Temp", shared), field_(field) {
    std::fill(lut_, lut_ + lut::kSize, lut::kNoValue);
}

HRESULT OpEnergy2Temp::init(OpBase* predecessor) {
    return allocateLikePredecessor(predecessor, 3);
}

HRESULT OpEnergy2Temp::loadLut(const std::int16_t* table, int count, std::int16_t offset) {
    if (table == nullptr) {
        return E_POINTER;
    }
    const int n = std::clamp(count, 0, lut::kSize);
    std::copy(table, table + n, lut_);
    offset_ = offset;
    tableChanged_ = true;
    return S_OK;
}

HRESULT OpEnergy2Temp::resetToIdentity() {
    lut::fillIdentity(lut_);
    offset_ = lut::kIdentityOffset;
    tableChanged_ = true;
    return S_OK;
}

HRESULT OpEnergy2Temp::compute() {
    copyFixedMetadata();
    if (tableChanged_) {
        frame->metadata->settleMarker = 0;
    }
    if (frame->metadata->settleMarker == 0 || settleMarkerChanged) {
        const int count = std::min(pixelCount_, predecessor_->getPixelCount());
        lut::apply(reinterpret_cast<const std::int16_t*>(predecessor_->frame->pixels),
                   reinterpret_cast<std::int16_t*>(frame->pixels), count, lut_, offset_);
        tableChanged_ = false;
    }
    return S_OK;
}
