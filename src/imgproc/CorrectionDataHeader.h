// The header of a correction-data file ("Cali-<stem>.dat"): six little-endian 16-bit words.
// Its reader and the download's check of what arrived judge it by the same rules.

#pragma once

#include <cstdint>

struct CorrectionDataHeader {
    static constexpr std::size_t kWords = 6;
    static constexpr int kMaxExtraWords = 10;
    static constexpr std::uint16_t kMaxSamplePoints = 32767;

    std::uint16_t version = 0;
    std::uint16_t fieldStart = 0;
    std::uint16_t fieldCount = 0;  // sample points in the sample-point layout
    std::int16_t extraWords = 0;
    std::uint32_t camera = 0;

    static CorrectionDataHeader fromWords(const std::uint16_t (&w)[kWords]) {
        CorrectionDataHeader h;
        h.version = w[0];
        h.fieldStart = w[1];
        h.fieldCount = w[2];
        h.extraWords = static_cast<std::int16_t>(w[3]);
        h.camera = w[4] | static_cast<std::uint32_t>(w[5]) << 16;
        return h;
    }

    bool samplePoints() const { return version > 1999; }

    // What the reader needs before any plane: a camera, fields, and the extra words its layout
    // reads (chip temperature and offset coefficient for gain and offset planes).
    bool usable() const {
        return camera != 0 && fieldCount != 0 && fieldStart != 0 && extraWords >= 0 &&
               extraWords <= kMaxExtraWords &&
               (samplePoints() ? fieldCount <= kMaxSamplePoints : extraWords >= 2);
    }
};
