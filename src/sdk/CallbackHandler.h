// The sample grabber's callback object of IRDeviceDS (CallbackHandler), called on the
// capture thread for every sample.

#pragma once

#include <atomic>

#include "kelvix/IRDevice.h"
#include "platform/Com.h"

namespace zol {

using ISampleGrabberCB = platform::ISampleGrabberCB;

class IRDeviceDS;

// The sample grabber's callback object: hands each sample to the device's plain callback and
// to its client on the capture thread. Owned by its device, never by reference count.
class CallbackHandler : public ISampleGrabberCB {
  public:
    explicit CallbackHandler(IRDeviceDS* userData) : userData_(userData) {}
    virtual ~CallbackHandler() = default;

    HRESULT QueryInterface(const GUID& iid, void** object) override;
    unsigned long AddRef() override { return 1; }
    unsigned long Release() override { return 2; }
    HRESULT SampleCB(double sampleTime, platform::IMediaSample* sample) override;
    HRESULT BufferCB(double, unsigned char*, long) override { return 0; }

    void setCallback(IRRawFrameCallback callback) { callback_.store(callback); }
    void setClient(KelvixClient* client) { client_.store(client); }

  private:
    std::atomic<IRRawFrameCallback> callback_{nullptr};
    std::atomic<KelvixClient*> client_{nullptr};
    IRDeviceDS* userData_;
};

}  // namespace zol
