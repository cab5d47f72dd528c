#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "BridgeTestSupport.h"
#include "CalibrationSetWriter.h"
#include "DaemonTestSupport.h"
#include "SimCamera.h"
#include "SimHid.h"
#include "SimPhysics.h"
#include "SimVideo.h"
#include "common/TestEnv.h"
#include "imgproc/ImagerMetadataRecord.h"
#include "kelvix/DaemonCamHandler.h"
#include "kelvix/IRDeviceDS.h"
#include "kelvix/Kelvix.h"
#include "kelvix/Logger.h"
#include "platform/Paths.h"
#include "platform/Strings.h"

namespace {

using namespace std::chrono_literals;
using daemon_test::CapturedOutput;

constexpr std::uint32_t kSerial = 5310042;
constexpr float kBlackbody = 60.0f;

wchar_t* newWide(const std::wstring& s) {
    wchar_t* p = new wchar_t[s.size() + 1];
    std::wcscpy(p, s.c_str());
    return p;
}

template <typename Done>
bool eventually(Done done) {
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

ImagerMetadataRecord metadata(zol::Kelvix& imager) {
    alignas(ImagerMetadataRecord) unsigned char bytes[128] = {};
    unsigned char* p = bytes;
    imager.getMetaData(p, sizeof(bytes));
    ImagerMetadataRecord r;
    std::memcpy(&r, bytes, sizeof(r));
    return r;
}

// The handler as the daemon runs it: the simulated camera's video device feeds the imager,
// whose thermal frames a TCP client fetches.
class DaemonCamHandlerCameraThreadedDeathTest : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        bridge_test::listenOnLoopback();
        port_ = bridge_test::freeLoopbackPort();
        ASSERT_NE(port_, 0);
    }

    void scenario() {
        zol::Logger::getInstance()->configure("daemon", zol::Logger::ModeConsole, 0,
                                              zol::Logger::Error);
        CapturedOutput out;
        auto camera = std::make_shared<sim::SimCamera>(kSerial);
        sim::SimPhysics& physics = sim::SimPhysics::of(*camera);
        camera->video.capabilities = {
            {physics.layout().rawWidth(), physics.layout().rawHeight(), 333333}};
        sim::SimHidBackend hid;
        hid.addCamera(camera);
        sim::ScopedHidBackend scopedHid(hid);
        sim::ScopedSimVideo video;
        video.attach(camera);
        // A second range starting at the same minimum, so that a maximum alone names a range.
        sim::CalibrationSet set = sim::CalibrationSet::standard();
        set.optics[0].ranges[1].tMin = -20;
        CHILD_CHECK(platform::createDirectory(wpath("cali")));
        CHILD_CHECK(sim::CalibrationSetWriter(*camera, set).writeAll(path("cali")));
        physics.setModel(set.optics[0].ranges[0].model);
        physics.setBlackbodyScene(kBlackbody, 20.0f, 30.0f);

        zol::IRDeviceParams params;
        params.serial = kSerial;
        params.caliPath = newWide(wpath("cali"));
        params.formatsPath = newWide(wpath("cali"));
        params.fov = 23;
        params.framerate = 30;
        std::unique_ptr<zol::IRDeviceDS> device(zol::IRDeviceDS::createInstance(params));
        CHILD_CHECK(device != nullptr);
        zol::Kelvix imager;
        CHILD_CHECK(imager.init(&params, device->getFrequency(), device->getWidth(),
                                device->getHeight(), device->controlledViaHID()));
        zol::DaemonCamHandler handler(&imager, port_);
        handler.start();
        device->setClient(&handler);
        CHILD_CHECK(device->startStreaming() == 0);
        auto client = daemon_test::connectedClient(port_);

        // Frames follow each other; after the first flag cycles the scene's temperature shows.
        unsigned last = 0;
        CHILD_CHECK(eventually([&] {
            auto r = client->getThermalImage();
            std::unique_ptr<zol::ThermalImage> image(r.second);
            CHILD_CHECK(r.first && image->frameCounter > last);
            last = image->frameCounter;
            if (last == 1) {
                return false;  // the empty image before the first frame
            }
            CHILD_CHECK(image->width == 160 && image->height == 120);
            const float centre = (image->data[60 * 160 + 80] - 1000) / 10.0f;
            return std::abs(centre - kBlackbody) < 1.0f;
        }));
        auto palette = client->getPaletteImage();
        std::unique_ptr<zol::PaletteImage> rgb(palette.second);
        CHILD_CHECK(palette.first && rgb->width == 160 && rgb->height == 120);
        CHILD_CHECK(rgb->frameCounter > last);

        auto flagCycles = [&] {
            std::lock_guard<std::mutex> lock(camera->mutex());
            return camera->hid.flagCycles;
        };
        const int cycles = flagCycles();
        CHILD_CHECK(client->triggerFlag() == 0);
        CHILD_CHECK(out.waitFor("forceFlag\n"));
        CHILD_CHECK(eventually([&] { return flagCycles() > cycles; }));

        CHILD_CHECK(imager.getAutoFlag());
        CHILD_CHECK(client->setFlagAutoMode(false) == 0);
        CHILD_CHECK(eventually([&] { return !imager.getAutoFlag(); }));

        // Only the maximum: the minimum is the handler's -20.
        CHILD_CHECK(metadata(imager).tMaxRaw == 2000);
        zol::bridge::ThermalCamConfig range;
        range.tMax = {true, 250};
        CHILD_CHECK(client->setConfig(range));
        CHILD_CHECK(eventually([&] { return metadata(imager).tMaxRaw == 3500; }));
        CHILD_CHECK(metadata(imager).tMinRaw == 800);

        device->stopStreaming();
        params.releaseStrings();
        platform::removeTree(platform::toWide(dir_));
        handler.shutdown();
        std::_Exit(4);
    }

    int port_ = 0;
};

TEST_F(DaemonCamHandlerCameraThreadedDeathTest, ServesTheSimulatedCamera) {
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(255), daemon_test::kNoReport);
}

}  // namespace
