// TCP endpoints over loopback: whole buffers, failures and their texts, repair rules, and close
// from another thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "BridgeTestSupport.h"
#include "kelvix/Tcp.h"
#include "sdk/daemon/server/BridgeWire.h"

namespace {

using bridge_test::readWords;
using bridge_test::writeWords;
using zol::ConnectionError;
using zol::Tcp;

const auto failure = bridge_test::thrownText<ConnectionError>;

class TcpThreaded : public ::testing::Test {
  protected:
    void SetUp() override {
        bridge_test::listenOnLoopback();
        port_ = bridge_test::freeLoopbackPort();
        ASSERT_GT(port_, 0);
    }
    // A server on port_ accepting in the background.
    std::future<bool> accept(Tcp& server) {
        return std::async(std::launch::async, [&server] { return server.connect(); });
    }
    // Connects `client` to `server` on port_.
    void connectPair(Tcp& server, Tcp& client) {
        auto accepted = accept(server);
        connectClient(client);
        ASSERT_TRUE(accepted.get());
    }
    // Connects a client, retrying while the server's listener is not up yet.
    static void connectClient(Tcp& client) {
        for (int i = 0;; ++i) {
            try {
                client.connect();
                return;
            } catch (const ConnectionError&) {
                if (i == 500) {
                    throw;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
    int port_ = 0;
};

// The keepalive timers of the connections on `port` (either end) as the system lists them, in
// seconds; -1 for a connection without one.
std::vector<double> keepaliveTimers(int port) {
    std::ifstream in("/proc/net/tcp");
    std::vector<double> timers;
    for (std::string line; std::getline(in, line);) {
        unsigned local = 0, remote = 0, state = 0, timer = 0;
        unsigned long when = 0;
        if (std::sscanf(line.c_str(), " %*d: %*x:%x %*x:%x %x %*x:%*x %x:%lx", &local, &remote,
                        &state, &timer, &when) == 5 &&
            state == 1 && (local == unsigned(port) || remote == unsigned(port))) {
            timers.push_back(timer == 2 ? when / 100.0 : -1);
        }
    }
    return timers;
}

// Both ends probe a connection that falls silent, so that a peer that vanished is found.
TEST_F(TcpThreaded, BothEndsProbeASilentConnection) {
    const zol::bridge::Bounds probing{{}, 5000, {7, 1, 1}};
    zol::bridge::ScopedBounds scoped(probing);
    Tcp server(port_);
    Tcp client("127.0.0.1", port_, 0.1);
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));
    const std::vector<double> timers = keepaliveTimers(port_);
    ASSERT_EQ(timers.size(), 2u);
    for (double seconds : timers) {
        EXPECT_TRUE(seconds > 6 && seconds <= 7) << seconds;
    }
}

TEST_F(TcpThreaded, ConnectedPairCarriesWholeBuffersBothWays) {
    Tcp server(port_);
    Tcp client("127.0.0.1", port_, 0.1);
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));
    EXPECT_TRUE(server.isConnected() && server.isReparable());
    EXPECT_TRUE(client.isConnected() && client.isReparable());
    EXPECT_TRUE(client.connect()) << "connected: true at once";
    EXPECT_EQ(server.getLastErrorMessage(), "No Errors");

    // A read waits for all bytes even when they come in pieces.
    auto reader = std::async(std::launch::async, [&server] { return readWords(server, 3); });
    writeWords(client, {1});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    writeWords(client, {2, 0xFFFFFFFF});
    EXPECT_EQ(reader.get(), (std::vector<std::uint32_t>{1, 2, 0xFFFFFFFF}));

    // A large buffer arrives whole, however the system splits it.
    std::vector<std::uint8_t> big(3 << 20);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i * 31);
    }
    auto bigReader = std::async(std::launch::async, [&client, n = big.size()] {
        std::vector<std::uint8_t> in(n);
        client.read(in.data(), n);
        return in;
    });
    EXPECT_EQ(server.write(big.data(), big.size()), static_cast<long long>(big.size()));
    EXPECT_EQ(bigReader.get(), big);
}

TEST_F(TcpThreaded, ReadAndWriteFailuresThrowTheirTexts) {
    Tcp server(port_);
    Tcp client("127.0.0.1", port_, 0.1);
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));

    // Lengths of zero never touch the socket (an empty image is a valid reply).
    EXPECT_EQ(client.read(nullptr, 0), 0);
    EXPECT_EQ(client.write(nullptr, 0), 0);

    std::vector<std::uint8_t> ten(10, 7);
    client.write(ten.data(), ten.size());
    client.close();
    std::uint8_t buffer[24];
    EXPECT_EQ(failure([&] { server.read(buffer, 24); }), "error at reading data");
    EXPECT_EQ(server.getLastErrorMessage(), "error at reading data");

    // Writing to the gone peer fails once the system has noticed.
    std::vector<std::uint8_t> block(1 << 16);
    EXPECT_EQ(failure([&] {
                  for (int i = 0; i < 1000; ++i) {
                      server.write(block.data(), block.size());
                  }
              }),
              "error at writing data");
    EXPECT_EQ(failure([&] { client.read(buffer, 4); }), "error at reading data");
}

TEST_F(TcpThreaded, ConnectionErrorsOutliveTheirEndpoint) {
    ConnectionError copy;
    {
        Tcp client("127.0.0.1", bridge_test::freeLoopbackPort(), 0.1);
        try {
            client.connect();
            FAIL() << "nothing listens";
        } catch (const ConnectionError& e) {
            copy = e;
        }
    }
    EXPECT_STREQ(copy.what(), "Error at connection to Server");
}

