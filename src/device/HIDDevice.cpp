// HIDDevice's single-report commands: each setter and query as the bytes it sends and the answer
// bytes it decodes (the multi-report transfers are in HIDDeviceTransfers.cpp).
#include "kelvix/HIDDevice.h"

#include <algorithm>
#include <cstring>

#include "device/HidEncoding.h"

using namespace hidenc;

std::int32_t HIDDevice::send(std::initializer_list<std::uint8_t> payload) {
    return exchange(payload.begin(), payload.size(), false, nullptr);
}

std::int32_t HIDDevice::query(std::initializer_list<std::uint8_t> payload, std::uint8_t* answer) {
    return exchange(payload.begin(), payload.size(), true, answer);
}

std::int32_t HIDDevice::GetDeviceSetup(DEVICE_SETUP*) {
    return -1;
}

std::int32_t HIDDevice::SetLogging(std::int32_t, const wchar_t*) {
    return -1;
}

// ---- setters ----

std::int32_t HIDDevice::SetTec(std::uint32_t v) {
    return send({0x34, 0x58, 0x10, hi(v), lo(v)});
}

std::int32_t HIDDevice::SetTec_A(std::uint32_t v) {
    return send({0x34, 0x5D, 0x10, shl4Hi(v), shl4Lo(v)});
}

std::int32_t HIDDevice::SetTec_B(std::uint32_t v) {
    return send({0x34, 0x5D, 0x12, shl4Hi(v), shl4Lo(v)});
}

std::int32_t HIDDevice::SetTec_C(std::uint32_t v) {
    return send({0x34, 0x5D, 0x14, shl4Hi(v), shl4Lo(v)});
}

std::int32_t HIDDevice::SetTec_D(std::uint32_t v) {
    return send({0x34, 0x5D, 0x16, shl4Hi(v), shl4Lo(v)});
}

std::int32_t HIDDevice::SetSkimFlex(std::uint32_t v, bool extended) {
    std::uint8_t reg = (hardwareRevision_ >= 20 && extended) ? 0x90 : 0x10;
    return send({0x34, 0x58, reg, shl4Hi(v), shl4Lo(v)});
}

std::int32_t HIDDevice::SetFidFlex(std::uint32_t v, bool extended) {
    std::uint8_t reg = (hardwareRevision_ >= 20 && extended) ? 0x92 : 0x12;
    return send({0x34, 0x58, reg, rot4Hi(v), rot4Lo(v)});
}

std::int32_t HIDDevice::EnableBias(bool on) {
    if (on) {
        return send({0x4D, 0x13, 0x04});
    }
    if (!connected_) {
        return -1;
    }
    SetSkimFlex(0, false);
    sleep_ms(10);
    SetFidFlex(0, false);
    sleep_ms(10);
    return send({0x4D, 0x13, 0x05});
}

std::int32_t HIDDevice::SetFlag(bool closed) {
    return send({0x34, 0x55, flag(closed)});
}

std::int32_t HIDDevice::SteuerFlagCycle(std::uint16_t* cycles) {
    if (!cycles) {
        return -1;
    }
    return send({0x34, 0x65, hi(*cycles), lo(*cycles)});
}

std::int32_t HIDDevice::SetPwrCtl(bool on) {
    return send({0x34, 0x40, flag(on)});
}

std::int32_t HIDDevice::SetLaserCtl(bool on) {
    if (hardwareRevision_ < 1000 || hardwareRevision_ > 1999) {
        return -1;
    }
    return send({0x34, 0x7B, flag(on)});
}

std::int32_t HIDDevice::SetTecCtl(bool on) {
    return send({0x34, 0x5F, flag(on)});
}

std::int32_t HIDDevice::SetFocusmotorPos(std::uint16_t position) {
    return send({0x35, 0x11, lo(position), hi(position)});
}

std::int32_t HIDDevice::QueryFlashMemory(std::uint32_t address) {
    return send(
        {0x35, 0x57, byte(address, 0), byte(address, 8), byte(address, 16), byte(address, 24)});
}

