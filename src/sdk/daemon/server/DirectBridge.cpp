// The daemon's end of the bridge protocol on one server Tcp endpoint. Runs on the handler's worker
// thread, except close(), which the stopping thread calls.
#include "kelvix/DirectBridge.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/Socket.h"
#include "sdk/Log.h"
#include "sdk/daemon/server/BridgeWire.h"

namespace zol {

DirectBridge::DirectBridge(int port) : tcp(port) {}

DirectBridge::~DirectBridge() = default;

bool DirectBridge::connect() {
    try {
        return tcp.connect();
    } catch (const ConnectionError&) {
        return tcp.repairConnection();
    }
}

void DirectBridge::close() {
    tcp.close();
}

std::string DirectBridge::getError() {
    return tcp.getLastErrorMessage();
}

// A client that is gone has been replaced when this returns; an endpoint that cannot be
// repaired ends the process (other threads may still run, so no static destructors).
void DirectBridge::connectionLost() {
    if (tcp.repairConnection()) {
        return;
    }
    std::cout.flush();
    std::fflush(nullptr);
    std::_Exit(-1);
}

unsigned int DirectBridge::waitForCommand() {
    std::uint8_t word[bridge::kCommandSize];
    try {
        // A client that leaves a reply untaken is dropped before its next command is read, not
        // only once megabytes of socket buffers are full.
        platform::Progress taking(bridge::bounds().transfer);
        tcp.flush(taking);
        // A client may sit idle between commands (keepalive finds one that vanished); once a
        // command has begun, the rest of it keeps the pace of a transfer.
        tcp.read(word, 1);
        platform::Progress progress(bridge::bounds().transfer);
        tcp.read(word + 1, sizeof(word) - 1, progress);
    } catch (const ConnectionError&) {
        connectionLost();
        return bridge::kConnectionRepaired;
    }
    return bridge::getU32(word);
}

std::pair<bool, bridge::ThermalCamConfig> DirectBridge::receiveConfig() {
    std::uint8_t record[bridge::kConfigSize];
    try {
        platform::Progress progress(bridge::bounds().transfer);
        tcp.read(record, sizeof(record), progress);
    } catch (const ConnectionError&) {
        connectionLost();
        return {false, bridge::ThermalCamConfig()};
    }
    return {true, bridge::decodeConfig(record)};
}

bool DirectBridge::sendImage(const void* pixels, unsigned width, unsigned height, unsigned counter,
                             unsigned channels, unsigned bytesPerChannel) {
    bridge::ImageHeader header;
    if (!bridge::makeImageHeader(counter, width, height, channels, bytesPerChannel, header)) {
        // The client waits for exactly one reply: it gets an empty image in place of this one.
        KLOG_ERROR("Image of " << width << "x" << height << " is too large to send");
        bridge::makeImageHeader(counter, 0, 0, channels, bytesPerChannel, header);
    }
    if (pixels == nullptr && header.payloadSize != 0) {
        return false;
    }
    std::uint8_t head[bridge::kImageHeaderSize];
    bridge::encodeImageHeader(header, head);
    platform::Progress progress(bridge::bounds().transfer);
    try {
        tcp.write(head, sizeof(head), progress);
        if (bytesPerChannel == 2 && !bridge::hostIsLittleEndian()) {
            const auto* values = static_cast<const std::uint16_t*>(pixels);
            std::uint8_t chunk[8192];
            const std::size_t count = header.payloadSize / 2;
            for (std::size_t done = 0; done < count;) {
                const std::size_t n = std::min(count - done, sizeof(chunk) / 2);
                bridge::thermalToWire(values + done, n, chunk);
                tcp.write(chunk, n * 2, progress);
                done += n;
            }
        } else {
            tcp.write(pixels, header.payloadSize, progress);
        }
    } catch (const ConnectionError&) {
        connectionLost();
        return false;
    }
    return true;
}

bool DirectBridge::sendThermalImage(unsigned short* data, unsigned width, unsigned height,
                                    unsigned counter) {
    return sendImage(data, width, height, counter, 1, 2);
}

bool DirectBridge::sendPaletteImage(unsigned char* data, unsigned width, unsigned height,
                                    unsigned counter) {
    return sendImage(data, width, height, counter, 3, 1);
}

}  // namespace zol
