// The energy-normalisation operator (OpEnergyNormalize), loaded by ImageProcessing between
// frames and run on the capture thread or the post-processing worker.

#include "imgproc/OpEnergyNormalize.h"

#include <algorithm>

#include "imgproc/PixelKernels.h"

OpEnergyNormalize::OpEnergyNormalize(OpBase* predecessor, SharedParameterBlock* shared,
                                     zol::IRMeasurementField* field)
    : OpBase(predecessor, 10, L"# Energy normalize", shared), field_(field) {
    std::fill(lut_, lut_ + lut::kSize, lut::kNoValue);
}

HRESULT OpEnergyNormalize::init(OpBase* predecessor) {
    enabled_ = false;
    pixel::lookupForm();  // timed here, once, rather than in the first frame
    const HRESULT hr = allocateLikePredecessor(predecessor, 3);
    releaseOwnPixels();  // until a table is loaded, frames pass unchanged
    return hr;
}

HRESULT OpEnergyNormalize::loadLut(const std::int16_t* table, int count, std::int16_t offset) {
    if (table == nullptr) {
        return E_POINTER;
    }
    // An empty table has no last entry to repeat: keep the one in force.
    if (count <= 0) {
        return E_INVALIDARG;
    }
    const int n = std::min(count, lut::kSize);
    std::copy(table, table + n, lut_);
    std::fill(lut_ + n, lut_ + lut::kSize, lut_[n - 1]);
    offset_ = offset;
    expanded_.resize(pixel::kTableEntries);  // taken only while a table is in force
    lut::expand(lut_, offset_, expanded_.data());
    if (frame != nullptr) {
        keepOwnPixels();
    }
    enabled_ = true;
    return S_OK;
}

HRESULT OpEnergyNormalize::resetToIdentity() {
    enabled_ = false;
    lut::fillIdentity(lut_);
    return S_OK;
}

HRESULT OpEnergyNormalize::compute() {
    frame->metadata = copyMetadata(predecessor_->frame->metadata, frame->metadata);
    if (!enabled_) {
        passPixels();
        return S_OK;
    }
    useOwnPixels();
    const int count = std::min(pixelCount_, predecessor_->getPixelCount());
    pixel::lookup(reinterpret_cast<const std::int16_t*>(predecessor_->frame->pixels),
                  expanded_.data(), reinterpret_cast<std::int16_t*>(frame->pixels),
                  static_cast<std::size_t>(std::max(count, 0)));
    return S_OK;
}
