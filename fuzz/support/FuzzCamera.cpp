// Built once per process: physics of 32 x 8 pixels, the standard calibration set, and one
// closed-flag and one open-flag raw frame.
#include "support/FuzzCamera.h"

#include <cstdlib>

#include "CalibrationSetWriter.h"
#include "SimPhysics.h"
#include "platform/Strings.h"
#include "support/FuzzFile.h"

namespace kelvix_fuzz {

namespace {

FuzzCamera make() {
    FuzzCamera c;
    c.camera = std::make_shared<sim::SimCamera>(FuzzCamera::kSerial);
    sim::SimPhysics::Config config;
    config.seed = FuzzCamera::kSerial;
    config.layout.width = 32;
    config.layout.height = 8;
    config.deadPixels = 1;
    c.camera->physics = std::make_shared<sim::SimPhysics>(*c.camera, config);
    sim::SimPhysics& physics = *c.camera->physics;
    c.directory = scratchDirectory();
    sim::CalibrationSetWriter writer(*c.camera, sim::CalibrationSet::standard());
    if (!writer.writeAll(platform::toNarrow(c.directory))) {
        std::abort();
    }
    physics.setModel(writer.set().optics[0].ranges[0].model);
    physics.setUniformScene(30.0f);
    c.rawWidth = static_cast<unsigned>(physics.layout().rawWidth());
    c.rawHeight = static_cast<unsigned>(physics.layout().rawHeight());
    c.openFrame.resize(physics.layout().rawWords());
    c.closedFrame.resize(physics.layout().rawWords());
    physics.beginFlagCycle(1);
    physics.nextFrame(c.closedFrame.data());
    physics.nextFrame(c.openFrame.data());
    return c;
}

}  // namespace

void FuzzCamera::usePaths(zol::IRDeviceParams& params) const {
    delete[] params.caliPath;
    delete[] params.formatsPath;
    params.caliPath = platform::newWideArray(directory);
    params.formatsPath = platform::newWideArray(directory);
}

const FuzzCamera& fuzzCamera() {
    static const FuzzCamera camera = make();
    return camera;
}

}  // namespace kelvix_fuzz
