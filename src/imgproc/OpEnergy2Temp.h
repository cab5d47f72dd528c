#pragma once

#include "imgproc/LutOperators.h"
#include "imgproc/OpBase.h"

struct MeasurementFieldRecord;

// Maps each energy through the temperature table into the 16-bit temperature encoding.
class OpEnergy2Temp : public OpBase {
  public:
    OpEnergy2Temp(OpBase* predecessor, SharedParameterBlock* shared,
                  MeasurementFieldRecord* field = nullptr);

    HRESULT init(OpBase* predecessor) override;
    HRESULT compute() override;

    HRESULT loadLut(const std::int16_t* table, int count, std::int16_t offset);
    HRESULT resetToIdentity();

    std::int16_t getOffset() const { return offset_; }
    bool isTableChanged() const { return tableChanged_; }
    const std::int16_t* getLut() const { return lut_; }

  private:
    std::int16_t lut_[lut::kSize];
    std::int16_t offset_ = lut::kIdentityOffset;
    bool tableChanged_ = false;
    MeasurementFieldRecord* field_;
};
