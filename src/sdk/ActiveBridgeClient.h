// Which bridge client the C interface talks to: the USB or the TCP client that the last init
// function selected. Read and set from any thread.
#pragma once

namespace zol {

class DirectBridgeClient;

// The client the C interface talks to: selected by the init functions, null before.
DirectBridgeClient* activeBridgeClient();
void selectBridgeClient(DirectBridgeClient* client);

}  // namespace zol
