// Input files for the fuzz targets whose readers take a file name rather than bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvix_fuzz {

// Writes the input to a file in a scratch directory of this process (removed at exit) and
// returns its path; the readers under test take file names.
std::wstring writeInputFile(const std::uint8_t* data, std::size_t size, const char* name);

// That scratch directory.
const std::wstring& scratchDirectory();

}  // namespace kelvix_fuzz
