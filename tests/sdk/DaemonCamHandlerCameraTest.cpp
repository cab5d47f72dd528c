// The daemon's handler on the simulated camera, serving a TCP client as the daemon runs it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "BridgeTestSupport.h"
#include "DaemonTestSupport.h"
#include "SimDaemonRig.h"
#include "common/TestEnv.h"
#include "imgproc/ImagerMetadataRecord.h"
#include "kelvix/Kelvix.h"
#include "kelvix/Logger.h"

namespace {

using namespace std::chrono_literals;
using daemon_test::CapturedOutput;

constexpr std::uint32_t kSerial = 5310042;
constexpr float kBlackbody = 60.0f;

// Within 20 s or so.
const auto eventually = [](auto done) { return kelvix_test::waitUntil(done, 1000, 20ms); };

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
class DaemonCamHandlerCameraThreadedDeathTest
    : public daemon_test::LoopbackDeathTest<kelvix_test::TempDirTest> {
  protected:
    void scenario() {
        daemon_test::childWatchdog();
        zol::Logger::getInstance()->configure("daemon", zol::Logger::ModeConsole, 0,
                                              zol::Logger::Error);
        CapturedOutput out;
        kelvix_test::SimChannels channels;
        auto camera = channels.plugIn(kSerial);
        sim::SimPhysics& physics = sim::SimPhysics::of(*camera);
        // A second range starting at the same minimum, so that a maximum alone names a range.
        sim::CalibrationSet set = sim::CalibrationSet::standard();
        set.optics[0].ranges[1].tMin = -20;
        daemon_test::writeCalibration(*camera, set, path("cali"));
        physics.setModel(set.optics[0].ranges[0].model);
        physics.setBlackbodyScene(kBlackbody, 20.0f, 30.0f);
        daemon_test::SimDaemonStack stack(kSerial, path("cali"), port_);
        zol::Kelvix& imager = stack.imager;
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

        const int cycles = kelvix_test::flagCycles(*camera);
        CHILD_CHECK(client->triggerFlag() == 0);
        CHILD_CHECK(out.waitFor("forceFlag\n"));
        CHILD_CHECK(eventually([&] { return kelvix_test::flagCycles(*camera) > cycles; }));

        CHILD_CHECK(imager.getAutoFlag());
        CHILD_CHECK(client->setFlagAutoMode(false) == 0);
        CHILD_CHECK(eventually([&] { return !imager.getAutoFlag(); }));

        // Only the maximum: the minimum is the handler's -20. The range changes while frames
        // flow; the worker has applied it once it has served the next command.
        zol::bridge::ThermalCamConfig range;
        range.tMax = {true, 250};
        CHILD_CHECK(client->setConfig(range));
        CHILD_CHECK(client->triggerFlag() == 0);
        CHILD_CHECK(out.waitFor("setAutoFlag(false\nforceFlag\n"));
        // The metadata is not guarded against the imager's processing: read it without frames.
        stack.device->stopStreaming();
        CHILD_CHECK(metadata(imager).tMaxRaw == 3500);
        CHILD_CHECK(metadata(imager).tMinRaw == 800);

        stack.finish(dir_);
    }
};

TEST_F(DaemonCamHandlerCameraThreadedDeathTest, ServesTheSimulatedCamera) {
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(255), daemon_test::kNoReport);
}

}  // namespace
