// The C interface on a scripted client and on the TCP road against a daemon stand-in: images,
// sizes, settings, PNG files, lost connections.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "BridgeTestSupport.h"
#include "common/HttpTestServer.h"
#include "common/TestEnv.h"
#include "kelvix/DirectBridgeClient.h"
#include "kelvix/DirectBridgeClientTCP.h"
#include "kelvix/ImageBuilder.h"
#include "kelvix/Tcp.h"
#include "kelvix/kelvix_c.h"
#include "platform/Clock.h"
#include "platform/PngFile.h"
#include "platform/Shell.h"
#include "sdk/ActiveBridgeClient.h"
#include "sdk/daemon/client/BridgeConnectionLost.h"
#include "sdk/daemon/server/BridgeWire.h"

extern "C" int kelvix_c_header_probe(void);

namespace {

// A client whose answers the test sets.
class FakeClient : public zol::DirectBridgeClient {
  public:
    enum class Answer { Image, NoImage, Lost, Broken };

    void release() override {}
    bool disconnect() override { return disconnectResult; }
    std::pair<bool, zol::ThermalImage*> getThermalImage() override {
        ++requests;
        throwFor(answer);
        return {answer == Answer::Image, newThermal()};
    }
    std::pair<bool, zol::PaletteImage*> getPaletteImage() override {
        ++requests;
        throwFor(answer);
        return {answer == Answer::Image, answer == Answer::Image ? newPalette() : nullptr};
    }
    std::pair<bool, zol::ThmPalImage> getThmPalImage() override {
        ++requests;
        throwFor(answer);
        if (answer != Answer::Image) {
            return {false, {nullptr, nullptr}};
        }
        return {true, {newThermal(), newPalette()}};
    }
    int setPalette(int p) override { return record("palette", p); }
    int setPaletteScale(int s) override { return record("scale", s); }
    int triggerFlag() override { return record("flag", 0); }
    int setFlagAutoMode(bool a) override { return record("auto", a ? 1 : 0); }
    int setTempRange(int lo, int hi) override { return record("range", lo * 1000 + hi); }
    int setRadiationParameters(float e, float t, float a) override {
        return record("radiation", static_cast<int>(e * 100 + t * 10 + a));
    }

    Answer answer = Answer::Image;
    bool disconnectResult = true;
    int setterResult = 0;
    int requests = 0;
    bool empty = false;  // images of 0 x 0 pixels without any buffer
    std::vector<std::string> calls;
    std::vector<unsigned short> thermal{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

  private:
    static void throwFor(Answer a) {
        if (a == Answer::Lost) {
            throw zol::BridgeConnectionLost();
        }
        if (a == Answer::Broken) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
    }
    zol::ThermalImage* newThermal() const {
        auto* image = new zol::ThermalImage;
        if (!empty) {
            image->width = 5;
            image->height = 3;
            image->data = thermal;
        }
        return image;
    }
    zol::PaletteImage* newPalette() const {
        auto* p = new zol::PaletteImage;
        if (empty) {
            return p;
        }
        p->width = 8;
        p->height = 3;
        p->rgb.resize(8 * 3 * 3);
        for (std::size_t i = 0; i < p->rgb.size(); ++i) {
            p->rgb[i] = static_cast<unsigned char>(i);
        }
        return p;
    }
    int record(const std::string& what, int value) {
        calls.push_back(what + " " + std::to_string(value));
        return setterResult;
    }
};

class FakeShell : public platform::Shell {
  public:
    int run(const std::string& command) override {
        commands.push_back(command);
        return result;
    }
    int result = 0;
    std::vector<std::string> commands;
};

class CInterfaceTest : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        zol::selectBridgeClient(&fake_);
    }
    void TearDown() override {
        zol::selectBridgeClient(nullptr);
        TempDirTest::TearDown();
    }
    FakeClient fake_;
};

