// The last operator (OpEnergy2Temp): energies to the 16-bit temperature encoding through
// the range's table. Runs on the capture thread or the post-processing worker.

#pragma once

#include <vector>

#include "imgproc/LutOperators.h"
#include "imgproc/OpBase.h"
#include "kelvix/export.h"

namespace zol {
struct IRMeasurementField;
}

// Maps each energy through the temperature table into the 16-bit temperature encoding.
// Runs behind the post-processing stage: on its worker with multi-threading on, else on the
// capture thread. Its accessors are not guarded: use them from a callback or while no frames flow.
class OpEnergy2Temp : public OpBase {
  public:
    OpEnergy2Temp(OpBase* predecessor, SharedParameterBlock* shared,
                  zol::IRMeasurementField* field = nullptr);

    HRESULT init(OpBase* predecessor) override;
    HRESULT compute() override;

    HRESULT loadLut(const std::int16_t* table, int count, std::int16_t offset);
    HRESULT resetToIdentity();

    std::int16_t getOffset() const { return offset_; }
    bool isTableChanged() const { return tableChanged_; }
    const std::int16_t* getLut() const { return lut_; }

#ifdef KELVIX_DEBUG_BUILD
    // Copies min(count, table size) entries and the offset.
    KELVIX_DEBUG_API HRESULT getTable(std::int16_t* table, int count, std::int16_t* offset) const;
    static int getTableSize() {
        return lut::kSize;
    }
    KELVIX_DEBUG_API HRESULT getSize(std::int16_t* width, std::int16_t* height) const;
    // E_FAIL unless `count` is the pixel count.
    KELVIX_DEBUG_API HRESULT getReferenceImage(std::int16_t* image, int count) const;
    // E_FAIL unless the size is the operator's; keeps a copy, difference mode on, capture off.
    KELVIX_DEBUG_API HRESULT setReferenceImage(const std::int16_t* image, int width, int height);
    // Drops the reference image; capture and difference mode take the value.
    KELVIX_DEBUG_API HRESULT setDifferenceMode(bool on);
    KELVIX_DEBUG_API HRESULT getDifferenceMode(bool* on) const;
    bool isCapturingReference() const {
        return captureReference_;
    }
#endif

  private:
    // The field's rectangle lies inside the first `count` pixels of the frame.
    bool fieldInside(int count) const;

    std::int16_t lut_[lut::kSize];
    std::int16_t offset_ = lut::kIdentityOffset;
    std::vector<std::int16_t> expanded_;  // lut_ and offset_ for every 16-bit energy
    bool tableChanged_ = false;
    zol::IRMeasurementField* field_;
    // Kept for the debug build's difference mode; the conversion does not read them.
    std::vector<std::int16_t> referenceImage_;
    bool differenceMode_ = false;
    bool captureReference_ = false;
};
