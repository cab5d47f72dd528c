#include "kelvix/DirectBridgeClient.h"

namespace zol {

DirectBridgeClient::~DirectBridgeClient() = default;

}  // namespace zol
