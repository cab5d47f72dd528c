// The eleven false-colour palettes of 240 entries each, which ImageBuilder paints with. The tables
// are constant, so any thread may read them.
#pragma once

#include <array>
#include <cstdint>

namespace zol {

constexpr int kPaletteEntries = 240;
constexpr int kPaletteCount = 11;
constexpr int kDefaultPalette = 6;

using PaletteRgb = std::array<std::uint8_t, 3>;  // red, green, blue
using PaletteEntries = std::array<PaletteRgb, kPaletteEntries>;

// The entries of palette `id` (1 to 11); any other id gives palette 6.
// Entry 0 paints the cold end of the window, entry 239 the hot end.
const PaletteEntries& paletteEntries(int id);

}  // namespace zol