std::uint32_t HIDDevice::SetAntiFlicker(bool on) {
    return static_cast<std::uint32_t>(send({0x34, 0x73, flag(!on)}));
}

std::int32_t HIDDevice::SetClippedFormatPosition(std::uint16_t x, std::uint16_t y) {
    if (send({0x34, 0x7D, hi(x), lo(x)}) != 0) {
        return -1;
    }
    return send({0x34, 0x7E, hi(y), lo(y)});
}

std::int32_t HIDDevice::SetTCPIPConfig(std::uint32_t address, std::uint32_t mask,
                                       std::uint32_t gateway) {
    return send({0x34, 0x90, 0x01, byte(address, 24), byte(address, 16), byte(address, 8),
                 byte(address, 0), byte(mask, 24), byte(mask, 16), byte(mask, 8), byte(mask, 0),
                 byte(gateway, 24), byte(gateway, 16), byte(gateway, 8), byte(gateway, 0)});
}

// ---- process interface ----

std::int32_t HIDDevice::SetPif(std::uint16_t* value, std::uint8_t channel) {
    static constexpr std::uint8_t kRegister[] = {0x5E, 0x79, 0x7A};
    if (!value || channel >= 3) {
        return -1;
    }
    return send({0x34, kRegister[channel], 0x00, dacHi(*value), dacLo(*value)});
}

std::int32_t HIDDevice::SetPifAO(std::uint16_t value, std::uint8_t device, std::uint8_t channel) {
    return send({0x34, 0x7F, 0x00, dacHi(value), dacLo(value), device, channel});
}

std::int32_t HIDDevice::SetPifDO(bool on, std::uint8_t device, std::uint8_t channel) {
    return send({0x34, 0x89, 0x00, flag(on), device, channel});
}

std::int32_t HIDDevice::FailSafe(bool on) {
    return send({0x34, 0x78, 0x00, flag(on)});
}

std::int32_t HIDDevice::SetPifAIMode(std::uint8_t mode, std::uint8_t channel) {
    static constexpr std::uint8_t kRegister[] = {0x6D, 0x74};
    if (channel >= 2) {
        return -1;
    }
    return send({0x34, kRegister[channel], mode});
}

std::int32_t HIDDevice::SetPifAOMode(std::uint8_t mode, std::uint8_t channel) {
    static constexpr std::uint8_t kRegister[] = {0x69, 0x75, 0x76};
    if (channel >= 3) {
        return -1;
    }
    return send({0x34, kRegister[channel], mode});
}

std::int32_t HIDDevice::SetPifDIMode(std::uint8_t mode) {
    return send({0x34, 0x70, mode});
}

std::int32_t HIDDevice::SetPifAIModeEx(std::uint8_t mode, std::uint8_t device,
                                       std::uint8_t channel) {
    return send({0x34, 0x85, mode, device, channel});
}

std::int32_t HIDDevice::SetPifAOModeEx(std::uint8_t mode, std::uint8_t device,
                                       std::uint8_t channel) {
    return send({0x34, 0x84, mode, device, channel});
}

std::int32_t HIDDevice::SetPifAOOutputModeEx(std::uint8_t mode, std::uint8_t device,
                                             std::uint8_t channel) {
    return send({0x34, 0x8B, mode, device, channel});
}

std::int32_t HIDDevice::SetPifDOModeEx(std::uint8_t mode, std::uint8_t device,
                                       std::uint8_t channel) {
    return send({0x34, 0x8A, mode, device, channel});
}

std::int32_t HIDDevice::SetPifDIModeEx(std::uint8_t mode, std::uint8_t device,
                                       std::uint8_t channel) {
    return send({0x34, 0x86, mode, device, channel});
}

std::int32_t HIDDevice::SetPifAOFlagOpen(std::uint16_t* level) {
    return level ? send({0x34, 0x6A, tenHi(*level), tenLo(*level)}) : -1;
}

std::int32_t HIDDevice::SetPifAOFlagClosed(std::uint16_t* level) {
    return level ? send({0x34, 0x6B, tenHi(*level), tenLo(*level)}) : -1;
}

