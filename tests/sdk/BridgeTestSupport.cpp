// The fake daemon of the bridge tests and its stop procedure.
#include "BridgeTestSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "common/LoopbackPort.h"
#include "kelvix/ImageBuilder.h"
#include "platform/Paths.h"
#include "platform/Socket.h"
#include "sdk/daemon/server/BridgeWire.h"

namespace bridge_test {

void listenOnLoopback() {
    platform::setEnvironment("KELVIX_LISTEN_ADDRESS", "127.0.0.1");
}

int freeLoopbackPort() {
    return kelvix_test::freeLoopbackPort();
}

std::size_t openDescriptors() {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

void writeWords(zol::Tcp& tcp, const std::vector<std::uint32_t>& words) {
    std::vector<std::uint8_t> bytes(words.size() * 4);
    for (std::size_t i = 0; i < words.size(); ++i) {
        zol::bridge::putU32(&bytes[4 * i], words[i]);
    }
    tcp.write(bytes.data(), bytes.size());
}

std::vector<std::uint32_t> readWords(zol::Tcp& tcp, std::size_t count) {
    std::vector<std::uint8_t> bytes(count * 4);
    tcp.read(bytes.data(), bytes.size());
    std::vector<std::uint32_t> words(count);
    for (std::size_t i = 0; i < count; ++i) {
        words[i] = zol::bridge::getU32(&bytes[4 * i]);
    }
    return words;
}

std::vector<std::uint16_t> testFrame(unsigned width, unsigned height, unsigned counter) {
    std::vector<std::uint16_t> frame(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint16_t>(1000 + (i * 7 + counter * 13) % 1200);
    }
    return frame;
}

std::vector<std::uint8_t> testPalette(const std::vector<std::uint16_t>& frame, unsigned width,
                                      unsigned height, unsigned& paddedWidth) {
    zol::ImageBuilder builder;
    std::vector<std::uint16_t> copy = frame;
    builder.setData(width, height, copy.data());
    paddedWidth = builder.getStride();
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(paddedWidth) * height * 3);
    builder.convertTemperatureToPaletteImage(rgb.data());
    return rgb;
}

FakeDaemon::FakeDaemon(unsigned width, unsigned height, int port)
    : width_(width), height_(height), port_(port ? port : freeLoopbackPort()), bridge_(port_) {
    worker_ = std::thread([this] { run(); });
}

FakeDaemon::~FakeDaemon() {
    stop();
}

void FakeDaemon::run() {
    if (bridge_.connect()) {
        unsigned counter = 0;
        while (!stopping_) {
            const unsigned command = bridge_.waitForCommand();
            if (stopping_) {
                break;
            }
            std::unique_lock<std::mutex> lock(mutex_);
            commands_.push_back(command);
            lock.unlock();
            if (command == zol::bridge::kThermalImage) {
                sendThermal(++counter);
            } else if (command == zol::bridge::kPaletteImage) {
                sendPalette(++counter);
            } else if (command == zol::bridge::kThermalPaletteImage) {
                ++counter;
                if (sendThermal(counter)) {
                    sendPalette(counter);
                }
            } else if (command == zol::bridge::kConfiguration) {
                const auto config = bridge_.receiveConfig();
                if (config.first) {
                    lock.lock();
                    configs_.push_back(config.second);
                }
            }
        }
    }
    // Knocks that queue up from now on are refused instead of waiting for an accept.
    bridge_.close();
    done_ = true;
}

bool FakeDaemon::sendThermal(unsigned counter) {
    std::vector<std::uint16_t> frame = testFrame(width_, height_, counter);
    const bool ok = bridge_.sendThermalImage(frame.data(), width_, height_, counter);
    std::lock_guard<std::mutex> lock(mutex_);
    sendResults_.push_back(ok);
    return ok;
}

bool FakeDaemon::sendPalette(unsigned counter) {
    unsigned padded = 0;
    std::vector<std::uint8_t> rgb =
        testPalette(testFrame(width_, height_, counter), width_, height_, padded);
    const bool ok = bridge_.sendPaletteImage(rgb.data(), padded, height_, counter);
    std::lock_guard<std::mutex> lock(mutex_);
    sendResults_.push_back(ok);
    return ok;
}

// The worker can only be woken by a client (closing the bridge would end the process): knock
// until it has seen the stop request. The knocks are spaced: the listener queues only two, and a
// third one would wait in connect while the worker is still busy.
void FakeDaemon::stop() {
    if (!worker_.joinable()) {
        return;
    }
    stopping_ = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done_ && std::chrono::steady_clock::now() < deadline) {
        zol::Tcp knock("127.0.0.1", port_, 0.1);
        try {
            knock.connect();
            writeWords(knock, {99});
        } catch (const zol::ConnectionError&) {
        }
        for (int i = 0; i < 20 && !done_; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (!done_) {
        std::fprintf(stderr, "fake daemon on port %d does not stop\n", port_);
        std::abort();
    }
    worker_.join();
}

std::vector<unsigned> FakeDaemon::commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<zol::bridge::ThermalCamConfig> FakeDaemon::configs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return configs_;
}

std::vector<bool> FakeDaemon::sendResults() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sendResults_;
}

}  // namespace bridge_test
