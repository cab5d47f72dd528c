// TCP endpoints on the platform's sockets: connect as server or client, exact reads and writes,
// repair, and a close that wakes calls blocked in other threads.
#include "kelvix/Tcp.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>

#include "platform/Clock.h"
#include "platform/Socket.h"
#include "sdk/Log.h"
#include "sdk/daemon/server/BridgeWire.h"

namespace zol {

ConnectionError::ConnectionError() : message("connection error") {}

ConnectionError::ConnectionError(const char* text) : message(text ? text : "") {}

const char* ConnectionError::what() const noexcept {
    return message.c_str();
}

namespace {

const char* const kReadError = "error at reading data";
const char* const kWriteError = "error at writing data";

// How long a client tries to reach its server again before the connection counts as lost for
// good: a daemon that restarts at once is back well within it, while a caller whose daemon is
// gone learns so after a few seconds instead of never.
constexpr std::uint32_t kClientRepairMs = 5000;

// Every local address unless the environment names one (tests keep to the loopback address).
std::string listenAddress() {
    const char* text = std::getenv("KELVIX_LISTEN_ADDRESS");
    return text ? std::string(text) : std::string();
}

// Whether a transfer completed; one that the peer did not keep up with says so in an ERROR line.
bool completed(platform::Transfer result, const char* peerPart, std::size_t length,
               const platform::Progress* progress) {
    if (result == platform::Transfer::kTooSlow) {
        KLOG_ERROR("Peer too slow " << peerPart << (length != 0 ? std::to_string(length) : "")
                                    << (length != 0 ? " bytes: " : ": ") << progress->why());
    }
    return result == platform::Transfer::kDone;
}

}  // namespace

Tcp::Tcp(int port)
    : retryInterval(0.1),
      port(port),
      lastError("No Errors"),
      server(true),
      reparable(false),
      connected(false),
      closeGeneration(0) {}

Tcp::Tcp(const std::string& host, int port, double retrySeconds)
    : retryInterval(retrySeconds),
      port(port),
      host(host),
      lastError("No Errors"),
      server(false),
      reparable(false),
      connected(false),
      closeGeneration(0) {}

Tcp::~Tcp() {
    close();
}

void Tcp::setError(const char* text) {
    std::lock_guard<std::mutex> lock(socketMutex);
    lastError = text;
}

std::string Tcp::getLastErrorMessage() const {
    std::lock_guard<std::mutex> lock(socketMutex);
    return lastError;
}

Tcp::SocketPtr Tcp::connectionSocket() const {
    std::lock_guard<std::mutex> lock(socketMutex);
    return clientSocket;
}

bool Tcp::connect() {
    unsigned generation;
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        generation = closeGeneration;
    }
    const bool ok = server ? connectServer(generation) : connectClient(generation);
    if (!ok) {
        throw ConnectionError(getLastErrorMessage().c_str());
    }
    return true;
}

// Stores a new socket in slot unless a close() has come in since `generation` (a connection
// procedure that a close overtook must not bring the endpoint back to life); a socket left
// there by an earlier failed attempt is released, not leaked.
bool Tcp::adopt(SocketPtr& slot, const SocketPtr& socket, unsigned generation) {
    SocketPtr old;
    std::lock_guard<std::mutex> lock(socketMutex);
    if (generation != closeGeneration) {
        return false;
    }
    old.swap(slot);
    slot = socket;
    return true;
}

bool Tcp::connectServer(unsigned generation) {
    if (connected) {
        return true;
    }
    reparable = false;
    auto listener = std::make_shared<platform::Socket>(platform::openTcpSocket());
    if (!listener->valid()) {
        setError("Error at creating Server Socket: got invalid Socket");
        return false;
    }
    const char* const acceptError =
        "Error at getting Client Socket: got invalid Socket after accepting";
    if (!adopt(listenSocket, listener, generation)) {
        setError(acceptError);
        return false;
    }
    if (!platform::bindSocket(listener->handle(), listenAddress(), port)) {
        setError("Error at binding Server Socket");
        return false;
    }
    platform::listenSocket(listener->handle(), 1);
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        if (generation != closeGeneration) {
            lastError = acceptError;
            return false;
        }
        reparable = true;
    }
    return acceptClient(listener, generation);
}

// Blocks for the next client on `listener`; a close() meanwhile makes it fail.
bool Tcp::acceptClient(const SocketPtr& listener, unsigned generation) {
    auto client = std::make_shared<platform::Socket>(platform::acceptSocket(listener->handle()));
    if (!client->valid() || !adopt(clientSocket, client, generation)) {
        setError("Error at getting Client Socket: got invalid Socket after accepting");
        return false;
    }
    keepAlive(*client);
    connected = true;
    return true;
}

