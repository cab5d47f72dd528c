// POSIX sockets behind the helpers: descriptors close-on-exec, EINTR retried, no SIGPIPE.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace platform {

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

bool connectSocket(SocketHandle socket, const SocketAddress& address) {
    if (socket == kInvalidSocket) {
        return false;
    }
    if (::connect(socket, reinterpret_cast<const sockaddr*>(address.bytes), address.length) == 0) {
        return true;
    }
    if (errno != EINTR) {
        return false;
    }
    // An interrupted connect goes on in the background: wait for its outcome.
    pollfd p{socket, POLLOUT, 0};
    int r;
    do {
        r = ::poll(&p, 1, -1);
    } while (r < 0 && errno == EINTR);
    int error = 0;
    socklen_t len = sizeof(error);
    return r == 1 && ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

long long sendSocket(SocketHandle socket, const void* data, std::size_t length) {
    for (;;) {
        const ssize_t n = ::send(socket, data, length, MSG_NOSIGNAL);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

long long receiveSocket(SocketHandle socket, void* data, std::size_t length) {
    for (;;) {
        const ssize_t n = ::recv(socket, data, length, 0);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
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
