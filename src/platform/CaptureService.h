// Video capture in the shape the video device (IRDeviceDS) drives it: the device list, one graph
// per device (source, sample grabber, null renderer), stream formats, and samples delivered on
// the backend's capture thread. Backends: V4L2 (V4l2Capture) and the simulated camera (sim/).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Com.h"
#include "platform/ScopedInstall.h"

namespace platform {

// One video-input device as the platform lists it.
struct CaptureDevice {
    bool propertyBag = true;    // false: its properties cannot be read
    std::wstring description;   // "Description"; empty when absent
    std::wstring friendlyName;  // "FriendlyName"; empty when absent
    std::wstring displayName;   // the device path; empty when absent
};

// A video format as the stream configuration lists it and the sample grabber connects with.
struct MediaType {
    bool videoInfo = false;  // carries a video-info block (size and frame duration)
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int64_t frameDuration = 0;  // 100-ns units
    std::uint32_t pixelFormat = 0;   // the backend's four-character code
};

// One stream capability record.
struct StreamCaps {
    std::uint32_t pixelFormat;
    std::int32_t minWidth, minHeight;
    std::int32_t maxWidth, maxHeight;
    std::uint32_t reserved0;
    std::int64_t minFrameInterval;  // 100-ns units
    std::int64_t maxFrameInterval;
    std::uint8_t reserved[88];
};
static_assert(sizeof(StreamCaps) == 128, "capability records are 128 bytes");
static_assert(offsetof(StreamCaps, minFrameInterval) == 24, "capability record layout");

enum class CaptureFilter { Source, Grabber, Renderer };

// The graph of one capture device: source, sample grabber and null renderer. Destroying a
// graph stops its capture; no sample callback runs after the destructor returns.
class CaptureGraph {
  public:
    virtual ~CaptureGraph() = default;

    // Binds the device as the source filter and adds it under `name`.
    virtual HRESULT addSource(const CaptureDevice& device, const std::wstring& name) = 0;
    virtual HRESULT addSampleGrabber(const std::wstring& name) = 0;
    // Registers the sample-grabber callback (asked for ISampleGrabberCB); its SampleCB then
    // runs on the capture thread for every sample.
    virtual HRESULT setSampleCallback(IUnknown* callback) = 0;
    virtual HRESULT addNullRenderer(const std::wstring& name) = 0;
    // Connects source -> sample grabber -> null renderer for the video preview stream.
    virtual HRESULT renderPreview() = 0;

    // E_NOINTERFACE when the source has no stream configuration.
    virtual HRESULT streamCapabilityCount(int& count, int& recordSize) = 0;
    virtual HRESULT streamCapability(int index, MediaType& type, StreamCaps& caps) = 0;
    virtual HRESULT setStreamFormat(const MediaType& type) = 0;
    // The format the sample grabber is connected with.
    virtual HRESULT connectedMediaType(MediaType& type) = 0;

    // Samples flow while all three filters run.
    virtual HRESULT runFilter(CaptureFilter filter, std::int64_t startTime) = 0;
    virtual HRESULT stopFilter(CaptureFilter filter) = 0;
    // The whole graph at once.
    virtual HRESULT run() = 0;
    virtual HRESULT stop() = 0;
};

class CaptureService {
  public:
    virtual ~CaptureService() = default;
    // The video-input devices in platform order; a failure code when they cannot be listed.
    virtual HRESULT videoInputDevices(std::vector<CaptureDevice>& devices) = 0;
    // A fresh graph with nothing in it.
    virtual HRESULT createGraph(std::unique_ptr<CaptureGraph>& graph) = 0;
};

// The service in use: the installed one, else the system's (V4L2).
CaptureService& captureService();
// Installs a service (not owned) in place of the system's; restore goes back to the system's.
void installCaptureService(CaptureService* service);
void restoreCaptureService();
// Installs a service for the lifetime of the guard.
using ScopedCaptureService =
    ScopedInstall<CaptureService, installCaptureService, restoreCaptureService>;

// The sample-grabber part every backend shares: keeps the registered callback and hands each
// buffer to it as a media sample.
class SampleGrabber {
  public:
    HRESULT setCallback(IUnknown* callback);
    // Called on the capture thread; the buffer is valid only during the call.
    void deliver(double sampleTime, unsigned char* data, long length);

  private:
    std::atomic<ISampleGrabberCB*> callback_{nullptr};
};

}  // namespace platform
