// POSIX sockets behind the helpers: descriptors close-on-exec, EINTR retried, no SIGPIPE.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
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

// Bytes the socket holds that the peer has not acknowledged yet; -1 when unknown.
long long unacknowledged(SocketHandle socket) {
    int queued = 0;
    return ::ioctl(socket, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

// Moves a whole buffer with `step` (a non-blocking receive or send), waiting for readiness in
// between; a step that returns 0 means the peer closed (only a receive does that). `taken` tells
// how many bytes of the call the peer has moved so far, given how many the steps moved.
template <typename Step, typename Taken>
Transfer transferAll(SocketHandle socket, short events, std::size_t length, Progress* progress,
                     const Step& step, const Taken& taken) {
    if (socket == kInvalidSocket) {
        return Transfer::kFailed;
    }
    std::size_t done = 0;
    std::uint64_t counted = 0;
    // Whether the peer still keeps its pace, counting what it moved since the last look.
    const auto keeping = [&](std::int64_t now) {
        const std::uint64_t t = taken(done);
        if (t > counted) {
            progress->advance(t - counted, now);
            counted = t;
        }
        return progress->keeps(now);
    };
    while (done < length) {
        const ssize_t n = step(done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return Transfer::kFailed;
        }
        int timeout = -1;
        if (progress != nullptr) {
            const std::int64_t now = Progress::nowMs();
            if (!keeping(now)) {
                return Transfer::kTooSlow;
            }
            timeout = progress->waitMs(now);
        }
        pollfd p{socket, events, 0};
        if (::poll(&p, 1, timeout) < 0 && errno != EINTR) {
            return Transfer::kFailed;
        }
    }
    if (progress != nullptr) {
        keeping(Progress::nowMs());  // counts for the rest of the transfer
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

Progress::Progress(const ProgressRule& rule, std::int64_t startMs)
    : rule_(rule), lastMoveMs_(startMs), windowStartMs_(startMs) {}

std::int64_t Progress::nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now().time_since_epoch())
        .count();
}

void Progress::advance(std::uint64_t bytes, std::int64_t atMs) {
    if (bytes != 0) {
        total_ += bytes;
        lastMoveMs_ = atMs;
    }
}

bool Progress::keeps(std::int64_t atMs) {
    if (!why_.empty()) {
        return false;
    }
    if (rule_.stallMs != 0 && atMs - lastMoveMs_ >= rule_.stallMs) {
        why_ = "no byte moved for " + std::to_string(atMs - lastMoveMs_) + " ms";
        return false;
    }
    const std::int64_t span = atMs - windowStartMs_;
    if (rule_.windowMs == 0 || span < rule_.windowMs) {
        return true;
    }
    const std::uint64_t moved = total_ - windowStartBytes_;
    if (moved * 1000 < static_cast<std::uint64_t>(span) * rule_.minBytesPerSecond) {
        why_ = std::to_string(moved) + " bytes in " + std::to_string(span) +
               " ms, below the minimum of " + std::to_string(rule_.minBytesPerSecond) + " bytes/s";
        return false;
    }
    windowStartMs_ = atMs;
    windowStartBytes_ = total_;
    return true;
}

int Progress::waitMs(std::int64_t atMs) const {
    std::int64_t wait = -1;
    const auto sooner = [&wait](std::int64_t ms) { wait = wait < 0 || ms < wait ? ms : wait; };
    if (rule_.stallMs != 0) {
        sooner(lastMoveMs_ + rule_.stallMs - atMs);
        // A sender learns what the peer took only when it looks.
        sooner(rule_.stallMs / 10);
    }
    if (rule_.windowMs != 0) {
        sooner(windowStartMs_ + rule_.windowMs - atMs);
    }
    return wait < 0 ? -1 : static_cast<int>(std::max<std::int64_t>(wait, 1));
}

Transfer receiveAll(SocketHandle socket, void* data, std::size_t length, Progress* progress) {
    auto* bytes = static_cast<unsigned char*>(data);
    const int flags = progress != nullptr ? MSG_DONTWAIT : 0;
    return transferAll(
        socket, POLLIN, length, progress,
        [&](std::size_t done) { return ::recv(socket, bytes + done, length - done, flags); },
        [](std::size_t done) { return done; });
}

Transfer sendAll(SocketHandle socket, const void* data, std::size_t length, Progress* progress) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    // A blocking send would wait until the whole rest fits into the socket's buffer.
    const int flags = MSG_NOSIGNAL | (progress != nullptr ? MSG_DONTWAIT : 0);
    // What the peer takes shows as the socket's queue shrinking, whatever it held before.
    const long long before = progress != nullptr ? unacknowledged(socket) : -1;
    return transferAll(
        socket, POLLOUT, length, progress,
        [&](std::size_t done) { return ::send(socket, bytes + done, length - done, flags); },
        [&](std::size_t done) -> std::uint64_t {
            const long long left = before < 0 ? -1 : unacknowledged(socket);
            if (left < 0) {
                return done;  // without the queue's size, what the socket took
            }
            const long long taken = before + static_cast<long long>(done) - left;
            return taken > 0 ? static_cast<std::uint64_t>(taken) : 0;
        });
}

Transfer awaitAcknowledged(SocketHandle socket, Progress& progress) {
    // No event tells of acknowledgements: the queue is looked at every few milliseconds.
    constexpr int kLookMs = 20;
    for (long long left = unacknowledged(socket); left > 0;) {
        const std::int64_t now = Progress::nowMs();
        if (!progress.keeps(now)) {
            return Transfer::kTooSlow;
        }
        const int wait = progress.waitMs(now);
        pollfd p{socket, 0, 0};  // only errors and hang-ups end the poll early
        const int r = ::poll(&p, 1, wait < 0 ? kLookMs : std::min(wait, kLookMs));
        if (r > 0 || (r < 0 && errno != EINTR)) {
            return Transfer::kFailed;
        }
        const long long still = unacknowledged(socket);
        if (still < left) {
            progress.advance(static_cast<std::uint64_t>(left - still), Progress::nowMs());
        }
        left = still;
    }
    return Transfer::kDone;  // all taken, or the system cannot tell
}

bool keepAlive(SocketHandle socket, const Keepalive& k) {
    if (k.idleS == 0) {
        return true;
    }
    const int on = 1;
    const int idle = static_cast<int>(k.idleS);
    const int interval = static_cast<int>(k.intervalS);
    const int probes = static_cast<int>(k.probes);
    // Data unacknowledged for as long as unanswered probes would take ends the connection too
    // (the system would retransmit for a quarter of an hour).
    const unsigned userTimeoutMs = (k.idleS + k.intervalS * k.probes) * 1000u;
    return ::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) == 0 &&
           ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle)) == 0 &&
           ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval)) == 0 &&
           ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes)) == 0 &&
           ::setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs,
                        sizeof(userTimeoutMs)) == 0;
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
