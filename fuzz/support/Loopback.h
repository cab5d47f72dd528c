// Connection helpers of the fuzz targets that talk to the library over TCP (BridgeClientTCPFuzz,
// DaemonHandlerFuzz).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Socket.h"

// Plain sockets on 127.0.0.1 for the targets that play a hostile peer.
namespace kelvix_fuzz {

// A connection to 127.0.0.1:port, retried while nothing listens there yet.
platform::SocketHandle connectLoopback(int port);
// Sends all bytes (as far as the peer takes them).
void sendAll(platform::SocketHandle socket, const std::uint8_t* data, std::size_t size);
// Reads and drops everything until the peer ends the connection.
void drain(platform::SocketHandle socket);

}  // namespace kelvix_fuzz
