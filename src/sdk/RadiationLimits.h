// What an imager takes as radiation parameters; the in-process client answers by it.
#pragma once

#include <cmath>
#include <sstream>
#include <string>

namespace zol {

// Why radiation parameters are refused, naming the refused value; empty when they are taken.
// Factors lie in [0, 1]. An ambient temperature that is not above -273.15 degC (NaN and -inf
// included) stands for the housing's minus 5; only +inf has no meaning. NaN fails every
// comparison, so each bound is written to fail it.
inline std::string radiationParametersRefusal(float emissivity, float transmissivity,
                                              float tAmbient) {
    std::ostringstream why;
    if (!(emissivity >= 0.0f && emissivity <= 1.0f)) {
        why << "emissivity " << emissivity;
    } else if (!(transmissivity >= 0.0f && transmissivity <= 1.0f)) {
        why << "transmissivity " << transmissivity;
    } else if (std::isinf(tAmbient) && tAmbient > 0.0f) {
        return "Ambient temperature inf has no meaning ... ignoring parameters";
    } else {
        return {};
    }
    return "Radiation parameters must be in the range of [0;1] ... ignoring parameters (" +
           why.str() + ")";
}

}  // namespace zol
