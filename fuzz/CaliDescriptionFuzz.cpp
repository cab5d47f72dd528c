// Fuzz target: a calibration description of the fuzz camera through the imager's
// initialisation, with the rest of its calibration set and Formats.def as the simulator wrote
// them; an imager that initialises then processes a closed-flag and an open-flag frame.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imgproc/Cali.h"
#include "kelvix/Kelvix.h"
#include "platform/Clock.h"
#include "support/FuzzCamera.h"
#include "support/FuzzFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kelvix_fuzz::FuzzCamera;
    static const FuzzCamera& camera = kelvix_fuzz::fuzzCamera();
    static platform::VirtualClock clock;
    static platform::ScopedClock scopedClock(clock);

    kelvix_fuzz::writeInputFile(data, size,
                                ("Cali-" + std::to_string(FuzzCamera::kSerial) + ".xml").c_str());
    // The description is read again only after one of another serial was asked for.
    Cali::getInstance()->readXML(kelvix_fuzz::scratchDirectory().c_str(), 1);

    zol::IRDeviceParams params;
    camera.usePaths(params);
    params.serial = FuzzCamera::kSerial;
    params.framerate = 30.0f;
    {
        zol::Kelvix imager;
        if (imager.init(&params, 30, camera.rawWidth, camera.rawHeight, false,
                        camera.camera->hwRevision(), camera.camera->fwRevision())) {
            for (const std::vector<std::uint16_t>* frame :
                 {&camera.closedFrame, &camera.openFrame}) {
                std::vector<std::uint16_t> raw = *frame;
                imager.process(reinterpret_cast<unsigned char*>(raw.data()), nullptr);
            }
        }
    }
    params.releaseStrings();
    return 0;
}