TEST_F(CInterfaceTest, WithoutClientEveryCallFails) {
    zol::selectBridgeClient(nullptr);
    // The probe, compiled as C, counts the calls that answered -1.
    EXPECT_EQ(kelvix_c_header_probe(), 15);
}

TEST_F(CInterfaceTest, ThermalImageBySizeQueryThenCopy) {
    int w = -1, h = 480;
    unsigned short data[15] = {};
    EXPECT_EQ(zol_kelvix_get_thermal_image(&w, &h, nullptr), 0);
    EXPECT_EQ(w, 5);
    EXPECT_EQ(h, 3);
    w = h = 0;
    EXPECT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), 0);
    EXPECT_EQ(w * 100 + h, 503);
    EXPECT_EQ(fake_.requests, 2) << "size queries take an image";

    EXPECT_EQ(zol_kelvix_get_thermal_image(&w, &h, data), 0);
    EXPECT_EQ(std::vector<unsigned short>(data, data + 15), fake_.thermal);

    // Sizes that are not the image's, and a missing buffer, copy nothing.
    unsigned short untouched[15] = {};
    w = 3;
    h = 5;
    EXPECT_EQ(zol_kelvix_get_thermal_image(&w, &h, untouched), -1);
    w = 5;
    h = 3;
    EXPECT_EQ(zol_kelvix_get_thermal_image(&w, &h, nullptr), -1);
    EXPECT_EQ(zol_kelvix_get_thermal_image(nullptr, &h, untouched), -1);
    EXPECT_EQ(zol_kelvix_get_thermal_image_size(&w, nullptr), -1);
    EXPECT_EQ(untouched[0], 0);

    fake_.answer = FakeClient::Answer::NoImage;
    EXPECT_EQ(zol_kelvix_get_thermal_image(&w, &h, data), -1);
    fake_.answer = FakeClient::Answer::Lost;
    EXPECT_EQ(zol_kelvix_get_thermal_image(&w, &h, data), -2);
    EXPECT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), -2);
    // Any other failure of the client is an ordinary one, a system error too.
    fake_.answer = FakeClient::Answer::Broken;
    EXPECT_EQ(zol_kelvix_get_thermal_image(&w, &h, data), -1);
}

TEST_F(CInterfaceTest, EmptyImagesAreNoImages) {
    fake_.empty = true;
    int w = 7, h = 7;
    EXPECT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), -1);
    unsigned short thermal[1] = {0xAAAA};
    unsigned char rgb[1] = {0xAA};
    EXPECT_EQ(zol_kelvix_get_thermal_image(&w, &h, thermal), -1);
    EXPECT_EQ(zol_kelvix_get_palette_image(&w, &h, rgb), -1);
    EXPECT_EQ(zol_kelvix_get_thermal_palette_image(0, 0, thermal, 0, 0, rgb), -1);
    EXPECT_EQ(thermal[0] * 1000 + rgb[0], 0xAAAA * 1000 + 0xAA);
}

TEST_F(CInterfaceTest, PaletteImagesUseTheRowWidth) {
    int w = 0, h = 0;
    EXPECT_EQ(zol_kelvix_get_palette_image_size(&w, &h), 0);
    EXPECT_EQ(w, 8);
    EXPECT_EQ(h, 3);
    std::vector<unsigned char> rgb(8 * 3 * 3 + 1, 0xEE);
    EXPECT_EQ(zol_kelvix_get_palette_image(&w, &h, rgb.data()), 0);
    EXPECT_EQ(rgb[71], 71);
    EXPECT_EQ(rgb[72], 0xEE);
    w = 5;
    EXPECT_EQ(zol_kelvix_get_palette_image(&w, &h, rgb.data()), -1);
    fake_.answer = FakeClient::Answer::Lost;
    EXPECT_EQ(zol_kelvix_get_palette_image_size(&w, &h), -2);
}

