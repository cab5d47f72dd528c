// The sample callback (CallbackHandler::SampleCB): hands each sample of IRDeviceDS to its
// raw-frame callback and its client, on the capture thread.

#include "sdk/CallbackHandler.h"

#include "kelvix/IRDeviceDS.h"
#include "kelvix/KelvixClient.h"
#include "sdk/FrameThread.h"

namespace zol {

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
    if (IRRawFrameCallback cb = callback_.load()) {
        cb(buffer, length, userData_);
    }
    if (KelvixClient* client = client_.load()) {
        client->onRawFrame(buffer, length);
    }
    return 0;
}

}  // namespace zol
