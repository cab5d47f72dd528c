// Test access to the in-process bridge client's private state.
#pragma once

#include <mutex>

#include "kelvix/DirectBridgeClientUSB.h"

namespace zol {

// Reaches into the in-process client: a connected state without a camera, and the release
// of the device it keeps (tests remove their simulated cameras after each test).
struct DirectBridgeClientUSBTestAccess {
    static void pretendConnected(DirectBridgeClientUSB& c, unsigned width, unsigned height) {
        {
            std::lock_guard<std::mutex> lock(c.frameMutex);
            c.frameWidth = width;
            c.frameHeight = height;
            c.frameBuffer.assign(static_cast<std::size_t>(width) * height, 0);
            c.lastReadCounter = c.frameCounter;
        }
        c.connected = true;
    }
    static void releaseAll(DirectBridgeClientUSB& c) { c.shutdown(); }
    static bool hasDevice(DirectBridgeClientUSB& c) { return c.device != nullptr; }
};

}  // namespace zol
