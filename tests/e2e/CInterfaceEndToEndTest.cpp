// The C interface's in-process road on a simulated camera: polling images, settings, repeated
// connections, downloads of missing calibration files and failed connections.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimHid.h"
#include "SimPhysics.h"
#include "SimVideo.h"
#include "common/BridgeClientUSBAccess.h"
#include "common/HttpTestServer.h"
#include "common/SimChannels.h"
#include "common/TestEnv.h"
#include "kelvix/DirectBridgeClientUSB.h"
#include "kelvix/ImageBuilder.h"
#include "kelvix/kelvix_c.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/PngFile.h"
#include "sdk/ActiveBridgeClient.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr float kBlackbody = 40.0f;

float celsius(unsigned short raw) {
    return (raw - 1000) / 10.0f;
}

// An application on the C interface with a simulated camera plugged in: its calibration set,
// its format definitions and a configuration file naming both.
class CInterfaceEndToEndThreaded : public kelvix_test::TempDirTest {
  protected:
    void plugIn(std::uint32_t serial) {
        serial_ = serial;
        camera_ = channels_.plugIn(serial);
        sim::SimPhysics::of(*camera_).setBlackbodyScene(kBlackbody, 20.0f, 30.0f);
        platform::createDirectory(wpath("cali"));
        platform::createDirectory(wpath("formats"));
    }
    bool writeCalibration(const std::string& dir) {
        return sim::CalibrationSetWriter(*camera_, sim::CalibrationSet::standard())
            .writeAll(path(dir), path("formats"));
    }
    // The configuration's formatspath leads nowhere: the format directory comes from init.
    void writeConfig(const std::string& name, std::uint32_t serial) {
        writeFile(name, "<?xml version=\"1.0\"?>\n<imager>\n<serial>" + std::to_string(serial) +
                            "</serial>\n<videoformatindex>0</videoformatindex>\n<fov>23</fov>\n"
                            "<calipath>" +
                            path("cali") + "</calipath>\n<formatspath>" + path("nowhere") +
                            "</formatspath>\n<temperature>\n<min>-20</min>\n<max>100</max>\n"
                            "</temperature>\n<framerate>30</framerate>\n<autoflag>\n"
                            "<enable>0</enable>\n</autoflag>\n</imager>\n");
    }
    int usbInit(const std::string& config = "config.xml") {
        return zol_kelvix_usb_init(path(config).c_str(), path("formats").c_str(), nullptr);
    }
    int flagCycles() { return kelvix_test::flagCycles(*camera_); }
    void TearDown() override {
        zol_kelvix_terminate();
        zol::DirectBridgeClientUSBTestAccess::releaseAll(
            *zol::DirectBridgeClientUSB::getInstance());
        zol::selectBridgeClient(nullptr);
        kelvix_test::TempDirTest::TearDown();
    }

    std::uint32_t serial_ = 0;
    kelvix_test::SimChannels channels_;
    std::shared_ptr<sim::SimCamera> camera_;
};

