// Fuzz target: the text PPM reader on arbitrary files.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kelvix/ImageBuilder.h"
#include "platform/Strings.h"
#include "support/FuzzFile.h"

namespace {

// The first two numbers after the first line, as the reader would take width and height;
// lets the target skip images of gigabytes, which the reader accepts by design.
bool claimsHugeImage(const std::uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    while (i < size && data[i] != '\n') {
        ++i;
    }
    unsigned long long value[2] = {0, 0};
    int found = 0;
    bool inComment = false, inNumber = false;
    for (; i < size && found < 2; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\n') {
            inComment = false;
        } else if (c == '#') {
            inComment = true;
        }
        const bool digit = !inComment && c >= '0' && c <= '9';
        if (digit) {
            value[found] = std::min(value[found] * 10 + static_cast<unsigned>(c - '0'), 1ull << 40);
            inNumber = true;
        } else if (inNumber) {
            inNumber = false;
            ++found;
        }
    }
    return value[0] * value[1] > (1ull << 22);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (claimsHugeImage(data, size)) {
        return 0;
    }
    const std::string path = platform::toNarrow(kelvix_fuzz::writeInputFile(data, size, "in.ppm"));
    unsigned char* rgb = nullptr;
    unsigned width = 0, height = 0;
    if (zol::ImageBuilder::readPPM3(path.c_str(), &rgb, &width, &height) == 1 && rgb) {
        // Every byte of the image must be there to read.
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
