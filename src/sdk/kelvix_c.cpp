// The C interface on the active bridge client: images copied into the caller's buffers, every
// exception turned into -1, or -2 for a daemon connection lost for good.
#include "kelvix/kelvix_c.h"

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "kelvix/DirectBridgeClient.h"
#include "kelvix/DirectBridgeClientTCP.h"
#include "kelvix/DirectBridgeClientUSB.h"
#include "kelvix/ImageBuilder.h"
#include "platform/PngFile.h"
#include "platform/Shell.h"
#include "sdk/ActiveBridgeClient.h"
#include "sdk/daemon/client/BridgeConnectionLost.h"

using zol::DirectBridgeClient;

namespace {

// The daemon program's process name.
const char* const kDaemonKillCommand = "killall kelvixdaemon";

const std::vector<std::uint16_t>& pixelsOf(const zol::ThermalImage& image) {
    return image.data;
}

const std::vector<std::uint8_t>& pixelsOf(const zol::PaletteImage& image) {
    return image.rgb;
}

// The daemon answers a request for an image too large for the wire with an empty one: that is no
// image either.
template <typename Image>
bool noPixels(const Image* image) {
    return image == nullptr || image->width == 0 || image->height == 0;
}

// Asks the client for an image and copies it out (size mode when *w or *h is -1). Nothing
// thrown may cross into C: a connection lost for good is -2, anything else -1.
template <typename Image, typename Pixel, typename Get>
int fetchImage(int* w, int* h, Pixel* data, std::size_t valuesPerPixel, const Get& get) {
    DirectBridgeClient* client = zol::activeBridgeClient();
    if (client == nullptr || w == nullptr || h == nullptr) {
        return -1;
    }
    std::pair<bool, Image*> got;
    try {
        got = get(*client);
    } catch (const zol::BridgeConnectionLost&) {
        return -2;
    } catch (...) {
        return -1;
    }
    std::unique_ptr<Image> image(got.second);
    if (!got.first || noPixels(image.get())) {
        return -1;
    }
    if (*w == -1 || *h == -1) {
        *w = static_cast<int>(image->width);
        *h = static_cast<int>(image->height);
        return 0;
    }
    if (*w != static_cast<int>(image->width) || *h != static_cast<int>(image->height) ||
        data == nullptr) {
        return -1;
    }
    const std::size_t values =
        static_cast<std::size_t>(image->width) * image->height * valuesPerPixel;
    const auto& pixels = pixelsOf(*image);
    if (pixels.size() < values) {
        return -1;
    }
    std::memcpy(data, pixels.data(), values * sizeof(Pixel));
    return 0;
}

// A setter of the active client; -1 without one.
template <typename Set>
int applySetting(const Set& set) {
    DirectBridgeClient* client = zol::activeBridgeClient();
    if (client == nullptr) {
        return -1;
    }
    try {
        return set(*client);
    } catch (const zol::BridgeConnectionLost&) {
        return -2;
    } catch (...) {
        return -1;
    }
}

}  // namespace

