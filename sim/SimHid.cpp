// The command decoder (simHidAnswer) with its serial-flash model, the open handles, and the PIF
// EEPROM images. A write composes the answer at once and queues it, as the kernel queues input
// reports, to arrive at once or late; reads collect them in order unless an injected fault
// keeps the camera silent.
#include "SimHid.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>

#include "SimPhysics.h"
#include "device/HidEncoding.h"
#include "platform/Clock.h"

namespace sim {

using hidenc::be16;
using hidenc::putBe16;
using hidenc::putBe32;
using hidenc::putLe16;
using hidenc::xorOf;

namespace {

std::uint16_t clampU16(double v) {
    return static_cast<std::uint16_t>(std::clamp(v, 0.0, 65535.0));
}

// Flag and housing sensors: 1/128 degC from revision 20 on, a 12-bit 1/16 degC value before.
void putSensor(std::uint8_t* p, float t, std::uint16_t revision) {
    if (revision >= 20) {
        putBe16(p, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(t * 128.0f))));
    } else {
        int v = static_cast<int>(std::lround(t * 16.0f)) & 0xFFF;
        p[0] = static_cast<std::uint8_t>(v >> 4);
        p[1] = static_cast<std::uint8_t>((v & 0xF) << 4);
    }
}

// Chip sensor raw value for a temperature, inverse of the host's conversions.
void putChip(std::uint8_t* p, float t, std::uint16_t r) {
    if (r < 20) {
        double m = (3011.9 - t * 10.0) / (0.1552 * 1.7);
        putLe16(p, clampU16(std::ceil(m * 4096.0 / 3000.0)));
    } else {
        putBe16(p, chipCounts(t, r));
    }
}

// One finished serial-flash transaction.
void runFlashTransaction(SimHidState& h) {
    const std::vector<std::uint8_t>& t = h.spiTransaction;
    if (t.empty()) {
        return;
    }
    auto address = [&]() {
        return (std::uint32_t(t[1]) << 16 | std::uint32_t(t[2]) << 8 | t[3]) %
               SimHidState::kFlashSize;
    };
    switch (t[0]) {
        case 0x06:
            h.writeEnabled = true;
            break;
        case 0x04:
            h.writeEnabled = false;
            break;
        case 0x20:
            if (t.size() < 4 || !h.writeEnabled || h.busyPolls > 0) {
                ++h.protocolErrors;
                break;
            }
            std::fill_n(h.flash.begin() + (address() & ~0xFFFu), 4096, 0xFF);
            ++h.sectorErases;
            h.writeEnabled = false;
            h.busyPolls = h.erasePolls;
            break;
        case 0x02: {
            if (t.size() < 4 || !h.writeEnabled || h.busyPolls > 0 || t.size() > 4 + 256) {
                ++h.protocolErrors;
                break;
            }
            const std::uint32_t a = address();
            for (std::size_t k = 4; k < t.size(); ++k) {
                // A page program wraps within its 256-byte page and can only clear bits.
                const std::uint32_t at = (a & ~0xFFu) | ((a + (k - 4)) & 0xFFu);
                h.flash[at] &= t[k];
            }
            ++h.pagePrograms;
            h.writeEnabled = false;
            h.busyPolls = h.programPolls;
            break;
        }
        default:
            break;
    }
}

}  // namespace

