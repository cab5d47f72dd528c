// Byte encodings of the HID command set, shared by HIDDevice and by the simulated camera that
// decodes what the library sends: value splits, byte orders and the XOR checksum.
#pragma once

#include <cstdint>

// Byte encodings of the camera's HID commands.
namespace hidenc {

inline std::uint8_t byte(std::uint32_t v, int shift) {
    return static_cast<std::uint8_t>((v >> shift) & 0xFF);
}
inline std::uint8_t hi(std::uint32_t v) {
    return byte(v, 8);
}
inline std::uint8_t lo(std::uint32_t v) {
    return byte(v, 0);
}
inline std::uint8_t flag(bool on) {
    return on ? 1 : 0;
}
// A 12-bit value shifted up by 4 bits, high byte first.
inline std::uint8_t shl4Hi(std::uint32_t v) {
    return byte(v, 4);
}
inline std::uint8_t shl4Lo(std::uint32_t v) {
    return static_cast<std::uint8_t>((v << 4) & 0xFF);
}
// A 16-bit value rotated left by 4 bits, high byte first.
inline std::uint8_t rot4Hi(std::uint32_t v) {
    return byte(v, 4);
}
inline std::uint8_t rot4Lo(std::uint32_t v) {
    return static_cast<std::uint8_t>(((v << 4) | ((v & 0xFFFF) >> 12)) & 0xFF);
}
// A 10-bit level: the upper four bits, then the lower six shifted up by two.
inline std::uint8_t tenHi(std::uint32_t v) {
    return static_cast<std::uint8_t>((v >> 6) & 0x0F);
}
inline std::uint8_t tenLo(std::uint32_t v) {
    return static_cast<std::uint8_t>((v & 0x3F) << 2);
}
// A DAC value in the same split, without the four-bit mask.
inline std::uint8_t dacHi(std::uint32_t v) {
    return byte(v, 6);
}
inline std::uint8_t dacLo(std::uint32_t v) {
    return static_cast<std::uint8_t>((v << 2) & 0xFF);
}

inline std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           p[3];
}
inline void putLe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = byte(v, 0);
    p[1] = byte(v, 8);
}
inline void putBe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = byte(v, 8);
    p[1] = byte(v, 0);
}
inline void putBe32(std::uint8_t* p, std::uint32_t v) {
    putBe16(p, v >> 16);
    putBe16(p + 2, v);
}

// Checksum of answers and EEPROM images: the XOR of n bytes.
inline std::uint8_t xorOf(const std::uint8_t* p, int n) {
    std::uint8_t x = 0;
    for (int i = 0; i < n; ++i) {
        x ^= p[i];
    }
    return x;
}

}  // namespace hidenc
