// Radial distortion correction (OpREA, OpREA_RadDistCorr): a remapping table per output
// pixel, after the flag operator. Runs on the capture thread.

#pragma once

#include <cstdint>
#include <vector>

#include "imgproc/OpBase.h"
#include "kelvix/export.h"

// Remapping operator: one record per output pixel with its source pixel and weight. With a
// distortion coefficient of 0 the table is the identity and the frame is copied.
// Runs on the capture thread, before the post-processing stage. Its accessors are not guarded:
// use them from a callback or while no frames flow.
class OpREA : public OpBase {
  public:
    OpREA(OpBase* predecessor, int id, const wchar_t* name, SharedParameterBlock* shared);
    ~OpREA() override;

    HRESULT compute() override;

    double getCoefficient() const { return coefficient_; }
    int getCentreX() const { return centreX_; }
    int getCentreY() const { return centreY_; }

#ifdef KELVIX_DEBUG_BUILD
    KELVIX_DEBUG_API HRESULT getDistortionCoefficient(double* coefficient) const;
    // A changed value rebuilds the remapping table for the operator's size.
    KELVIX_DEBUG_API HRESULT setDistortionCoefficient(double coefficient);
    KELVIX_DEBUG_API HRESULT getModelOption(bool* on) const;
    KELVIX_DEBUG_API HRESULT setModelOption(bool on);
#endif

  protected:
    struct RemapEntry {
        std::int32_t source;
        float weight;
    };
    // Builds the table for a width x height frame.
    void buildTable(int width, int height);

    double coefficient_ = 0.0;
    int centreX_ = 0;
    int centreY_ = 0;
    bool copyMode_ = true;
    std::vector<RemapEntry> table_;
    bool modelOption_ = false;  // set only by the debug build
};

class OpREA_RadDistCorr : public OpREA {
  public:
    OpREA_RadDistCorr(OpBase* predecessor, SharedParameterBlock* shared);
    HRESULT init(OpBase* predecessor) override;
};
