// The simulated camera kelvixdaemon plugs in when KELVIX_SIMULATOR names one: it reads the
// description, writes the calibration set and installs the simulated HID backend, capture
// service and registry for its own lifetime.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "SimCamera.h"
#include "SimHid.h"
#include "SimVideo.h"

namespace sim {

// A simulated camera that a program plugs in when the environment variable KELVIX_SIMULATOR
// names a description: a directory, or a text file of "key value" lines ('#' starts a comment):
//   serial 20240001        the camera's serial number
//   rate 30                frames per second
//   scene 45 15 30         a blackbody square at 45 degC in front of a gradient from 15 to 30
//   calibration cali       where the camera's calibration set is written (relative to the
//                          file; default: the file's directory, or the directory named)
// The calibration set covers the wide optic (field of view 23) with the ranges -20..100,
// 0..250 and 150..900 degC; the scene is rendered for -20..100.
class SimEnvironment {
  public:
    static constexpr const char* kVariable = "KELVIX_SIMULATOR";

    // Null without the variable; a description that cannot be used leaves an error text.
    static std::unique_ptr<SimEnvironment> fromEnvironment(std::string& error);
    // Reads the description, writes the calibration set and plugs the camera in.
    static std::unique_ptr<SimEnvironment> fromDescription(const std::string& path,
                                                           std::string& error);

    SimEnvironment(const SimEnvironment&) = delete;
    SimEnvironment& operator=(const SimEnvironment&) = delete;

    SimCamera& camera() { return *camera_; }
    const std::string& calibrationDirectory() const { return calibrationDirectory_; }

  private:
    SimEnvironment() = default;

    std::shared_ptr<SimCamera> camera_;
    std::string calibrationDirectory_;
    SimHidBackend hid_;
    std::unique_ptr<platform::ScopedHidBackend> scopedHid_;
    std::unique_ptr<ScopedSimVideo> video_;
};

}  // namespace sim
