#pragma once

#include <cstdint>

// Energy-indexed lookup tables of the last two operators of the chain.
namespace lut {

constexpr int kSize = 23480;
constexpr int kIdentityOffset = 3000;
constexpr std::int16_t kNoValue = static_cast<std::int16_t>(0x8000);

// out[i] := table[clamp(in[i] + offset, 0, kSize - 1)], and 0x8000 stays 0x8000.
inline void apply(const std::int16_t* __restrict in, std::int16_t* __restrict out, int count,
                  const std::int16_t* __restrict table, int offset) {
    for (int i = 0; i < count; ++i) {
        const int v = in[i];
        int index = v + offset;
        index = index < 0 ? 0 : index;
        index = index > kSize - 1 ? kSize - 1 : index;
        const std::int16_t mapped = table[index];
        out[i] = v == kNoValue ? kNoValue : mapped;
    }
}

inline void fillIdentity(std::int16_t* table) {
    for (int i = 0; i < kSize; ++i) {
        table[i] = static_cast<std::int16_t>(i - kIdentityOffset);
    }
}

}  // namespace lut
