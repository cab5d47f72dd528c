// Fuzz target: the TCP bridge client's receive path against a hostile server. The server sends
// the input as its whole reply stream and ends its side; every later connection (the client's
// repairs) it ends at once. The client asks for every kind of image and sends settings.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <thread>

#include "kelvix/DirectBridgeClientTCP.h"
#include "support/Loopback.h"

namespace {

struct Listener {
    Listener() : socket(platform::openTcpSocket()) {
        if (!platform::bindSocket(socket, "127.0.0.1", 0) || !platform::listenSocket(socket, 4)) {
            std::terminate();
        }
        port = platform::localPort(socket);
    }
    platform::SocketHandle socket;
    int port = 0;
};

void useClient(zol::DirectBridgeClientTCP& client) {
    try {
        delete client.getThermalImage().second;
        delete client.getPaletteImage().second;
        const std::pair<bool, zol::ThmPalImage> both = client.getThmPalImage();
        delete both.second.first;
        delete both.second.second;
        client.setPalette(5);
        client.setTempRange(0, 50);
        client.triggerFlag();
        delete client.getThermalImage().second;
    } catch (const std::exception&) {
        // The connection could not be repaired: the client's report of it.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Listener listener;
    std::atomic<bool> stop{false};
    std::thread server([&] {
        for (bool first = true;; first = false) {
            platform::SocketHandle c = platform::acceptSocket(listener.socket);
            if (c == platform::kInvalidSocket || stop) {
                platform::closeSocket(c);
                return;
            }
            if (first) {
                kelvix_fuzz::sendAll(c, data, size);
            }
            platform::shutdownSending(c);
            kelvix_fuzz::drain(c);
            platform::closeSocket(c);
        }
    });
    zol::DirectBridgeClientTCP& client = *zol::DirectBridgeClientTCP::getInstance();
    client.init("127.0.0.1", listener.port);
    if (client.connect().first) {
        useClient(client);
    }
    client.release();
    stop = true;
    platform::SocketHandle wake = kelvix_fuzz::connectLoopback(listener.port);
    platform::closeSocket(wake);
    server.join();
    return 0;
}
