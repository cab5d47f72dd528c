// Encoding and decoding of the bridge protocol's records: plain functions, any thread.
#include "sdk/daemon/server/BridgeWire.h"

#include <atomic>

namespace zol {
namespace bridge {

namespace {

std::atomic<const Bounds*> installedBounds{nullptr};

void putPair(std::uint8_t*& out, int value, bool set) {
    putU32(out, static_cast<std::uint32_t>(value));
    putU32(out + 4, set ? 1u : 0u);
    out += 8;
}

std::pair<bool, int> getPair(const std::uint8_t*& in) {
    const int value = static_cast<int>(getU32(in));
    const bool set = getU32(in + 4) != 0;
    in += 8;
    return {set, value};
}

}  // namespace

Bounds bounds() {
    const Bounds* shorter = installedBounds.load();
    return shorter != nullptr ? *shorter : Bounds();
}

void installBounds(const Bounds* shorter) {
    installedBounds = shorter;
}

void restoreBounds() {
    installedBounds = nullptr;
}

void encodeConfig(const ThermalCamConfig& c, std::uint8_t* out) {
    putPair(out, c.palette.second, c.palette.first);
    putPair(out, c.paletteScale.second, c.paletteScale.first);
    putPair(out, c.autoFlag.second ? 1 : 0, c.autoFlag.first);
    putPair(out, c.fourthValue.second, c.fourthValue.first);
    putPair(out, c.fifthValue.second, c.fifthValue.first);
    putPair(out, c.tMin.second, c.tMin.first);
    putPair(out, c.tMax.second, c.tMax.first);
}

ThermalCamConfig decodeConfig(const std::uint8_t* in) {
    ThermalCamConfig c;
    c.palette = getPair(in);
    c.paletteScale = getPair(in);
    const std::pair<bool, int> flag = getPair(in);
    c.autoFlag = {flag.first, flag.second != 0};
    c.fourthValue = getPair(in);
    c.fifthValue = getPair(in);
    c.tMin = getPair(in);
    c.tMax = getPair(in);
    return c;
}

bool makeImageHeader(std::uint32_t frameCounter, std::uint32_t width, std::uint32_t height,
                     std::uint32_t channels, std::uint32_t bytesPerChannel, ImageHeader& header) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * height;
    if (width > kMaxImageSide || height > kMaxImageSide || pixels > kMaxImagePixels) {
        return false;
    }
    header.frameCounter = frameCounter;
    header.payloadSize = static_cast<std::uint32_t>(pixels * channels * bytesPerChannel);
    header.width = width;
    header.height = height;
    header.channels = channels;
    header.bytesPerChannel = bytesPerChannel;
    return true;
}

void encodeImageHeader(const ImageHeader& h, std::uint8_t* out) {
    putU32(out, h.frameCounter);
    putU32(out + 4, h.payloadSize);
    putU32(out + 8, h.width);
    putU32(out + 12, h.height);
    putU32(out + 16, h.channels);
    putU32(out + 20, h.bytesPerChannel);
}

ImageHeader decodeImageHeader(const std::uint8_t* in) {
    ImageHeader h;
    h.frameCounter = getU32(in);
    h.payloadSize = getU32(in + 4);
    h.width = getU32(in + 8);
    h.height = getU32(in + 12);
    h.channels = getU32(in + 16);
    h.bytesPerChannel = getU32(in + 20);
    return h;
}

const char* checkImageHeader(const ImageHeader& h, std::uint32_t channels,
                             std::uint32_t bytesPerChannel) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(h.width) * h.height;
    if (h.width > kMaxImageSide || h.height > kMaxImageSide || pixels > kMaxImagePixels) {
        return "image size out of bounds";
    }
    if (h.channels != channels || h.bytesPerChannel != bytesPerChannel) {
        return "unexpected pixel layout";
    }
    if (h.payloadSize != pixels * channels * bytesPerChannel) {
        return "payload size disagrees with the image size";
    }
    return nullptr;
}

void thermalFromWire(std::uint16_t* values, std::size_t count) {
    if (hostIsLittleEndian()) {
        return;
    }
    auto* bytes = reinterpret_cast<std::uint8_t*>(values);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
}

void thermalToWire(const std::uint16_t* values, std::size_t count, std::uint8_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(values[i]);
        out[2 * i + 1] = static_cast<std::uint8_t>(values[i] >> 8);
    }
}

}  // namespace bridge
}  // namespace zol
