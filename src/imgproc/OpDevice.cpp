// The root operator (OpDevice), attached by ImageProcessing::initOperators and triggered
// for every frame on the capture thread.

#include "imgproc/OpDevice.h"

OpDevice::OpDevice(SharedParameterBlock* shared) : OpBase(nullptr, 0, L"# Device", shared) {}

HRESULT OpDevice::attach(OpFrame* newFrame) {
    state = Initialising;
    releaseFrame();
    ownsFrame_ = false;
    frame = newFrame;
    if (frame != nullptr && frame->format != nullptr) {
        framePeriod_ = frame->format->avgTimePerFrame;
        width_ = frame->format->width;
        height_ = frame->format->height;
        pixelCount_ = frame->format->pixelCount;
    }
    return initSuccessors();
}
