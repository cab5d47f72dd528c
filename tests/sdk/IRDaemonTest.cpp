// The daemon's run on the simulated camera: stop requests before and during the run, and a failed
// imager init (death tests).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "BridgeTestSupport.h"
#include "DaemonTestSupport.h"
#include "SimEnvironment.h"
#include "common/TestEnv.h"
#include "kelvix/DirectBridgeClientTCP.h"
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

    // In the child: the simulated camera and a configuration for it.
    std::unique_ptr<sim::SimEnvironment> simulatedCamera(zol::IRDeviceParams& params) {
        zol::Logger::getInstance()->configure("daemon", zol::Logger::ModeConsole, 0,
                                              zol::Logger::Error);
        std::string error;
        std::unique_ptr<sim::SimEnvironment> simulator =
            sim::SimEnvironment::fromDescription(dir_, error);
        if (!simulator) {
            std::cerr << "no simulated camera: " << error << std::endl;
            std::_Exit(3);
        }
        params.fov = 23;
        params.framerate = 30;
        params.caliPath =
            platform::newWideArray(platform::toWide(simulator->calibrationDirectory()));
        params.formatsPath =
            platform::newWideArray(platform::toWide(simulator->calibrationDirectory()));
        return simulator;
    }
};

// A stop request that comes before the daemon waits for it is kept, not lost: the run serves
// the camera and stops at once (the worker, still waiting for a client, ends the process).
TEST_F(IRDaemonThreadedDeathTest, StopBeforeTheRunIsKept) {
    auto scenario = [this] {
        daemon_test::childWatchdog();
        std::cout.rdbuf(std::cerr.rdbuf());
        zol::IRDeviceParams params;
        auto simulator = simulatedCamera(params);
        IRDaemon::consoleHandler(platform::kConsoleShutdown);
        IRDaemon daemon;
        daemon.run(params, bridge_test::freeLoopbackPort());
        std::_Exit(4);
    };
    EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(255),
                ::testing::HasSubstr("wait for client...\nerror at connecting will exit"));
}

// An imager that cannot be initialised (no calibration where the configuration points) fails
// the run before anything is served.
TEST_F(IRDaemonThreadedDeathTest, FailedImagerInitFailsTheRun) {
    zol::IRDeviceParams params;
    auto simulator = simulatedCamera(params);
    delete[] params.caliPath;
    params.caliPath = platform::newWideArray(wpath("empty"));
    testing::internal::CaptureStdout();
    IRDaemon daemon;
    EXPECT_FALSE(daemon.run(params, bridge_test::freeLoopbackPort()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no worker was started";
    params.releaseStrings();
}

// Whatever the client does, a stop from the console ends the process within a second (-1).
TEST_F(IRDaemonThreadedDeathTest, StopEndsTheProcessWithinASecondWhateverTheClientDoes) {
    enum Client { kSilent, kNeverReads, kResetsDuringAReply };
    auto scenario = [this](Client behaviour) {
        daemon_test::childWatchdog();
        daemon_test::CapturedOutput out;
        zol::IRDeviceParams params;
        auto simulator = simulatedCamera(params);
        const int port = bridge_test::freeLoopbackPort();
        std::unique_ptr<zol::DirectBridgeClientTCP> client;
        std::thread([&] {
            client = daemon_test::connectedClient(port);
            CHILD_CHECK(out.waitFor("client connected\n"));
            for (int i = 0; behaviour != kSilent && i < 400; ++i) {
                CHILD_CHECK(client->sendCommand(0));  // replies never read
            }
            if (behaviour == kResetsDuringAReply) {
                client->release();
                CHILD_CHECK(out.waitFor("client disconnected... waiting for new connection\n"));
            }
            IRDaemon::consoleHandler(platform::kConsoleShutdown);
            daemon_test::childWatchdog(std::chrono::seconds(1));
        }).detach();
        IRDaemon daemon;
        std::_Exit(daemon.run(params, port) ? 0 : 4);
    };
    for (Client behaviour : {kSilent, kNeverReads, kResetsDuringAReply}) {
        EXPECT_EXIT(scenario(behaviour), ::testing::ExitedWithCode(255), daemon_test::kNoReport)
            << behaviour;
    }
}

}  // namespace
