// The 16-bit temperature encoding (raw = T * 10 + 1000) and the energy domain, with the
// conversions the tables, operators and records use.

#pragma once

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>

#include "imgproc/LutOperators.h"

// The 16-bit temperature encoding of every temperature image. Standard form: tenths of a degree
// above -100 degC (raw = T * 10 + 1000). Centi-degree form: hundredths of a degree, signed.

// Value domain of corrected energy images (and of every energy LUT, lut::kSize entries).
constexpr int kEnergyMin = -3000;
constexpr int kEnergyMax = 20479;

// The functions below are pure: any thread.

// Float to int32 truncating toward zero; values outside the range (and NaN) saturate instead of
// being undefined.
inline std::int32_t truncToInt32(double v) {
    if (!(v > -2147483648.0)) {
        return v != v ? 0 : INT32_MIN;
    }
    if (v >= 2147483647.0) {
        return INT32_MAX;
    }
    return static_cast<std::int32_t>(v);
}

// Float to the integer type T, rounded half away from zero and held to T's range.
template <typename T>
inline T roundClamped(double v) {
    return static_cast<T>(std::clamp<long>(std::lround(v), std::numeric_limits<T>::min(),
                                           std::numeric_limits<T>::max()));
}

// T (degC) in the centi-degree form (`centi`) or the standard one, rounded.
// Single precision on purpose: the tables were built with it and must round the same way.
inline std::int32_t encodeTemperature(float t, bool centi) {
    if (centi) {
        const float scaled = t * 100.0f;
        return static_cast<std::int16_t>(
            truncToInt32(scaled >= 0.0f ? scaled + 0.5f : scaled - 0.5f));
    }
    return static_cast<std::uint16_t>(truncToInt32(t * 10.0f + 1000.5f));
}

// The encoded value `raw` back in degC.
inline double decodeTemperature(double raw, bool centi) {
    return centi ? raw * 0.01 : (raw - 1000.0) * 0.1;
}