bool simHidAnswer(SimCamera& cam, const std::uint8_t* report, std::uint8_t* a) {
    SimHidState& h = cam.hid;
    const std::uint8_t* p = report;  // p[k] is payload byte k
    const std::uint16_t r = cam.hwRevision();
    std::memset(a, 0, 64);
    h.lastSetter[be16(p + 1)] = std::vector<std::uint8_t>(p + 1, p + 41);
    switch (p[1]) {
        case 0x34:
            switch (p[2]) {
                case 0x55:
                    cam.flagState = p[3] ? 1 : 0;
                    break;
                case 0x65:
                    ++h.flagCycles;
                    break;
                case 0x58: {
                    // 12-bit register values, shifted up by four bits.
                    const int v = (p[4] << 4) | (p[5] >> 4);
                    if (p[3] == 0x10 || p[3] == 0x90) {
                        h.skim = v;
                    } else if (p[3] == 0x12 || p[3] == 0x92) {
                        h.fid = v;
                    }
                    break;
                }
                case 0x40:
                    h.powerOn = p[3] != 0;
                    break;
                case 0x64:
                    a[11] = static_cast<std::uint8_t>(cam.flagState);
                    break;
                case 0x61:
                    putSensor(a + 4, cam.tempFlag, r);
                    break;
                case 0x59:
                    std::memcpy(a, h.status.data(), 64);
                    if (r >= 20) {
                        putSensor(a, cam.tempOptics, r);
                    }
                    putSensor(a + 7, cam.tempBox, r);
                    a[19] = static_cast<std::uint8_t>((a[19] & ~0x20) |
                                                      (h.highFrequencyCapable ? 0x20 : 0));
                    break;
                case 0x60:
                    putBe16(a + 9, static_cast<std::uint32_t>(h.pifAI[0]) << 2);
                    putBe16(a + 13, static_cast<std::uint32_t>(h.pifAI[1]) << 2);
                    break;
                case 0x67:
                    putLe16(a + 15, cam.fwRevision());
                    break;
                case 0x72:
                    std::memcpy(a, h.pifEeprom.data(), 64);
                    break;
                case 0x83:
                    if (p[3] == 0x00) {
                        a[0] = h.pifType;
                        a[1] = static_cast<std::uint8_t>(h.pifDevices.size());
                        a[2] = h.pifInfoFlag;
                        a[3] = h.pifLastByte;
                    } else if (p[3] == 0x01 && p[4] < h.pifDevices.size()) {
                        const SimHidState::PifDevice& d = h.pifDevices[p[4]];
                        a[0] = d.ai;
                        a[1] = d.di;
                        a[2] = d.ao;
                        a[3] = d.dout;
                        a[4] = d.extra;
                    } else if (p[3] == 0xFF) {
                        h.pifType = p[4];
                    }
                    break;
                case 0x90:
                    if (p[3] == 0x01) {
                        h.tcpAddress = std::uint32_t(be16(p + 4)) << 16 | be16(p + 6);
                        h.tcpMask = std::uint32_t(be16(p + 8)) << 16 | be16(p + 10);
                        h.tcpGateway = std::uint32_t(be16(p + 12)) << 16 | be16(p + 14);
                    } else {
                        putBe32(a, h.tcpAddress);
                        putBe32(a + 4, h.tcpMask);
                        putBe32(a + 8, h.tcpGateway);
                    }
                    break;
                case 0x50:
                    if (p[3] == 0x51) {  // firmware block read
                        const std::uint32_t n = std::min<std::uint32_t>(be16(p + 4), 64);
                        const std::uint32_t pos = be16(p + 6);
                        for (std::uint32_t k = 0; k < n && pos + k < h.firmware.size(); ++k) {
                            a[k] = h.firmware[pos + k];
                        }
                    }
                    break;
                case 0x51:
                    if (p[3] == 0x51) {  // firmware block write
                        const std::uint32_t n = std::min<std::uint32_t>(be16(p + 4), 32);
                        const std::uint32_t pos = be16(p + 6);
                        for (std::uint32_t k = 0; k < n && pos + k < h.firmware.size(); ++k) {
                            h.firmware[pos + k] = p[8 + k];
                        }
                    }
                    break;
                default:
                    break;
            }
            break;
        case 0x4D:
            if (p[2] == 0x14) {
                putChip(a + 2, cam.tempChip, r);
            }
            break;
        case 0x35:
            if (p[2] == 0x10) {
                putLe16(a + 7, h.focusPosition);
                putLe16(a + 10, h.focusFirst);
                putLe16(a + 12, h.focusSecond);
            } else if (p[2] == 0x11) {
                h.focusPosition = hidenc::le16(p + 3);
            }
            break;
        case 0x50:
            h.flashMode = true;
            break;
        case 0x53: {
            const std::uint32_t n = std::min<std::uint32_t>(p[2], 37);
            h.spiTransaction.insert(h.spiTransaction.end(), p + 4, p + 4 + n);
            if (p[3] == 1) {
                runFlashTransaction(h);
                h.spiTransaction.clear();
            }
            break;
        }
        case 0x54:  // flash read-back, 64 bytes
            if (p[2] == 0x40) {
                const std::uint32_t at =
                    (std::uint32_t(p[4]) << 16 | std::uint32_t(p[5]) << 8 | p[6]);
                for (std::uint32_t k = 0; k < 64 && at + k < SimHidState::kFlashSize; ++k) {
                    a[k] = h.flash[at + k];
                }
            }
            break;
        case 0x55:
            if (h.stuckBusy || h.busyPolls > 0) {
                a[4] = 1;
                if (h.busyPolls > 0) {
                    --h.busyPolls;
                }
            }
            break;
        case 0x5A:
            a[1] = 0x44;
            a[2] = static_cast<std::uint8_t>(~p[3]);
            break;
        case 0x7E:
            a[1] = 0x44;
            for (int k = 0; k < 36; ++k) {
                a[2 + k] = static_cast<std::uint8_t>(~p[5 + k]);
            }
            break;
        default:
            break;
    }
    return true;
}

