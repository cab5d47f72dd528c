// The daemon's handler: frames and settings served, the next client, a stuck client, shutdown
// and a port in use (death tests: the handler may end the process).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <vector>

#include "BridgeTestSupport.h"
#include "CalibrationSetWriter.h"
#include "DaemonTestSupport.h"
#include "SimCamera.h"
#include "SimHid.h"
#include "SimPhysics.h"
#include "SimVideo.h"
#include "common/TestEnv.h"
#include "kelvix/DaemonCamHandler.h"
#include "kelvix/DirectBridgeClientTCP.h"
#include "kelvix/IRDeviceDS.h"
#include "kelvix/ImageBuilder.h"
#include "kelvix/Kelvix.h"
#include "kelvix/Logger.h"
#include "platform/Event.h"
#include "platform/Paths.h"
#include "platform/Socket.h"
#include "platform/Strings.h"

namespace {

using namespace std::chrono_literals;
using daemon_test::CapturedOutput;
using daemon_test::connectedClient;
using daemon_test::kNoReport;
using zol::bridge::ThermalCamConfig;

zol::IRFrameMetadata noMetadata() {
    zol::IRFrameMetadata m{};
    m.flagState = zol::FlagOpen;
    return m;
}

ThermalCamConfig only(std::pair<bool, int> ThermalCamConfig::*item, int value) {
    ThermalCamConfig c;
    (c.*item) = {true, value};
    return c;
}

struct Thermal {
    bool ok;
    std::unique_ptr<zol::ThermalImage> image;
};
Thermal thermal(zol::DirectBridgeClientTCP& client) {
    auto r = client.getThermalImage();
    return {r.first, std::unique_ptr<zol::ThermalImage>(r.second)};
}

// The palette image the handler must send: rendered by a builder that saw the same sequence of
// frames and settings as the handler's.
bool samePalette(const zol::PaletteImage& got, zol::ImageBuilder& mirror,
                 std::vector<std::uint16_t> frame, unsigned w, unsigned h, unsigned counter) {
    mirror.setData(w, h, frame.data());
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(mirror.getStride()) * h * 3);
    mirror.convertTemperatureToPaletteImage(rgb.data(), false);
    return got.width == mirror.getStride() && got.height == h && got.frameCounter == counter &&
           got.rgb == rgb;
}

TEST(DaemonCamHandlerTest, ConfigurationAppliesOnlyItsFirstSetItem) {
    CapturedOutput out;
    zol::Kelvix imager;
    {
        // Never started: going away must not wait for a worker.
        zol::DaemonCamHandler handler(&imager, bridge_test::freeLoopbackPort());
        imager.setAutoFlag(true);

        ThermalCamConfig c = only(&ThermalCamConfig::palette, 3);
        c.autoFlag = {true, false};
        handler.setConfig(c);
        c = only(&ThermalCamConfig::paletteScale, 1);
        c.autoFlag = {true, false};
        handler.setConfig(c);
        EXPECT_TRUE(imager.getAutoFlag());

        c = ThermalCamConfig();
        c.autoFlag = {true, false};
        c.tMin = {true, 0};
        handler.setConfig(c);
        EXPECT_FALSE(imager.getAutoFlag());
        c.autoFlag = {true, true};
        handler.setConfig(c);
        EXPECT_TRUE(imager.getAutoFlag());
    }
    EXPECT_EQ(out.text(), "setAutoFlag(false\nsetAutoFlag(true\n");
}

class DaemonCamHandlerThreadedDeathTest : public daemon_test::LoopbackDeathTest<> {};

// In a death-test child: a started handler with a client connected to it.
struct ServedHandler {
    explicit ServedHandler(int port) : handler(&imager, port) {
        handler.start();
        client = connectedClient(port);
        CHILD_CHECK(out.waitFor("client connected\n"));
    }
    CapturedOutput out;
    zol::Kelvix imager;
    zol::DaemonCamHandler handler;
    std::unique_ptr<zol::DirectBridgeClientTCP> client;
};