TEST_F(CInterfaceTest, ThermalAndPaletteOfOneFrame) {
    std::vector<unsigned short> t(15);
    std::vector<unsigned char> p(72);
    EXPECT_EQ(zol_kelvix_get_thermal_palette_image(5, 3, t.data(), 8, 3, p.data()), 0);
    EXPECT_EQ(t, fake_.thermal);
    EXPECT_EQ(p[71], 71);
    // No size mode here: every size must match.
    EXPECT_EQ(zol_kelvix_get_thermal_palette_image(-1, 3, t.data(), 8, 3, p.data()), -1);
    EXPECT_EQ(zol_kelvix_get_thermal_palette_image(5, 3, t.data(), 5, 3, p.data()), -1);
    EXPECT_EQ(zol_kelvix_get_thermal_palette_image(5, 3, t.data(), 8, 3, nullptr), -1);
    fake_.answer = FakeClient::Answer::NoImage;
    EXPECT_EQ(zol_kelvix_get_thermal_palette_image(5, 3, t.data(), 8, 3, p.data()), -1);
    fake_.answer = FakeClient::Answer::Lost;
    EXPECT_EQ(zol_kelvix_get_thermal_palette_image(5, 3, t.data(), 8, 3, p.data()), -2);
}

TEST_F(CInterfaceTest, SettersReachTheClientAndPassItsResult) {
    EXPECT_EQ(zol_kelvix_set_palette(9), 0);
    EXPECT_EQ(zol_kelvix_set_palette_scale(3), 0);
    EXPECT_EQ(zol_kelvix_set_shutter_mode(7), 0);
    EXPECT_EQ(zol_kelvix_set_shutter_mode(0), 0);
    EXPECT_EQ(zol_kelvix_trigger_shutter_flag(), 0);
    fake_.setterResult = -2;
    EXPECT_EQ(zol_kelvix_set_temperature_range(-20, 120), -2);
    fake_.setterResult = -1;
    EXPECT_EQ(zol_kelvix_set_radiation_parameters(0.5f, 1.0f, 3.0f), -1);
    EXPECT_EQ(fake_.calls, (std::vector<std::string>{"palette 9", "scale 3", "auto 1", "auto 0",
                                                     "flag 0", "range -19880", "radiation 63"}));

    EXPECT_EQ(zol_kelvix_terminate(), 0);
    fake_.disconnectResult = false;
    EXPECT_EQ(zol_kelvix_terminate(), -1);
    // Terminating keeps the client selected.
    fake_.setterResult = 0;
    EXPECT_EQ(zol_kelvix_set_palette(2), 0);
}

TEST_F(CInterfaceTest, SavesThePaletteRenderingAsPng) {
    std::vector<unsigned short> thermal(6 * 2);
    for (std::size_t i = 0; i < thermal.size(); ++i) {
        thermal[i] = static_cast<unsigned short>(800 + 35 * i);
    }
    zol::ImageBuilder reference(true);
    reference.setPalette(zol::eRainbow);
    reference.setPaletteScalingMethod(zol::eManual);
    reference.setData(6, 2, thermal.data());
    std::vector<unsigned char> padded(8 * 2 * 3);
    reference.convertTemperatureToPaletteImage(padded.data(), false);

    // Another extension still gets PNG data.
    for (const std::string name : {"image.png", "image.jpg"}) {
        ASSERT_EQ(zol_kelvix_to_palette_save_png(thermal.data(), 6, 2, path(name).c_str(),
                                                 zol::eRainbow, zol::eManual),
                  0)
            << name;
        EXPECT_EQ(readFile(name).substr(1, 3), "PNG");
        unsigned w = 0, h = 0;
        std::vector<std::uint8_t> decoded;
        ASSERT_TRUE(platform::readPngRgb(path(name), w, h, decoded));
        EXPECT_EQ(w, 8u);
        EXPECT_EQ(h, 2u);
        // Pixel (x, y) carries the renderer's three bytes at (y * 8 + x) * 3, in order.
        EXPECT_EQ(decoded, padded) << name;
    }

    EXPECT_EQ(zol_kelvix_to_palette_save_png(thermal.data(), 6, 2,
                                             path("missing/dir/image.png").c_str(), 6, 2),
              -1);
    EXPECT_FALSE(std::ifstream(path("missing/dir/image.png")).good());
    EXPECT_EQ(zol_kelvix_to_palette_save_png(thermal.data(), 0, 2, path("z.png").c_str(), 6, 2),
              -1);
    EXPECT_EQ(zol_kelvix_to_palette_save_png(thermal.data(), 6, 2, nullptr, 6, 2), -1);
}

