// The bridge client interface: only its destructor lives here.
#include "kelvix/DirectBridgeClient.h"

namespace zol {

DirectBridgeClient::~DirectBridgeClient() = default;

}  // namespace zol
