// The sample callback (CallbackHandler::SampleCB): hands each sample of IRDeviceDS to its
// raw-frame callback and its client, on the capture thread; receivers are replaced between two
// frames.

#include "sdk/CallbackHandler.h"

#include <chrono>

#include "kelvix/KelvixClient.h"
#include "sdk/FrameThread.h"
#include "sdk/Log.h"

namespace zol {

namespace {

// A frame runs the whole chain and may wait for deferred HID commands (1 s each): ten seconds
// means the capture thread is stuck, most likely on a lock the replacing thread holds.
constexpr auto kFrameInProgressLimit = std::chrono::seconds(10);

}  // namespace

HRESULT CallbackHandler::QueryInterface(const GUID& iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (iid == platform::IID_ISampleGrabberCB) {
        *object = static_cast<ISampleGrabberCB*>(this);
        return S_OK;
    }
    if (iid == platform::IID_IUnknown) {
        *object = static_cast<platform::IUnknown*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT CallbackHandler::SampleCB(double, platform::IMediaSample* sample) {
    unsigned char* buffer = nullptr;
    if (sample == nullptr || FAILED(sample->GetPointer(&buffer))) {
        return 0;
    }
    const int length = static_cast<int>(sample->GetActualDataLength());
    const frame_thread::Scope scope(this);
    IRRawFrameCallback cb;
    IRDevice* device;
    KelvixClient* client;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cb = callback_;
        device = callbackDevice_;
        client = client_;
        ++framesStarted_;
    }
    if (cb != nullptr) {
        cb(buffer, length, device);
    }
    if (client != nullptr) {
        client->onRawFrame(buffer, length);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++framesDone_;
    }
    frameDone_.notify_all();
    return 0;
}

template <class Change>
void CallbackHandler::replaceBetweenFrames(Change change) {
    std::unique_lock<std::mutex> lock(mutex_);
    change();
    // On the capture thread itself, in a frame of this handler, there is nothing to wait for.
    if (framesDone_ == framesStarted_ || frame_thread::inFrameOf(this)) {
        return;
    }
    const std::uint64_t inProgress = framesStarted_;
    if (!frameDone_.wait_for(lock, kFrameInProgressLimit,
                             [&] { return framesDone_ >= inProgress; })) {
        KLOG_ERROR(
            "A frame still runs "
            << std::chrono::duration_cast<std::chrono::milliseconds>(kFrameInProgressLimit).count()
            << " ms after its receiver was replaced: the capture thread is stuck, the "
               "replaced receiver may still be in use");
    }
}

void CallbackHandler::setCallback(IRRawFrameCallback callback, IRDevice* device) {
    replaceBetweenFrames([&] {
        callback_ = callback;
        callbackDevice_ = device;
    });
}

void CallbackHandler::setClient(KelvixClient* client, IRDevice* device) {
    replaceBetweenFrames([&] {
        client_ = client;
        clientDevice_ = device;
    });
}

void CallbackHandler::forget(IRDevice* device) {
    replaceBetweenFrames([&] {
        if (callbackDevice_ == device) {
            callback_ = nullptr;
            callbackDevice_ = nullptr;
        }
        if (clientDevice_ == device) {
            client_ = nullptr;
            clientDevice_ = nullptr;
        }
    });
}

}  // namespace zol
