// The sample grabber's callback object of IRDeviceDS (CallbackHandler), called on the
// capture thread for every sample.

#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "kelvix/IRDevice.h"
#include "platform/Com.h"

namespace zol {

using ISampleGrabberCB = platform::ISampleGrabberCB;

// The sample grabber's callback object: hands each sample to the plain callback and to the
// client on the capture thread. One per camera, shared by every IRDeviceDS of that camera and
// owned through them, never by reference count.
class CallbackHandler : public ISampleGrabberCB {
  public:
    CallbackHandler() = default;
    virtual ~CallbackHandler() = default;

    HRESULT QueryInterface(const GUID& iid, void** object) override;
    unsigned long AddRef() override { return 1; }
    unsigned long Release() override { return 2; }
    HRESULT SampleCB(double sampleTime, platform::IMediaSample* sample) override;
    HRESULT BufferCB(double, unsigned char*, long) override { return 0; }

    // Each replaces a receiver and returns once the frame in progress has left the one it
    // replaced (at once on the capture thread itself). `device` is what the callback receives
    // as its device and what set the client; forget() clears both when `device` set them.
    void setCallback(IRRawFrameCallback callback, IRDevice* device);
    void setClient(KelvixClient* client, IRDevice* device);
    void forget(IRDevice* device);

  private:
    template <class Change>
    void replaceBetweenFrames(Change change);

    std::mutex mutex_;
    std::condition_variable frameDone_;
    IRRawFrameCallback callback_ = nullptr;
    IRDevice* callbackDevice_ = nullptr;
    KelvixClient* client_ = nullptr;
    IRDevice* clientDevice_ = nullptr;
    std::uint64_t framesStarted_ = 0;
    std::uint64_t framesDone_ = 0;
};

}  // namespace zol