// Requests answered from the newest frame: at once before the first one, else after waiting
// for a frame not sent yet; settings change the palette rendering.
TEST_F(DaemonCamHandlerThreadedDeathTest, ServesFramesAndSettings) {
    auto scenario = [this] {
        daemon_test::childWatchdog();
        ServedHandler served(port_);
        CapturedOutput& out = served.out;
        zol::Kelvix& imager = served.imager;
        zol::DaemonCamHandler& handler = served.handler;
        auto& client = served.client;

        Thermal first = thermal(*client);
        CHILD_CHECK(first.ok && first.image->width == 640 && first.image->height == 480);
        CHILD_CHECK(first.image->frameCounter == 1);
        CHILD_CHECK(first.image->data == std::vector<std::uint16_t>(640 * 480, 0));

        // Nothing new: the next request waits for the next frame, which has a new size. The
        // handler's event is its own: the process-wide event of that name does not wake it.
        const unsigned w = 162, h = 120;
        auto pending = std::async(std::launch::async, [&] { return thermal(*client); });
        platform::Event::named("DataAvailableEvent")->set();
        CHILD_CHECK(pending.wait_for(300ms) == std::future_status::timeout);
        std::vector<std::uint16_t> frame = bridge_test::testFrame(w, h, 2);
        handler.onThermalFrame(frame.data(), w, h, noMetadata(), nullptr);
        Thermal second = pending.get();
        CHILD_CHECK(second.ok && second.image->width == w && second.image->height == h);
        CHILD_CHECK(second.image->frameCounter == 2 && second.image->data == frame);

        zol::ImageBuilder mirror(true);
        mirror.setPalette(zol::eIron);
        mirror.setPaletteScalingMethod(zol::eMinMax);
        frame = bridge_test::testFrame(w, h, 3);
        handler.onThermalFrame(frame.data(), w, h, noMetadata(), nullptr);
        auto palette = client->getPaletteImage();
        std::unique_ptr<zol::PaletteImage> image(palette.second);
        CHILD_CHECK(palette.first && samePalette(*image, mirror, frame, w, h, 3));

        // Palette and tMin set: only the palette counts. Then the scaling.
        ThermalCamConfig c = only(&ThermalCamConfig::palette, zol::eBlackWhite);
        c.tMin = {true, 0};
        CHILD_CHECK(client->setConfig(c));
        mirror.setPalette(zol::eBlackWhite);
        frame = bridge_test::testFrame(w, h, 4);
        handler.onThermalFrame(frame.data(), w, h, noMetadata(), nullptr);
        auto both = client->getThmPalImage();
        std::unique_ptr<zol::ThermalImage> t(both.second.first);
        std::unique_ptr<zol::PaletteImage> p(both.second.second);
        CHILD_CHECK(both.first && t->frameCounter == 4 && t->data == frame);
        CHILD_CHECK(samePalette(*p, mirror, frame, w, h, 4));

        CHILD_CHECK(client->setPaletteScale(zol::eSigma1) == 0);
        mirror.setPaletteScalingMethod(zol::eSigma1);
        frame = bridge_test::testFrame(w, h, 5);
        handler.onThermalFrame(frame.data(), w, h, noMetadata(), nullptr);
        palette = client->getPaletteImage();
        image.reset(palette.second);
        CHILD_CHECK(palette.first && samePalette(*image, mirror, frame, w, h, 5));

        // Commands without a reply keep the stream in step; 4 triggers the flag.
        for (unsigned command : {6u, 7u, 5u, 8u, 99u, 4u}) {
            CHILD_CHECK(client->sendCommand(command));
        }
        CHILD_CHECK(client->setFlagAutoMode(false) == 0);
        CHILD_CHECK(out.waitFor("forceFlag\nsetAutoFlag(false\n"));
        CHILD_CHECK(!imager.getAutoFlag());
        frame = bridge_test::testFrame(w, h, 6);
        handler.onThermalFrame(frame.data(), w, h, noMetadata(), nullptr);
        Thermal last = thermal(*client);
        CHILD_CHECK(last.ok && last.image->frameCounter == 6 && last.image->data == frame);
        // The frame just sent is not sent again: the wake-up it left behind is spent.
        pending = std::async(std::launch::async, [&] { return thermal(*client); });
        CHILD_CHECK(pending.wait_for(300ms) == std::future_status::timeout);
        frame = bridge_test::testFrame(w, h, 7);
        handler.onThermalFrame(frame.data(), w, h, noMetadata(), nullptr);
        last = pending.get();
        CHILD_CHECK(last.ok && last.image->frameCounter == 7 && last.image->data == frame);

        // The client is still connected: the worker blocked on it ends the process.
        handler.shutdown();
        std::_Exit(4);
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(255), kNoReport);
}

