// The energy-indexed lookup tables of the energy-normalisation and energy-to-temperature
// operators: their size, offsets and the expansion of a table to every 16-bit value.

#pragma once

#include <cstdint>

// Energy-indexed lookup tables of the last two operators of the chain.
// The functions fill only the tables they are given: any thread, on tables the caller guards.
namespace lut {

constexpr int kSize = 23480;
constexpr int kIdentityOffset = 3000;
constexpr std::int16_t kNoValue = static_cast<std::int16_t>(0x8000);

// The lookup of every 16-bit value v, indexed by v taken as unsigned, into `expanded`
// (65536 entries): table[clamp(v + offset, 0, kSize - 1)], and 0x8000 for 0x8000.
// Frames then need one load per pixel, with neither limits nor the test for 0x8000.
inline void expand(const std::int16_t* table, int offset, std::int16_t* expanded) {
    for (int u = 0; u < 65536; ++u) {
        const int v = static_cast<std::int16_t>(u);
        int index = v + offset;
        index = index < 0 ? 0 : index;
        index = index > kSize - 1 ? kSize - 1 : index;
        expanded[u] = v == kNoValue ? kNoValue : table[index];
    }
}

// The table that maps each energy to itself: table[i] = i - kIdentityOffset.
inline void fillIdentity(std::int16_t* table) {
    for (int i = 0; i < kSize; ++i) {
        table[i] = static_cast<std::int16_t>(i - kIdentityOffset);
    }
}

}  // namespace lut
