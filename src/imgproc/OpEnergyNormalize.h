// Energy normalisation (OpEnergyNormalize) onto the range's model before the temperature
// lookup. Runs on the capture thread or the post-processing worker.

#pragma once

#include <vector>

#include "imgproc/LutOperators.h"
#include "imgproc/OpBase.h"
#include "kelvix/export.h"

namespace zol {
struct IRMeasurementField;
}

// Maps each energy through an optional normalisation table; copies its input while disabled.
// Runs behind the post-processing stage: on its worker with multi-threading on, else on the
// capture thread. Its accessors are not guarded: use them from a callback or while no frames flow.
class OpEnergyNormalize : public OpBase {
  public:
    OpEnergyNormalize(OpBase* predecessor, SharedParameterBlock* shared,
                      zol::IRMeasurementField* field = nullptr);

    HRESULT init(OpBase* predecessor) override;
    HRESULT compute() override;

    HRESULT loadLut(const std::int16_t* table, int count, std::int16_t offset);
    HRESULT resetToIdentity();

    bool isEnabled() const { return enabled_; }
    std::int16_t getOffset() const { return offset_; }
    const std::int16_t* getLut() const { return lut_; }

#ifdef KELVIX_DEBUG_BUILD
    KELVIX_DEBUG_API HRESULT getTable(std::int16_t* table, int count) const;
    static int getTableSize() {
        return lut::kSize;
    }
#endif

  private:
    std::int16_t lut_[lut::kSize];
    std::int16_t offset_ = 0;
    // lut_ and offset_ for every 16-bit energy, from the first table loaded on.
    std::vector<std::int16_t> expanded_;
    bool enabled_ = false;
    zol::IRMeasurementField* field_;
};
