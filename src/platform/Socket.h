// TCP sockets for the bridge's connection class Tcp (the daemon's listener, the TCP client) and
// the fuzz targets' peers. Calls block; shutting a socket down in one thread wakes calls blocked
// on it in another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A TCP socket as the system numbers it; kInvalidSocket when there is none.
using SocketHandle = int;
constexpr SocketHandle kInvalidSocket = -1;

// The first address a host name and port resolve to (IPv4, stream, TCP).
struct SocketAddress {
    int family = 0;
    int type = 0;
    int protocol = 0;
    unsigned length = 0;
    unsigned char bytes[128] = {};
};

// Resolves host (name or dotted address) and port; false when it cannot be resolved or the port
// lies outside 1..65535.
bool resolveTcpAddress(const std::string& host, int port, SocketAddress& address);

// A new IPv4 stream socket.
SocketHandle openTcpSocket();
// A new socket of the address's family, type and protocol.
SocketHandle openSocket(const SocketAddress& address);

// Binds with address reuse to `address` (dotted IPv4; empty for every local address) and port.
bool bindSocket(SocketHandle socket, const std::string& address, int port);
bool listenSocket(SocketHandle socket, int backlog);
// Blocks for the next connection; interrupted calls and connections aborted before they were
// taken are retried. kInvalidSocket when the listener fails or was shut down.
SocketHandle acceptSocket(SocketHandle listener);
// Connects; a host that does not answer within limitMs milliseconds (0: the system's own limit of
// about two minutes) counts as unreachable.
bool connectSocket(SocketHandle socket, const SocketAddress& address, std::uint32_t limitMs = 0);

// One receive: bytes received, 0 when the peer closed, -1 on error. Interrupted calls are
// retried.
long long receiveSocket(SocketHandle socket, void* data, std::size_t length);

// How a transfer must move: a peer that moves no byte for stallMs, or on average fewer than
// minBytesPerSecond over a window of windowMs (windows follow each other from the start), is given
// up. A rule of zeros waits as long as it takes.
struct ProgressRule {
    std::uint32_t stallMs = 0;
    std::uint32_t windowMs = 0;
    std::uint32_t minBytesPerSecond = 0;
};

// One transfer's pace against its rule, on the monotonic clock in milliseconds. Several calls may
// share one (the parts of one reply), so that a peer cannot reset the rule between them.
class Progress {
  public:
    explicit Progress(const ProgressRule& rule, std::int64_t startMs = nowMs());

    static std::int64_t nowMs();
    // Counts bytes the peer moved by `atMs`.
    void advance(std::uint64_t bytes, std::int64_t atMs);
    // False once the peer broke the rule (why() says how).
    bool keeps(std::int64_t atMs);
    // Milliseconds to wait for the peer before asking keeps() again; -1 without a rule.
    int waitMs(std::int64_t atMs) const;
    std::string why() const { return why_; }

  private:
    ProgressRule rule_;
    std::uint64_t total_ = 0;
    std::int64_t lastMoveMs_;
    std::int64_t windowStartMs_;
    std::uint64_t windowStartBytes_ = 0;
    std::string why_;
};

// What became of a whole buffer that was to be received or sent.
enum class Transfer { kDone, kFailed, kTooSlow };
// Receives exactly length bytes, or sends all of them, while the peer keeps the pace of
// `progress` (null: as long as it takes). A send counts what the peer acknowledged, not what the
// socket's buffer took. kFailed when the peer closed, the socket failed or another thread shut
// it down.
Transfer receiveAll(SocketHandle socket, void* data, std::size_t length, Progress* progress);
Transfer sendAll(SocketHandle socket, const void* data, std::size_t length, Progress* progress);

// Waits until the peer has acknowledged everything sent on the socket, while it keeps the pace
// of `progress`; kFailed when the connection fails meanwhile.
Transfer awaitAcknowledged(SocketHandle socket, Progress& progress);

// TCP keepalive: a peer silent for idleS seconds is probed every intervalS seconds; after
// `probes` unanswered probes, or data left unacknowledged for as long, the connection fails, so
// that a peer that vanished without closing is found. False when the system refused a setting.
struct Keepalive {
    std::uint32_t idleS = 0;
    std::uint32_t intervalS = 0;
    std::uint32_t probes = 0;
};
bool keepAlive(SocketHandle socket, const Keepalive& keepalive);

// Shuts the socket down first, so that a call blocked on it in another thread returns, then
// closes it; the handle becomes kInvalidSocket.
void closeSocket(SocketHandle& socket);
// Ends the sending direction only: the peer reads what was sent, then the end of the stream.
void shutdownSending(SocketHandle socket);

// The local port a bound socket holds; 0 when unknown.
int localPort(SocketHandle socket);

// An open socket that threads share through std::shared_ptr: shutDown() makes calls blocked on
// it in other threads return, and the descriptor is closed only when the last holder lets go,
// so its number cannot be reused under a call still in progress.
class Socket {
  public:
    explicit Socket(SocketHandle handle) : handle_(handle) {}
    ~Socket() { closeSocket(handle_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    SocketHandle handle() const { return handle_; }
    bool valid() const { return handle_ != kInvalidSocket; }
    void shutDown();

  private:
    SocketHandle handle_;
};

}  // namespace platform
