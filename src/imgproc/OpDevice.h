// The root operator (OpDevice): holds the device frame ImageProcessing copies each raw frame
// into, and initialises the chain when that frame is attached. Runs on the capture thread.

#pragma once

#include "imgproc/OpBase.h"

// Root of the graph: holds the frame the raw camera data is copied into.
class OpDevice : public OpBase {
  public:
    explicit OpDevice(SharedParameterBlock* shared);

    // Takes `frame` (not owned) as output and initialises the whole graph below.
    HRESULT attach(OpFrame* frame);
    HRESULT init(OpBase* predecessor) override { return E_FAIL; }
    HRESULT compute() override { return S_OK; }

    std::int64_t getFramePeriod() const { return framePeriod_; }

  private:
    std::int64_t framePeriod_ = 100000;
};
