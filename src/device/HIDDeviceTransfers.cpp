// The HIDDevice commands that take more than one report or a structured record: serial flash,
// firmware blocks, JTAG, process-interface EEPROM and device information, the output
// sample-point table and the autonomous-mode configuration.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "device/HidEncoding.h"
#include "kelvix/HIDDevice.h"
#include "platform/Clock.h"
#include "sdk/Log.h"

using namespace hidenc;

namespace {

constexpr int kPayload = 40;  // report less its id

// A report under construction: r[k] is report byte k (r[0] is the report id).
struct Report {
    std::uint8_t r[kPayload + 1] = {};
    int size = 1;
    void put(std::uint8_t b) {
        if (size <= kPayload) {
            r[size++] = b;
        }
    }
    void put16(std::uint32_t v) {
        put(hi(v));
        put(lo(v));
    }
    void put32(std::uint32_t v) {
        put(byte(v, 24));
        put(byte(v, 16));
        put(byte(v, 8));
        put(byte(v, 0));
    }
    void putTen(std::uint32_t v) {
        put(tenHi(v));
        put(tenLo(v));
    }
    const std::uint8_t* payload() const { return r + 1; }
    std::size_t length() const { return static_cast<std::size_t>(size - 1); }
};

// Truncation toward zero that stays defined for any double.
std::int64_t trunc64(double v) {
    if (!(v == v)) {
        return 0;
    }
    constexpr double kMax = 9.0e18;
    return static_cast<std::int64_t>(std::max(-kMax, std::min(kMax, std::trunc(v))));
}
std::uint32_t ms(double seconds) {
    return static_cast<std::uint32_t>(trunc64(seconds * 1000.0));
}
std::uint32_t whole(double v) {
    return static_cast<std::uint32_t>(trunc64(v));
}
std::uint32_t rawTemp(double t) {
    return static_cast<std::uint32_t>(trunc64(t * 10.0 + 1000.5));
}

int hexDigit(std::uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 0;
}

std::uint32_t hexAt(const std::uint8_t* line, int pos, int digits) {
    std::uint32_t v = 0;
    for (int i = 0; i < digits; ++i) {
        v = v * 16 + static_cast<std::uint32_t>(hexDigit(line[pos + i]));
    }
    return v;
}

PIF_EEPROM_ENTRY entryAt(const std::uint8_t* p) {
    PIF_EEPROM_ENTRY e;
    e.gain = le16(p);
    e.offset = static_cast<std::int16_t>(le16(p + 2));
    e.shift = p[4];
    return e;
}

// Polls that go out back to back before WaitForNotBusy starts yielding between them.
constexpr int kImmediatePolls = 100;

}  // namespace

// ---- serial flash ----

bool HIDDevice::SimpleCommand(std::uint8_t opcode) {
    return send({0x53, 0x01, 0x01, opcode}) == 0;
}

bool HIDDevice::WaitForNotBusy() {
    const std::uint32_t start = platform::clock().tickMs();
    for (int polls = 0; connected_; ++polls) {
        std::uint8_t a[256];
        if (query({0x55}, a) != 0) {
            return false;
        }
        if (a[4] == 0) {
            return true;
        }
        if (platform::elapsedMs(platform::clock().tickMs(), start) >= kFlashBusyLimitMs) {
            return false;  // the flash never came back
        }
        if (polls >= kImmediatePolls) {
            sleep_ms(1);
        }
    }
    return false;
}

std::int32_t HIDDevice::MCSFirmwarePrepare(const std::uint8_t* text, std::int32_t length,
                                           std::uint8_t* image) {
    std::memset(image, 0xFF, kFlashSize);
    // Positions in 64 bits: a high base plus an address must not wrap back into the flash.
    std::uint64_t base = 0;
    std::uint32_t end = 0;
    std::uint64_t dropped = 0;
    std::int32_t pos = 0;
    while (text && pos < length) {
        std::int32_t stop = pos;
        while (stop < length && text[stop] != '\r' && text[stop] != '\n') {
            ++stop;
        }
        const std::uint8_t* line = text + pos;
        const std::int32_t n = stop - pos;
        pos = stop + 1;
        if (n <= 10) {
            continue;
        }
        const std::uint32_t type = hexAt(line, 7, 2);
        if (type == 0x04) {
            if (n >= 13) {
                base = std::uint64_t{hexAt(line, 9, 4)} << 16;
            }
        } else if (type == 0x00) {
            const std::uint32_t count = hexAt(line, 1, 2);
            const std::uint32_t address = hexAt(line, 3, 4);
            if (static_cast<std::uint32_t>(n) < 9 + 2 * count) {
                continue;  // a truncated record is not programmed at all
            }
            for (std::uint32_t k = 0; k < count; ++k) {
                const std::uint64_t at = base + address + k;
                if (at >= kFlashSize) {
                    ++dropped;
                    continue;
                }
                image[at] = static_cast<std::uint8_t>(hexAt(line, 9 + 2 * k, 2));
                end = std::max(end, static_cast<std::uint32_t>(at + 1));
            }
        }
    }
    if (dropped != 0) {
        KLOG_ERROR("MCS firmware image: " << dropped << " data bytes at or beyond the "
                                          << (kFlashSize >> 10) << " KiB flash dropped");
    }
    return static_cast<std::int32_t>(end);
}