TEST_F(CInterfaceTest, DaemonKillRunsAShellCommand) {
    FakeShell shell;
    {
        platform::ScopedShell scoped(shell);
        EXPECT_EQ(zol_kelvix_daemon_kill(), 0);
        // Nothing stopped: no such process, no killall, no shell.
        for (int status : {1, 127, -1}) {
            shell.result = status;
            EXPECT_EQ(zol_kelvix_daemon_kill(), -1) << status;
        }
    }
    EXPECT_EQ(shell.commands, (std::vector<std::string>(4, "killall kelvixdaemon")));
    EXPECT_EQ(zol_kelvix_daemon_launch(), -1);
    EXPECT_EQ(zol_kelvix_daemon_is_running(), -1);
}

// The TCP road against a daemon stand-in on 127.0.0.1.
class CInterfaceTcpThreaded : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        bridge_test::listenOnLoopback();
    }
    void TearDown() override {
        zol::selectBridgeClient(nullptr);
        TempDirTest::TearDown();
    }
    // Connects while the daemon may still be coming up.
    static int tcpInit(int port) {
        int result = zol_kelvix_tcp_init("127.0.0.1", port);
        for (int i = 0; i < 250 && result != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            result = zol_kelvix_tcp_init("127.0.0.1", port);
        }
        return result;
    }
};

TEST_F(CInterfaceTcpThreaded, ConnectionFailures) {
    EXPECT_EQ(zol_kelvix_tcp_init("127.0.0.1", kelvix_test::HttpTestServer::closedPort()), -1);
    EXPECT_EQ(zol_kelvix_set_radiation_parameters(1.0f, 1.0f, 20.0f), -1);
    EXPECT_EQ(zol_kelvix_tcp_init("host.invalid", 1337), -2);
    EXPECT_EQ(zol_kelvix_tcp_init(nullptr, 1337), -1);
    for (int port : {0, -1, 65536}) {
        EXPECT_EQ(zol_kelvix_tcp_init("127.0.0.1", port), -1) << port;
    }
}

// A daemon that is gone for good is reported (-2) once the client has tried to reach it again
// for 5 s (on the virtual clock), and at once from then on.
TEST_F(CInterfaceTcpThreaded, DaemonGoneIsLostForGoodWithinTheBound) {
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    const int port = bridge_test::freeLoopbackPort();
    {
        zol::Tcp daemon(port);
        auto served = std::async(std::launch::async, [&daemon] {
            daemon.connect();
            bridge_test::readWords(daemon, 1);
        });
        EXPECT_EQ(tcpInit(port), 0);
        EXPECT_EQ(zol_kelvix_set_palette(3), 0);
        served.get();
    }
    const std::uint32_t before = clock.tickMs();
    int w = 0, h = 0;
    EXPECT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), -2);
    EXPECT_GE(clock.tickMs() - before, 5000u);
    EXPECT_LE(clock.tickMs() - before, 5200u);
    EXPECT_EQ(zol_kelvix_set_palette(3), -2);
    EXPECT_EQ(zol_kelvix_trigger_shutter_flag(), -2);
    EXPECT_LE(clock.tickMs() - before, 5200u) << "no second repair";

    // The client is free to reach another daemon.
    bridge_test::FakeDaemon next(2, 2);
    EXPECT_EQ(tcpInit(next.port()), 0);
    EXPECT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), 0);
    EXPECT_EQ(zol_kelvix_terminate(), 0);
    next.stop();
}

