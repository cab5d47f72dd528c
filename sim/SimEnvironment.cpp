// Reading the description file and building the camera from it.
#include "SimEnvironment.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "CalibrationSetWriter.h"
#include "SimPhysics.h"
#include "platform/Paths.h"
#include "platform/Strings.h"

namespace sim {

namespace {

struct Description {
    std::uint32_t serial = 20240001;
    int rate = 30;
    int width = 160, height = 120;
    float target = 45.0f, left = 15.0f, right = 30.0f;
    std::string calibration;
};

std::string directoryOf(const std::string& file) {
    const std::size_t slash = file.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : file.substr(0, slash);
}

bool readDescription(const std::string& path, Description& d, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the simulated camera description " + path;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string key;
        if (!(words >> key)) {
            continue;
        }
        bool ok;
        if (key == "serial") {
            long long serial = 0;
            ok = static_cast<bool>(words >> serial) && serial > 0 && serial <= 0xFFFFFFFFLL;
            d.serial = static_cast<std::uint32_t>(serial);
        } else if (key == "rate") {
            ok = static_cast<bool>(words >> d.rate) && d.rate > 0 && d.rate <= 1000;
        } else if (key == "size") {
            // The raw frame's first row holds the 32 header words; a typo must not ask for GiBs.
            ok = static_cast<bool>(words >> d.width >> d.height) && d.width >= 32 &&
                 d.width <= 2048 && d.height >= 1 && d.height <= 2048;
        } else if (key == "scene") {
            ok = static_cast<bool>(words >> d.target >> d.left >> d.right);
        } else if (key == "calibration") {
            ok = static_cast<bool>(words >> d.calibration);
        } else {
            ok = false;
        }
        std::string rest;
        if (!ok || (words >> rest)) {
            error = path + ":" + std::to_string(number) + ": cannot use \"" + line + "\"";
            return false;
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<SimEnvironment> SimEnvironment::fromEnvironment(std::string& error) {
    const char* value = std::getenv(kVariable);
    if (value == nullptr || *value == '\0') {
        return nullptr;
    }
    return fromDescription(value, error);
}

std::unique_ptr<SimEnvironment> SimEnvironment::fromDescription(const std::string& path,
                                                                std::string& error) {
    Description d;
    std::string base;
    if (platform::directoryExists(platform::toWide(path))) {
        base = path;
    } else {
        if (!readDescription(path, d, error)) {
            return nullptr;
        }
        base = directoryOf(path);
    }
    std::string calibration = base;
    if (!d.calibration.empty()) {
        calibration = d.calibration[0] == '/' ? d.calibration : base + "/" + d.calibration;
    }
    if (!platform::createDirectory(platform::toWide(calibration))) {
        error = "cannot create " + calibration;
        return nullptr;
    }

    std::unique_ptr<SimEnvironment> env(new SimEnvironment());
    env->camera_ = std::make_shared<SimCamera>(d.serial);
    SimPhysics::Config config;
    config.seed = d.serial;
    config.layout.width = d.width;
    config.layout.height = d.height;
    env->camera_->physics = std::make_shared<SimPhysics>(*env->camera_, config);
    SimPhysics& physics = SimPhysics::of(*env->camera_);
    const SimRawLayout& layout = physics.layout();
    env->camera_->video.capabilities = {{layout.rawWidth(), layout.rawHeight(), 10000000 / d.rate}};
    CalibrationSet set = CalibrationSet::standard();
    set.streamRates = {d.rate};
    physics.setModel(set.optics[0].ranges[0].model);
    physics.setBlackbodyScene(d.target, d.left, d.right);
    if (!CalibrationSetWriter(*env->camera_, set).writeAll(calibration)) {
        error = "cannot write the calibration set to " + calibration;
        return nullptr;
    }
    env->calibrationDirectory_ = calibration;
    env->hid_.addCamera(env->camera_);
    env->scopedHid_ = std::make_unique<platform::ScopedHidBackend>(env->hid_);
    env->video_ = std::make_unique<ScopedSimVideo>();
    env->video_->attach(env->camera_);
    return env;
}

}  // namespace sim