// A client that goes away is replaced by the next one; the newest frame is still served.
TEST_F(DaemonCamHandlerThreadedDeathTest, ServesTheNextClient) {
    auto scenario = [this] {
        daemon_test::childWatchdog();
        CapturedOutput out;
        zol::Kelvix imager;
        zol::DaemonCamHandler handler(&imager, port_);
        handler.start();
        std::vector<std::uint16_t> frame = bridge_test::testFrame(8, 4, 1);
        handler.onThermalFrame(frame.data(), 8, 4, noMetadata(), nullptr);
        for (int round = 0; round < 3; ++round) {
            auto client = connectedClient(port_);
            // A client that connects before the server has noticed the previous one leaving
            // is dropped with the old listener; its request fails and it connects again.
            Thermal got = thermal(*client);
            for (int attempt = 0; attempt < 5 && !got.ok; ++attempt) {
                got = thermal(*client);
            }
            CHILD_CHECK(got.ok && got.image->data == frame);
            CHILD_CHECK(got.image->frameCounter == static_cast<unsigned>(2 + round));
            client->disconnect();
            frame = bridge_test::testFrame(8, 4, 2 + round);
            handler.onThermalFrame(frame.data(), 8, 4, noMetadata(), nullptr);
        }
        CHILD_CHECK(out.waitFor("client disconnected... waiting for new connection\n"));
        // The worker waits for a client in the bridge's repair: shutting down ends the process.
        handler.shutdown();
        std::_Exit(4);
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(255), kNoReport);
}

// A client that stops reading leaves the worker stuck in a send, or in accepting the next client
// once it resets the connection: frames still reach the handler, and a stop still ends the
// process at once.
TEST_F(DaemonCamHandlerThreadedDeathTest, WorkerStuckOnItsClientHoldsNoFramesBack) {
    auto scenario = [this](bool reset) {
        daemon_test::childWatchdog();
        ServedHandler served(port_);
        CapturedOutput& out = served.out;
        zol::DaemonCamHandler& handler = served.handler;
        auto& client = served.client;
        // 16 MiB per reply: more than the socket buffers hold.
        const unsigned w = 4096, h = 2048;
        std::vector<std::uint16_t> frame(static_cast<std::size_t>(w) * h, 1200);
        auto deliverFrames = [&] {
            for (int i = 0; i < 4; ++i) {
                auto done = std::async(std::launch::async, [&] {
                    handler.onThermalFrame(frame.data(), w, h, noMetadata(), nullptr);
                });
                CHILD_CHECK(done.wait_for(10s) == std::future_status::ready);
            }
        };
        for (int i = 0; i < 3; ++i) {
            CHILD_CHECK(client->sendCommand(0));
        }
        deliverFrames();
        if (reset) {
            client->release();  // with replies unread: the connection is reset
            CHILD_CHECK(out.waitFor("client disconnected... waiting for new connection\n"));
            deliverFrames();
        }
        daemon_test::childWatchdog(1s);
        handler.shutdown();
        std::_Exit(4);
    };
    for (bool reset : {false, true}) {
        EXPECT_EXIT(scenario(reset), ::testing::ExitedWithCode(255), kNoReport) << reset;
    }
}

// A stop while the client waits for a frame ends the process through the worker, every time.
TEST_F(DaemonCamHandlerThreadedDeathTest, StopWhileTheClientWaitsForAFrameEndsTheProcess) {
    auto scenario = [this] {
        daemon_test::childWatchdog();
        ServedHandler served(port_);
        CHILD_CHECK(thermal(*served.client).ok);
        auto pending = std::async(std::launch::async, [&] { return thermal(*served.client); });
        CHILD_CHECK(pending.wait_for(20ms) == std::future_status::timeout);
        served.handler.shutdown();
        std::_Exit(4);
    };
    for (int stop = 0; stop < 40; ++stop) {
        EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(255), kNoReport) << stop;
    }
}

// Whether the worker already waits for a client or only starts listening after the shutdown.
TEST_F(DaemonCamHandlerThreadedDeathTest, ShutdownBeforeAnyClientEndsTheProcess) {
    auto scenario = [this](std::chrono::milliseconds pause) {
        daemon_test::childWatchdog();
        std::cout.rdbuf(std::cerr.rdbuf());
        zol::Kelvix imager;
        zol::DaemonCamHandler handler(&imager, port_);
        handler.start();
        std::this_thread::sleep_for(pause);
        handler.shutdown();
        std::_Exit(4);
    };
    for (std::chrono::milliseconds pause : {100ms, 0ms}) {
        EXPECT_EXIT(
            scenario(pause), ::testing::ExitedWithCode(255),
            ::testing::HasSubstr("wait for client...\nerror at connecting will exit ... what?: "));
    }
}

TEST_F(DaemonCamHandlerThreadedDeathTest, PortInUseEndsTheProcess) {
    auto scenario = [this] {
        daemon_test::childWatchdog();
        std::cout.rdbuf(std::cerr.rdbuf());
        platform::SocketHandle holder = platform::openTcpSocket();
        CHILD_CHECK(platform::bindSocket(holder, "127.0.0.1", port_));
        CHILD_CHECK(platform::listenSocket(holder, 1));
        zol::Kelvix imager;
        zol::DaemonCamHandler handler(&imager, port_);
        handler.worker();
        std::_Exit(4);
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(255),
                ::testing::HasSubstr(
                    "error at connecting will exit ... what?: Error at binding Server Socket\n"));
}

}  // namespace
