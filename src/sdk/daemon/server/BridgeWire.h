// The bridge protocol on the wire, shared by the daemon's DirectBridge, the TCP client and the
// protocol fuzz target: command words, the configuration record, image headers and their checks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelvix/ThermalCamConfig.h"
#include "platform/ScopedInstall.h"
#include "platform/Socket.h"

// Byte layouts of the bridge protocol: 32-bit little-endian words, no framing beyond the
// fixed sizes.
namespace zol {
namespace bridge {

enum Command : std::uint32_t {
    kThermalImage = 0,
    kPaletteImage = 1,
    kThermalPaletteImage = 2,
    kConfiguration = 3,
    kTriggerFlag = 4,
    kIgnored = 5,
    kSetHandlerFlag = 6,
    kClearHandlerFlag = 7,
    kConnectionRepaired = 8  // never sent: what waitForCommand returns after a repair
};

constexpr std::size_t kCommandSize = 4;
constexpr std::size_t kConfigSize = 56;  // seven pairs of (value, set-flag)
constexpr std::size_t kImageHeaderSize = 24;

// Images beyond these bounds are neither sent nor accepted.
constexpr std::uint32_t kMaxImageSide = 16384;
constexpr std::uint64_t kMaxImagePixels = 4096ull * 4096ull;

// Every transfer of a request under way, at both ends: the client's request and the reply it
// reads, the daemon's reply and the record after command 3, each measured from its start across
// its parts. A peer that moves no byte for kStallMs, or fewer than kMinBytesPerSecond on average
// over kRateWindowMs, is taken for gone (an ERROR line, then the connection is repaired or given
// up as when it drops); a slower peer that keeps the pace is served however long it takes. A
// frame comes several times a second, so an answering daemon starts its reply well within the
// stall time; a line of 1 Mbit/s is 7 times the minimum rate. The largest reply (a palette image
// of kMaxImagePixels, 48 MiB) may thus take 50 minutes when dripped just above it; a camera's
// (1024 x 768, 2.3 MB) 2.4 minutes.
constexpr std::uint32_t kStallMs = 5000;
constexpr std::uint32_t kRateWindowMs = 10000;
constexpr std::uint32_t kMinBytesPerSecond = 16 << 10;

// One attempt of a client to connect, when the host does not answer at all (it died, or something
// on the way drops the knock), in place of the system's two minutes: within the client's
// repair bound of 5 s.
constexpr std::uint32_t kConnectDeadlineMs = 5000;

// A connection may sit idle between requests for as long as the client likes; one whose peer
// vanished (its host gone, no FIN or RST) is found by keepalive: probes after 10 s of silence,
// every 5 s, the fourth unanswered ends it (30 s; unacknowledged data likewise).
constexpr platform::Keepalive kKeepalive{10, 5, 4};

struct Bounds {
    platform::ProgressRule transfer{kStallMs, kRateWindowMs, kMinBytesPerSecond};
    std::uint32_t connectMs = kConnectDeadlineMs;
    platform::Keepalive keepalive = kKeepalive;
};
// The bounds in force: the constants above unless a test installed shorter ones.
Bounds bounds();
void installBounds(const Bounds* shorter);
void restoreBounds();
using ScopedBounds = platform::ScopedInstall<const Bounds, installBounds, restoreBounds>;

struct ImageHeader {
    std::uint32_t frameCounter = 0;
    std::uint32_t payloadSize = 0;  // bytes after the header
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t channels = 0;
    std::uint32_t bytesPerChannel = 0;
};

inline void putU32(std::uint8_t* out, std::uint32_t v) {
    out[0] = static_cast<std::uint8_t>(v);
    out[1] = static_cast<std::uint8_t>(v >> 8);
    out[2] = static_cast<std::uint8_t>(v >> 16);
    out[3] = static_cast<std::uint8_t>(v >> 24);
}

inline std::uint32_t getU32(const std::uint8_t* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

void encodeConfig(const ThermalCamConfig& config, std::uint8_t* out);  // kConfigSize bytes
ThermalCamConfig decodeConfig(const std::uint8_t* in);                 // kConfigSize bytes

// Header of an image of width x height pixels of `channels` x `bytesPerChannel` bytes. False
// when the image is outside the bounds (nothing written then).
bool makeImageHeader(std::uint32_t frameCounter, std::uint32_t width, std::uint32_t height,
                     std::uint32_t channels, std::uint32_t bytesPerChannel, ImageHeader& header);
void encodeImageHeader(const ImageHeader& header, std::uint8_t* out);  // kImageHeaderSize bytes
ImageHeader decodeImageHeader(const std::uint8_t* in);                 // kImageHeaderSize bytes

// Why a received header cannot be taken for an image of the given pixel layout (sizes out of
// bounds, another layout, or a payload size that disagrees); null when it can.
const char* checkImageHeader(const ImageHeader& header, std::uint32_t channels,
                             std::uint32_t bytesPerChannel);

// Little-endian 16-bit words as received, to host order in place.
void thermalFromWire(std::uint16_t* values, std::size_t count);
// Host-order 16-bit values to little-endian bytes.
void thermalToWire(const std::uint16_t* values, std::size_t count, std::uint8_t* out);

// Whether host order is the wire's order, so pixels can travel without conversion.
constexpr bool hostIsLittleEndian() {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return false;
#else
    return true;
#endif
}

}  // namespace bridge
}  // namespace zol
