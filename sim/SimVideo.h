// The simulated video channel: a capture service whose graphs deliver frames on a capture thread
// each, the plain frame (8 header words) of cameras without physics, and the guard that installs
// the service and the USB registry.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimCamera.h"
#include "SimUsbRegistry.h"
#include "platform/CaptureService.h"

namespace sim {

// Raw frame of the simulated camera: width x height little-endian 16-bit words; the first
// kSimHeaderWords are the header, the rest are pixels.
constexpr int kSimHeaderWords = 8;
enum SimHeaderWord {
    kSimWordFlagState = 0,
    kSimWordTempChip = 1,  // temperatures in 0.01 K
    kSimWordTempFlag = 2,
    kSimWordTempBox = 3,
    kSimWordCounterLow = 4,
    kSimWordCounterHigh = 5,
    kSimWordWidth = 6,
    kSimWordHeight = 7,
};

struct SimFrameHeader {
    int flagState = 0;
    float tempChip = 0, tempFlag = 0, tempBox = 0;
    std::uint32_t frameCounter = 0;
    int width = 0, height = 0;
};

// Fills `frame` (width x height x 2 bytes) from the camera's state for frame `counter`.
void composeSimFrame(const SimFrameHeader& header, unsigned char* frame, std::size_t size);
// Reads the header of a frame; false when it is too short to hold one.
bool readSimFrameHeader(const unsigned char* frame, std::size_t size, SimFrameHeader& header);
// The pixel value at word `index` (after the header) of frame `counter`.
inline std::uint16_t simPixel(std::size_t index, std::uint32_t counter) {
    return static_cast<std::uint16_t>(0x2000 + ((index + counter) & 0xFF));
}

// The camera's registry prefix and device path (its own, else the defaults).
std::wstring simParentIdPrefix(const SimCamera& camera);
std::wstring simDevicePath(const SimCamera& camera);

// Calls of the simulated capture service that a test can make fail.
enum class SimCaptureCall {
    ListDevices,
    CreateGraph,
    SampleGrabber,
    SampleCallback,
    NullRenderer,
    Render,
    StreamConfig,
    RunFilter,
    StopFilter,
    RunGraph,
};

// Capture service of the simulated cameras: attached cameras appear as video-input devices
// (in attach order, after any plain devices added before them) and deliver raw frames on a
// capture thread per graph while all three filters run. Records what the graphs do.
class SimCaptureService : public platform::CaptureService {
  public:
    SimCaptureService();
    ~SimCaptureService() override;

    void attach(std::shared_ptr<SimCamera> camera);
    // A device that is no simulated camera (no frames, no registry entry).
    void addDevice(const platform::CaptureDevice& device);
    void clear();

    // Makes every later call of this kind fail with `result` (S_OK clears it).
    void fail(SimCaptureCall call, HRESULT result);

    // "add source <name>", "add grabber <name>", "add renderer <name>", "format <index>",
    // "run <filter>", "stop <filter>", "run graph", "stop graph", in order.
    std::vector<std::string> events() const;
    void clearEvents();

    HRESULT videoInputDevices(std::vector<platform::CaptureDevice>& devices) override;
    HRESULT createGraph(std::unique_ptr<platform::CaptureGraph>& graph) override;

    // Used by the graphs.
    HRESULT failure(SimCaptureCall call) const;
    void record(const std::string& event);
    std::shared_ptr<SimCamera> cameraAt(const std::wstring& devicePath) const;

  private:
    struct Entry {
        platform::CaptureDevice device;
        std::shared_ptr<SimCamera> camera;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::map<SimCaptureCall, HRESULT> failures_;
    std::vector<std::string> events_;
};

// Installs a simulated capture service and USB registry for its lifetime and attaches
// cameras to both.
class ScopedSimVideo {
  public:
    ScopedSimVideo();
    ~ScopedSimVideo();
    ScopedSimVideo(const ScopedSimVideo&) = delete;
    ScopedSimVideo& operator=(const ScopedSimVideo&) = delete;

    std::shared_ptr<SimCamera> attach(std::shared_ptr<SimCamera> camera);

    SimCaptureService capture;
    SimUsbRegistry registry;

  private:
    // After the two they install, so that they restore the system's before those go.
    platform::ScopedCaptureService scopedCapture_;
    platform::ScopedUsbRegistry scopedRegistry_;
};

}  // namespace sim