bool HIDDevice::MCSFirmwareWrite(std::uint8_t* text, std::int32_t length) {
    std::vector<std::uint8_t> image(kFlashSize);
    const std::uint32_t end =
        static_cast<std::uint32_t>(MCSFirmwarePrepare(text, length, image.data()));
    if (!connected_ || send({0x50}) != 0) {
        return false;
    }
    for (std::uint32_t off = 0; off < end; off += 256) {
        const std::uint8_t a2 = byte(off, 16), a1 = byte(off, 8), a0 = byte(off, 0);
        if (off % 4096 == 0) {
            if (!SimpleCommand(0x06) || send({0x53, 0x04, 0x01, 0x20, a2, a1, a0}) != 0 ||
                !WaitForNotBusy()) {
                return false;
            }
        }
        if (!SimpleCommand(0x06)) {
            return false;
        }
        Report first;
        for (std::uint8_t b : {0x53, 0x24, 0x00, 0x02, int(a2), int(a1), int(a0)}) {
            first.put(b);
        }
        for (int k = 0; k < 32; ++k) {
            first.put(image[off + k]);
        }
        if (exchange(first.payload(), first.length(), false, nullptr) != 0) {
            return false;
        }
        for (int part = 1; part < 8; ++part) {
            Report more;
            more.put(0x53);
            more.put(0x20);
            more.put(part == 7 ? 1 : 0);
            for (int k = 0; k < 32; ++k) {
                more.put(image[off + part * 32 + k]);
            }
            if (exchange(more.payload(), more.length(), false, nullptr) != 0) {
                return false;
            }
        }
        if (!WaitForNotBusy()) {
            return false;
        }
    }
    return true;
}

bool HIDDevice::MCSFirmwareCheck(std::uint8_t* text, std::int32_t length) {
    std::vector<std::uint8_t> image(kFlashSize);
    const std::uint32_t end =
        static_cast<std::uint32_t>(MCSFirmwarePrepare(text, length, image.data()));
    if (!connected_ || send({0x50}) != 0) {
        return false;
    }
    std::vector<std::uint8_t> readBack(end, 0);
    for (std::uint32_t off = 0; off < end; off += 64) {
        std::uint8_t a[256];
        if (query({0x54, 0x40, 0x01, byte(off, 16), byte(off, 8), byte(off, 0)}, a) != 0) {
            break;
        }
        std::memcpy(readBack.data() + off, a, std::min<std::uint32_t>(64, end - off));
    }
    return std::equal(readBack.begin(), readBack.end(), image.begin());
}

// ---- firmware blocks and JTAG ----

std::int32_t HIDDevice::FirmwareRead(std::uint8_t* data, std::uint16_t length) {
    if (length == 0) {
        return 0;
    }
    if (!data || !connected_) {
        return -1;
    }
    const std::uint32_t chunkMax = receiveLength_ - 1u;
    for (std::uint32_t pos = 0; pos < length; pos += chunkMax) {
        const std::uint32_t n = std::min<std::uint32_t>(chunkMax, length - pos);
        std::uint8_t a[256];
        if (query({0x34, 0x50, 0x51, hi(n), lo(n), hi(pos), lo(pos)}, a) != 0) {
            return -1;
        }
        std::memcpy(data + pos, a, n);
    }
    return 0;
}

