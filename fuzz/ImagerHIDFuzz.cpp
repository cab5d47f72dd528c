// Fuzz target: HID answers of a hostile camera through ImagerHID: the connection, the process
// interface and queries of every kind. The camera is the simulator's, but the input rules its
// answers: per report sent, one input byte of 0xF0 or above keeps the camera silent, any
// other byte n overwrites the first n % 65 bytes of the answer with the input's next bytes.
// Once the input is used up the camera answers as it would.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "SimCamera.h"
#include "SimHid.h"
#include "device/ImagerHID.h"
#include "platform/Clock.h"

namespace {

class Script {
  public:
    Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool mute(const std::uint8_t*) {
        patch_ = 0;
        if (at_ >= size_) {
            return false;
        }
        const std::uint8_t c = data_[at_++];
        if (c >= 0xF0) {
            return true;
        }
        patch_ = std::min<std::size_t>(c % 65, size_ - at_);
        return false;
    }
    void answer(const std::uint8_t*, std::uint8_t* a) {
        if (patch_ > 0) {
            std::memcpy(a, data_ + at_, patch_);
        }
        at_ += patch_;
        patch_ = 0;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    std::size_t patch_ = 0;
};

void query(ImagerHID& dev) {
    dev.InitPif();
    dev.GetSerialNumber();
    std::int32_t state = 0;
    dev.GetFlag(&state);
    float t = 0.0f;
    dev.GetTempChip(&t);
    dev.GetTempBox(&t);
    dev.GetTempFlag(&t);
    dev.GetTempOptics(&t);
    std::uint16_t a = 0, b = 0;
    dev.GetFocusmotorPos(&a);
    dev.GetFocusmotorRange(&a, &b);
    dev.GetSkim(&a);
    dev.GetFid(&a);
    dev.GetPifType();
    dev.GetPifInfoFlag();
    dev.GetDeviceClass();
    dev.GetChecksumValid();
    dev.CheckFlagSource();
    dev.GetShortImagerCaps();
    for (std::uint8_t ch = 0; ch < 4; ++ch) {
        dev.GetPifIn(&a, ch);
        std::uint8_t device = 0, channel = 0;
        for (std::int32_t list = 0; list < 5; ++list) {
            dev.GetPifChannelAddress(list, ch, &device, &channel);
        }
        dev.SetPifOut(static_cast<std::uint16_t>(100 * ch), ch);
    }
    std::uint32_t address = 0, mask = 0, gateway = 0;
    dev.GetTCPIPConfig(&address, &mask, &gateway);
    dev.QueryFlashMemory(0x100);
    std::uint8_t buffer[256];
    dev.GetBuffer(buffer, sizeof buffer);
    dev.FirmwareRead(buffer, 100);
    dev.SetFocusmotorPos(1234);
    dev.ProcessDeferredCommands();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::VirtualClock clock;
    static platform::ScopedClock scopedClock(clock);
    constexpr std::uint32_t kSerial = 4711;

    auto camera = std::make_shared<sim::SimCamera>(kSerial, 3100, 2250);
    Script script(data, size);
    {
        std::lock_guard<std::mutex> lock(camera->mutex());
        camera->hid.setPifEeprom22(1, 0x01020304, {{1000, -5, 2}, {2000, 5, 1}},
                                   {{1000, 0, 0}, {1500, 3, 1}, {900, -2, 2}});
        camera->hid.pifType = 4;
        camera->hid.pifDevices = {{2, 1, 1, 1, 1}, {1, 2, 2, 0, 0}};
        camera->hid.muteWhen = [&script](const std::uint8_t* r) { return script.mute(r); };
        camera->hid.patchAnswer = [&script](const std::uint8_t* r, std::uint8_t* a) {
            script.answer(r, a);
        };
    }
    sim::SimHidBackend backend;
    backend.addCamera(camera);
    platform::ScopedHidBackend scopedBackend(backend);
    {
        ImagerHID dev;
        if (dev.Init(0x0403, 0xDE37, kSerial, false, nullptr) == 0) {
            query(dev);
            // Again after a forced reconnection, on what is left of the input.
            dev.Init(0x0403, 0xDE37, kSerial, true, nullptr);
            query(dev);
        }
    }
    std::lock_guard<std::mutex> lock(camera->mutex());
    camera->hid.muteWhen = nullptr;
    camera->hid.patchAnswer = nullptr;
    return 0;
}
