// TCP endpoints of the bridge (the daemon's listening server, the client's connection) and their
// error type.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "kelvix/export.h"

namespace platform {
class Progress;
class Socket;
}  // namespace platform

namespace zol {

// A failure of a TCP endpoint; what() gives the reason.
class KELVIX_API ConnectionError : public std::exception {
  public:
    ConnectionError();
    explicit ConnectionError(const char* message);
    const char* what() const noexcept override;

  private:
    std::string message;  // own copy: the endpoint's error text may change or go away
};

// One TCP connection: a server listening on a port that holds one accepted client, or a
// client of a host and port. Socket failures become ConnectionError; a lost connection can be
// repaired (the server accepts the next client, the client reconnects every retry interval for
// a few seconds). Connections have TCP keepalive, so a peer that vanished is found also while
// the connection is idle.
// The listener binds every local address unless KELVIX_LISTEN_ADDRESS names one. connect, read,
// write and repairConnection from the one thread that uses the connection; close and the getters
// from any thread.
class KELVIX_API Tcp {
  public:
    // A server on `port`, or a client of host and port; neither connects yet.
    explicit Tcp(int port);
    Tcp(const std::string& host, int port, double retrySeconds);
    ~Tcp();
    Tcp(const Tcp&) = delete;
    Tcp& operator=(const Tcp&) = delete;

    // Listens and accepts one client (server), or connects (client); true at once when
    // connected. Throws ConnectionError with the last error text on failure.
    bool connect();
    // Receives exactly length bytes; throws ConnectionError when the peer is gone.
    long long read(void* data, std::size_t length);
    // Sends all length bytes; throws ConnectionError on failure.
    long long write(const void* data, std::size_t length);
    // The same, but a peer that falls behind the pace of `progress` (which the parts of one
    // reply share) counts as gone too: an ERROR line, and ConnectionError with the same texts.
    long long read(void* data, std::size_t length, platform::Progress& progress);
    long long write(const void* data, std::size_t length, platform::Progress& progress);
    // Waits until the peer has taken everything written, as write with `progress` does.
    void flush(platform::Progress& progress);
    // Closes both sockets; a blocked read, write or accept in another thread returns.
    void close();
    // Server: drops the client and blocks until the next one is accepted; the listener stays
    // open, so a client that knocks meanwhile waits in its queue. Client: reconnects,
    // retrying while the server cannot be reached, for 5 s at most; after that the endpoint is
    // not reparable any more. False when the endpoint is not reparable.
    bool repairConnection();

    bool isConnected() const { return connected; }
    bool isReparable() const { return reparable; }
    std::string getLastErrorMessage() const;

  private:
    using SocketPtr = std::shared_ptr<platform::Socket>;
    bool connectServer(unsigned generation);
    bool connectClient(unsigned generation);
    bool acceptClient(const SocketPtr& listener, unsigned generation);
    bool repairConnectionServer(unsigned generation);
    bool repairConnectionClient(unsigned generation);
    // Closes both sockets; with a generation, only while no other close came in since then
    // (false otherwise), and moves it on to this close's generation.
    bool closeSockets(unsigned* generation);
    bool adopt(SocketPtr& slot, const SocketPtr& socket, unsigned generation);
    static void keepAlive(const platform::Socket& socket);
    void setError(const char* text);
    // Receives into `in`, or sends from `out`, as read and write say.
    long long transfer(void* in, const void* out, std::size_t length, platform::Progress* progress);
    // Records a lost connection and throws its ConnectionError.
    [[noreturn]] void lost(bool reading);
    SocketPtr connectionSocket() const;

    // Shared with the calls that use them, so that close() from another thread can wake those
    // calls without their descriptors being reused under them.
    SocketPtr listenSocket;
    SocketPtr clientSocket;
    double retryInterval;
    int port;
    std::string host;
    std::string lastError;
    bool server;
    std::atomic<bool> reparable;
    std::atomic<bool> connected;
    // Counts close() calls, so a connection procedure that a close overtook gives up.
    unsigned closeGeneration;
    mutable std::mutex socketMutex;
};

}  // namespace zol
