// Helpers of the bridge tests: loopback listeners, free ports, descriptor counts and a fake daemon.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelvix/DirectBridge.h"
#include "kelvix/Tcp.h"
#include "kelvix/ThermalCamConfig.h"

namespace bridge_test {

// Makes every listener of this process bind 127.0.0.1 only; call before starting servers.
void listenOnLoopback();
// A port on 127.0.0.1 that nothing holds right now.
int freeLoopbackPort();
// Counts the descriptors this process holds.
std::size_t openDescriptors();

// The text of the `Error` that `f` throws, or "no error".
template <class Error>
std::string thrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "no error";
}

void writeWords(zol::Tcp& tcp, const std::vector<std::uint32_t>& words);
std::vector<std::uint32_t> readWords(zol::Tcp& tcp, std::size_t count);

// The frame the fake daemon sends for a counter: every pixel differs and changes per frame.
std::vector<std::uint16_t> testFrame(unsigned width, unsigned height, unsigned counter);
// Its padded palette rendering (default palette and scaling); width becomes the row width.
std::vector<std::uint8_t> testPalette(const std::vector<std::uint16_t>& frame, unsigned width,
                                      unsigned height, unsigned& paddedWidth);

// A daemon stand-in on a DirectBridge: answers image requests with testFrame and testPalette
// (counters 1, 2, ...; command 2 sends both of one frame and skips the palette when the thermal
// reply failed), records every command and configuration record.
class FakeDaemon {
  public:
    // On a free port unless one is given.
    FakeDaemon(unsigned width, unsigned height, int port = 0);
    ~FakeDaemon();
    int port() const { return port_; }
    // Ends the worker: clients of the test must have gone first.
    void stop();

    std::vector<unsigned> commands();
    std::vector<zol::bridge::ThermalCamConfig> configs();
    std::vector<bool> sendResults();

  private:
    void run();
    bool sendThermal(unsigned counter);
    bool sendPalette(unsigned counter);

    unsigned width_, height_;
    int port_;
    zol::DirectBridge bridge_;
    std::mutex mutex_;
    std::vector<unsigned> commands_;
    std::vector<zol::bridge::ThermalCamConfig> configs_;
    std::vector<bool> sendResults_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> done_{false};
    std::thread worker_;
};

}  // namespace bridge_test
