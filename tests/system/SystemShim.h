// The shim under the system-backend tests: the C library's device calls replaced (see below).
#pragma once

// This program replaces the C library's device calls: open, close, mmap, munmap and poll at link
// time (for the library's system backends linked in), and ioctl by exporting its own (which the
// system HID library loaded at run time reaches as well). They emulate V4L2 capture nodes by
// path, let the HID ioctl accept character devices (a pty) as hidraw nodes, and fail the open
// of given paths with a given errno. Everything else goes on to the C library.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace shim {

// A frame size with its frame rates (frames per second).
struct Format {
    std::uint32_t pixelFormat, width, height;
    std::vector<std::uint32_t> rates;
};

// A UVC camera's video node as the driver shows it. While streaming it delivers a frame every
// few milliseconds unless it stalls.
struct V4l2Node {
    explicit V4l2Node(std::vector<Format> f) : formats(std::move(f)) {}
    int ioctl(unsigned long request, void* arg);
    void* map(std::size_t length, off_t offset);
    short pollEvents();

    const std::vector<Format> formats;
    std::atomic<bool> stalled{false}, unplugged{false};  // unplugged: ENODEV, poll errors
    std::atomic<int> interrupts{0};                      // the next n calls fail with EINTR
    std::atomic<int> timeouts{0}, lastTimeoutMs{0};      // polls that timed out on a stall
    std::atomic<bool> streaming{false};

  private:
    int control(unsigned long request, void* arg);
    std::mutex mutex_;
    const Format* current_ = nullptr;
    std::uint32_t rate_ = 0, counter_ = 0;
    std::vector<std::vector<unsigned char>> buffers_;
    std::vector<bool> queued_;
    std::chrono::steady_clock::time_point nextFrame_;
};

void addV4l2Node(const std::string& path, std::shared_ptr<V4l2Node> node);
// Character devices with this device number pass the hidraw check of the HID library.
void acceptAsHidraw(dev_t device);
void failOpen(const std::string& path, int error);
void reset();

}  // namespace shim
