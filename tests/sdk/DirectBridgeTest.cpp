// The daemon's end of the bridge against real sockets: commands, records, image replies, lost
// clients, a port in use, and a closed bridge ending the process.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "BridgeTestSupport.h"
#include "kelvix/DirectBridge.h"
#include "kelvix/Tcp.h"
#include "sdk/daemon/server/BridgeWire.h"

namespace {

using bridge_test::readWords;
using bridge_test::writeWords;
using zol::DirectBridge;
using zol::Tcp;

class DirectBridgeThreaded : public ::testing::Test {
  protected:
    void SetUp() override {
        bridge_test::listenOnLoopback();
        port_ = bridge_test::freeLoopbackPort();
        ASSERT_GT(port_, 0);
        bridge_ = std::make_unique<DirectBridge>(port_);
    }
    // Starts the bridge's accept and connects `client` to it.
    void connectPair(Tcp& client) {
        auto accepted = std::async(std::launch::async, [this] { return bridge_->connect(); });
        connect(client);
        ASSERT_TRUE(accepted.get());
    }
    static void connect(Tcp& client) {
        for (int i = 0; i < 500; ++i) {
            try {
                client.connect();
                return;
            } catch (const zol::ConnectionError&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        FAIL() << "no connection";
    }
    // Connects a client while the bridge replaces a lost one, until `pending` (blocked in the
    // bridge) completes: a connection that landed in the old listener's queue is dropped with
    // it, so it is made again.
    template <class T>
    void reconnect(Tcp& client, std::future<T>& pending) {
        for (int i = 0; i < 100; ++i) {
            connect(client);
            if (pending.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready) {
                return;
            }
            client.close();
        }
        FAIL() << "the bridge took no new client";
    }

    int port_ = 0;
    std::unique_ptr<DirectBridge> bridge_;
};

TEST_F(DirectBridgeThreaded, CommandsAndConfigurationRecordsAreRead) {
    Tcp client("127.0.0.1", port_, 0.1);
    connectPair(client);
    // Unknown commands are plain words: the next word is the next command.
    writeWords(client, {9, 0, 3});
    EXPECT_EQ(bridge_->waitForCommand(), 9u);
    EXPECT_EQ(bridge_->waitForCommand(), 0u);
    EXPECT_EQ(bridge_->waitForCommand(), 3u);

    // The record is taken whole even when it arrives in two parts.
    auto config = std::async(std::launch::async, [this] { return bridge_->receiveConfig(); });
    writeWords(client, {6, 1, 2, 0, 0, 1, 15, 0});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    writeWords(client, {0, 0, static_cast<std::uint32_t>(-5), 1, 45, 1, 4});
    const auto received = config.get();
    ASSERT_TRUE(received.first);
    EXPECT_EQ(received.second.palette, (std::pair<bool, int>{true, 6}));
    EXPECT_FALSE(received.second.paletteScale.first);
    EXPECT_EQ(received.second.autoFlag, (std::pair<bool, bool>{true, false}));
    EXPECT_EQ(received.second.tMin, (std::pair<bool, int>{true, -5}));
    EXPECT_EQ(received.second.tMax, (std::pair<bool, int>{true, 45}));
    EXPECT_EQ(bridge_->waitForCommand(), 4u);
    EXPECT_EQ(bridge_->getError(), "No Errors");
}

TEST_F(DirectBridgeThreaded, ImageRepliesAreAHeaderAndRowsOfPixels) {
    Tcp client("127.0.0.1", port_, 0.1);
    connectPair(client);
    std::vector<std::uint16_t> frame = bridge_test::testFrame(160, 120, 5);
    frame[0] = 0x1234;
    ASSERT_TRUE(bridge_->sendThermalImage(frame.data(), 160, 120, 77));
    EXPECT_EQ(readWords(client, 6), (std::vector<std::uint32_t>{77, 38400, 160, 120, 1, 2}));
    std::vector<std::uint8_t> pixels(38400);
    client.read(pixels.data(), pixels.size());
    EXPECT_EQ(pixels[0], 0x34);
    EXPECT_EQ(pixels[1], 0x12);
    EXPECT_EQ(pixels[2 * 160 * 60 + 2], frame[160 * 60 + 1] & 0xFF);

    std::vector<std::uint8_t> rgb(164 * 3 * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) {
        rgb[i] = static_cast<std::uint8_t>(i);
    }
    ASSERT_TRUE(bridge_->sendPaletteImage(rgb.data(), 164, 3, 78));
    EXPECT_EQ(readWords(client, 6), (std::vector<std::uint32_t>{78, 164 * 3 * 3, 164, 3, 3, 1}));
    std::vector<std::uint8_t> back(rgb.size());
    client.read(back.data(), back.size());
    EXPECT_EQ(back, rgb);

    // An empty image is a header alone; the connection stays usable.
    ASSERT_TRUE(bridge_->sendThermalImage(nullptr, 0, 0, 79));
    EXPECT_EQ(readWords(client, 6), (std::vector<std::uint32_t>{79, 0, 0, 0, 1, 2}));
    // An image no client would take is answered as empty, so the client is not left waiting.
    EXPECT_TRUE(bridge_->sendThermalImage(frame.data(), 70000, 70000, 80));
    EXPECT_EQ(readWords(client, 6), (std::vector<std::uint32_t>{80, 0, 0, 0, 1, 2}));
    EXPECT_TRUE(bridge_->sendPaletteImage(rgb.data(), 4097, 4097, 81));
    EXPECT_EQ(readWords(client, 6), (std::vector<std::uint32_t>{81, 0, 0, 0, 3, 1}));
    writeWords(client, {1});
    EXPECT_EQ(bridge_->waitForCommand(), 1u);
}

TEST_F(DirectBridgeThreaded, LostClientIsReplacedAndTheRequestDropped) {
    testing::internal::CaptureStdout();
    Tcp first("127.0.0.1", port_, 0.1);
    connectPair(first);

    // Gone while a command is awaited: 8 once the next client is in.
    auto command = std::async(std::launch::async, [this] { return bridge_->waitForCommand(); });
    first.close();
    Tcp second("127.0.0.1", port_, 0.1);
    reconnect(second, command);
    EXPECT_EQ(command.get(), 8u);

    // Gone in the middle of a configuration record: defaults, nothing set.
    writeWords(second, {1, 1, 2});
    auto config = std::async(std::launch::async, [this] { return bridge_->receiveConfig(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    second.close();
    Tcp third("127.0.0.1", port_, 0.1);
    reconnect(third, config);
    const auto received = config.get();
    EXPECT_FALSE(received.first);
    EXPECT_FALSE(received.second.palette.first);
    EXPECT_EQ(received.second.tMax.second, 100);

    // Gone before a large reply: the send fails and the next client is served.
    third.close();
    std::vector<std::uint16_t> frame(2048 * 2048, 1000);  // more than a send buffer holds
    auto sent = std::async(std::launch::async,
                           [&] { return bridge_->sendThermalImage(frame.data(), 2048, 2048, 1); });
    Tcp fourth("127.0.0.1", port_, 0.1);
    reconnect(fourth, sent);
    EXPECT_FALSE(sent.get());
    writeWords(fourth, {0});
    EXPECT_EQ(bridge_->waitForCommand(), 0u);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("client disconnected... waiting for new connection\nclient connected\n"),
              std::string::npos);
}

TEST_F(DirectBridgeThreaded, FakeDaemonSkipsThePaletteWhenTheThermalReplyFailed) {
    bridge_.reset();
    testing::internal::CaptureStdout();
    bridge_test::FakeDaemon daemon(2048, 2048);
    Tcp client("127.0.0.1", daemon.port(), 0.1);
    connect(client);
    writeWords(client, {2});
    client.close();
    // The first reply on the new connection answers its own request (a connection that
    // landed in the old listener's queue is dropped and made again).
    Tcp next("127.0.0.1", daemon.port(), 0.1);
    std::vector<std::uint32_t> header;
    for (int i = 0; i < 100 && header.empty(); ++i) {
        try {
            next.close();
            connect(next);
            writeWords(next, {0});
            header = readWords(next, 6);
        } catch (const zol::ConnectionError&) {
        }
    }
    ASSERT_EQ(header.size(), 6u);
    EXPECT_EQ(header[1], 2048u * 2048u * 2u);
    EXPECT_EQ(header[4], 1u);
    std::vector<std::uint8_t> pixels(header[1]);
    next.read(pixels.data(), pixels.size());
    next.close();
    daemon.stop();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(daemon.commands(), (std::vector<unsigned>{2, 0}));
    EXPECT_EQ(daemon.sendResults(), (std::vector<bool>{false, true}));
}

TEST_F(DirectBridgeThreaded, PortInUseFailsToConnect) {
    Tcp holder(port_);
    auto accepted = std::async(std::launch::async, [&holder] { return holder.connect(); });
    Tcp client("127.0.0.1", port_, 0.1);
    connect(client);
    ASSERT_TRUE(accepted.get());
    EXPECT_FALSE(bridge_->connect());
    EXPECT_EQ(bridge_->getError(), "Error at binding Server Socket");
}

// A closed bridge cannot be repaired: every operation ends the process.
TEST(DirectBridgeDeathTest, ClosedBridgeEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    bridge_test::listenOnLoopback();
    const int port = bridge_test::freeLoopbackPort();
    EXPECT_EXIT(
        {
            DirectBridge bridge(port);
            bridge.close();
            bridge.waitForCommand();
        },
        ::testing::ExitedWithCode(255), "");
    EXPECT_EXIT(
        {
            DirectBridge bridge(port);
            bridge.close();
            bridge.receiveConfig();
        },
        ::testing::ExitedWithCode(255), "");
    std::uint8_t rgb[12] = {};
    EXPECT_EXIT(
        {
            DirectBridge bridge(port);
            bridge.close();
            bridge.sendPaletteImage(rgb, 4, 1, 1);
        },
        ::testing::ExitedWithCode(255), "");
}

}  // namespace
