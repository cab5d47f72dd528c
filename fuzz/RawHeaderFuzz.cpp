// Fuzz target: the raw recording header check on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sdk/RawdataHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zol::RawdataHeader header;
    std::uint32_t frameSize = 0;
    std::string error;
    if (zol::parseRawdataHeader(data, size, header, frameSize, error)) {
        // Accepted headers describe a frame whose size is exact in 32 bits.
        const std::uint64_t bytes = static_cast<std::uint64_t>(header.width) * header.height * 2;
        if (bytes != frameSize || header.avgTimePerFrame <= 0) {
            __builtin_trap();
        }
        (void)zol::describeRawdataHeader(header);
    }
    return 0;
}
