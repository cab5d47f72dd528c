// The TCP bridge client: command words and configuration records out, image replies in, each
// reply header checked before its payload is read. Runs on the calling thread.
#include "kelvix/DirectBridgeClientTCP.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/Socket.h"
#include "sdk/Log.h"
#include "sdk/daemon/client/BridgeConnectionLost.h"
#include "sdk/daemon/server/BridgeWire.h"

namespace zol {

namespace {

// Fills `out` with `count` values as they arrive, a mebibyte at a time, its room doubling up to
// `count`: for a reply header alone the client allocates one mebibyte, not the image it claims.
template <typename T, typename Read>
bool readGrowing(std::vector<T>& out, std::size_t count, Read read) {
    constexpr std::size_t kChunk = (std::size_t{1} << 20) / sizeof(T);
    out.clear();
    while (out.size() < count) {
        const std::size_t at = out.size();
        const std::size_t next = at + std::min(kChunk, count - at);
        if (next > out.capacity()) {
            out.reserve(std::min(count, std::max(next, 2 * out.capacity())));
        }
        out.resize(next);
        if (!read(out.data() + at, (out.size() - at) * sizeof(T))) {
            return false;
        }
    }
    return true;
}

}  // namespace

DirectBridgeClientTCP* DirectBridgeClientTCP::getInstance() {
    static DirectBridgeClientTCP instance;
    return &instance;
}

DirectBridgeClientTCP::DirectBridgeClientTCP() : connected(false) {}

DirectBridgeClientTCP::~DirectBridgeClientTCP() = default;

void DirectBridgeClientTCP::init(const std::string& host, int port) {
    if (connected) {
        return;
    }
    endpoint = std::make_unique<Tcp>(host, port, 0.1);
}

std::pair<bool, bool> DirectBridgeClientTCP::connect() {
    if (!endpoint) {
        return {false, true};
    }
    try {
        endpoint->connect();
    } catch (const ConnectionError&) {
        return {false, !endpoint->isReparable()};
    }
    connected = true;
    return {true, false};
}

bool DirectBridgeClientTCP::connectBlocked() {
    if (!endpoint) {
        return false;
    }
    bool ok;
    try {
        ok = endpoint->connect();
    } catch (const ConnectionError&) {
        ok = endpoint->repairConnection();
    }
    if (ok) {
        connected = true;
    }
    return ok;
}

void DirectBridgeClientTCP::release() {
    if (endpoint) {
        endpoint->close();
        endpoint.reset();
    }
    connected = false;
}

bool DirectBridgeClientTCP::disconnect() {
    if (!endpoint) {
        return false;
    }
    endpoint->close();
    connected = false;
    return true;
}

std::string DirectBridgeClientTCP::getError() {
    return endpoint ? endpoint->getLastErrorMessage() : std::string();
}

// Without an endpoint there is nothing to repair.
Tcp& DirectBridgeClientTCP::requireEndpoint() {
    if (!endpoint) {
        throw BridgeConnectionLost();
    }
    return *endpoint;
}

// Lost for good, the client is not connected any more: the next init may name another daemon.
void DirectBridgeClientTCP::connectionLost() {
    if (!requireEndpoint().repairConnection()) {
        connected = false;
        throw BridgeConnectionLost();
    }
}

bool DirectBridgeClientTCP::writeAll(const void* data, std::size_t length) {
    Tcp& tcp = requireEndpoint();
    try {
        platform::Progress progress(bridge::bounds().transfer);
        tcp.write(data, length, progress);
    } catch (const ConnectionError&) {
        connectionLost();
        return false;
    }
    return true;
}

bool DirectBridgeClientTCP::readAll(void* data, std::size_t length, platform::Progress& progress) {
    Tcp& tcp = requireEndpoint();
    try {
        tcp.read(data, length, progress);
    } catch (const ConnectionError&) {
        connectionLost();
        return false;
    }
    return true;
}

bool DirectBridgeClientTCP::sendCommand(unsigned int code) {
    std::uint8_t word[bridge::kCommandSize];
    bridge::putU32(word, code);
    return writeAll(word, sizeof(word));
}

bool DirectBridgeClientTCP::transmitConfig(const bridge::ThermalCamConfig& config) {
    std::uint8_t record[bridge::kConfigSize];
    bridge::encodeConfig(config, record);
    return writeAll(record, sizeof(record));
}

bool DirectBridgeClientTCP::setConfig(const bridge::ThermalCamConfig& config) {
    return sendCommand(bridge::kConfiguration) && transmitConfig(config);
}

// Reads a reply header into counter, payload size, width, height, channels and bytes per
// channel. A header whose sizes are out of bounds or disagree leaves the rest of the stream
// unreadable: the connection is replaced as if it had been lost.
bool DirectBridgeClientTCP::readImageHeader(std::uint32_t channels, std::uint32_t bytesPerChannel,
                                            std::uint32_t out[6], platform::Progress& progress) {
    std::uint8_t bytes[bridge::kImageHeaderSize];
    if (!readAll(bytes, sizeof(bytes), progress)) {
        return false;
    }
    const bridge::ImageHeader h = bridge::decodeImageHeader(bytes);
    if (const char* why = bridge::checkImageHeader(h, channels, bytesPerChannel)) {
        KLOG_ERROR("Malformed image reply (" << why << "): " << h.width << "x" << h.height << ", "
                                             << h.payloadSize << " bytes");
        connectionLost();
        return false;
    }
    out[0] = h.frameCounter;
    out[1] = h.payloadSize;
    out[2] = h.width;
    out[3] = h.height;
    out[4] = h.channels;
    out[5] = h.bytesPerChannel;
    return true;
}

std::pair<bool, ThermalImage*> DirectBridgeClientTCP::receiveThermalImage() {
    auto image = std::make_unique<ThermalImage>();
    // One pace for the whole reply, so that the server cannot restart it between its parts.
    platform::Progress progress(bridge::bounds().transfer);
    std::uint32_t h[6];
    if (!readImageHeader(1, 2, h, progress)) {
        return {false, image.release()};
    }
    image->frameCounter = h[0];
    image->width = h[2];
    image->height = h[3];
    const auto read = [&](void* to, std::size_t bytes) { return readAll(to, bytes, progress); };
    if (!readGrowing(image->data, static_cast<std::size_t>(h[2]) * h[3], read)) {
        return {false, image.release()};
    }
    bridge::thermalFromWire(image->data.data(), image->data.size());
    return {true, image.release()};
}

std::pair<bool, PaletteImage*> DirectBridgeClientTCP::receivePaletteImage() {
    auto image = std::make_unique<PaletteImage>();
    // One pace for the whole reply, so that the server cannot restart it between its parts.
    platform::Progress progress(bridge::bounds().transfer);
    std::uint32_t h[6];
    if (!readImageHeader(3, 1, h, progress)) {
        return {false, image.release()};
    }
    image->frameCounter = h[0];
    image->width = h[2];
    image->height = h[3];
    image->channels = h[4];
    image->bytesPerChannel = h[5];
    const auto read = [&](void* to, std::size_t bytes) { return readAll(to, bytes, progress); };
    if (!readGrowing(image->rgb, static_cast<std::size_t>(h[2]) * h[3] * 3, read)) {
        return {false, image.release()};
    }
    return {true, image.release()};
}

std::pair<bool, ThermalImage*> DirectBridgeClientTCP::getThermalImage() {
    if (!sendCommand(bridge::kThermalImage)) {
        return {false, new ThermalImage()};
    }
    return receiveThermalImage();
}

std::pair<bool, PaletteImage*> DirectBridgeClientTCP::getPaletteImage() {
    if (!sendCommand(bridge::kPaletteImage)) {
        return {false, new PaletteImage()};
    }
    return receivePaletteImage();
}

std::pair<bool, ThmPalImage> DirectBridgeClientTCP::getThmPalImage() {
    const ThmPalImage none{nullptr, nullptr};
    if (!sendCommand(bridge::kThermalPaletteImage)) {
        return {false, none};
    }
    const std::pair<bool, ThermalImage*> thermal = receiveThermalImage();
    std::unique_ptr<ThermalImage> thermalOwner(thermal.second);
    if (!thermal.first) {
        return {false, none};
    }
    const std::pair<bool, PaletteImage*> palette = receivePaletteImage();
    std::unique_ptr<PaletteImage> paletteOwner(palette.second);
    if (!palette.first) {
        return {false, none};
    }
    return {true, {thermalOwner.release(), paletteOwner.release()}};
}

// A setting that did not go out is -1, also when the connection was repaired on the way (the
// command is not sent again); -2 when the connection is lost for good.
int DirectBridgeClientTCP::sendSetting(const bridge::ThermalCamConfig& config) {
    try {
        return setConfig(config) ? 0 : -1;
    } catch (const BridgeConnectionLost&) {
        return -2;
    }
}

int DirectBridgeClientTCP::setPalette(int palette) {
    bridge::ThermalCamConfig config;
    config.palette = {true, palette};
    return sendSetting(config);
}

int DirectBridgeClientTCP::setPaletteScale(int scale) {
    bridge::ThermalCamConfig config;
    config.paletteScale = {true, scale};
    return sendSetting(config);
}

int DirectBridgeClientTCP::setFlagAutoMode(bool automatic) {
    bridge::ThermalCamConfig config;
    config.autoFlag = {true, automatic};
    return sendSetting(config);
}

int DirectBridgeClientTCP::setTempRange(int tMin, int tMax) {
    bridge::ThermalCamConfig config;
    config.tMin = {true, tMin};
    config.tMax = {true, tMax};
    return sendSetting(config);
}

int DirectBridgeClientTCP::triggerFlag() {
    try {
        return sendCommand(bridge::kTriggerFlag) ? 0 : -1;
    } catch (const BridgeConnectionLost&) {
        return -2;
    }
}

int DirectBridgeClientTCP::setRadiationParameters(float, float, float) {
    return -1;
}

}  // namespace zol
