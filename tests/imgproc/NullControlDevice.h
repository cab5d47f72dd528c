// A control device that answers everything with zeros, for tests that override a few calls.
#pragma once

#include "device/InertControlDevice.h"

// A control device that answers every operation with zeros, temperature and flag queries
// included (succeeding and leaving their outputs alone); tests override what they need.
class NullControlDevice : public InertControlDevice {
  public:
    std::int32_t GetFlag(std::int32_t* state) override { return 0; }
    std::int32_t GetTempChip(float* degC) override { return 0; }
    std::int32_t GetTempBox(float* degC) override { return 0; }
    std::int32_t GetTempFlag(float* degC) override { return 0; }
    std::int32_t GetTempOptics(float* degC) override { return 0; }
};
