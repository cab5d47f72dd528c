// Fuzz target: the recording reader on whole recordings of the fuzz camera. The input is the
// ".raw" file; each line "KVXPART" in it starts the next numbered part (".raw.2", ".raw.3").
// The reader configures an imager from the header, warms up to the first open flag and plays
// every frame of every part.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kelvix/IRFileReader.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Strings.h"
#include "support/FuzzCamera.h"
#include "support/FuzzFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const kelvix_fuzz::FuzzCamera& camera = kelvix_fuzz::fuzzCamera();
    static platform::VirtualClock clock;
    static platform::ScopedClock scopedClock(clock);

    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string marker = "KVXPART\n";
    std::string name = "rec.raw";
    std::size_t from = 0;
    for (int part = 1; part <= 3; ++part) {
        const std::size_t to = part < 3 ? text.find(marker, from) : std::string::npos;
        const std::size_t end = to == std::string::npos ? text.size() : to;
        const std::string file = part == 1 ? name : name + "." + std::to_string(part);
        if (from <= text.size()) {
            kelvix_fuzz::writeInputFile(data + from, end - from, file.c_str());
        } else {
            platform::removeTree(
                platform::joinPath(kelvix_fuzz::scratchDirectory(), platform::toWide(file)));
        }
        from = to == std::string::npos ? text.size() + 1 : to + marker.size();
    }

    zol::IRDeviceParams params;
    camera.usePaths(params);
    {
        zol::IRFileReader reader(
            platform::toNarrow(platform::joinPath(kelvix_fuzz::scratchDirectory(), L"rec.raw")),
            params);
        for (int frames = 0; frames < 1000 && reader.nextFrame(); ++frames) {
        }
    }
    params.releaseStrings();
    return 0;
}
