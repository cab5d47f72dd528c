#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>

#include "BridgeTestSupport.h"
#include "DaemonTestSupport.h"
#include "SimEnvironment.h"
#include "common/TestEnv.h"
#include "kelvix/IRDeviceParams.h"
#include "kelvix/Logger.h"
#include "platform/Strings.h"
#include "sdk/daemon/server/IRDaemon.h"

namespace {

class IRDaemonThreadedDeathTest : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        bridge_test::listenOnLoopback();
    }
};

// A stop request that comes before the daemon waits for it is kept, not lost: the run serves
// the camera and stops at once (the worker, still waiting for a client, ends the process).
TEST_F(IRDaemonThreadedDeathTest, StopBeforeTheRunIsKept) {
    auto scenario = [this] {
        daemon_test::childWatchdog();
        std::cout.rdbuf(std::cerr.rdbuf());
        zol::Logger::getInstance()->configure("daemon", zol::Logger::ModeConsole, 0,
                                              zol::Logger::Error);
        std::string error;
        std::unique_ptr<sim::SimEnvironment> simulator =
            sim::SimEnvironment::fromDescription(dir_, error);
        if (!simulator) {
            std::cerr << "no simulated camera: " << error << std::endl;
            std::_Exit(3);
        }
        zol::IRDeviceParams params;
        params.fov = 23;
        params.framerate = 30;
        params.caliPath = kelvix_test::newWide(platform::toWide(simulator->calibrationDirectory()));
        params.formatsPath =
            kelvix_test::newWide(platform::toWide(simulator->calibrationDirectory()));
        IRDaemon::consoleHandler(platform::kConsoleShutdown);
        IRDaemon daemon;
        daemon.run(params, bridge_test::freeLoopbackPort());
        std::_Exit(4);
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(255),
                ::testing::HasSubstr("wait for client...\nerror at connecting will exit"));
}

}  // namespace
