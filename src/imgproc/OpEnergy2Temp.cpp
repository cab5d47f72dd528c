// The energy-to-temperature operator (OpEnergy2Temp), whose output the imager's thermal
// callback receives; on the capture thread or the post-processing worker.

#include "imgproc/OpEnergy2Temp.h"

#include <algorithm>

#include "imgproc/IRMeasurementField.h"
#include "imgproc/PixelKernels.h"

OpEnergy2Temp::OpEnergy2Temp(OpBase* predecessor, SharedParameterBlock* shared,
                             zol::IRMeasurementField* field)
    : OpBase(predecessor, 11, L"# Energy -> Temp", shared),
      expanded_(pixel::kTableEntries),
      field_(field) {
    std::fill(lut_, lut_ + lut::kSize, lut::kNoValue);
    lut::expand(lut_, offset_, expanded_.data());
}

HRESULT OpEnergy2Temp::init(OpBase* predecessor) {
    pixel::lookupForm();  // timed here, once, rather than in the first frame
    return allocateLikePredecessor(predecessor, 3);
}

HRESULT OpEnergy2Temp::loadLut(const std::int16_t* table, int count, std::int16_t offset) {
    if (table == nullptr) {
        return E_POINTER;
    }
    const int n = std::clamp(count, 0, lut::kSize);
    std::copy(table, table + n, lut_);
    offset_ = offset;
    lut::expand(lut_, offset_, expanded_.data());
    tableChanged_ = true;
    return S_OK;
}

HRESULT OpEnergy2Temp::resetToIdentity() {
    lut::fillIdentity(lut_);
    offset_ = lut::kIdentityOffset;
    lut::expand(lut_, offset_, expanded_.data());
    tableChanged_ = true;
    return S_OK;
}

bool OpEnergy2Temp::fieldInside(int count) const {
    if (field_ == nullptr || field_->x < 0 || field_->y < 0 || field_->w == 0 || field_->h == 0) {
        return false;
    }
    const std::int64_t right = std::int64_t(field_->x) + field_->w;
    const std::int64_t bottom = std::int64_t(field_->y) + field_->h;
    return right <= width_ && bottom * width_ <= count;
}

HRESULT OpEnergy2Temp::compute() {
    copyFixedMetadata();
    if (tableChanged_) {
        frame->metadata->settleMarker = 0;
    }
    if (frame->metadata->settleMarker == 0 || settleMarkerChanged) {
        const auto* in = reinterpret_cast<const std::int16_t*>(predecessor_->frame->pixels);
        auto* out = reinterpret_cast<std::int16_t*>(frame->pixels);
        const int count = std::min(pixelCount_, predecessor_->getPixelCount());
        if (fieldInside(count)) {
            // A measurement field's branch converts its rectangle only.
            for (std::uint32_t row = 0; row < field_->h; ++row) {
                const std::size_t at =
                    (std::size_t(field_->y) + row) * std::size_t(width_) + std::size_t(field_->x);
                pixel::lookup(in + at, expanded_.data(), out + at, field_->w);
            }
        } else {
            pixel::lookup(in, expanded_.data(), out, static_cast<std::size_t>(count));
        }
        tableChanged_ = false;
    }
    return S_OK;
}
