// The C interface reaching the simulated camera through the daemon's handler (a death test: the
// handler's shutdown ends the process).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "BridgeTestSupport.h"
#include "DaemonTestSupport.h"
#include "SimDaemonRig.h"
#include "common/TestEnv.h"
#include "kelvix/Kelvix.h"
#include "kelvix/Logger.h"
#include "kelvix/kelvix_c.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kSerial = 5310077;
constexpr float kBlackbody = 35.0f;

// An application on the C interface reaching the simulated camera through the daemon's
// handler. Shutting the handler down while it waits for the next client ends the process.
class CInterfaceDaemonThreadedDeathTest
    : public daemon_test::LoopbackDeathTest<kelvix_test::TempDirTest> {
  protected:
    void scenario() {
        zol::Logger::getInstance()->configure("daemon", zol::Logger::ModeConsole, 0,
                                              zol::Logger::Error);
        daemon_test::CapturedOutput out;
        kelvix_test::SimChannels channels;
        auto camera = channels.plugIn(kSerial);
        sim::SimPhysics& physics = sim::SimPhysics::of(*camera);
        daemon_test::writeCalibration(*camera, sim::CalibrationSet::standard(), path("cali"));
        physics.setBlackbodyScene(kBlackbody, 20.0f, 30.0f);
        daemon_test::SimDaemonStack stack(kSerial, path("cali"), port_);

        int connected = -1;
        for (int i = 0; i < 250 && connected != 0; ++i) {
            connected = zol_kelvix_tcp_init("127.0.0.1", port_);
            if (connected != 0) {
                std::this_thread::sleep_for(20ms);
            }
        }
        CHILD_CHECK(connected == 0);

        std::vector<unsigned short> thermal(160 * 120);
        float centre = -1000.0f;
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (std::abs(centre - kBlackbody) > 1.0f && std::chrono::steady_clock::now() < end) {
            int w = 160, h = 120;
            if (zol_kelvix_get_thermal_image(&w, &h, thermal.data()) == 0) {
                centre = (thermal[60 * 160 + 80] - 1000) / 10.0f;
            }
        }
        CHILD_CHECK(std::abs(centre - kBlackbody) <= 1.0f);
        int w = 0, h = 0;
        CHILD_CHECK(zol_kelvix_get_palette_image_size(&w, &h) == 0 && w == 160 && h == 120);

        const int cycles = kelvix_test::flagCycles(*camera);
        CHILD_CHECK(zol_kelvix_trigger_shutter_flag() == 0);
        CHILD_CHECK(out.waitFor("forceFlag\n"));
        CHILD_CHECK(zol_kelvix_set_shutter_mode(0) == 0);
        const auto flagEnd = std::chrono::steady_clock::now() + 10s;
        while (kelvix_test::flagCycles(*camera) == cycles &&
               std::chrono::steady_clock::now() < flagEnd) {
            std::this_thread::sleep_for(20ms);
        }
        CHILD_CHECK(kelvix_test::flagCycles(*camera) > cycles);
        CHILD_CHECK(zol_kelvix_set_radiation_parameters(0.9f, 1.0f, 20.0f) == -1);
        CHILD_CHECK(zol_kelvix_terminate() == 0);

        stack.device->stopStreaming();
        stack.finish(dir_);
    }
};

TEST_F(CInterfaceDaemonThreadedDeathTest, PollsTheCameraThroughTheDaemon) {
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(255), daemon_test::kNoReport);
}

}  // namespace
