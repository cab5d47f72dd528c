// The sample callback (CallbackHandler::SampleCB): hands each sample of IRDeviceDS to its
// raw-frame callback and its client, on the capture thread; receivers are replaced between two
// frames.

#include "sdk/CallbackHandler.h"

#include <algorithm>
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
        guard_("raw frame callback", [&] { cb(buffer, length, device); });
    }
    if (client != nullptr) {
        guard_("client (onRawFrame)", [&] { client->onRawFrame(buffer, length); });
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
    choose();
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

CallbackHandler::Owner& CallbackHandler::ownerOf(IRDevice* device) {
    for (Owner& o : owners_) {
        if (o.device == device) {
            return o;
        }
    }
    owners_.emplace_back();
    owners_.back().device = device;
    return owners_.back();
}

void CallbackHandler::choose() {
    const Owner* withCallback = nullptr;
    const Owner* withClient = nullptr;
    for (const Owner& o : owners_) {
        if (!o.streaming) {
            continue;
        }
        if (o.callback != nullptr &&
            (withCallback == nullptr || o.callbackOrder > withCallback->callbackOrder)) {
            withCallback = &o;
        }
        if (o.client != nullptr &&
            (withClient == nullptr || o.clientOrder > withClient->clientOrder)) {
            withClient = &o;
        }
    }
    callback_ = withCallback != nullptr ? withCallback->callback : nullptr;
    callbackDevice_ = withCallback != nullptr ? withCallback->device : nullptr;
    client_ = withClient != nullptr ? withClient->client : nullptr;
    clientDevice_ = withClient != nullptr ? withClient->device : nullptr;
}

// One camera, one receiver of each kind: a further owner that takes it from another is told.
template <class Assign>
void CallbackHandler::setOwn(IRDevice* owner, const char* what, IRDevice* CallbackHandler::*inForce,
                             Assign assign) {
    replaceBetweenFrames([&] {
        const IRDevice* before = this->*inForce;
        assign(ownerOf(owner), ++settings_);
        choose();
        if (before != nullptr && before != owner && this->*inForce == owner) {
            KLOG_WARNING("A further owner of camera "
                         << serial_ << " replaces the " << what
                         << " another owner set: that one gets no frames until this owner "
                            "stops streaming or is deleted");
        }
    });
}

void CallbackHandler::setCallback(IRRawFrameCallback callback, IRDevice* owner) {
    setOwn(owner, "raw frame callback", &CallbackHandler::callbackDevice_,
           [&](Owner& o, std::uint64_t order) {
               o.callback = callback;
               o.callbackOrder = order;
           });
}

void CallbackHandler::setClient(KelvixClient* client, IRDevice* owner) {
    setOwn(owner, "client", &CallbackHandler::clientDevice_, [&](Owner& o, std::uint64_t order) {
        o.client = client;
        o.clientOrder = order;
    });
}

bool CallbackHandler::setStreaming(IRDevice* owner, bool on) {
    bool any = false;
    replaceBetweenFrames([&] {
        ownerOf(owner).streaming = on;
        for (const Owner& o : owners_) {
            any = any || o.streaming;
        }
    });
    return any;
}

void CallbackHandler::forget(IRDevice* owner) {
    replaceBetweenFrames([&] {
        owners_.erase(std::remove_if(owners_.begin(), owners_.end(),
                                     [&](const Owner& o) { return o.device == owner; }),
                      owners_.end());
    });
}

void CallbackHandler::setSerial(unsigned serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    serial_ = serial;
    guard_.setSerial(serial);
}

}  // namespace zol
