#pragma once

#include "imgproc/LutOperators.h"
#include "imgproc/OpBase.h"

namespace zol {
struct IRMeasurementField;
}

// Maps each energy through the temperature table into the 16-bit temperature encoding.
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
    HRESULT getTable(std::int16_t* table, int count, std::int16_t* offset) const;
    static int getTableSize() { return lut::kSize; }
    HRESULT getSize(std::int16_t* width, std::int16_t* height) const;
#endif

  private:
    // The field's rectangle lies inside the first `count` pixels of the frame.
    bool fieldInside(int count) const;

    std::int16_t lut_[lut::kSize];
    std::int16_t offset_ = lut::kIdentityOffset;
    bool tableChanged_ = false;
    zol::IRMeasurementField* field_;
};
