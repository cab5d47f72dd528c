#pragma once

#include "imgproc/LutOperators.h"
#include "imgproc/OpBase.h"

struct MeasurementFieldRecord;

// Maps each energy through an optional normalisation table; copies its input while disabled.
class OpEnergyNormalize : public OpBase {
  public:
    OpEnergyNormalize(OpBase* predecessor, SharedParameterBlock* shared,
                      MeasurementFieldRecord* field = nullptr);

    HRESULT init(OpBase* predecessor) override;
    HRESULT compute() override;

    HRESULT loadLut(const std::int16_t* table, int count, std::int16_t offset);
    HRESULT resetToIdentity();

    bool isEnabled() const { return enabled_; }
    std::int16_t getOffset() const { return offset_; }
    const std::int16_t* getLut() const { return lut_; }

  private:
    std::int16_t lut_[lut::kSize];
    std::int16_t offset_ = 0;
    bool enabled_ = false;
    MeasurementFieldRecord* field_;
};
