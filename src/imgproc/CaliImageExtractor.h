// Debug build: splits a calibration memory image read from the camera into its files.
// Used by ImageProcessing::readCalibrationMemory on the caller's thread.

#pragma once

#ifdef KELVIX_DEBUG_BUILD

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kelvix/export.h"

// Splits a calibration memory image read from the camera into the calibration files: per
// range the correction data (.dat) and the table (.prn), and the calibration XML. Not guarded: one
// thread per extractor.
//
// Image layout (little-endian): 2048 bytes not read; per range r = 0..2 at 2048 + r * stride
// the correction file of n bytes and a 65536-byte float table, with n = A + B * unitSize from
// the 12-byte header at 2048 and stride = n + 67584; at 3 * stride the 56-byte range directory,
// then a u32 length and the XML text.
class KELVIX_DEBUG_API CaliImageExtractor {
  public:
    static constexpr std::size_t kHeaderOffset = 2048;
    static constexpr std::size_t kTableBytes = 65536;
    static constexpr std::size_t kBlockGap = 67584;  // table plus the unread gap after it
    static constexpr std::size_t kDirectorySize = 56;
    static constexpr int kMaxTableValues = static_cast<int>(kTableBytes / 4);

    CaliImageExtractor(std::int32_t serialNumber, const wchar_t* targetDirectory);

    // The first call fixes the unit size to its byte count. Returns the number appended.
    std::size_t append(const std::uint8_t* bytes, std::size_t count);
    // 0 after writing; -1 when the header is refused or the image is too short for what its
    // header and directory announce (nothing is written then).
    int extract();

    // Each returns false when the path cannot be built or the file cannot be created.
    bool writeRaw(const std::uint8_t* bytes, std::size_t length, const wchar_t* name,
                  const wchar_t* extension) const;
    // One line per value: 10 blanks, firstIndex + i, 2 blanks, the value as %16.8f, CR LF.
    bool writeTable(const float* table, int count, const wchar_t* name, int firstIndex) const;

    const std::vector<std::uint8_t>& image() const { return image_; }
    std::int32_t serialNumber() const { return serialNumber_; }
    const wchar_t* targetDirectory() const { return targetDirectory_; }
    std::size_t unitSize() const { return unitSize_; }

  private:
    std::vector<std::uint8_t> image_;
    std::int32_t serialNumber_;
    const wchar_t* targetDirectory_;  // not owned
    std::size_t unitSize_ = 0;
};

#endif  // KELVIX_DEBUG_BUILD
