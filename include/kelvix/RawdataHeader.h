// The header of raw recordings as it lies in the file: written by IRFileWriter, read back by
// IRFileReader, filled from a live imager by Kelvix::initRawdataHeader.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zol {

// The header at the start of every part of a raw recording: 52 bytes, packed, little-endian.
#pragma pack(push, 1)
struct RawdataHeader {
    std::uint16_t headerSize = 52;
    std::uint16_t version = 1001;
    char date[8] = {'0', '0', '0', '0', '0', '0', '0', '0'};  // YYYYMMDD, local, no terminator
    char time[6] = {'0', '0', '0', '0', '0', '0'};            // HHMMSS, local, no terminator
    std::uint32_t serial = 0;
    std::uint32_t width = 0;   // raw frame, pixels
    std::uint32_t height = 0;  // raw frame, pixels
    std::uint16_t bitCount = 16;
    std::int64_t avgTimePerFrame = 0;  // frame period, 100-ns units
    std::uint16_t optics = 0;          // field of view
    std::uint16_t tempMinRange = 0;    // raw = T * 10 + 1000
    std::uint16_t tempMaxRange = 0;
    std::uint16_t hwRev = 0;  // 0 without a control channel
    std::uint16_t fwRev = 0;
    std::uint16_t gpsStringBufferSize = 80;  // metadata bytes after each frame
};
#pragma pack(pop)

static_assert(sizeof(RawdataHeader) == 52, "raw recording header is 52 bytes");
static_assert(offsetof(RawdataHeader, version) == 2);
static_assert(offsetof(RawdataHeader, date) == 4);
static_assert(offsetof(RawdataHeader, time) == 12);
static_assert(offsetof(RawdataHeader, serial) == 18);
static_assert(offsetof(RawdataHeader, width) == 22);
static_assert(offsetof(RawdataHeader, height) == 26);
static_assert(offsetof(RawdataHeader, bitCount) == 30);
static_assert(offsetof(RawdataHeader, avgTimePerFrame) == 32);
static_assert(offsetof(RawdataHeader, optics) == 40);
static_assert(offsetof(RawdataHeader, tempMinRange) == 42);
static_assert(offsetof(RawdataHeader, tempMaxRange) == 44);
static_assert(offsetof(RawdataHeader, hwRev) == 46);
static_assert(offsetof(RawdataHeader, fwRev) == 48);
static_assert(offsetof(RawdataHeader, gpsStringBufferSize) == 50);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the header is written and read as it lies in memory");

}  // namespace zol
