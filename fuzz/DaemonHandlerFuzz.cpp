// Fuzz target: the daemon camera handler's receive path against a hostile client. The client
// sends the input as its command stream, ends its side and reads every reply until the handler
// drops it; frames of a few sizes reach the handler meanwhile, as from a camera.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "common/LoopbackPort.h"
#include "kelvix/DaemonCamHandler.h"
#include "kelvix/IRFrameMetadata.h"
#include "platform/Paths.h"
#include "support/Loopback.h"

namespace {

struct Handler {
    Handler() {
        platform::setEnvironment("KELVIX_LISTEN_ADDRESS", "127.0.0.1");
        port = kelvix_test::freeLoopbackPort();
        // Never destroyed: with its worker waiting for a client, that would end the process.
        handler = new zol::DaemonCamHandler(nullptr, port);
        handler->start();
    }
    zol::DaemonCamHandler* handler;
    int port = 0;
};

void frame(zol::DaemonCamHandler& handler, unsigned n) {
    const unsigned w = 4 + n % 5;
    const unsigned h = 3 + n % 3;
    std::vector<unsigned short> pixels(w * h);
    for (unsigned i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<unsigned short>(1000 + (i * 37 + n * 11) % 900);
    }
    handler.onThermalFrame(pixels.data(), w, h, zol::IRFrameMetadata{}, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Handler handler;
    frame(*handler.handler, 0);
    platform::SocketHandle c = kelvix_fuzz::connectLoopback(handler.port);
    if (c == platform::kInvalidSocket) {
        return 0;
    }
    std::atomic<bool> done{false};
    std::thread sender([&] {
        kelvix_fuzz::sendAll(c, data, size);
        platform::shutdownSending(c);
    });
    std::thread camera([&] {
        for (unsigned n = 1; !done; ++n) {
            frame(*handler.handler, n);
            std::this_thread::yield();
        }
    });
    kelvix_fuzz::drain(c);
    done = true;
    sender.join();
    camera.join();
    platform::closeSocket(c);
    return 0;
}
