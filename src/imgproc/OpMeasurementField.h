// Debug build: the end of a measurement-field branch (OpMeasurementField), which fills the
// caller's record on the frame thread.

#pragma once

#ifdef KELVIX_DEBUG_BUILD

#include "imgproc/IRMeasurementField.h"
#include "imgproc/OpBase.h"

class OpMetadata;

// End of a measurement-field branch: on each frame taken with the flag open it copies the
// field's rectangle out of the temperature image, tells the caller and stores the rectangle's
// mean, minimum and maximum in degrees Celsius. The first frame after construction is skipped.
class OpMeasurementField : public OpBase {
  public:
    OpMeasurementField(OpBase* predecessor, int id, const wchar_t* name,
                       SharedParameterBlock* shared, zol::IRMeasurementField* field,
                       OpMetadata* metadata);

    // Measures the frame; never runs the base's run, triggers nothing and traces nothing.
    HRESULT trigger() override;
    // Adopts the predecessor's output frame.
    HRESULT init(OpBase* predecessor) override;
    HRESULT compute() override { return S_OK; }

    zol::IRMeasurementField* getField() const { return field_; }

  private:
    zol::IRMeasurementField* field_;  // not owned
    OpMetadata* metadata_;            // not owned
    bool skipNext_ = true;
};

#endif  // KELVIX_DEBUG_BUILD