namespace {

class SimHidHandle : public platform::HidHandle {
  public:
    SimHidHandle(std::shared_ptr<SimCamera> camera, platform::HidDeviceEntry info)
        : camera_(std::move(camera)), info_(std::move(info)) {}

    int write(const unsigned char* data, std::size_t length) override {
        if (!camera_) {
            return static_cast<int>(length);
        }
        std::lock_guard<std::mutex> lock(camera_->mutex());
        SimHidState& h = camera_->hid;
        if (h.unplugged || !data || length == 0) {
            return -1;
        }
        std::vector<std::uint8_t> report(41, 0);
        std::memcpy(report.data(), data, std::min<std::size_t>(length, 41));
        h.reports.push_back(report);
        if (h.muteWhen && h.muteWhen(report.data())) {
            return static_cast<int>(length);
        }
        Answer a{platform::clock().tickMs(), {}};
        if (!simHidAnswer(*camera_, report.data(), a.bytes)) {
            return static_cast<int>(length);
        }
        if (h.patchAnswer) {
            h.patchAnswer(report.data(), a.bytes);
        }
        if (h.lateAnswers > 0) {
            --h.lateAnswers;
            a.at += h.lateByMs;
        }
        if (queue_.size() == kQueuedReports) {
            queue_.pop_front();
        }
        queue_.push_back(a);
        return static_cast<int>(length);
    }

    int readTimeout(unsigned char* data, std::size_t length, int ms) override {
        if (!camera_) {
            return 0;
        }
        platform::Clock& clock = platform::clock();
        std::unique_lock<std::mutex> lock(camera_->mutex());
        SimHidState& h = camera_->hid;
        if (h.unplugged) {
            return -1;
        }
        if (queue_.empty()) {
            return 0;  // silence comes at once, without waiting
        }
        const std::uint32_t now = clock.tickMs();
        if (!platform::reached(now, queue_.front().at)) {
            const std::uint32_t wait = queue_.front().at - now;
            lock.unlock();
            if (ms >= 0 && wait > static_cast<std::uint32_t>(ms)) {
                clock.sleepMs(static_cast<std::uint32_t>(ms));
                return 0;
            }
            clock.sleepMs(wait);
            lock.lock();
            if (queue_.empty()) {
                return 0;
            }
        }
        const Answer a = queue_.front();
        queue_.pop_front();
        // Silence hits reads that wait for an answer; a read that does not wait only collects
        // an answer already queued.
        if (ms == 0) {
            return copyAnswer(a, data, length);
        }
        if (h.silentReads > 0) {
            --h.silentReads;
            return 0;
        }
        if (h.answersBeforeSilence == 0) {
            return 0;
        }
        if (h.answersBeforeSilence > 0) {
            --h.answersBeforeSilence;
        }
        return copyAnswer(a, data, length);
    }

    int read(unsigned char* data, std::size_t length) override {
        return readTimeout(data, length, -1);
    }
    int setNonblocking(int) override { return 0; }
    int sendFeatureReport(const unsigned char*, std::size_t) override { return -1; }
    int getFeatureReport(unsigned char*, std::size_t) override { return -1; }
    int getInputReport(unsigned char*, std::size_t) override { return -1; }
    int getIndexedString(int, wchar_t*, std::size_t) override { return -1; }
    const wchar_t* error() override { return L"simulated HID device error"; }
    const platform::HidDeviceEntry& info() const override { return info_; }

  private:
    struct Answer {
        std::uint32_t at;  // tick at which it arrives
        std::uint8_t bytes[64];
    };
    static constexpr std::size_t kQueuedReports = 64;

    static int copyAnswer(const Answer& a, unsigned char* data, std::size_t length) {
        const std::size_t n = std::min<std::size_t>(length, 64);
        std::memcpy(data, a.bytes, n);
        return static_cast<int>(n);
    }

    std::shared_ptr<SimCamera> camera_;
    platform::HidDeviceEntry info_;
    std::deque<Answer> queue_;  // guarded by the camera's mutex
};

}  // namespace

SimHidBackend::SimHidBackend() = default;
SimHidBackend::~SimHidBackend() = default;

void SimHidBackend::addCamera(const std::shared_ptr<SimCamera>& camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot slot;
    slot.camera = camera;
    slot.entry.path = "sim:hidraw" + std::to_string(slots_.size());
    slots_.push_back(slot);
}

