// The bridge client interface and the images it hands out. The C interface drives a camera
// through it, in-process (DirectBridgeClientUSB) or through the daemon (DirectBridgeClientTCP).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "kelvix/export.h"

namespace zol {

// A thermal image handed out by a bridge client; the caller owns it.
struct ThermalImage {
    std::uint32_t frameCounter = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint16_t> data;  // width x height values, raw = T * 10 + 1000, row by row
};

// A palette image handed out by a bridge client; the caller owns it. The width is the
// renderer's padded row width.
struct PaletteImage {
    std::vector<std::uint8_t> rgb;  // width x height x 3 bytes, row by row
    std::uint32_t frameCounter = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t channels = 3;
    std::uint32_t bytesPerChannel = 1;
};

// The thermal and the palette image of one frame.
using ThmPalImage = std::pair<ThermalImage*, PaletteImage*>;

// How the C interface reaches a camera, in-process or through the daemon. Getters answer
// (false, ...) when there is no image; the caller deletes whatever pointer comes back. Each
// implementation says from which threads it may be called.
class KELVIX_API DirectBridgeClient {
  public:
    virtual ~DirectBridgeClient();
    // Lets go of the connection's endpoint (TCP); nothing for the in-process client.
    virtual void release() = 0;
    // Ends the connection; false when there was none.
    virtual bool disconnect() = 0;
    // The next image (thermal, palette, or both of one frame).
    virtual std::pair<bool, ThermalImage*> getThermalImage() = 0;
    virtual std::pair<bool, PaletteImage*> getPaletteImage() = 0;
    virtual std::pair<bool, ThmPalImage> getThmPalImage() = 0;
    // Settings: 0, -1 on failure (-2 from the TCP client once its connection is lost for good).
    virtual int setPalette(int palette) = 0;
    virtual int setPaletteScale(int scale) = 0;
    virtual int triggerFlag() = 0;
    virtual int setFlagAutoMode(bool automatic) = 0;
    virtual int setTempRange(int tMin, int tMax) = 0;
    virtual int setRadiationParameters(float emissivity, float transmissivity, float tAmbient) = 0;
};

}  // namespace zol