std::int32_t HIDDevice::FirmwareWrite(std::uint8_t* data, std::uint16_t length) {
    if (length == 0) {
        return 0;
    }
    if (!data || !connected_) {
        return -1;
    }
    const std::uint32_t block = sendLength_ - 9u;
    for (std::uint32_t pos = 0; pos < length; pos += block) {
        const std::uint32_t n = std::min<std::uint32_t>(block, length - pos);
        Report rep;
        for (std::uint8_t b :
             {0x34, 0x51, 0x51, int(hi(n)), int(lo(n)), int(hi(pos)), int(lo(pos))}) {
            rep.put(b);
        }
        for (std::uint32_t k = 0; k < n; ++k) {
            rep.put(data[pos + k]);
        }
        if (exchange(rep.payload(), rep.length(), false, nullptr) != 0) {
            return -1;
        }
        sleep_ms(10);
    }
    return 0;
}

std::int32_t HIDDevice::ControlJTAGPort(std::uint8_t* command, std::uint8_t* data,
                                        std::uint8_t noAnswer, std::uint16_t bitCount,
                                        std::uint8_t mode) {
    if (!command || !data || mode > 1) {
        return -1;
    }
    std::uint8_t payload[kPayload] = {};
    std::size_t dataBytes;
    if (mode == 0) {
        payload[0] = 0x5A;
        payload[1] = command[0];
        payload[2] = data[0];
        dataBytes = 1;
    } else {
        payload[0] = 0x7E;
        payload[1] = static_cast<std::uint8_t>(command[0] | (noAnswer == 0 ? 0x44 : 0));
        payload[2] = hi(bitCount);
        payload[3] = lo(bitCount);
        dataBytes = std::min<std::size_t>((bitCount + 7u) / 8u, 36);
        std::memcpy(payload + 4, data, dataBytes);
    }
    std::uint8_t a[256];
    const bool wantAnswer = noAnswer == 0;
    std::int32_t result = exchange(payload, kPayload, wantAnswer, wantAnswer ? a : nullptr);
    if (result != 0 || !wantAnswer) {
        return result;
    }
    // An answer without the port's mark belongs to some other command.
    if (a[1] != 0x44) {
        return -1;
    }
    std::memcpy(data, a + 2, dataBytes);
    return 0;
}

// ---- process interface ----

std::int32_t HIDDevice::GetPifEEPROM(PIF_EEPROM* eeprom) {
    return GetPifEEPROM_Ex(eeprom, 1, 0);
}

std::int32_t HIDDevice::GetPifEEPROM_Ex(PIF_EEPROM* eeprom, std::int32_t tries,
                                        std::int32_t sleepMs) {
    if (!eeprom) {
        return -1;
    }
    tries = std::max(tries, 1);
    for (std::int32_t attempt = 0;; ++attempt) {
        *eeprom = PIF_EEPROM();
        std::uint8_t a[256];
        if (query({0x34, 0x72}, a) != 0) {
            return -1;
        }
        const std::uint8_t format = a[0];
        if (format != 0x11 && format != 0x22) {
            return -1;
        }
        eeprom->format = format;
        eeprom->version = a[1];
        eeprom->identifier = std::uint32_t(a[2]) | (std::uint32_t(a[3]) << 8) |
                             (std::uint32_t(a[4]) << 16) | (std::uint32_t(a[5]) << 24);
        const int sumAt = format == 0x11 ? 16 : 33;
        if (xorOf(a, sumAt) == a[sumAt]) {
            if (format == 0x11) {
                eeprom->aiCount = 1;
                eeprom->ai[0] = entryAt(a + 6);
                eeprom->aoCount = 1;
                eeprom->ao[0] = entryAt(a + 11);
            } else {
                eeprom->aiCount = std::min<std::uint8_t>(a[6], 2);
                for (int i = 0; i < eeprom->aiCount; ++i) {
                    eeprom->ai[i] = entryAt(a + 7 + 5 * i);
                }
                eeprom->aoCount = std::min<std::uint8_t>(a[17], 3);
                for (int i = 0; i < eeprom->aoCount; ++i) {
                    eeprom->ao[i] = entryAt(a + 18 + 5 * i);
                }
            }
            eeprom->checksum = a[sumAt];
            return 0;
        }
        if (attempt + 1 >= tries) {
            return 1;
        }
        sleep_ms(static_cast<std::uint32_t>(std::max(sleepMs, 0)));
    }
}

