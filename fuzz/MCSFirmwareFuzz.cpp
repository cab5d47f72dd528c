// Fuzz target: MCS firmware text through MCSFirmwareWrite and MCSFirmwareCheck on a simulated
// camera's serial flash: whatever the text, a write that succeeds also verifies.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "SimCamera.h"
#include "SimHid.h"
#include "kelvix/HIDDevice.h"
#include "platform/Clock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::VirtualClock clock;
    static platform::ScopedClock scopedClock(clock);
    constexpr std::uint32_t kSerial = 4712;

    sim::SimHidBackend backend;
    backend.addCamera(std::make_shared<sim::SimCamera>(kSerial));
    platform::ScopedHidBackend scopedBackend(backend);
    HIDDevice dev;
    DEVICE_DESCRIPTION d;
    d.vendorId = 0x0403;
    d.productId = 0xDE37;
    d.serialNumber = kSerial;
    if (!dev.OpenHIDDevice(&d)) {
        __builtin_trap();
    }
    std::vector<std::uint8_t> text(data, data + size);
    const auto length = static_cast<std::int32_t>(text.size());
    if (dev.MCSFirmwareWrite(text.data(), length) && !dev.MCSFirmwareCheck(text.data(), length)) {
        __builtin_trap();
    }
    return 0;
}
