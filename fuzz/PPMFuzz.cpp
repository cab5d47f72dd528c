// Fuzz target: the text PPM reader on arbitrary files.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kelvix/ImageBuilder.h"
#include "platform/Strings.h"
#include "support/FuzzFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = platform::toNarrow(kelvix_fuzz::writeInputFile(data, size, "in.ppm"));
    unsigned char* rgb = nullptr;
    unsigned width = 0, height = 0;
    if (zol::ImageBuilder::readPPM3(path.c_str(), &rgb, &width, &height) == 1 && rgb) {
        // Every byte of the image must be there to read; the file bounds its size.
        if (static_cast<std::uint64_t>(width) * height * 3 > size) {
            __builtin_trap();
        }
        unsigned sum = 0;
        for (std::size_t k = 0; k < static_cast<std::size_t>(width) * height * 3; ++k) {
            sum += rgb[k];
        }
        volatile unsigned sink = sum;
        (void)sink;
    }
    delete[] rgb;
    return 0;
}
