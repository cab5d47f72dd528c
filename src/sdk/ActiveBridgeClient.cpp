// The C interface's selected bridge client, kept in one atomic pointer.
#include "sdk/ActiveBridgeClient.h"

#include <atomic>

namespace zol {

namespace {

std::atomic<DirectBridgeClient*> active{nullptr};

}  // namespace

DirectBridgeClient* activeBridgeClient() {
    return active.load();
}

void selectBridgeClient(DirectBridgeClient* client) {
    active.store(client);
}

}  // namespace zol
