// Free loopback ports for the network tests and fuzz targets.
#pragma once

#include "platform/Socket.h"

namespace kelvix_test {

// A port on 127.0.0.1 that nothing holds right now (header-only: the fuzz targets use it too).
inline int freeLoopbackPort() {
    platform::SocketHandle s = platform::openTcpSocket();
    int port = 0;
    if (platform::bindSocket(s, "127.0.0.1", 0)) {
        port = platform::localPort(s);
    }
    platform::closeSocket(s);
    return port;
}

}  // namespace kelvix_test