void SimHidBackend::addOtherDevice(const platform::HidDeviceEntry& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot slot;
    slot.entry = entry;
    if (slot.entry.path.empty()) {
        slot.entry.path = "sim:hidraw" + std::to_string(slots_.size());
    }
    slots_.push_back(slot);
}

std::string SimHidBackend::pathOf(const SimCamera& camera) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Slot& s : slots_) {
        if (s.camera.get() == &camera) {
            return s.entry.path;
        }
    }
    return {};
}

platform::HidDeviceEntry SimHidBackend::entryOf(const Slot& slot) const {
    if (!slot.camera) {
        return slot.entry;
    }
    SimCamera& cam = *slot.camera;
    std::lock_guard<std::mutex> lock(cam.mutex());
    platform::HidDeviceEntry e;
    e.path = slot.entry.path;
    e.vendorId = cam.hid.vendorId;
    e.productId = cam.hid.productId;
    e.hasSerial = cam.hid.hasSerial;
    e.serial = cam.hid.serialString.empty() ? std::to_wstring(cam.serial()) : cam.hid.serialString;
    e.releaseNumber = cam.hwRevision();
    e.manufacturer = cam.hid.manufacturer;
    e.product = cam.hid.product;
    e.interfaceNumber = cam.hid.interfaceNumber;
    e.inUse = cam.hid.inUse;
    e.busType = 1;
    return e;
}

std::vector<platform::HidDeviceEntry> SimHidBackend::enumerate(std::uint16_t vendorId,
                                                               std::uint16_t productId) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<platform::HidDeviceEntry> out;
    for (const Slot& s : slots_) {
        if (s.camera) {
            std::lock_guard<std::mutex> camLock(s.camera->mutex());
            if (s.camera->hid.unplugged) {
                continue;
            }
        }
        platform::HidDeviceEntry e = entryOf(s);
        if ((vendorId == 0 || e.vendorId == vendorId) &&
            (productId == 0 || e.productId == productId)) {
            out.push_back(std::move(e));
        }
    }
    return out;
}

std::unique_ptr<platform::HidHandle> SimHidBackend::openPath(const std::string& path, bool) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Slot& s : slots_) {
        if (s.entry.path != path) {
            continue;
        }
        if (s.camera) {
            std::lock_guard<std::mutex> camLock(s.camera->mutex());
            if (s.camera->hid.failOpen || s.camera->hid.unplugged) {
                return nullptr;
            }
        }
        ++opens_;
        return std::make_unique<SimHidHandle>(s.camera, entryOf(s));
    }
    return nullptr;
}

// ---- PIF EEPROM images ----

namespace {

void putEntry(std::uint8_t* p, const SimHidState::PifEntry& e) {
    putLe16(p, e.gain);
    putLe16(p + 2, static_cast<std::uint16_t>(e.offset));
    p[4] = e.shift;
}

void putHeader(std::array<std::uint8_t, 64>& m, std::uint8_t format, std::uint8_t version,
               std::uint32_t id) {
    m.fill(0);
    m[0] = format;
    m[1] = version;
    for (int i = 0; i < 4; ++i) {
        m[2 + i] = static_cast<std::uint8_t>(id >> (8 * i));
    }
}

}  // namespace

void SimHidState::setPifEeprom11(std::uint8_t version, std::uint32_t identifier, PifEntry ai,
                                 PifEntry ao) {
    putHeader(pifEeprom, 0x11, version, identifier);
    putEntry(&pifEeprom[6], ai);
    putEntry(&pifEeprom[11], ao);
    pifEeprom[16] = xorOf(pifEeprom.data(), 16);
}

void SimHidState::setPifEeprom22(std::uint8_t version, std::uint32_t identifier,
                                 const std::vector<PifEntry>& ai, const std::vector<PifEntry>& ao) {
    putHeader(pifEeprom, 0x22, version, identifier);
    pifEeprom[6] = static_cast<std::uint8_t>(ai.size());
    for (std::size_t i = 0; i < ai.size() && i < 2; ++i) {
        putEntry(&pifEeprom[7 + 5 * i], ai[i]);
    }
    pifEeprom[17] = static_cast<std::uint8_t>(ao.size());
    for (std::size_t i = 0; i < ao.size() && i < 3; ++i) {
        putEntry(&pifEeprom[18 + 5 * i], ao[i]);
    }
    pifEeprom[33] = xorOf(pifEeprom.data(), 33);
}

void SimHidState::breakPifEepromChecksum() {
    const int at = pifEeprom[0] == 0x11 ? 16 : 33;
    pifEeprom[at] ^= 0x5A;
}

}  // namespace sim
