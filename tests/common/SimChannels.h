// Simulated cameras plugged into the platform layer for a test, and imager parameters that
// match their calibration sets.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "SimCamera.h"
#include "SimHid.h"
#include "SimPhysics.h"
#include "SimVideo.h"
#include "common/TestEnv.h"
#include "kelvix/IRDeviceParams.h"

namespace kelvix_test {

// The simulated HID and video channels in place of the system's, for as long as this lives.
struct SimChannels {
    // A camera on both channels, streaming its raw frames every `period` (100-ns units).
    std::shared_ptr<sim::SimCamera> plugIn(std::uint32_t serial, std::int64_t period = 333333) {
        auto camera = std::make_shared<sim::SimCamera>(serial);
        const sim::SimRawLayout& l = sim::SimPhysics::of(*camera).layout();
        camera->video.capabilities = {{l.rawWidth(), l.rawHeight(), period}};
        hid.addCamera(camera);
        video.attach(camera);
        return camera;
    }

    sim::SimHidBackend hid;
    platform::ScopedHidBackend scopedHid{hid};
    sim::ScopedSimVideo video;
};

// An imager's parameters for a simulated camera whose calibration set and format definitions
// lie in `cali`: the wide optic's range -20..100 degC at `rate`.
inline void simImagerParams(zol::IRDeviceParams& p, std::uint32_t serial, const std::wstring& cali,
                            float rate) {
    p.releaseStrings();
    p.serial = serial;
    p.caliPath = platform::newWideArray(cali);
    p.formatsPath = platform::newWideArray(cali);
    p.fov = 23;
    p.tMin = -20;
    p.tMax = 100;
    p.framerate = rate;
}

// The flag cycles the camera has run so far.
inline int flagCycles(sim::SimCamera& camera) {
    std::lock_guard<std::mutex> lock(camera.mutex());
    return camera.hid.flagCycles;
}

}  // namespace kelvix_test
