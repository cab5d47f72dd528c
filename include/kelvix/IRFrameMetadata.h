// The shutter-flag states and the metadata record that every frame callback gets by value.
#pragma once

#include <cstdint>

namespace zol {

// State of the shutter flag as reported to callbacks.
enum EnumFlagState : std::uint32_t {
    FlagOpen = 0,
    FlagClosed = 1,
    FlagState2 = 2,  // further states the camera's frame header reports
    FlagState3 = 3,
    FlagUnknown = 4  // not decoded yet, or any value the camera should not send
};

// Metadata handed by value with every frame callback.
struct IRFrameMetadata {
    std::uint16_t recordSize;    // bytes of the chain's metadata record
    std::uint32_t frameCounter;  // raw frames counted by the imager
    std::uint32_t hwFrameCounter;
    std::int64_t timestamp;  // 100-ns units
    std::int64_t frameNumber;
    EnumFlagState flagState;
    float tempChip;  // degrees Celsius, -100 = no value
    float tempFlag;
    float tempBox;
    std::uint16_t digitalInputBits;  // bit n = process-interface digital input n
};

}  // namespace zol
