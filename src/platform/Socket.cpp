// POSIX sockets behind the helpers: descriptors close-on-exec, EINTR retried, no SIGPIPE.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace platform {

namespace {

using Steady = std::chrono::steady_clock;

// Waits until the socket is ready for `events`: 1 ready, 0 timed out at `end`, -1 failed. Without
// a limit (limitMs 0) it waits as long as it takes.
int waitReady(SocketHandle socket, short events, std::uint32_t limitMs, Steady::time_point end) {
    for (;;) {
        int timeout = -1;
        if (limitMs != 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now()).count();
            // Rounded up, so that a poll never returns just short of the deadline for ever.
            timeout = left <= 0 ? 0 : static_cast<int>(left) + 1;
        }
        pollfd p{socket, events, 0};
        const int r = ::poll(&p, 1, timeout);
        if (r > 0) {
            return 1;
        }
        if (r == 0) {
            if (Steady::now() >= end) {
                return 0;
            }
            continue;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

// Moves a whole buffer with `step` (a non-blocking receive or send), waiting for readiness in
// between; a step that returns 0 means the peer closed (only a receive does that).
template <typename Step>
Transfer transferAll(SocketHandle socket, short events, std::size_t length, std::uint32_t limitMs,
                     const Step& step) {
    if (socket == kInvalidSocket) {
        return Transfer::kFailed;
    }
    const Steady::time_point end = Steady::now() + std::chrono::milliseconds(limitMs);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = step(done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return Transfer::kFailed;
        }
        const int ready = waitReady(socket, events, limitMs, end);
        if (ready <= 0) {
            return ready == 0 ? Transfer::kTimedOut : Transfer::kFailed;
        }
    }
    return Transfer::kDone;
}

}  // namespace

bool resolveTcpAddress(const std::string& host, int port, SocketAddress& address) {
    // The resolver would take any number and wrap it into a port.
    if (port < 1 || port > 65535) {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || list == nullptr) {
        return false;
    }
    bool ok = list->ai_addrlen <= sizeof(address.bytes);
    if (ok) {
        address.family = list->ai_family;
        address.type = list->ai_socktype;
        address.protocol = list->ai_protocol;
        address.length = static_cast<unsigned>(list->ai_addrlen);
        std::memcpy(address.bytes, list->ai_addr, list->ai_addrlen);
    }
    freeaddrinfo(list);
    return ok;
}

SocketHandle openTcpSocket() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return s < 0 ? kInvalidSocket : s;
}

SocketHandle openSocket(const SocketAddress& address) {
    const int s = ::socket(address.family, address.type | SOCK_CLOEXEC, address.protocol);
    return s < 0 ? kInvalidSocket : s;
}

bool bindSocket(SocketHandle socket, const std::string& address, int port) {
    if (socket == kInvalidSocket || port < 0 || port > 65535) {
        return false;
    }
    // A new listener must be able to take the port while the old connection lingers.
    const int one = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<std::uint16_t>(port));
    if (address.empty()) {
        in.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, address.c_str(), &in.sin_addr) != 1) {
        return false;
    }
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&in), sizeof(in)) == 0;
}

bool listenSocket(SocketHandle socket, int backlog) {
    return ::listen(socket, backlog) == 0;
}

SocketHandle acceptSocket(SocketHandle listener) {
    for (;;) {
        const int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0) {
            return s;
        }
        if (errno != EINTR && errno != ECONNABORTED) {
            return kInvalidSocket;
        }
    }
}

bool connectSocket(SocketHandle socket, const SocketAddress& address, std::uint32_t limitMs) {
    if (socket == kInvalidSocket) {
        return false;
    }
    const Steady::time_point end = Steady::now() + std::chrono::milliseconds(limitMs);
    const int flags = ::fcntl(socket, F_GETFL);
    if (limitMs != 0 && (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0)) {
        return false;
    }
    bool ok =
        ::connect(socket, reinterpret_cast<const sockaddr*>(address.bytes), address.length) == 0;
    if (!ok && (errno == EINTR || errno == EINPROGRESS)) {
        // The connect goes on in the background: wait for its outcome.
        int error = 0;
        socklen_t len = sizeof(error);
        ok = waitReady(socket, POLLOUT, limitMs, end) == 1 &&
             ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
    }
    if (limitMs != 0 && ::fcntl(socket, F_SETFL, flags) != 0) {
        return false;
    }
    return ok;
}

long long receiveSocket(SocketHandle socket, void* data, std::size_t length) {
    for (;;) {
        const ssize_t n = ::recv(socket, data, length, 0);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

Transfer receiveAll(SocketHandle socket, void* data, std::size_t length, std::uint32_t limitMs) {
    auto* bytes = static_cast<unsigned char*>(data);
    const int flags = limitMs != 0 ? MSG_DONTWAIT : 0;
    return transferAll(socket, POLLIN, length, limitMs, [&](std::size_t done) {
        return ::recv(socket, bytes + done, length - done, flags);
    });
}

Transfer sendAll(SocketHandle socket, const void* data, std::size_t length, std::uint32_t limitMs) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    // A blocking send would wait until the whole rest fits into the socket's buffer.
    const int flags = MSG_NOSIGNAL | (limitMs != 0 ? MSG_DONTWAIT : 0);
    return transferAll(socket, POLLOUT, length, limitMs, [&](std::size_t done) {
        return ::send(socket, bytes + done, length - done, flags);
    });
}

void closeSocket(SocketHandle& socket) {
    if (socket == kInvalidSocket) {
        return;
    }
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
    socket = kInvalidSocket;
}

void shutdownSending(SocketHandle socket) {
    if (socket != kInvalidSocket) {
        ::shutdown(socket, SHUT_WR);
    }
}

void Socket::shutDown() {
    if (handle_ != kInvalidSocket) {
        ::shutdown(handle_, SHUT_RDWR);
    }
}

int localPort(SocketHandle socket) {
    sockaddr_in in{};
    socklen_t len = sizeof(in);
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&in), &len) != 0 ||
        in.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(in.sin_port);
}

}  // namespace platform
