// Fuzz target: the text PPM reader on arbitrary files.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kelvix/ImageBuilder.h"
#include "platform/Strings.h"
#include "support/FuzzFile.h"

namespace {

// Width and height as the reader takes them (one line or two, comments cut, blank lines
// skipped); lets the target skip images of gigabytes, which the reader accepts by design.
bool claimsHugeImage(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    std::size_t start = text.find('\n');
    while (start != std::string::npos && lines.size() < 2) {
        const std::size_t end = text.find('\n', start + 1);
        std::string line = text.substr(start + 1, end == std::string::npos ? end : end - start - 1);
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r\v\f") != std::string::npos) {
            lines.push_back(line);
        }
        start = end;
    }
    auto number = [](const std::string& line, std::size_t& pos, std::uint64_t& value) {
        while (pos < line.size() && std::strchr(" \t\r\v\f", line[pos]) && line[pos]) {
            ++pos;
        }
        std::uint32_t v = 0;
        auto r = std::from_chars(line.data() + pos, line.data() + line.size(), v);
        if (r.ec != std::errc()) {
            return false;
        }
        pos = static_cast<std::size_t>(r.ptr - line.data());
        value = v;
        return true;
    };
    std::uint64_t w = 0, h = 0;
    std::size_t pos = 0;
    if (lines.empty() || !number(lines[0], pos, w)) {
        return false;
    }
    if (!number(lines[0], pos, h)) {
        pos = 0;
        if (lines.size() < 2 || !number(lines[1], pos, h)) {
            return false;
        }
    }
    return w * h > (1ull << 22);
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
