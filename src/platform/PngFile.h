// PNG files through libpng's simplified interface: the C interface's
// zol_kelvix_to_palette_save_png writes them, tests read them back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Writes a 24-bit PNG: `rgb` holds height rows of width pixels, three bytes each (red, green,
// blue). False when the file cannot be written; nothing partial is left behind.
bool writePngRgb(const std::string& path, unsigned width, unsigned height, const std::uint8_t* rgb);

// Reads any PNG as 24-bit pixels (red, green, blue); false when the file is not a PNG.
bool readPngRgb(const std::string& path, unsigned& width, unsigned& height,
                std::vector<std::uint8_t>& rgb);

}  // namespace platform
