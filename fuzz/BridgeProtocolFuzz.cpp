// Fuzz target: the bridge protocol's decoding on arbitrary bytes, read both as the daemon reads
// a client's command stream and as a client reads an image reply.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sdk/daemon/server/BridgeWire.h"

namespace {

using namespace zol::bridge;

// Commands and configuration records: a decoded record encodes back to the same words, with
// flags and the automatic-flag value reduced to 0 or 1.
void commandStream(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    while (at + kCommandSize <= size) {
        const std::uint32_t command = getU32(data + at);
        at += kCommandSize;
        if (command != kConfiguration || at + kConfigSize > size) {
            continue;
        }
        std::uint8_t again[kConfigSize];
        encodeConfig(decodeConfig(data + at), again);
        for (std::size_t word = 0; word < kConfigSize / 4; ++word) {
            std::uint32_t expected = getU32(data + at + 4 * word);
            if (word % 2 == 1 || word == 4) {
                expected = expected != 0;
            }
            if (getU32(again + 4 * word) != expected) {
                __builtin_trap();
            }
        }
        at += kConfigSize;
    }
}

// A reply as the client takes it: only headers within the bounds and consistent with
// themselves lead to a buffer, which is exactly the payload's size.
void reply(const std::uint8_t* data, std::size_t size, std::uint32_t channels,
           std::uint32_t bytesPerChannel) {
    if (size < kImageHeaderSize) {
        return;
    }
    const ImageHeader h = decodeImageHeader(data);
    if (checkImageHeader(h, channels, bytesPerChannel) != nullptr) {
        return;
    }
    const std::uint64_t pixels = static_cast<std::uint64_t>(h.width) * h.height;
    if (pixels > kMaxImagePixels || h.payloadSize != pixels * channels * bytesPerChannel) {
        __builtin_trap();
    }
    // The client would wait for a payload that is not there yet.
    if (h.payloadSize == 0 || h.payloadSize > size - kImageHeaderSize) {
        return;
    }
    if (channels == 1) {
        std::vector<std::uint16_t> values(pixels);
        std::memcpy(values.data(), data + kImageHeaderSize, h.payloadSize);
        thermalFromWire(values.data(), values.size());
    } else {
        std::vector<std::uint8_t> rgb(pixels * 3);
        std::memcpy(rgb.data(), data + kImageHeaderSize, h.payloadSize);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    commandStream(data, size);
    reply(data, size, 1, 2);
    reply(data, size, 3, 1);
    return 0;
}
