// Which capture service is in force, and the sample grabber that wraps each buffer as a media
// sample for the registered callback, on the capture thread.
#include "platform/CaptureService.h"

#include "platform/V4l2Capture.h"

namespace platform {

namespace {

std::atomic<CaptureService*> installed{nullptr};

// A sample over a borrowed buffer; lives on the capture thread's stack for one callback.
class BufferSample final : public IMediaSample {
  public:
    BufferSample(unsigned char* data, long length) : data_(data), length_(length) {}
    HRESULT QueryInterface(const GUID&, void** object) override {
        if (object != nullptr) {
            *object = nullptr;
        }
        return E_NOINTERFACE;
    }
    unsigned long AddRef() override { return 1; }
    unsigned long Release() override { return 1; }
    HRESULT GetPointer(unsigned char** buffer) override {
        if (buffer == nullptr) {
            return E_POINTER;
        }
        *buffer = data_;
        return S_OK;
    }
    long GetActualDataLength() override { return length_; }

  private:
    unsigned char* data_;
    long length_;
};

}  // namespace

CaptureService& captureService() {
    if (CaptureService* s = installed.load()) {
        return *s;
    }
    static V4l2CaptureService system;
    return system;
}

void installCaptureService(CaptureService* service) {
    installed.store(service);
}

void restoreCaptureService() {
    installed.store(nullptr);
}

HRESULT SampleGrabber::setCallback(IUnknown* callback) {
    if (callback == nullptr) {
        callback_.store(nullptr);
        return S_OK;
    }
    void* object = nullptr;
    HRESULT hr = callback->QueryInterface(IID_ISampleGrabberCB, &object);
    if (FAILED(hr) || object == nullptr) {
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    callback_.store(static_cast<ISampleGrabberCB*>(object));
    return S_OK;
}

void SampleGrabber::deliver(double sampleTime, unsigned char* data, long length) {
    ISampleGrabberCB* cb = callback_.load();
    if (cb == nullptr) {
        return;
    }
    BufferSample sample(data, length);
    cb->SampleCB(sampleTime, &sample);
}

}  // namespace platform