TEST_F(CInterfaceTcpThreaded, ImagesAndSettingsThroughTheDaemon) {
    testing::internal::CaptureStdout();
    bridge_test::FakeDaemon daemon(6, 4);
    // A port beyond 65535 is refused, not wrapped onto the daemon's.
    EXPECT_EQ(zol_kelvix_tcp_init("127.0.0.1", daemon.port() + 65536), -1);
    ASSERT_EQ(tcpInit(daemon.port()), 0);

    int w = 0, h = 0;
    ASSERT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), 0);
    EXPECT_EQ(w * 100 + h, 604);
    std::vector<unsigned short> thermal(24);
    ASSERT_EQ(zol_kelvix_get_thermal_image(&w, &h, thermal.data()), 0);
    EXPECT_EQ(thermal, bridge_test::testFrame(6, 4, 2));
    ASSERT_EQ(zol_kelvix_get_palette_image_size(&w, &h), 0);
    EXPECT_EQ(w * 100 + h, 804);
    std::vector<unsigned char> rgb(8 * 4 * 3);
    ASSERT_EQ(zol_kelvix_get_thermal_palette_image(6, 4, thermal.data(), 8, 4, rgb.data()), 0);
    unsigned padded = 0;
    EXPECT_EQ(rgb, bridge_test::testPalette(bridge_test::testFrame(6, 4, 4), 6, 4, padded));

    EXPECT_EQ(zol_kelvix_set_palette(4), 0);
    EXPECT_EQ(zol_kelvix_trigger_shutter_flag(), 0);
    EXPECT_EQ(zol_kelvix_set_radiation_parameters(1.0f, 1.0f, 20.0f), -1);
    ASSERT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), 0);  // after the settings went out
    int failed = 0;
    for (int cycle = 0; cycle < 200; ++cycle) {  // reconnecting at once is served every time
        failed += zol_kelvix_terminate() != 0 ||
                  zol_kelvix_tcp_init("127.0.0.1", daemon.port()) != 0 ||
                  zol_kelvix_get_thermal_image_size(&w, &h) != 0;
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(zol_kelvix_terminate(), 0);
    // The closed connection cannot be repaired.
    EXPECT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), -2);
    EXPECT_EQ(zol_kelvix_set_palette(4), -2);
    daemon.stop();
    testing::internal::GetCapturedStdout();

    const std::vector<unsigned> commands = daemon.commands();
    ASSERT_GE(commands.size(), 7u);
    EXPECT_EQ(std::vector<unsigned>(commands.begin() + 4, commands.begin() + 7),
              (std::vector<unsigned>{3, 4, 0}));
    ASSERT_EQ(daemon.configs().size(), 1u);
    EXPECT_TRUE(daemon.configs()[0].palette.first);
    EXPECT_EQ(daemon.configs()[0].palette.second, 4);
}

// A daemon that stays silent, drips pixels a byte every 50 ms, or sends MiB bursts that each beat
// the stall time but fall below the minimum rate together, fails the call within its pace.
TEST_F(CInterfaceTcpThreaded, SilentOrDrippingDaemonFailsTheCall) {
    const zol::bridge::Bounds shorter{{300, 300, 8 << 20}};
    zol::bridge::ScopedBounds scoped(shorter);
    for (std::size_t drip : {0, 1, 1 << 20}) {
        const int port = bridge_test::freeLoopbackPort();
        zol::Tcp daemon(port);
        auto served = std::async(std::launch::async, [&] {
            daemon.connect();
            bridge_test::readWords(daemon, 1);
            if (drip != 0) {
                bridge_test::writeWords(daemon, {1, 8 << 20, 2048, 2048, 1, 2});  // then pixels
            }
            std::vector<std::uint8_t> piece(drip);
            for (; drip != 0 && daemon.write(piece.data(), drip);) {
                std::this_thread::sleep_for(std::chrono::milliseconds(drip == 1 ? 50 : 250));
            }
            bridge_test::readWords(daemon, 1);  // until the client lets go
        });
        ASSERT_EQ(tcpInit(port), 0);
        int w = 0, h = 0;
        auto result = std::async(std::launch::async, zol_kelvix_get_thermal_image_size, &w, &h);
        const bool ended = result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        daemon.close();  // frees a call still waiting
        EXPECT_TRUE(ended && result.get() == -1 && zol_kelvix_terminate() == 0) << drip;
    }
}

