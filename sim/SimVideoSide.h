// The video half of a simulated camera's state (SimCamera::video): how the camera appears in the
// capture service and which formats it offers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// One video format the simulated camera offers.
struct SimVideoCapability {
    int width;
    int height;
    std::int64_t frameDuration;  // 100-ns units; also the pace of delivery
};

// How a simulated camera appears on its video channel. Empty texts take their defaults.
struct SimVideoSide {
    std::wstring description;                              // "Description"
    std::wstring friendlyName = L"Kelvix Thermal Camera";  // "FriendlyName"
    std::wstring devicePath;      // default: built from the parent id prefix
    std::wstring parentIdPrefix;  // default: unique per serial
    bool propertyBag = true;      // false: the device's properties cannot be read
    std::vector<SimVideoCapability> capabilities{{160, 120, 333333}};
    int defaultCapability = 0;       // the format before one is selected
    std::uint32_t frameCounter = 0;  // frames delivered so far
};

}  // namespace sim
