// The bridge protocol on the wire, shared by the daemon's DirectBridge, the TCP client and the
// protocol fuzz target: command words, the configuration record, image headers and their checks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelvix/ThermalCamConfig.h"
#include "platform/ScopedInstall.h"

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

// How long one end waits for the other once a request is under way; a peer that misses it is
// taken for gone (an ERROR line, then the connection is repaired or given up as when it drops).
// The daemon's write of each part of a reply, and its read of the configuration record that
// follows command 3: a client that leaves a reply unread this long is dropped and the next client
// served. A reading client takes a whole reply in well under a second, even over a slow link.
constexpr std::uint32_t kSendDeadlineMs = 3000;
// The client's read of each part of a reply (and its write of a request): the daemon answers
// with the next frame, and a camera sends one at least every second; a request queued behind a
// client that the daemon is dropping (kSendDeadlineMs) is still answered within it.
constexpr std::uint32_t kReplyDeadlineMs = 5000;

// One attempt of a client to connect, when the host does not answer at all (it died, or something
// on the way drops the knock), in place of the system's two minutes: within the client's
// repair bound of 5 s.
constexpr std::uint32_t kConnectDeadlineMs = 5000;

struct Deadlines {
    std::uint32_t sendMs = kSendDeadlineMs;
    std::uint32_t replyMs = kReplyDeadlineMs;
    std::uint32_t connectMs = kConnectDeadlineMs;
};
// The deadlines in force: the constants above unless a test installed shorter ones.
Deadlines deadlines();
void installDeadlines(const Deadlines* shorter);
void restoreDeadlines();
using ScopedDeadlines =
    platform::ScopedInstall<const Deadlines, installDeadlines, restoreDeadlines>;

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
