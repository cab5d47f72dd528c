#pragma once

// This program replaces the C library's open, close, ioctl, mmap, munmap and poll, and exports
// them, so that the library's system backends (linked in) and the system HID library (loaded at
// run time) both reach them:
// - emulated V4L2 capture nodes, by path;
// - character devices (a pty) that the HID ioctl accepts as hidraw nodes;
// - paths whose open fails with a given errno.
// Everything else goes on to the C library.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace shim {

// One video format: a frame size and its frame rates.
struct Format {
    std::uint32_t pixelFormat;
    std::uint32_t width, height;
    std::vector<std::uint32_t> rates;  // frames per second
};

// A UVC camera's video node as the driver shows it, with faults a test can inject.
class V4l2Node {
  public:
    V4l2Node(std::vector<Format> formats, bool metadata = false)
        : formats_(std::move(formats)), metadata_(metadata) {}

    // While streaming, the camera delivers a frame every few milliseconds unless it stalls.
    void stall(bool on);
    void unplug();          // every call fails with ENODEV, poll reports an error
    void interrupt(int n);  // the next n ioctls and polls fail with EINTR
    int timeouts() const;   // polls that timed out: nothing came for the whole time-out
    int lastTimeoutMs() const;
    bool streaming() const;

    // The driver side, for the replaced functions.
    int ioctl(unsigned long request, void* arg);
    void* map(std::size_t length, off_t offset);
    short pollEvents(int& eintr);
    // True when the poll of `timeoutMs` times out now: the camera stalls.
    bool timesOut(int timeoutMs);

  private:
    struct Buffer {
        std::vector<unsigned char> memory;
        bool queued = false;
    };
    int control(unsigned long request, void* arg);
    const Format* find(std::uint32_t pixelFormat) const;

    mutable std::mutex mutex_;
    std::vector<Format> formats_;
    bool metadata_;
    Format current_{0, 0, 0, {}};
    std::uint32_t rate_ = 0;
    std::vector<Buffer> buffers_;
    bool streaming_ = false, unplugged_ = false, stalled_ = false;
    std::chrono::steady_clock::time_point nextFrame_;
    int eintr_ = 0, timeouts_ = 0, lastTimeout_ = 0;
    std::uint32_t counter_ = 0;
};

void addV4l2Node(const std::string& path, std::shared_ptr<V4l2Node> node);
// Character devices with this device number pass the hidraw check of the HID library.
void acceptAsHidraw(dev_t device);
void failOpen(const std::string& path, int error);
void reset();

}  // namespace shim
