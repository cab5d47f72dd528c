// Fuzz target: the correction-file reader of both layouts, followed by one corrected frame.
// The first input byte also chooses whether the planes cover a larger sensor, and its offsets
// (a vertical offset of 7 stands for a sensor of 2^30 x 2^30 pixels that no camera has).
#include <cstddef>
#include <cstdint>
#include <string>

#include "imgproc/OpCorr.h"
#include "imgproc/OpTestSupport.h"
#include "support/FuzzFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // File name stem of serial 1, FOV 1, range 0..100.
    const std::wstring path = kelvix_fuzz::writeInputFile(data, size, "Cali-1-1-0-100.dat");
    const std::wstring dir = path.substr(0, path.find_last_of(L'/'));
    SharedParameterBlock shared;
    shared.serial = 1;
    shared.fov = 1;
    shared.tMin = 0.0f;
    shared.tMax = 100.0f;
    shared.tableDirectory = dir.c_str();
    if (size > 0 && (data[0] & 1)) {
        shared.hasDeviceRes = true;
        shared.deviceResWidth = 10;
        shared.deviceResHeight = 8;
        shared.deviceResOffsetX = data[0] >> 4;
        shared.deviceResOffsetY = (data[0] >> 1) & 7;
        if (shared.deviceResOffsetY == 7) {
            shared.deviceResWidth = shared.deviceResHeight = 1 << 30;
            shared.deviceResOffsetY = 0;
        }
    }
    optest::SourceOp root(&shared, 8, 6);
    OpCorr corr(&root, &shared, nullptr);
    if (root.start() != S_OK) {
        __builtin_trap();
    }
    corr.readCalibration();
    corr.updateDeviation();
    std::int16_t* pixels = reinterpret_cast<std::int16_t*>(root.frame->pixels);
    for (int i = 0; i < 48; ++i) {
        pixels[i] = static_cast<std::int16_t>(i * 1361 - 30000);
    }
    if (root.run() == S_OK) {
        const std::int16_t* out = reinterpret_cast<const std::int16_t*>(corr.frame->pixels);
        for (int i = 0; i < 48; ++i) {
            if (!corr.isSamplePointLayout() && (out[i] < -3000 || out[i] > 20479)) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
