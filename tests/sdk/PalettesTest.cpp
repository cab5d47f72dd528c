// The palette tables against their listed entries, ramps and bands.
#include <gtest/gtest.h>

#include <array>

#include "kelvix/ImageBuilder.h"

namespace {

using Rgb = std::array<int, 3>;

zol::ImageBuilder::PaletteTable& tableOf(int id) {
    static zol::ImageBuilder::PaletteTable t;
    zol::ImageBuilder b;
    b.setPalette(static_cast<zol::EnumTervanColoringPalette>(id));
    b.getPaletteTable(t);
    return t;
}

Rgb entry(int id, int i) {
    const auto& t = tableOf(id);
    return {t[i][0], t[i][1], t[i][2]};
}

TEST(Palettes, SmoothPalettesPassThroughTheirListedEntries) {
    const int at[13] = {0, 20, 40, 60, 80, 100, 120, 140, 160, 180, 200, 220, 239};
    const std::array<std::pair<int, std::array<Rgb, 13>>, 5> listed = {{
        {2,
         {{{24, 17, 0},
           {122, 0, 36},
           {162, 0, 99},
           {168, 1, 148},
           {144, 23, 186},
           {102, 52, 219},
           {54, 89, 242},
           {15, 129, 255},
           {0, 161, 255},
           {1, 194, 255},
           {46, 227, 255},
           {145, 249, 251},
           {255, 255, 242}}}},
        {6,
         {{{0, 0, 46},
           {2, 0, 89},
           {43, 0, 138},
           {117, 0, 156},
           {177, 1, 152},
           {207, 25, 125},
           {230, 69, 24},
           {242, 109, 2},
           {251, 150, 0},
           {254, 197, 1},
           {255, 232, 60},
           {255, 248, 183},
           {255, 248, 223}}}},
        {7,
         {{{0, 0, 0},
           {68, 8, 13},
           {144, 16, 27},
           {207, 25, 38},
           {223, 48, 25},
           {240, 71, 12},
           {255, 96, 0},
           {255, 138, 0},
           {255, 180, 0},
           {255, 219, 8},
           {255, 232, 94},
           {255, 244, 174},
           {255, 255, 255}}}},
        {9,
         {{{0, 0, 117},
           {0, 40, 166},
           {0, 80, 200},
           {8, 120, 154},
           {79, 160, 38},
           {160, 187, 1},
           {211, 191, 5},
           {228, 165, 15},
           {231, 104, 32},
           {231, 26, 56},
           {231, 63, 90},
           {231, 143, 130},
           {231, 212, 191}}}},
        {10,
         {{{0, 0, 0},
           {171, 0, 171},
           {207, 0, 163},
           {156, 8, 0},
           {214, 179, 0},
           {152, 178, 0},
           {0, 89, 15},
           {0, 194, 173},
           {0, 167, 198},
           {0, 7, 124},
           {32, 32, 184},
           {122, 122, 229},
           {253, 253, 254}}}},
    }};
    for (const auto& [id, knots] : listed) {
        for (int k = 0; k < 13; ++k) {
            EXPECT_EQ(entry(id, at[k]), knots[k]) << "palette " << id << " entry " << at[k];
        }
        // Between knots every channel stays within its two knots' values.
        for (int k = 0; k < 12; ++k) {
            for (int i = at[k]; i <= at[k + 1]; ++i) {
                for (int c = 0; c < 3; ++c) {
                    const int v = entry(id, i)[c];
                    EXPECT_GE(v, std::min(knots[k][c], knots[k + 1][c])) << id << " " << i;
                    EXPECT_LE(v, std::max(knots[k][c], knots[k + 1][c])) << id << " " << i;
                }
            }
        }
    }
    EXPECT_EQ(entry(6, 10), (Rgb{1, 0, 68}));  // halfway 0,0,46 -> 2,0,89: 67.5 rounds up
}

TEST(Palettes, RampsAndBands) {
    // Grey ramp values at entries 0, 1, 8, 9, 120, 238, 239.
    const int at[7] = {0, 1, 8, 9, 120, 238, 239};
    const int g[7] = {0, 1, 9, 10, 128, 254, 255};
    for (int k = 0; k < 7; ++k) {
        const int i = at[k];
        EXPECT_EQ(entry(1, i), (Rgb{0, 0, g[k]})) << i;
        EXPECT_EQ(entry(3, i), (Rgb{g[k], g[k], g[k]})) << i;
        EXPECT_EQ(entry(4, 239 - i), (Rgb{g[k], g[k], g[k]})) << i;
        EXPECT_EQ(entry(5, i), (Rgb{0, g[k], 0})) << i;
    }
    // Black to red starts 1, 2, ..., 8 before joining the ramp.
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(entry(11, i), (Rgb{i + 1, 0, 0}));
    }
    EXPECT_EQ(entry(11, 8), (Rgb{9, 0, 0}));
    EXPECT_EQ(entry(11, 239), (Rgb{255, 0, 0}));
    const Rgb bands[10] = {{24, 24, 208}, {64, 64, 255},   {15, 181, 204}, {0, 164, 0},
                           {0, 0, 124},   {255, 160, 210}, {255, 16, 16},  {255, 160, 92},
                           {249, 128, 0}, {255, 210, 30}};
    for (int i = 0; i < 240; ++i) {
        EXPECT_EQ(entry(8, i), bands[i / 24]) << i;
    }
}

}  // namespace
