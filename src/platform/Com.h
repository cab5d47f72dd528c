// The COM-style interfaces through which a capture backend hands each sample to the video
// device's callback (IUnknown, IMediaSample, ISampleGrabberCB), with their interface ids.
#pragma once

#include "platform/HResult.h"

namespace platform {

// COM-style object interfaces through which the capture service hands out samples and calls
// the sample-grabber callback. Objects are owned by whoever created them; AddRef and Release
// only answer counts.
class IUnknown {
  public:
    virtual HRESULT QueryInterface(const GUID& iid, void** object) = 0;
    virtual unsigned long AddRef() = 0;
    virtual unsigned long Release() = 0;

  protected:
    ~IUnknown() = default;
};

// One captured buffer; valid only during the callback that receives it.
class IMediaSample : public IUnknown {
  public:
    virtual HRESULT GetPointer(unsigned char** buffer) = 0;
    virtual long GetActualDataLength() = 0;

  protected:
    ~IMediaSample() = default;
};

// Callback of the sample grabber; the grabber asks the registered object for this interface.
class ISampleGrabberCB : public IUnknown {
  public:
    virtual HRESULT SampleCB(double sampleTime, IMediaSample* sample) = 0;
    virtual HRESULT BufferCB(double sampleTime, unsigned char* buffer, long length) = 0;

  protected:
    ~ISampleGrabberCB() = default;
};

constexpr GUID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID IID_ISampleGrabberCB = {
    0x0579154A, 0x2B53, 0x4994, {0xB0, 0xD0, 0xE7, 0x73, 0x14, 0x8E, 0xFF, 0x85}};

}  // namespace platform