// Peers that keep a steady pace are served however long a reply takes: a reader of the daemon's
// 8 MiB reply (more than socket buffers hold) at 3 MB/s, and a daemon sending 2 MiB at 1.3 MB/s.
TEST_F(CInterfaceTcpThreaded, SteadySlowPeersAreServed) {
    const zol::bridge::Bounds shorter{{500, 500, 256 << 10}};
    zol::bridge::ScopedBounds scoped(shorter);
    const auto paced = [](std::size_t bytes, std::chrono::milliseconds pause, auto move) {
        std::vector<std::uint8_t> piece(64 << 10);
        for (std::size_t done = 0; done < bytes; done += piece.size()) {
            move(piece.data(), std::min(piece.size(), bytes - done));
            std::this_thread::sleep_for(pause);
        }
    };
    bridge_test::FakeDaemon daemon(2048, 2048);
    zol::Tcp reader("127.0.0.1", daemon.port(), 0.1);
    try {
        reader.connect();
    } catch (const zol::ConnectionError&) {
        ASSERT_TRUE(reader.repairConnection());
    }
    bridge_test::writeWords(reader, {0});
    ASSERT_EQ(bridge_test::readWords(reader, 6)[1], 8u << 20);
    paced(8 << 20, std::chrono::milliseconds(20),
          [&](std::uint8_t* p, std::size_t n) { reader.read(p, n); });
    reader.close();
    daemon.stop();
    EXPECT_EQ(daemon.sendResults(), std::vector<bool>{true});

    const int port = bridge_test::freeLoopbackPort();
    zol::Tcp slow(port);
    auto served = std::async(std::launch::async, [&] {
        slow.connect();
        bridge_test::readWords(slow, 1);
        bridge_test::writeWords(slow, {1, 2 << 20, 1024, 1024, 1, 2});
        paced(2 << 20, std::chrono::milliseconds(50),
              [&](std::uint8_t* p, std::size_t n) { slow.write(p, n); });
    });
    ASSERT_EQ(tcpInit(port), 0);
    int w = 0, h = 0;
    EXPECT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), 0);
    EXPECT_EQ(w, 1024);
    served.get();
    EXPECT_EQ(zol_kelvix_terminate(), 0);
}

// A client that leaves a reply unread (2 MiB: more than its receive buffer, less than the daemon's
// send buffer) is dropped at the stall time, not only once it asks again, for the next client.
TEST_F(CInterfaceTcpThreaded, ClientThatStopsReadingIsDroppedForTheNext) {
    const zol::bridge::Bounds shorter{{1000, 1000, 1 << 10}};
    zol::bridge::ScopedBounds scoped(shorter);
    bridge_test::FakeDaemon daemon(1024, 1024);
    zol::DirectBridgeClientTCP stuck;
    stuck.init("127.0.0.1", daemon.port());
    ASSERT_TRUE(stuck.connectBlocked() && stuck.sendCommand(0));
    ASSERT_EQ(tcpInit(daemon.port()), 0);
    int w = 0, h = 0;
    auto next = std::async(std::launch::async, [&] {
        int result = -1;
        for (int i = 0; i < 5 && result != 0; ++i) {  // each call waits its stall time at most
            result = zol_kelvix_get_thermal_image_size(&w, &h);
        }
        return result;
    });
    const bool ended = next.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    stuck.release();  // frees a daemon still stuck on it
    EXPECT_TRUE(ended && next.get() == 0 && w == 1024);
    EXPECT_EQ(zol_kelvix_terminate(), 0);
    daemon.stop();
}

}  // namespace
