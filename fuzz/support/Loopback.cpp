// Connecting with retries while the listener comes up, sending everything, draining.
#include "support/Loopback.h"

#include <thread>

namespace kelvix_fuzz {

platform::SocketHandle connectLoopback(int port) {
    platform::SocketAddress address;
    if (!platform::resolveTcpAddress("127.0.0.1", port, address)) {
        return platform::kInvalidSocket;
    }
    for (int attempt = 0; attempt < 10000; ++attempt) {
        platform::SocketHandle s = platform::openSocket(address);
        if (platform::connectSocket(s, address)) {
            return s;
        }
        platform::closeSocket(s);
        std::this_thread::yield();
    }
    return platform::kInvalidSocket;
}

void sendAll(platform::SocketHandle socket, const std::uint8_t* data, std::size_t size) {
    platform::sendAll(socket, data, size, nullptr);
}

void drain(platform::SocketHandle socket) {
    std::uint8_t buffer[1 << 16];
    while (platform::receiveSocket(socket, buffer, sizeof buffer) > 0) {
    }
}

}  // namespace kelvix_fuzz
