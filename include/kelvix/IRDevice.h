// The video-channel interface that applications and the bridge hold (IRDeviceDS is the one
// implementation): stream control and the receivers of raw frames.
#pragma once

#include "kelvix/export.h"

namespace zol {

class KelvixClient;
class IRDevice;

// Result of IRDevice::getFrame.
typedef int IRDeviceError;
constexpr IRDeviceError IRDEVICE_NOT_IMPLEMENTED = -7;

// Plain receiver of raw frames: (data, size in bytes, delivering device).
typedef void (*IRRawFrameCallback)(unsigned char* data, int size, IRDevice* device);

// A camera's video channel: serial number, image size and frame rate of the selected format;
// starts and stops the stream and hands every raw frame to its receivers on the capture thread.
// Create, stream and destroy it from one thread; the getters are plain values.
class KELVIX_API IRDevice {
  public:
    IRDevice() = default;
    IRDevice(const IRDevice&) = default;
    IRDevice& operator=(const IRDevice&) = default;
    virtual ~IRDevice();

    // True once a camera was found.
    virtual bool isOpen() = 0;
    // Polling a frame; IRDeviceDS does not deliver frames this way (IRDEVICE_NOT_IMPLEMENTED).
    virtual IRDeviceError getFrame(unsigned char* buffer, double* timestamp) = 0;
    // 0 on success, -1 at the first failure.
    virtual int startStreaming() = 0;
    virtual int stopStreaming() = 0;
    // Receivers of the raw frames; here plain stores, so set them before the stream starts.
    virtual void setRawFrameCallback(IRRawFrameCallback callback);
    virtual void setClient(KelvixClient* client);
    // Blocks until another thread calls exit().
    virtual void run() = 0;
    // Ends a run() that waits; from any thread.
    virtual void exit() = 0;

    bool controlledViaHID() const { return controlledViaHID_; }
    unsigned long getSerial() const { return serial_; }
    unsigned int getWidth() const { return width_; }
    unsigned int getHeight() const { return height_; }
    unsigned int getFrequency() const { return frequency_; }
    unsigned int getRawBufferSize() const { return rawBufferSize_; }
    unsigned short getHwRev() const { return hwRev_; }
    unsigned short getFwRev() const { return fwRev_; }

  protected:
    bool controlledViaHID_ = false;
    unsigned int serial_ = 0;  // 0 = no camera
    unsigned int width_ = 0;
    unsigned int height_ = 0;
    unsigned short hwRev_ = 0;
    unsigned short fwRev_ = 0;
    unsigned int rawBufferSize_ = 0;
    unsigned int frequency_ = 0;      // frames per second of the selected format
    KelvixClient* client_ = nullptr;  // not owned
    IRRawFrameCallback rawFrameCallback_ = nullptr;
};

}  // namespace zol
