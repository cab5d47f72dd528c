// The header check refuses what no camera delivers before the reader allocates a frame.
#include "sdk/RawdataHeader.h"

#include <cstring>
#include <sstream>

#include "imgproc/FrameLimits.h"

namespace zol {

bool parseRawdataHeader(const void* bytes, std::size_t length, RawdataHeader& header,
                        std::uint32_t& frameSize, std::string& error) {
    if (bytes == nullptr || length < sizeof(RawdataHeader)) {
        error = "file too short for a header";
        return false;
    }
    RawdataHeader h;
    std::memcpy(&h, bytes, sizeof h);
    std::ostringstream why;
    if (h.headerSize != sizeof(RawdataHeader)) {
        why << "header size " << h.headerSize << ", expected 52";
    } else if (h.version != 1001) {
        why << "version " << h.version << ", expected 1001";
    } else if (h.bitCount != 16) {
        why << "bit count " << h.bitCount << ", expected 16";
    } else if (h.avgTimePerFrame <= 0) {
        why << "frame period " << h.avgTimePerFrame;
    } else if (h.width == 0 || h.height == 0) {
        why << "frame size " << h.width << " x " << h.height;
    } else {
        // Pixels fit in 64 bits; no camera delivers more than the bound.
        const std::uint64_t pixels = static_cast<std::uint64_t>(h.height) * h.width;
        if (pixels > static_cast<std::uint64_t>(kMaxFramePixels)) {
            why << "frame size " << h.width << " x " << h.height << " too large for any camera";
        } else {
            header = h;
            frameSize = static_cast<std::uint32_t>(pixels * h.bitCount / 8);
            return true;
        }
    }
    error = why.str();
    return false;
}

std::string describeRawdataHeader(const RawdataHeader& h) {
    std::ostringstream os;
    os << " serial: " << h.serial << " width: " << h.width << " height: " << h.height
       << " bitCount: " << h.bitCount << " avgTimePerFrame: " << h.avgTimePerFrame
       << " optics: " << h.optics << " tempMinRange: " << h.tempMinRange
       << " tempMaxRange: " << h.tempMaxRange << " hwRev: " << h.hwRev << " fwRev: " << h.fwRev
       << " gpsStringBufferSize: " << h.gpsStringBufferSize;
    return os.str();
}

}  // namespace zol
