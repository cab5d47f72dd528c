// The simulated camera of the fuzz targets that initialise an imager or read recordings, with
// its calibration set on disk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SimCamera.h"
#include "kelvix/IRDeviceParams.h"

namespace kelvix_fuzz {

// A simulated camera of 32 x 8 pixels (raw frames of 32 x 9 words at 30 Hz) whose calibration
// set and Formats.def lie in the scratch directory: what the imager's initialisation and the
// recording reader need to get past their file checks. Made once per process.
struct FuzzCamera {
    static constexpr std::uint32_t kSerial = 31342001;
    static constexpr std::int64_t kFramePeriod = 333333;

    std::shared_ptr<sim::SimCamera> camera;
    std::wstring directory;
    unsigned rawWidth = 0;
    unsigned rawHeight = 0;
    // Raw frames the camera renders: flag closed, then open.
    std::vector<std::uint16_t> closedFrame;
    std::vector<std::uint16_t> openFrame;

    // Points the parameters' calibration and formats paths (owned by them) at the directory.
    void usePaths(zol::IRDeviceParams& params) const;
};

const FuzzCamera& fuzzCamera();

}  // namespace kelvix_fuzz