extern "C" {

int zol_kelvix_usb_init(const char* xmlConfig, const char* formatsDir, const char* logFile) {
    if (xmlConfig == nullptr) {
        return -1;
    }
    std::ofstream log("log.txt", std::ios::out | std::ios::trunc);
    log << xmlConfig << std::endl;

    zol::DirectBridgeClientUSB* client = zol::DirectBridgeClientUSB::getInstance();
    zol::selectBridgeClient(client);
    if (!client->isConnected()) {
        client->init(xmlConfig, formatsDir != nullptr ? formatsDir : "",
                     logFile != nullptr ? logFile : "");
    }
    bool connected = false;
    try {
        connected = client->connect();
    } catch (...) {
        connected = false;
    }
    log << (connected ? "1" : "0") << std::endl;
    return connected ? 0 : -1;
}

int zol_kelvix_tcp_init(const char* ip, int port) {
    if (ip == nullptr || port < 1 || port > 65535) {
        return -1;
    }
    zol::DirectBridgeClientTCP* client = zol::DirectBridgeClientTCP::getInstance();
    zol::selectBridgeClient(client);
    std::pair<bool, bool> result;
    try {
        client->init(ip, port);
        result = client->connect();
    } catch (const zol::BridgeConnectionLost&) {
        return -2;
    } catch (...) {
        return -1;
    }
    if (result.second) {
        return -2;
    }
    return result.first ? 0 : -1;
}

int zol_kelvix_terminate(void) {
    return applySetting([](DirectBridgeClient& c) { return c.disconnect() ? 0 : -1; });
}

int zol_kelvix_get_thermal_image(int* w, int* h, unsigned short* data) {
    return fetchImage<zol::ThermalImage>(w, h, data, 1,
                                         [](DirectBridgeClient& c) { return c.getThermalImage(); });
}

int zol_kelvix_get_thermal_image_size(int* w, int* h) {
    if (w == nullptr || h == nullptr) {
        return -1;
    }
    *w = -1;
    *h = -1;
    return zol_kelvix_get_thermal_image(w, h, nullptr);
}

int zol_kelvix_get_palette_image(int* w, int* h, unsigned char* data) {
    return fetchImage<zol::PaletteImage>(w, h, data, 3,
                                         [](DirectBridgeClient& c) { return c.getPaletteImage(); });
}

int zol_kelvix_get_palette_image_size(int* w, int* h) {
    if (w == nullptr || h == nullptr) {
        return -1;
    }
    *w = -1;
    *h = -1;
    return zol_kelvix_get_palette_image(w, h, nullptr);
}

int zol_kelvix_get_thermal_palette_image(int wT, int hT, unsigned short* thermal, int wP, int hP,
                                         unsigned char* rgb) {
    DirectBridgeClient* client = zol::activeBridgeClient();
    if (client == nullptr) {
        return -1;
    }
    std::pair<bool, zol::ThmPalImage> got;
    try {
        got = client->getThmPalImage();
    } catch (const zol::BridgeConnectionLost&) {
        return -2;
    } catch (...) {
        return -1;
    }
    std::unique_ptr<zol::ThermalImage> t(got.second.first);
    std::unique_ptr<zol::PaletteImage> p(got.second.second);
    if (!got.first || noPixels(t.get()) || noPixels(p.get())) {
        return -1;
    }
    if (wT != static_cast<int>(t->width) || hT != static_cast<int>(t->height) ||
        wP != static_cast<int>(p->width) || hP != static_cast<int>(p->height) ||
        thermal == nullptr || rgb == nullptr) {
        return -1;
    }
    const std::size_t thermalValues = static_cast<std::size_t>(t->width) * t->height;
    const std::size_t rgbBytes = static_cast<std::size_t>(p->width) * p->height * 3;
    if (t->data.size() < thermalValues || p->rgb.size() < rgbBytes) {
        return -1;
    }
    std::memcpy(thermal, t->data.data(), thermalValues * sizeof(unsigned short));
    std::memcpy(rgb, p->rgb.data(), rgbBytes);
    return 0;
}

int zol_kelvix_set_palette(int palette) {
    return applySetting([palette](DirectBridgeClient& c) { return c.setPalette(palette); });
}

int zol_kelvix_set_palette_scale(int scale) {
    return applySetting([scale](DirectBridgeClient& c) { return c.setPaletteScale(scale); });
}

int zol_kelvix_set_shutter_mode(int mode) {
    return applySetting([mode](DirectBridgeClient& c) { return c.setFlagAutoMode(mode != 0); });
}

int zol_kelvix_trigger_shutter_flag(void) {
    return applySetting([](DirectBridgeClient& c) { return c.triggerFlag(); });
}

int zol_kelvix_set_temperature_range(int tMin, int tMax) {
    return applySetting([tMin, tMax](DirectBridgeClient& c) { return c.setTempRange(tMin, tMax); });
}

int zol_kelvix_set_radiation_parameters(float emissivity, float transmissivity, float tAmbient) {
    return applySetting([=](DirectBridgeClient& c) {
        return c.setRadiationParameters(emissivity, transmissivity, tAmbient);
    });
}

int zol_kelvix_to_palette_save_png(unsigned short* thermal, int w, int h, const char* path,
                                   int palette, int paletteScale) {
    if (thermal == nullptr || path == nullptr || w <= 0 || h <= 0) {
        return -1;
    }
    try {
        zol::ImageBuilder builder(true);
        builder.setPaletteScalingMethod(
            static_cast<zol::EnumTervanPaletteScalingMethod>(paletteScale));
        builder.setPalette(static_cast<zol::EnumTervanColoringPalette>(palette));
        builder.setManualTemperatureRange(-20.0f, 20.0f);  // raw 800 .. 1200
        builder.setData(static_cast<unsigned>(w), static_cast<unsigned>(h), thermal);
        const unsigned rowWidth = builder.getStride();
        std::vector<unsigned char> rgb(static_cast<std::size_t>(rowWidth) * h * 3);
        builder.convertTemperatureToPaletteImage(rgb.data(), false);
        // Each pixel's three bytes go to the file as red, green and blue in buffer order.
        return platform::writePngRgb(path, rowWidth, static_cast<unsigned>(h), rgb.data()) ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

int zol_kelvix_daemon_kill(void) {
    // Any status but 0 stopped nothing: no such process, no killall, no shell.
    return platform::shell().run(kDaemonKillCommand) == 0 ? 0 : -1;
}

int zol_kelvix_daemon_launch(void) {
    return -1;
}

int zol_kelvix_daemon_is_running(void) {
    return -1;
}

}  // extern "C"
