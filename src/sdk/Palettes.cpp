// The palette tables, computed at compile time: grey and single-colour ramps, palettes
// interpolated between 13 knots, and ten bands of 24 entries.
#include "sdk/Palettes.h"

#include <array>

namespace zol {
namespace {

using Table = PaletteEntries;

// Grey ramp: 0 at entry 0, 255 at entry 239.
constexpr std::uint8_t grey(int i) {
    return static_cast<std::uint8_t>((255 * i + 111) / 239);
}

// The smooth palettes are given by 13 knots (entries 0, 20, ..., 220 and 239). Between two
// knots a and b each channel runs linearly, rounded half up:
//   c(i) = round((c(a) * (b - i) + c(b) * (i - a)) / (b - a)),
// which gives every knot back exactly.
constexpr int kKnotPos[13] = {0, 20, 40, 60, 80, 100, 120, 140, 160, 180, 200, 220, 239};

constexpr Table smooth(const std::uint8_t (&knots)[13][3]) {
    Table t{};
    for (int k = 0; k < 12; ++k) {
        const int a = kKnotPos[k];
        const int b = kKnotPos[k + 1];
        for (int i = a; i <= b; ++i) {
            for (int c = 0; c < 3; ++c) {
                const int num = knots[k][c] * (b - i) + knots[k + 1][c] * (i - a);
                const int den = b - a;
                t[i][c] = static_cast<std::uint8_t>((2 * num + den) / (2 * den));
            }
        }
    }
    return t;
}

constexpr std::uint8_t kKnots2[13][3] = {
    {24, 17, 0},    {122, 0, 36},    {162, 0, 99},   {168, 1, 148}, {144, 23, 186},
    {102, 52, 219}, {54, 89, 242},   {15, 129, 255}, {0, 161, 255}, {1, 194, 255},
    {46, 227, 255}, {145, 249, 251}, {255, 255, 242}};
constexpr std::uint8_t kKnots6[13][3] = {
    {0, 0, 46},     {2, 0, 89},      {43, 0, 138},   {117, 0, 156}, {177, 1, 152},
    {207, 25, 125}, {230, 69, 24},   {242, 109, 2},  {251, 150, 0}, {254, 197, 1},
    {255, 232, 60}, {255, 248, 183}, {255, 248, 223}};
constexpr std::uint8_t kKnots7[13][3] = {
    {0, 0, 0},      {68, 8, 13},     {144, 16, 27},  {207, 25, 38}, {223, 48, 25},
    {240, 71, 12},  {255, 96, 0},    {255, 138, 0},  {255, 180, 0}, {255, 219, 8},
    {255, 232, 94}, {255, 244, 174}, {255, 255, 255}};
constexpr std::uint8_t kKnots9[13][3] = {
    {0, 0, 117},   {0, 40, 166},    {0, 80, 200},   {8, 120, 154},  {79, 160, 38},
    {160, 187, 1}, {211, 191, 5},   {228, 165, 15}, {231, 104, 32}, {231, 26, 56},
    {231, 63, 90}, {231, 143, 130}, {231, 212, 191}};
constexpr std::uint8_t kKnots10[13][3] = {
    {0, 0, 0},     {171, 0, 171},   {207, 0, 163},  {156, 8, 0},   {214, 179, 0},
    {152, 178, 0}, {0, 89, 15},     {0, 194, 173},  {0, 167, 198}, {0, 7, 124},
    {32, 32, 184}, {122, 122, 229}, {253, 253, 254}};

constexpr Table ramp(int id) {
    Table t{};
    for (int i = 0; i < kPaletteEntries; ++i) {
        const std::uint8_t g = grey(i);
        const std::uint8_t inv = grey(239 - i);
        switch (id) {
            case 1:
                t[i] = {0, 0, g};
                break;
            case 3:
                t[i] = {g, g, g};
                break;
            case 4:
                t[i] = {inv, inv, inv};
                break;
            case 5:
                t[i] = {0, g, 0};
                break;
            default:
                t[i] = {static_cast<std::uint8_t>(i < 8 ? i + 1 : g), 0, 0};
                break;
        }
    }
    return t;
}

constexpr Table bands() {
    constexpr std::uint8_t kBands[10][3] = {
        {24, 24, 208},   {64, 64, 255}, {15, 181, 204}, {0, 164, 0},   {0, 0, 124},
        {255, 160, 210}, {255, 16, 16}, {255, 160, 92}, {249, 128, 0}, {255, 210, 30}};
    Table t{};
    for (int i = 0; i < kPaletteEntries; ++i) {
        const int b = i / 24;
        t[i] = {kBands[b][0], kBands[b][1], kBands[b][2]};
    }
    return t;
}

constexpr std::array<Table, kPaletteCount> kPalettes = {
    ramp(1),         smooth(kKnots2), ramp(3),         ramp(4),          ramp(5), smooth(kKnots6),
    smooth(kKnots7), bands(),         smooth(kKnots9), smooth(kKnots10), ramp(11)};

}  // namespace

const PaletteEntries& paletteEntries(int id) {
    if (id < 1 || id > kPaletteCount) {
        id = kDefaultPalette;
    }
    return kPalettes[id - 1];
}

}  // namespace zol