std::int32_t HIDDevice::GetPifDeviceInfo(PifDeviceInfo** info) {
    if (!info) {
        return -1;
    }
    std::uint8_t a[256];
    if (query({0x34, 0x83, 0x00, 0x00}, a) != 0) {
        return -1;
    }
    auto fresh = std::make_unique<PifDeviceInfo>();
    fresh->type = a[0];
    fresh->deviceCount = a[1];
    fresh->infoFlag = a[2];
    fresh->lastByte = a[3];
    for (int i = 0; i < fresh->deviceCount; ++i) {
        const auto device = static_cast<std::uint8_t>(i);
        if (query({0x34, 0x83, 0x01, device}, a) != 0) {
            return -1;  // the caller keeps its old record
        }
        fresh->appendChannels(PifDeviceInfo::AnalogIn, device, a[0]);
        fresh->appendChannels(PifDeviceInfo::DigitalIn, device, a[1]);
        fresh->appendChannels(PifDeviceInfo::AnalogOut, device, a[2]);
        fresh->appendChannels(PifDeviceInfo::DigitalOut, device, a[3]);
        if (a[4] != 0 && fresh->counts[PifDeviceInfo::Extra] == 0) {
            fresh->appendChannels(PifDeviceInfo::Extra, device, 1);
        }
    }
    delete *info;
    *info = fresh.release();
    return 0;
}

std::int32_t HIDDevice::SetPifAOSamplePointTable(std::int16_t* points, std::int32_t count) {
    if (count == 0) {
        return 0;
    }
    if (!points || count < 0 || count > 255 || !connected_) {
        return -1;
    }
    const int perReport = (std::min<int>(sendLength_, 255) - 6) / 4;
    for (int start = 0; start < count; start += perReport) {
        const int n = std::min(perReport, count - start);
        Report rep;
        rep.put(0x34);
        rep.put(0x7C);
        rep.put(static_cast<std::uint8_t>(start));
        rep.put(static_cast<std::uint8_t>(n));
        rep.put(static_cast<std::uint8_t>(count));
        for (int i = start; i < start + n; ++i) {
            rep.put16(static_cast<std::uint16_t>(points[2 * i]));
            rep.putTen(static_cast<std::uint16_t>(points[2 * i + 1]));
        }
        if (exchange(rep.payload(), rep.length(), false, nullptr) != 0) {
            return -1;
        }
    }
    return 0;
}

// ---- autonomous mode ----

std::int32_t HIDDevice::ConfigAutonomousSettings(tagAutonomousSettings* s) {
    if (!s) {
        return -1;
    }
    Report one;
    one.put(0x34);
    one.put(0x8E);
    one.put(0x00);
    for (int g = 0; g < 3; ++g) {
        const tagAutonomousSettingsGroup& grp = s->group[g];
        one.put(grp.selector);
        one.put16(g == 2 ? rawTemp(grp.first) : ms(grp.first));
        one.put32(ms(grp.second));
        one.put16(whole(grp.third));
    }
    for (int t : {1, 4, 3, 6, 5}) {
        one.put(s->tail[t - 1]);
    }
    if (exchange(one.payload(), one.length(), false, nullptr) != 0) {
        return -1;
    }
    Report two;
    two.put(0x34);
    two.put(0x8E);
    two.put(0x01);
    two.put(s->group[3].selector);
    two.put16(rawTemp(s->group[3].first));
    two.put32(ms(s->group[3].second));
    two.put16(whole(s->group[3].third));
    for (std::uint8_t e : s->extra) {
        two.put(e);
    }
    two.put16(rawTemp(s->temperature));
    for (int t : {7, 8, 9}) {
        two.put(s->tail[t - 1]);
    }
    return exchange(two.payload(), two.length(), false, nullptr);
}

std::int32_t HIDDevice::ConfigAutonomousPifAO_ForMeasureArea(tagAutonomousPifAOConfig* c) {
    if (!c || c->functionType != 9) {
        return -1;
    }
    Report rep;
    for (std::uint8_t b : {0x34, 0x82, int(c->device), int(c->channel), int(c->selector)}) {
        rep.put(b);
    }
    rep.put16(c->value);
    rep.put32(ms(c->first));
    rep.put16(whole(c->second));
    return exchange(rep.payload(), rep.length(), false, nullptr);
}

std::int32_t HIDDevice::ConfigAutonomousPifAO_ForAlarm(tagAutonomousPifAOConfig* c) {
    if (!c || c->functionType != 10) {
        return -1;
    }
    Report rep;
    for (std::uint8_t b : {0x34, 0x8C, int(c->device), int(c->channel), int(c->selector)}) {
        rep.put(b);
    }
    rep.putTen(static_cast<std::uint16_t>(c->lowerLevel));
    rep.putTen(static_cast<std::uint16_t>(c->upperLevel));
    return exchange(rep.payload(), rep.length(), false, nullptr);
}

