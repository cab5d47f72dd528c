// What an imager takes as radiation parameters; the in-process client answers by it.
#pragma once

#include <cmath>

namespace zol {

// Factors in [0, 1] and a finite ambient temperature (at or below -273.15 degC it stands for
// the housing's). NaN fails every comparison, so each bound is written to fail it.
inline bool radiationParametersUsable(float emissivity, float transmissivity, float tAmbient) {
    return emissivity >= 0.0f && emissivity <= 1.0f && transmissivity >= 0.0f &&
           transmissivity <= 1.0f && std::isfinite(tAmbient);
}

}  // namespace zol
