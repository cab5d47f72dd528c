// Fuzz target: the calibration-image extractor of the debug build. The first byte picks the
// size of the first chunk (and so the unit size); the whole input is the image.
#include <cstddef>
#include <cstdint>
#include <string>

#include "imgproc/CaliImageExtractor.h"
#include "support/FuzzFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::wstring marker = kelvix_fuzz::writeInputFile(nullptr, 0, "marker");
    static const std::wstring directory = marker.substr(0, marker.rfind(L'/'));
    CaliImageExtractor extractor(4711, directory.c_str());
    if (size > 0) {
        const std::size_t first = std::min<std::size_t>(size, 1 + data[0] % 32);
        extractor.append(data, first);
        extractor.append(data + first, size - first);
    }
    const int result = extractor.extract();
    if (result != 0 && result != -1) {
        __builtin_trap();
    }
    if (extractor.image().size() != size) {
        __builtin_trap();
    }
    return 0;
}