TEST_F(CInterfaceEndToEndThreaded, UsbRoadPollsImagesAndAppliesSettings) {
    plugIn(53100001);
    ASSERT_TRUE(writeCalibration("cali"));
    writeConfig("config.xml", serial_);
    ASSERT_EQ(usbInit(), 0);
    EXPECT_EQ(readFile("log.txt"), path("config.xml") + "\n1\n");
    // A connected client keeps its paths; the log starts afresh.
    EXPECT_EQ(zol_kelvix_usb_init("other.xml", nullptr, nullptr), 0);
    EXPECT_EQ(readFile("log.txt"), "other.xml\n1\n");

    int w = 0, h = 0;
    ASSERT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), 0);
    ASSERT_EQ(w, 160);
    ASSERT_EQ(h, 120);
    // Polls answer "no image" until the first flag is over; the first image shows the scene's
    // blackbody at the centre.
    std::vector<unsigned short> thermal(160 * 120);
    float centre = -1000.0f;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline && centre == -1000.0f) {
        if (zol_kelvix_get_thermal_image(&w, &h, thermal.data()) == 0) {
            centre = celsius(thermal[60 * 160 + 80]);
        }
    }
    EXPECT_NEAR(centre, kBlackbody, 0.5f);

    EXPECT_EQ(zol_kelvix_get_palette_image_size(&w, &h), 0);
    EXPECT_EQ(w * 1000 + h, 160120);
    EXPECT_EQ(zol_kelvix_set_palette(zol::eBlackWhite), 0);
    EXPECT_EQ(zol_kelvix_set_palette_scale(zol::eSigma1), 0);
    std::vector<unsigned char> rgb(160 * 120 * 3);
    ASSERT_EQ(zol_kelvix_get_thermal_palette_image(160, 120, thermal.data(), 160, 120, rgb.data()),
              0);
    zol::ImageBuilder reference(true);
    reference.setPalette(zol::eBlackWhite);
    reference.setPaletteScalingMethod(zol::eSigma1);
    reference.setData(160, 120, thermal.data());
    std::vector<unsigned char> expected(rgb.size());
    reference.convertTemperatureToPaletteImage(expected.data(), false);
    EXPECT_EQ(rgb, expected);

    // The rendering saved and read back.
    ASSERT_EQ(zol_kelvix_to_palette_save_png(thermal.data(), 160, 120, path("frame.png").c_str(),
                                             zol::eBlackWhite, zol::eSigma1),
              0);
    unsigned pw = 0, ph = 0;
    std::vector<std::uint8_t> decoded;
    ASSERT_TRUE(platform::readPngRgb(path("frame.png"), pw, ph, decoded));
    EXPECT_EQ(pw * 1000 + ph, 160120u);
    EXPECT_EQ(decoded, expected);

    // A triggered flag reaches the camera.
    const int cycles = flagCycles();
    EXPECT_EQ(zol_kelvix_trigger_shutter_flag(), 0);
    const auto flagDeadline = Clock::now() + std::chrono::seconds(5);
    while (flagCycles() == cycles && Clock::now() < flagDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(flagCycles(), cycles);
    EXPECT_EQ(zol_kelvix_set_shutter_mode(1), 0);
    EXPECT_EQ(zol_kelvix_set_temperature_range(-20, 100), 0);
    EXPECT_EQ(zol_kelvix_set_radiation_parameters(0.95f, 1.0f, 20.0f), 0);
    EXPECT_EQ(zol_kelvix_set_radiation_parameters(NAN, 1.0f, INFINITY), -1);
    EXPECT_EQ(zol_kelvix_set_radiation_parameters(0.95f, 1.0f, -INFINITY), 0);  // the housing's
    EXPECT_EQ(zol_kelvix_get_thermal_image(&w, &h, thermal.data()), 0);

    EXPECT_EQ(zol_kelvix_terminate(), 0);
    EXPECT_EQ(zol_kelvix_terminate(), -1);
    EXPECT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), -1);
    EXPECT_EQ(zol_kelvix_set_palette(zol::eIron), 0);
    EXPECT_EQ(zol_kelvix_trigger_shutter_flag(), -1);

    // Connecting again brings a new imager on the same camera.
    ASSERT_EQ(usbInit(), 0);
    int result = -1;
    for (int i = 0; i < 5 && result != 0; ++i) {
        result = zol_kelvix_get_thermal_image(&w, &h, thermal.data());
    }
    EXPECT_EQ(result, 0);
}