std::int32_t HIDDevice::SetPifAOFlagMoving(std::uint16_t* level) {
    return level ? send({0x34, 0x6C, tenHi(*level), tenLo(*level)}) : -1;
}

std::int32_t HIDDevice::SetPifAOFrameSync(std::uint16_t* level) {
    return level ? send({0x34, 0x77, tenHi(*level), tenLo(*level)}) : -1;
}

std::int32_t HIDDevice::SetPifAIFlagThreshold(std::uint16_t threshold) {
    return send({0x34, 0x6F, tenHi(threshold), tenLo(threshold)});
}

std::int32_t HIDDevice::SetPifAIFlagOpenIfLower(bool lower) {
    return send({0x34, 0x6E, flag(lower)});
}

std::int32_t HIDDevice::SetPifDIFlagLowActive(bool lowActive) {
    return send({0x34, 0x71, flag(lowActive)});
}

std::int32_t HIDDevice::SetPifType(TPifType type, std::uint8_t argument) {
    return send({0x34, 0x83, 0xFF, static_cast<std::uint8_t>(type), argument});
}

// ---- queries ----

namespace {

// Flag and housing temperature from two answer bytes.
float sensorTemperature(std::uint8_t b0, std::uint8_t b1, std::uint16_t revision) {
    if (revision >= 20) {
        return static_cast<float>(static_cast<std::int16_t>((b0 << 8) | b1)) / 128.0f;
    }
    int v = b0 * 16 + (b1 >> 4);  // 12-bit two's complement, 1/16 degC
    int tenths = v * 10 / 16;
    return v < 2048 ? static_cast<float>(tenths) * 0.1f : static_cast<float>(tenths - 2560) * 0.1f;
}

}  // namespace

std::int32_t HIDDevice::GetFlag(std::uint8_t* state) {
    std::uint8_t a[256];
    if (query({0x34, 0x64}, a) != 0) {
        if (state) {
            *state = 2;
        }
        return -1;
    }
    if (state) {
        *state = a[11];
    }
    return 0;
}

std::int32_t HIDDevice::GetTchip(float* degC) {
    std::uint8_t a[256];
    if (query({0x4D, 0x14}, a) != 0) {
        if (degC) {
            *degC = -100.0f;
        }
        return -1;
    }
    const std::uint16_t r = hardwareRevision_;
    float t;
    if (r < 20) {
        int raw = le16(a + 2);
        int m = raw * 3000 / 4096;
        t = (3011.9f - static_cast<float>(m) * 0.1552f * 1.7f) * 0.1f;
    } else if (r >= 21 && r <= 99) {
        t = 91.9264f - static_cast<float>(be16(a + 2)) * 0.02838844f;
    } else {
        t = 86.926f - static_cast<float>(be16(a + 2)) * 3.3f / 4096.0f / 0.029096f;
    }
    if (degC) {
        *degC = t;
    }
    return 0;
}

std::int32_t HIDDevice::GetTFlag(float* degC) {
    std::uint8_t a[256];
    if (query({0x34, 0x61}, a) != 0) {
        if (degC) {
            *degC = -100.0f;
        }
        return -1;
    }
    if (degC) {
        *degC = sensorTemperature(a[4], a[5], hardwareRevision_);
    }
    return 0;
}

std::int32_t HIDDevice::GetTBox(float* degC) {
    std::uint8_t a[256];
    if (query({0x34, 0x59}, a) != 0) {
        if (degC) {
            *degC = -100.0f;
        }
        return -1;
    }
    if (degC) {
        *degC = sensorTemperature(a[7], a[8], hardwareRevision_);
    }
    return 0;
}

std::int32_t HIDDevice::GetTOptics(float* degC) {
    std::uint8_t a[256];
    if (query({0x34, 0x59}, a) != 0) {
        if (degC) {
            *degC = -100.0f;
        }
        return -1;
    }
    if (degC) {
        *degC = hardwareRevision_ >= 20
                    ? static_cast<float>(static_cast<std::int16_t>(be16(a))) / 128.0f
                    : 0.0f;
    }
    return 0;
}

