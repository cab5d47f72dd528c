// A graph root and a copying leaf around the operator under test.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "imgproc/OpBase.h"

namespace optest {

inline OpFrameFormat format(int width, int height, std::int64_t period = 333333) {
    OpFrameFormat f;
    f.width = width;
    f.height = height;
    f.pixelCount = width * height;
    f.byteSize = width * height * 2;
    f.avgTimePerFrame = period;
    f.bitCount = 16;
    return f;
}

// A graph root that owns a frame of the given shape; tests write its pixels and metadata.
class SourceOp : public OpBase {
  public:
    SourceOp(SharedParameterBlock* shared, int width, int height, int id = 0)
        : OpBase(nullptr, id, L"# Test source", shared), format_(format(width, height)) {}
    HRESULT start() {
        OpFrame* f = allocateOutputFrame(&format_, 1);
        ownsFrame_ = true;
        return setOutputFrame(&f);
    }
    HRESULT init(OpBase*) override { return E_FAIL; }
    HRESULT compute() override { return computeResult; }
    std::int16_t* pixels() { return reinterpret_cast<std::int16_t*>(frame->pixels); }

    HRESULT computeResult = S_OK;

  private:
    OpFrameFormat format_;
};

// A leaf that copies its input and remembers what it saw.
class SinkOp : public OpBase {
  public:
    SinkOp(OpBase* predecessor, SharedParameterBlock* shared, int id = 99)
        : OpBase(predecessor, id, L"# Test sink", shared) {}
    HRESULT init(OpBase* predecessor) override {
        ++inits;
        if (initResult < 0) {
            return initResult;
        }
        return allocateLikePredecessor(predecessor, 1);
    }
    HRESULT compute() override {
        frame->metadata = copyMetadata(predecessor_->frame->metadata, frame->metadata);
        copyPredecessorPixels();
        counters.push_back(+frame->metadata->frameCounter);
        if (onCompute) {
            onCompute();
        }
        return S_OK;
    }
    std::int16_t pixel(int i) const { return reinterpret_cast<std::int16_t*>(frame->pixels)[i]; }

    int inits = 0;
    HRESULT initResult = S_OK;
    std::vector<std::uint32_t> counters;
    std::function<void()> onCompute;
};

}  // namespace optest