std::int32_t HIDDevice::ConfigAutonomousPifAO_ForTInt(tagAutonomousPifAOConfig* c) {
    if (!c || c->functionType != 11) {
        return -1;
    }
    Report rep;
    for (std::uint8_t b : {0x34, 0x8F, int(c->device), int(c->channel), int(c->selector)}) {
        rep.put(b);
    }
    rep.put32(ms(c->first));
    rep.put16(whole(c->second));
    return exchange(rep.payload(), rep.length(), false, nullptr);
}

std::int32_t HIDDevice::ConfigAutonomousMeasureArea(tagAutonomousAreaConfig* area) {
    if (!area || (area->pixelCount > 0 && !area->pixelMask) || !connected_) {
        return -1;
    }
    const int maskPerReport = std::min<int>(sendLength_, 255) - 7;
    const std::uint32_t pixelsPerReport = static_cast<std::uint32_t>(maskPerReport) * 8;
    const std::uint32_t reports = (area->pixelCount + pixelsPerReport - 1) / pixelsPerReport;
    Report head;
    for (std::uint8_t b : {0x34, 0x80, int(area->areaIndex), int(area->option)}) {
        head.put(b);
    }
    for (std::uint16_t w : area->words) {
        head.put16(w);
    }
    for (std::uint8_t b : {area->setting2, area->setting1, area->setting4, area->setting3}) {
        head.put(b);
    }
    head.put(0x01);
    head.put32(area->pixelCount);
    head.put16(reports);
    std::uint8_t a[256];
    if (exchange(head.payload(), head.length(), true, a) != 0) {
        return -1;
    }
    const std::uint32_t maskBytes = (area->pixelCount + 7) / 8;
    for (std::uint32_t j = 0; j < reports; ++j) {
        const std::uint32_t first = j * static_cast<std::uint32_t>(maskPerReport);
        const std::uint32_t n = std::min<std::uint32_t>(maskPerReport, maskBytes - first);
        Report rep;
        rep.put(0x34);
        rep.put(0x81);
        rep.put(area->areaIndex);
        rep.put16(j);
        rep.put(static_cast<std::uint8_t>(n));
        for (std::uint32_t m = first; m < first + n; ++m) {
            std::uint8_t bits = 0;
            for (std::uint32_t k = 0; k < 8; ++k) {
                const std::uint32_t pixel = m * 8 + k;
                if (pixel < area->pixelCount && area->pixelMask[pixel] != 0) {
                    bits |= static_cast<std::uint8_t>(1u << k);
                }
            }
            rep.put(bits);
        }
        if (exchange(rep.payload(), rep.length(), true, a) != 0) {
            return -1;
        }
    }
    return 0;
}

std::int32_t HIDDevice::ConfigAutonomousCalculatedArea(tagAutonomousAreaConfig* area) {
    if (!area || area->entryCount < 0 || area->valueCount < 0 || area->flagCount < 0 ||
        area->entryCount + 2 * area->valueCount > 23 || (area->entryCount > 0 && !area->entries) ||
        (area->valueCount > 0 && !area->values) || (area->flagCount > 0 && !area->flags)) {
        return -1;
    }
    Report rep;
    for (std::uint8_t b : {0x34, 0x87, int(area->areaIndex), int(area->calculationOption)}) {
        rep.put(b);
    }
    rep.put16(area->words[0]);
    rep.put16(area->words[1]);
    for (std::uint8_t b : {area->setting2, area->setting1, area->setting4, area->setting3}) {
        rep.put(b);
    }
    rep.put(static_cast<std::uint8_t>(area->entryCount));
    rep.put(static_cast<std::uint8_t>(area->valueCount));
    rep.put(static_cast<std::uint8_t>(area->flagCount));
    rep.put(0x01);
    for (int i = 0; i < area->entryCount; ++i) {
        rep.put(lo(area->entries[i]));
    }
    for (int i = 0; i < area->valueCount; ++i) {
        rep.put16(whole(area->values[i]));
    }
    std::uint8_t flags = 0;
    for (int j = 0; j < std::min<int>(area->flagCount, 8); ++j) {
        if (area->flags[j] != 0) {
            flags |= static_cast<std::uint8_t>(1u << j);
        }
    }
    rep.put(flags);
    std::uint8_t a[256];
    return exchange(rep.payload(), rep.length(), true, a);
}