// Serial 0 opens a new video device for every connection: the one before gives its instance
// slot back, so that connecting never runs out of them, also when connections fail.
TEST_F(CInterfaceEndToEndThreaded, ConnectsAgainAndAgainWithSerialZero) {
    platform::VirtualClock clock;  // the camera's settling pauses cost no real time
    platform::ScopedClock scoped(clock);
    plugIn(53100004);
    ASSERT_TRUE(writeCalibration("cali"));
    writeConfig("config.xml", 0);
    platform::createDirectory(wpath("noformats"));
    testing::internal::CaptureStderr();
    for (int cycle = 0; cycle < 100; ++cycle) {
        ASSERT_EQ(usbInit(), 0) << cycle;
        ASSERT_EQ(zol_kelvix_terminate(), 0) << cycle;
    }
    for (int cycle = 0; cycle < 100; ++cycle) {
        ASSERT_EQ(
            zol_kelvix_usb_init(path("config.xml").c_str(), path("noformats").c_str(), nullptr), -1)
            << cycle;
    }
    ASSERT_EQ(usbInit(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("Reached maximum"), std::string::npos);
}

TEST_F(CInterfaceEndToEndThreaded, DownloadsMissingCalibrationFiles) {
    plugIn(53100002);
    const std::string folder = "www/repo/53/5310/Califiles SN53100002";
    platform::createDirectory(wpath("www"));
    platform::createDirectory(wpath("www/repo"));
    platform::createDirectory(wpath("www/repo/53"));
    platform::createDirectory(wpath("www/repo/53/5310"));
    platform::createDirectory(wpath(folder));
    ASSERT_TRUE(writeCalibration(folder));
    kelvix_test::HttpTestServer server(path("www"));
    ASSERT_TRUE(server.running());
    writeFile("www/downloadlinks.xml",
              "<?xml version=\"1.0\"?>\n<DownloadLinks>\n<Imager>\n<CaliData>\n<Links>\n"
              "<string>" +
                  server.url() +
                  "/repo</string>\n</Links>\n</CaliData>\n</Imager>\n</DownloadLinks>\n");
    platform::setEnvironment("KELVIX_CALI_SERVER", server.url().c_str());
    writeConfig("config.xml", serial_);

    EXPECT_EQ(usbInit(), 0);
    platform::setEnvironment("KELVIX_CALI_SERVER", nullptr);
    EXPECT_EQ(readFile("cali/Cali-53100002.xml"), readFile(folder + "/Cali-53100002.xml"));
    int w = 0, h = 0;
    EXPECT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), 0);
}

TEST_F(CInterfaceEndToEndThreaded, FailedConnectionsReportAndReleaseWhatTheyOpened) {
    plugIn(53100003);
    ASSERT_TRUE(writeCalibration("cali"));

    EXPECT_EQ(zol_kelvix_usb_init(path("missing.xml").c_str(), nullptr, nullptr), -1);
    EXPECT_EQ(readFile("log.txt"), path("missing.xml") + "\n0\n");

    writeConfig("unknown.xml", 777);
    testing::internal::CaptureStderr();
    EXPECT_EQ(usbInit("unknown.xml"), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "UVC device with serial 777 could not be found"),
              std::string::npos);

    // A video graph that cannot be built, a stream that does not start.
    writeConfig("config.xml", serial_);
    channels_.video.capture.fail(sim::SimCaptureCall::CreateGraph, E_FAIL);
    EXPECT_EQ(usbInit(), -1);
    channels_.video.capture.fail(sim::SimCaptureCall::CreateGraph, S_OK);
    channels_.video.capture.fail(sim::SimCaptureCall::RunFilter, E_FAIL);
    testing::internal::CaptureStderr();
    EXPECT_EQ(usbInit(), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "Error occurred in starting stream ... aborting. You may need to reconnect the "
                  "camera."),
              std::string::npos);
    channels_.video.capture.fail(sim::SimCaptureCall::RunFilter, S_OK);

    // Without format definitions the imager refuses; more failures than imager instances
    // may live at once, and then the camera still opens.
    platform::createDirectory(wpath("empty"));
    testing::internal::CaptureStderr();
    for (int i = 0; i < 17; ++i) {
        ASSERT_EQ(zol_kelvix_usb_init(path("config.xml").c_str(), path("empty").c_str(), nullptr),
                  -1);
    }
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Formats.def file cannot be found"),
              std::string::npos);
    EXPECT_EQ(usbInit(), 0);
    int w = 0, h = 0;
    EXPECT_EQ(zol_kelvix_get_thermal_image_size(&w, &h), 0);
}

}  // namespace
