// The exception that marks a TCP bridge connection as lost for good: thrown by
// DirectBridgeClientTCP, answered with -2 by the C interface.
#pragma once

#include <stdexcept>

namespace zol {

// The TCP client's connection is lost and could not be repaired: the one failure that the C
// interface reports as -2. Anything else thrown on the way is an ordinary failure.
class BridgeConnectionLost : public std::runtime_error {
  public:
    BridgeConnectionLost()
        : std::runtime_error("tcp connection could not be repaired (system reasons)...") {}
};

}  // namespace zol
