// The daemon's stack over the simulated camera, for the daemon and C-interface tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "CalibrationSetWriter.h"
#include "DaemonTestSupport.h"
#include "common/SimChannels.h"
#include "common/TestEnv.h"
#include "kelvix/DaemonCamHandler.h"
#include "kelvix/IRDeviceDS.h"
#include "kelvix/Kelvix.h"
#include "platform/Paths.h"
#include "platform/Strings.h"

namespace daemon_test {

// The daemon's stack over the simulated camera: the video device feeds an imager initialised
// from the calibration files in `caliDir`, whose frames a handler on `port` serves.
struct SimDaemonStack {
    SimDaemonStack(std::uint32_t serial, const std::string& caliDir, int port) {
        params.serial = serial;
        params.caliPath = platform::newWideArray(platform::toWide(caliDir));
        params.formatsPath = platform::newWideArray(platform::toWide(caliDir));
        params.fov = 23;
        params.framerate = 30;
        device.reset(zol::IRDeviceDS::createInstance(params));
        CHILD_CHECK(device != nullptr);
        CHILD_CHECK(imager.init(&params, device->getFrequency(), device->getWidth(),
                                device->getHeight(), device->controlledViaHID()));
        handler = std::make_unique<zol::DaemonCamHandler>(&imager, port);
        handler->start();
        device->setClient(handler.get());
        CHILD_CHECK(device->startStreaming() == 0);
    }

    // Ends the child as the handler's worker demands (streaming already stopped): the handler
    // is shut down last.
    [[noreturn]] void finish(const std::string& tempDir) {
        params.releaseStrings();
        platform::removeTree(platform::toWide(tempDir));
        handler->shutdown();
        std::_Exit(4);
    }

    zol::IRDeviceParams params;
    std::unique_ptr<zol::IRDeviceDS> device;
    zol::Kelvix imager;
    std::unique_ptr<zol::DaemonCamHandler> handler;
};

// Writes `set` for the camera into `dir`.
inline void writeCalibration(sim::SimCamera& camera, const sim::CalibrationSet& set,
                             const std::string& dir) {
    CHILD_CHECK(platform::createDirectory(platform::toWide(dir)));
    CHILD_CHECK(sim::CalibrationSetWriter(camera, set).writeAll(dir));
}

}  // namespace daemon_test