std::int32_t HIDDevice::GetTproc(float* degC) {
    if (degC) {
        *degC = 0.0f;
    }
    return -1;
}

std::int32_t HIDDevice::GetFocusmotorRange(std::uint16_t* first, std::uint16_t* second) {
    std::uint8_t a[256];
    bool ok = query({0x35, 0x10}, a) == 0;
    if (first) {
        *first = ok ? le16(a + 10) : 0;
    }
    if (second) {
        *second = ok ? le16(a + 12) : 0;
    }
    return ok ? 0 : -1;
}

std::int32_t HIDDevice::GetFocusmotorPos(std::uint16_t* position) {
    std::uint8_t a[256];
    bool ok = query({0x35, 0x10}, a) == 0;
    if (position) {
        *position = ok ? le16(a + 7) : 0;
    }
    return ok ? 0 : -1;
}

std::int32_t HIDDevice::GetPifAI(std::uint16_t* value, std::uint8_t channel) {
    std::uint8_t a[256];
    bool ok = query({0x34, 0x60}, a) == 0;
    if (value) {
        *value = ok ? static_cast<std::uint16_t>(be16(a + (channel == 0 ? 9 : 13)) >> 2) : 0;
    }
    return ok ? 0 : -1;
}

std::int32_t HIDDevice::GetFwCypVers(std::uint16_t* revision) {
    std::uint8_t a[256];
    bool ok = query({0x34, 0x67}, a) == 0;
    if (revision) {
        *revision = ok ? le16(a + 15) : 0;
    }
    return ok ? 0 : -1;
}

std::int32_t HIDDevice::GetHIDBuf(std::uint8_t* dst, std::int32_t capacity, std::uint32_t* count) {
    std::uint8_t a[256];
    bool ok = query({0x34, 0x59}, a) == 0;
    const std::size_t room = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
    std::size_t n = 0;
    if (dst && room > 0) {
        if (ok) {
            n = std::min<std::size_t>(receiveLength_, room);
            std::memcpy(dst, a, n);
        } else {
            std::memset(dst, 0, room);
        }
    }
    if (count) {
        *count = static_cast<std::uint32_t>(n);
    }
    return ok ? 0 : -1;
}

bool HIDDevice::GetVxHZVersion() {
    std::uint8_t a[256];
    return query({0x34, 0x59}, a) == 0 && (a[19] & 0x20) != 0;
}

std::int32_t HIDDevice::GetTCPIPConfig(std::uint32_t* address, std::uint32_t* mask,
                                       std::uint32_t* gateway) {
    std::uint8_t a[256];
    if (query({0x34, 0x90, 0x00}, a) != 0) {
        return -1;
    }
    if (address) {
        *address = be32(a);
    }
    if (mask) {
        *mask = be32(a + 4);
    }
    if (gateway) {
        *gateway = be32(a + 8);
    }
    return 0;
}

std::int32_t HIDDevice::GetHardwareRev(std::uint16_t* revision) {
    if (revision) {
        *revision = hardwareRevision_;
    }
    return 0;
}

// ---- process-interface record ----

void PifDeviceInfo::appendChannels(List list, std::uint8_t device, std::uint8_t n) {
    for (std::uint8_t i = 0; i < n && counts[list] < 255; ++i) {
        lists[list].push_back(static_cast<std::uint16_t>(device * 256 + i));
        ++counts[list];
    }
}

PifDeviceInfo PifDeviceInfo::describedByEeprom(std::int32_t type, std::uint8_t aiCount,
                                               std::uint8_t aoCount) {
    PifDeviceInfo info;
    info.type = type;
    info.deviceCount = 1;
    info.infoFlag = 1;
    info.lastByte = 1;
    info.appendChannels(AnalogIn, 0, aiCount);
    info.appendChannels(DigitalIn, 0, 1);
    info.appendChannels(AnalogOut, 0, aoCount);
    info.appendChannels(Extra, 0, 1);
    return info;
}