bool Tcp::connectClient(unsigned generation) {
    if (connected) {
        return true;
    }
    reparable = false;
    const char* const invalidAfterConnect =
        "Error got invalid client Socket after connecting to Server";
    platform::SocketAddress address;
    if (!platform::resolveTcpAddress(host, port, address)) {
        setError("Error at parsing host address");
        return false;
    }
    auto socket = std::make_shared<platform::Socket>(platform::openSocket(address));
    if (!socket->valid()) {
        setError("Error at creating Client Socket: got invalid Socket");
        return false;
    }
    if (!adopt(clientSocket, socket, generation)) {
        setError(invalidAfterConnect);
        return false;
    }
    keepAlive(*socket);
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        if (generation != closeGeneration) {
            lastError = invalidAfterConnect;
            return false;
        }
        reparable = true;
    }
    if (!platform::connectSocket(socket->handle(), address, bridge::bounds().connectMs)) {
        // The failed socket is dropped here, so that retries do not pile up descriptors.
        SocketPtr failed;
        std::lock_guard<std::mutex> lock(socketMutex);
        if (clientSocket == socket) {
            failed.swap(clientSocket);
        }
        lastError = "Error at connection to Server";
        return false;
    }
    if (!connectionSocket()) {
        setError(invalidAfterConnect);
        return false;
    }
    connected = true;
    return true;
}

// A connection may sit idle, so a peer that vanished is found only by probing it.
void Tcp::keepAlive(const platform::Socket& socket) {
    if (!platform::keepAlive(socket.handle(), bridge::bounds().keepalive)) {
        KLOG_WARNING("TCP keepalive could not be set: a vanished peer may go unnoticed");
    }
}

long long Tcp::read(void* data, std::size_t length) {
    return transfer(data, nullptr, length, nullptr);
}

long long Tcp::write(const void* data, std::size_t length) {
    return transfer(nullptr, data, length, nullptr);
}

long long Tcp::read(void* data, std::size_t length, platform::Progress& progress) {
    return transfer(data, nullptr, length, &progress);
}

long long Tcp::write(const void* data, std::size_t length, platform::Progress& progress) {
    return transfer(nullptr, data, length, &progress);
}

// A short send would cut the stream in the middle of a record: the rest goes too.
long long Tcp::transfer(void* in, const void* out, std::size_t length,
                        platform::Progress* progress) {
    if (length == 0) {
        return 0;
    }
    const SocketPtr socket = connectionSocket();
    const bool reading = in != nullptr;
    platform::Transfer result = platform::Transfer::kFailed;
    if (socket) {
        result = reading ? platform::receiveAll(socket->handle(), in, length, progress)
                         : platform::sendAll(socket->handle(), out, length, progress);
    }
    if (!completed(result, reading ? "sending " : "taking ", length, progress)) {
        lost(reading);
    }
    return static_cast<long long>(length);
}

void Tcp::flush(platform::Progress& progress) {
    const SocketPtr socket = connectionSocket();
    const platform::Transfer result = socket
                                          ? platform::awaitAcknowledged(socket->handle(), progress)
                                          : platform::Transfer::kFailed;
    if (!completed(result, "taking what was sent", 0, &progress)) {
        lost(false);
    }
}

void Tcp::lost(bool reading) {
    const char* const text = reading ? kReadError : kWriteError;
    setError(text);
    throw ConnectionError(text);
}

void Tcp::close() {
    closeSockets(nullptr);
}

bool Tcp::closeSockets(unsigned* generation) {
    SocketPtr listener, client;
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        if (generation != nullptr && *generation != closeGeneration) {
            return false;
        }
        reparable = false;
        connected = false;
        listener.swap(listenSocket);
        client.swap(clientSocket);
        ++closeGeneration;
        if (generation != nullptr) {
            *generation = closeGeneration;
        }
    }
    // The listener first: a client that sees its connection end cannot land in its queue.
    // Calls still blocked on either socket return now; the last of them closes it.
    if (listener) {
        listener->shutDown();
        listener.reset();
    }
    if (client) {
        client->shutDown();
    }
    return true;
}

bool Tcp::repairConnection() {
    // A close() from another thread from here on ends the repair instead of being undone by it.
    unsigned generation;
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        if (!reparable) {
            return false;
        }
        generation = closeGeneration;
    }
    if (server) {
        std::cout << "client disconnected... waiting for new connection" << std::endl;
        return repairConnectionServer(generation);
    }
    return repairConnectionClient(generation);
}

// Only the client is dropped: closing the listener too would refuse whoever knocks until it
// listens again, a client that reconnects at once among them.
bool Tcp::repairConnectionServer(unsigned generation) {
    SocketPtr listener, client;
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        if (generation != closeGeneration) {
            return false;
        }
        connected = false;
        listener = listenSocket;
        client.swap(clientSocket);
    }
    if (client) {
        client->shutDown();
        client.reset();
    }
    if (!listener || !acceptClient(listener, generation)) {
        return false;
    }
    std::cout << "client connected" << std::endl;
    return true;
}

bool Tcp::repairConnectionClient(unsigned generation) {
    if (!closeSockets(&generation)) {
        return false;
    }
    const auto pauseMs = static_cast<std::uint32_t>(retryInterval * 1000.0);
    const std::uint32_t start = platform::clock().tickMs();
    for (;;) {
        if (connectClient(generation)) {
            return true;
        }
        if (!reparable) {
            return false;
        }
        if (platform::elapsedMs(platform::clock().tickMs(), start) >= kClientRepairMs) {
            // Lost for good: later steps fail at once instead of trying again.
            reparable = false;
            return false;
        }
        platform::clock().sleepMs(pauseMs);
    }
}

}  // namespace zol
