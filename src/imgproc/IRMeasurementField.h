// The application's measurement-field record (debug build): the caller owns it, the chain's
// measurement branch fills it on the frame thread.

#pragma once

#include <cstdint>

namespace zol {

// A rectangle of the thermal image measured by its own branch of the processing chain. The
// caller allocates and fills the record and keeps it (and its copy buffer) alive as long as the
// chain exists; the chain writes the copy and the statistics on the frame thread, unlocked.
struct IRMeasurementField {
    using Callback = int (*)(IRMeasurementField* field);  // result ignored

    std::int32_t userValue1 = 0;  // not read by the library
    std::int32_t x = 0;           // left column
    std::int32_t y = 0;           // top row
    std::uint32_t w = 0;
    std::uint32_t h = 0;
    float emissivity = 1.0f;
    float transmissivity = 1.0f;
    // Told once per measured frame, after the copy and before the statistics are updated.
    Callback callback = nullptr;
    std::int32_t userValue2 = 0;    // not read by the library
    std::uint16_t* copy = nullptr;  // w * h raw temperatures, row by row
    float mean = 0.0f;              // degrees Celsius
    float min = 0.0f;
    float max = 0.0f;
};

}  // namespace zol
