// The sample grabber's callback object of IRDeviceDS (CallbackHandler), called on the
// capture thread for every sample.

#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "kelvix/IRDevice.h"
#include "platform/Com.h"
#include "sdk/CallbackGuard.h"

namespace zol {

using ISampleGrabberCB = platform::ISampleGrabberCB;

// The sample grabber's callback object: hands each sample to the plain callback and to the
// client on the capture thread. One per camera, shared by every IRDeviceDS of that camera (its
// owners) and owned through them, never by reference count.
//
// A camera delivers to one callback and one client. Each owner sets its own; the one in force
// is the one set last by an owner that streams, so when that owner stops or goes, the one set
// before it by a remaining owner is back in force. A callback travels with the device that set
// it: both are set, read for a frame and forgotten as one pair, under one lock.
class CallbackHandler : public ISampleGrabberCB {
  public:
    CallbackHandler() = default;
    virtual ~CallbackHandler() = default;

    HRESULT QueryInterface(const GUID& iid, void** object) override;
    unsigned long AddRef() override { return 1; }
    unsigned long Release() override { return 2; }
    HRESULT SampleCB(double sampleTime, platform::IMediaSample* sample) override;
    HRESULT BufferCB(double, unsigned char*, long) override { return 0; }

    // Each returns once the frame in progress has left a receiver it took out of force (at
    // once on the capture thread itself). A null receiver withdraws the owner's own.
    void setCallback(IRRawFrameCallback callback, IRDevice* owner);
    void setClient(KelvixClient* client, IRDevice* owner);
    // Whether `owner` streams (an owner streams from its creation); returns whether any owner
    // of the camera still streams.
    bool setStreaming(IRDevice* owner, bool on);
    // Everything `owner` set goes.
    void forget(IRDevice* owner);
    // The camera named in log lines.
    void setSerial(unsigned serial);

  private:
    struct Owner {
        IRDevice* device = nullptr;
        IRRawFrameCallback callback = nullptr;
        std::uint64_t callbackOrder = 0;  // when it was set: the latest streaming one is in force
        KelvixClient* client = nullptr;
        std::uint64_t clientOrder = 0;
        bool streaming = true;
    };

    template <class Change>
    void replaceBetweenFrames(Change change);
    // Sets one of `owner`'s receivers; `inForce` is the owner of the receiver of that kind.
    template <class Assign>
    void setOwn(IRDevice* owner, const char* what, IRDevice* CallbackHandler::*inForce,
                Assign assign);
    Owner& ownerOf(IRDevice* device);
    // The receivers in force from the owners' settings; under the lock.
    void choose();

    std::mutex mutex_;
    std::condition_variable frameDone_;
    std::vector<Owner> owners_;
    std::uint64_t settings_ = 0;
    unsigned serial_ = 0;
    IRRawFrameCallback callback_ = nullptr;
    IRDevice* callbackDevice_ = nullptr;
    KelvixClient* client_ = nullptr;
    IRDevice* clientDevice_ = nullptr;
    std::uint64_t framesStarted_ = 0;
    std::uint64_t framesDone_ = 0;
    CallbackGuard guard_;
};

}  // namespace zol