TEST_F(TcpThreaded, ClientConnectFailuresSayWhetherTheyCanBeRepaired) {
    Tcp unreachable("127.0.0.1", bridge_test::freeLoopbackPort(), 0.1);
    EXPECT_EQ(failure([&] { unreachable.connect(); }), "Error at connection to Server");
    EXPECT_TRUE(unreachable.isReparable());
    EXPECT_FALSE(unreachable.isConnected());

    Tcp unresolvable("", port_, 0.1);
    EXPECT_EQ(failure([&] { unresolvable.connect(); }), "Error at parsing host address");
    EXPECT_FALSE(unresolvable.isReparable());
    EXPECT_FALSE(unresolvable.repairConnection()) << "ends at once";

    // Failed attempts do not keep their sockets.
    const std::size_t before = bridge_test::openDescriptors();
    for (int i = 0; i < 50; ++i) {
        failure([&] { unreachable.connect(); });
    }
    EXPECT_LE(bridge_test::openDescriptors(), before + 1);
}

TEST_F(TcpThreaded, FreshOrClosedEndpointsAreNotRepaired) {
    Tcp server(port_);
    Tcp client("127.0.0.1", port_, 0.1);
    EXPECT_FALSE(server.repairConnection());
    EXPECT_FALSE(client.repairConnection());
    EXPECT_EQ(server.getLastErrorMessage(), "No Errors");

    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));
    client.close();
    client.close();
    EXPECT_FALSE(client.isReparable());
    EXPECT_FALSE(client.isConnected());
    EXPECT_FALSE(client.repairConnection());
    std::uint8_t b[4];
    EXPECT_EQ(failure([&] { client.write(b, 4); }), "error at writing data");

    // A closed endpoint connects again when asked to.
    server.close();
    auto accepted = accept(server);
    connectClient(client);
    EXPECT_TRUE(accepted.get());
}

TEST_F(TcpThreaded, BindFailureIsNotRepairable) {
    Tcp holder(port_);
    Tcp first("127.0.0.1", port_, 0.1);
    ASSERT_NO_FATAL_FAILURE(connectPair(holder, first));

    Tcp second(port_);
    EXPECT_EQ(failure([&] { second.connect(); }), "Error at binding Server Socket");
    EXPECT_FALSE(second.isReparable());
    EXPECT_FALSE(second.repairConnection());
}

// The listener stays open through the repair: a client that knocked meanwhile is served next.
TEST_F(TcpThreaded, ServerRepairServesTheClientQueuedMeanwhile) {
    Tcp server(port_);
    Tcp first("127.0.0.1", port_, 0.1);
    ASSERT_NO_FATAL_FAILURE(connectPair(server, first));

    // The backlog completes a second connection that is never served.
    Tcp queued("127.0.0.1", port_, 0.1);
    connectClient(queued);
    writeWords(queued, {77});

    testing::internal::CaptureStdout();
    first.close();
    std::uint8_t b[4];
    EXPECT_THROW(server.read(b, 4), ConnectionError);
    ASSERT_TRUE(server.repairConnection());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "client disconnected... waiting for new connection\nclient connected\n");
    EXPECT_EQ(readWords(server, 1), std::vector<std::uint32_t>{77});
}

TEST_F(TcpThreaded, CloseFromAnotherThreadWakesBlockedCalls) {
    // A blocked accept.
    Tcp server(port_);
    auto accepted = accept(server);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.close();
    EXPECT_EQ(failure([&] { accepted.get(); }),
              "Error at getting Client Socket: got invalid Socket after accepting");

    // A blocked read.
    Tcp client("127.0.0.1", port_, 0.1);
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));
    auto reader = std::async(std::launch::async, [&server] {
        std::uint8_t b[4];
        return failure([&] { server.read(b, 4); });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.close();
    EXPECT_EQ(reader.get(), "error at reading data");

    // A repair waiting for the next client reports failure, not success.
    Tcp again("127.0.0.1", port_, 0.1);
    ASSERT_NO_FATAL_FAILURE(connectPair(server, again));
    testing::internal::CaptureStdout();
    auto repaired = std::async(std::launch::async, [&server] { return server.repairConnection(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.close();
    EXPECT_FALSE(repaired.get());
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(server.isReparable());
}

TEST_F(TcpThreaded, ClientRepairRetriesUntilTheServerIsUp) {
    Tcp server(port_);
    Tcp client("127.0.0.1", port_, 0.1);
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));
    server.close();

    const auto start = std::chrono::steady_clock::now();
    auto repaired = std::async(std::launch::async, [&client] { return client.repairConnection(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    auto accepted = accept(server);
    ASSERT_TRUE(repaired.get());
    ASSERT_TRUE(accepted.get());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(350));
    writeWords(client, {42});
    EXPECT_EQ(readWords(server, 1), std::vector<std::uint32_t>{42});
}

TEST_F(TcpThreaded, ClientRepairEndsWhenClosedMeanwhile) {
    Tcp server(port_);
    Tcp client("127.0.0.1", port_, 0.1);
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));
    server.close();

    auto repaired = std::async(std::launch::async, [&client] { return client.repairConnection(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    client.close();
    EXPECT_EQ(repaired.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(repaired.get());
    EXPECT_FALSE(client.isReparable());
}

}  // namespace
