// The TCP bridge client against scripted servers: round trips, settings, resets, drops, malformed
// replies, closed endpoints and connect failures.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "BridgeTestSupport.h"
#include "kelvix/DirectBridgeClientTCP.h"
#include "kelvix/Tcp.h"
#include "sdk/daemon/server/BridgeWire.h"

namespace {

using bridge_test::readWords;
using bridge_test::writeWords;
using zol::DirectBridgeClientTCP;
using zol::Tcp;

const char* const kUnrepairable = "tcp connection could not be repaired (system reasons)...";

const auto runtimeError = bridge_test::thrownText<std::runtime_error>;

class DirectBridgeClientTCPThreaded : public ::testing::Test {
  protected:
    void SetUp() override {
        bridge_test::listenOnLoopback();
        port_ = bridge_test::freeLoopbackPort();
        ASSERT_GT(port_, 0);
        testing::internal::CaptureStdout();
    }
    void TearDown() override {
        client_.release();
        daemon_.reset();
        testing::internal::GetCapturedStdout();
    }
    // Connects while the server may still be coming up.
    void connectClient(int port) {
        client_.init("127.0.0.1", port);
        for (int i = 0; i < 500; ++i) {
            if (client_.connect().first) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FAIL() << "no connection";
    }
    void startDaemon(unsigned width, unsigned height) {
        daemon_ = std::make_unique<bridge_test::FakeDaemon>(width, height);
        connectClient(daemon_->port());
    }
    // A raw server on port_ running `script` once its client is in.
    std::future<void> serve(Tcp& server, std::function<void()> script) {
        auto done = std::async(std::launch::async, [&server, script] {
            server.connect();
            script();
        });
        connectClient(port_);
        return done;
    }
    static void sendThermalReply(Tcp& server, const std::vector<std::uint32_t>& header,
                                 std::size_t payload) {
        writeWords(server, header);
        std::vector<std::uint8_t> bytes(payload, 0x11);
        server.write(bytes.data(), bytes.size());
    }

    int port_ = 0;
    DirectBridgeClientTCP client_;
    std::unique_ptr<bridge_test::FakeDaemon> daemon_;
};

TEST_F(DirectBridgeClientTCPThreaded, EveryRequestRoundTrips) {
    startDaemon(158, 120);

    auto thermal = client_.getThermalImage();
    std::unique_ptr<zol::ThermalImage> t(thermal.second);
    ASSERT_TRUE(thermal.first);
    EXPECT_EQ(t->frameCounter, 1u);
    EXPECT_EQ(t->width, 158u);
    EXPECT_EQ(t->height, 120u);
    EXPECT_EQ(t->data, bridge_test::testFrame(158, 120, 1));

    auto palette = client_.getPaletteImage();
    std::unique_ptr<zol::PaletteImage> p(palette.second);
    ASSERT_TRUE(palette.first);
    unsigned padded = 0;
    EXPECT_EQ(p->rgb,
              bridge_test::testPalette(bridge_test::testFrame(158, 120, 2), 158, 120, padded));
    EXPECT_EQ(p->width, 160u) << "the renderer's padded row width";
    EXPECT_EQ(padded, 160u);
    EXPECT_EQ(p->height, 120u);
    EXPECT_EQ(p->frameCounter, 2u);
    EXPECT_EQ(p->channels, 3u);
    EXPECT_EQ(p->bytesPerChannel, 1u);

    auto both = client_.getThmPalImage();
    std::unique_ptr<zol::ThermalImage> bt(both.second.first);
    std::unique_ptr<zol::PaletteImage> bp(both.second.second);
    ASSERT_TRUE(both.first);
    EXPECT_EQ(bt->frameCounter, 3u);
    EXPECT_EQ(bp->frameCounter, 3u);
    EXPECT_EQ(bt->data, bridge_test::testFrame(158, 120, 3));
    EXPECT_EQ(bp->rgb, bridge_test::testPalette(bt->data, 158, 120, padded));

    EXPECT_EQ(client_.setPalette(9), 0);
    EXPECT_EQ(client_.setPaletteScale(3), 0);
    EXPECT_EQ(client_.setFlagAutoMode(false), 0);
    EXPECT_EQ(client_.setTempRange(-10, 60), 0);
    EXPECT_EQ(client_.triggerFlag(), 0);
    EXPECT_EQ(client_.setRadiationParameters(0.95f, 1.0f, 20.0f), -1);
    // A last round trip: everything before it has been taken.
    auto last = client_.getThermalImage();
    delete last.second;
    ASSERT_TRUE(last.first);

    EXPECT_EQ(daemon_->commands(), (std::vector<unsigned>{0, 1, 2, 3, 3, 3, 3, 4, 0}));
    const auto configs = daemon_->configs();
    ASSERT_EQ(configs.size(), 4u);
    EXPECT_EQ(configs[0].palette, (std::pair<bool, int>{true, 9}));
    EXPECT_FALSE(configs[0].paletteScale.first || configs[0].autoFlag.first ||
                 configs[0].tMin.first || configs[0].tMax.first);
    EXPECT_EQ(configs[1].paletteScale, (std::pair<bool, int>{true, 3}));
    EXPECT_FALSE(configs[1].palette.first);
    EXPECT_EQ(configs[2].autoFlag, (std::pair<bool, bool>{true, false}));
    EXPECT_EQ(configs[3].tMin, (std::pair<bool, int>{true, -10}));
    EXPECT_EQ(configs[3].tMax, (std::pair<bool, int>{true, 60}));
    EXPECT_FALSE(configs[3].fourthValue.first || configs[3].fifthValue.first);
}

TEST_F(DirectBridgeClientTCPThreaded, SettersSendCommandThreeAndFourteenWords) {
    Tcp server(port_);
    std::vector<std::uint32_t> range, autoOff, flag;
    auto done = serve(server, [&] {
        range = readWords(server, 15);
        autoOff = readWords(server, 15);
        flag = readWords(server, 1);
    });
    EXPECT_EQ(client_.setTempRange(0, 50), 0);
    EXPECT_EQ(client_.setFlagAutoMode(false), 0);
    EXPECT_EQ(client_.triggerFlag(), 0);
    done.get();
    const auto minus20 = static_cast<std::uint32_t>(-20);
    EXPECT_EQ(range, (std::vector<std::uint32_t>{3, 0, 0, 0, 0, 1, 0, 15, 0, 0, 0, 0, 1, 50, 1}));
    EXPECT_EQ(autoOff,
              (std::vector<std::uint32_t>{3, 0, 0, 0, 0, 0, 1, 15, 0, 0, 0, minus20, 0, 100, 0}));
    EXPECT_EQ(flag, std::vector<std::uint32_t>{4});
}

// A setting that no server received is a failure, also when the connection was repaired.
TEST_F(DirectBridgeClientTCPThreaded, SettingLostToAResetConnectionIsMinusOne) {
    Tcp server(port_);
    std::promise<void> reset[3];
    std::vector<std::uint32_t> afterwards;
    auto done = serve(server, [&] {
        for (std::promise<void>& r : reset) {
            readWords(server, 1);
            server.close();  // one word still unread: the connection is reset
            r.set_value();
            server.connect();
        }
        afterwards = readWords(server, 15);
    });
    const std::vector<std::function<int()>> setters = {[&] { return client_.setPalette(5); },
                                                       [&] { return client_.setTempRange(0, 250); },
                                                       [&] { return client_.triggerFlag(); }};
    for (std::size_t i = 0; i < setters.size(); ++i) {
        ASSERT_TRUE(client_.sendCommand(5) && client_.sendCommand(5));
        reset[i].get_future().wait();
        EXPECT_EQ(setters[i](), -1) << i;
    }
    EXPECT_EQ(client_.setTempRange(0, 250), 0);
    done.get();
    EXPECT_EQ(afterwards,
              (std::vector<std::uint32_t>{3, 0, 0, 0, 0, 1, 0, 15, 0, 0, 0, 0, 1, 250, 1}))
        << "only the last setting arrived";
}

TEST_F(DirectBridgeClientTCPThreaded, DroppedAfterTheThermalReplyGivesNoImagesThenRecovers) {
    Tcp server(port_);
    auto done = serve(server, [&] {
        EXPECT_EQ(readWords(server, 1), std::vector<std::uint32_t>{2});
        sendThermalReply(server, {1, 8, 2, 2, 1, 2}, 8);
        server.repairConnection();
        // Later requests reach the new connection.
        EXPECT_EQ(readWords(server, 1), std::vector<std::uint32_t>{0});
        sendThermalReply(server, {2, 8, 2, 2, 1, 2}, 8);
    });
    auto both = client_.getThmPalImage();
    EXPECT_FALSE(both.first);
    EXPECT_EQ(both.second.first, nullptr);
    EXPECT_EQ(both.second.second, nullptr);

    auto thermal = client_.getThermalImage();
    std::unique_ptr<zol::ThermalImage> t(thermal.second);
    done.get();
    ASSERT_TRUE(thermal.first);
    EXPECT_EQ(t->frameCounter, 2u);
    EXPECT_EQ(t->data, (std::vector<std::uint16_t>(4, 0x1111)));
}

TEST_F(DirectBridgeClientTCPThreaded, MalformedRepliesAreRefusedAndTheConnectionReplaced) {
    Tcp server(port_);
    // Each bad header is followed by the client replacing its connection.
    const std::vector<std::vector<std::uint32_t>> bad = {
        {1, 100, 160, 120, 1, 2},                         // payload disagrees
        {1, 0xFFFFFFF0u, 0xFFFFu, 0xFFFFu, 1, 2},         // far beyond the bounds
        {1, 65536u * 32768u * 2u, 65536u, 32768u, 1, 2},  // wraps in 32 bits
        {1, 160 * 120 * 3, 160, 120, 3, 1},               // a palette reply
    };
    // Thermal requests get the bad headers in turn, the palette request a good reply. A
    // reconnection may land in the queue of the listener that the repair drops: the server
    // then repairs again.
    auto done = serve(server, [&] {
        std::size_t next = 0;
        for (;;) {
            try {
                const std::uint32_t command = readWords(server, 1)[0];
                if (command == 1) {
                    sendThermalReply(server, {7, 12, 4, 1, 3, 1}, 12);
                    return;
                }
                writeWords(server, bad[next++ % bad.size()]);
                std::uint8_t b[4];
                server.read(b, 4);
                ADD_FAILURE() << "the client kept the connection";
                return;
            } catch (const zol::ConnectionError&) {
                server.repairConnection();
            }
        }
    });
    for (std::size_t i = 0; i < bad.size(); ++i) {
        auto thermal = client_.getThermalImage();
        std::unique_ptr<zol::ThermalImage> t(thermal.second);
        EXPECT_FALSE(thermal.first) << i;
        EXPECT_LE(t->data.size(), 160u * 120u) << i;
    }
    std::pair<bool, zol::PaletteImage*> palette{false, nullptr};
    for (int i = 0; i < 10 && !palette.first; ++i) {
        delete palette.second;
        palette = client_.getPaletteImage();
    }
    std::unique_ptr<zol::PaletteImage> p(palette.second);
    done.get();
    ASSERT_TRUE(palette.first);
    EXPECT_EQ(p->frameCounter, 7u);
    EXPECT_EQ(p->rgb, std::vector<std::uint8_t>(12, 0x11));
}

TEST_F(DirectBridgeClientTCPThreaded, ClosedEndpointIsLostForGood) {
    startDaemon(8, 4);
    EXPECT_TRUE(client_.disconnect());
    EXPECT_EQ(runtimeError([&] { delete client_.getThermalImage().second; }), kUnrepairable);
    EXPECT_EQ(runtimeError([&] { delete client_.getPaletteImage().second; }), kUnrepairable);
    EXPECT_EQ(runtimeError([&] { client_.getThmPalImage(); }), kUnrepairable);
    EXPECT_EQ(client_.setPalette(2), -2);
    EXPECT_EQ(client_.setTempRange(0, 1), -2);
    EXPECT_EQ(client_.triggerFlag(), -2);
    EXPECT_EQ(client_.setRadiationParameters(1, 1, 1), -1);
    EXPECT_TRUE(client_.disconnect()) << "the endpoint is kept";

    // A new endpoint connects again (a first attempt may land in the queue of the listener
    // that the daemon drops while replacing its client).
    connectClient(daemon_->port());
    bool served = false;
    for (int i = 0; i < 10 && !served; ++i) {
        auto thermal = client_.getThermalImage();
        delete thermal.second;
        served = thermal.first;
    }
    EXPECT_TRUE(served);
    client_.release();
    EXPECT_FALSE(client_.disconnect());
}

TEST_F(DirectBridgeClientTCPThreaded, WithoutEndpointNothingIsReached) {
    EXPECT_FALSE(client_.disconnect());
    EXPECT_EQ(client_.connect(), (std::pair<bool, bool>{false, true}));
    EXPECT_FALSE(client_.connectBlocked());
    EXPECT_EQ(client_.getError(), "");
    EXPECT_EQ(runtimeError([&] { delete client_.getThermalImage().second; }), kUnrepairable);
    EXPECT_EQ(client_.setPalette(1), -2);
    EXPECT_EQ(client_.triggerFlag(), -2);
}

TEST_F(DirectBridgeClientTCPThreaded, ConnectFailuresAndRepeatedInit) {
    client_.init("127.0.0.1", bridge_test::freeLoopbackPort());
    EXPECT_EQ(client_.connect(), (std::pair<bool, bool>{false, false}));
    EXPECT_EQ(client_.getError(), "Error at connection to Server");
    client_.init("", port_);
    EXPECT_EQ(client_.connect(), (std::pair<bool, bool>{false, true}));
    EXPECT_EQ(client_.getError(), "Error at parsing host address");

    // While connected, init keeps the connection.
    startDaemon(4, 2);
    client_.init("", 1);
    EXPECT_EQ(client_.connect(), (std::pair<bool, bool>{true, false}));
    auto thermal = client_.getThermalImage();
    delete thermal.second;
    EXPECT_TRUE(thermal.first);
}

TEST_F(DirectBridgeClientTCPThreaded, ConnectBlockedWaitsForTheDaemon) {
    client_.init("127.0.0.1", port_);
    auto connected = std::async(std::launch::async, [this] { return client_.connectBlocked(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(connected.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    daemon_ = std::make_unique<bridge_test::FakeDaemon>(4, 2, port_);
    ASSERT_TRUE(connected.get());
    auto thermal = client_.getThermalImage();
    delete thermal.second;
    EXPECT_TRUE(thermal.first);
}

}  // namespace
