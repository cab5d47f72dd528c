#pragma once

namespace zol {

class DirectBridgeClient;

// The client the C interface talks to: selected by the init functions, null before.
DirectBridgeClient* activeBridgeClient();
void selectBridgeClient(DirectBridgeClient* client);

}  // namespace zol
