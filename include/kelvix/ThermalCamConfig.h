// The settings record of the bridge protocol: what a TCP client asks the daemon to change.
#pragma once

#include <utility>

namespace zol {
namespace bridge {

// Settings a bridge client sends to the daemon: pairs of (set, value); only set pairs act.
// The fourth and fifth values travel but mean nothing to the daemon.
struct ThermalCamConfig {
    std::pair<bool, int> palette{false, 0};
    std::pair<bool, int> paletteScale{false, 0};
    std::pair<bool, bool> autoFlag{false, true};
    std::pair<bool, int> fourthValue{false, 15};
    std::pair<bool, int> fifthValue{false, 0};
    std::pair<bool, int> tMin{false, -20};  // degrees Celsius
    std::pair<bool, int> tMax{false, 100};  // degrees Celsius
};

}  // namespace bridge
}  // namespace zol
