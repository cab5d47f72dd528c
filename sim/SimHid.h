// The simulated HID backend that tests and SimEnvironment install in place of the system hidapi,
// and the decoder that answers each output report as the camera would.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimCamera.h"
#include "platform/HidBackend.h"

namespace sim {

// The simulated cameras' HID channel as a HID backend: enumeration, opens, reports and
// answers. Other HID devices (a keyboard without a serial, say) can be listed beside them.
class SimHidBackend : public platform::HidBackend {
  public:
    SimHidBackend();
    ~SimHidBackend() override;

    // Adds a camera; its enumeration entry follows the ones added before.
    void addCamera(const std::shared_ptr<SimCamera>& camera);
    // Adds a device that is not a camera (never answers, opens fine).
    void addOtherDevice(const platform::HidDeviceEntry& entry);
    // Path under which a camera appears.
    std::string pathOf(const SimCamera& camera) const;

    int init() override { return 0; }
    int exit() override { return 0; }
    std::vector<platform::HidDeviceEntry> enumerate(std::uint16_t vendorId,
                                                    std::uint16_t productId) override;
    std::unique_ptr<platform::HidHandle> openPath(const std::string& path, bool shared) override;
    const wchar_t* error() override { return L"simulated HID device error"; }

    int openCount() const { return opens_; }

  private:
    struct Slot {
        std::shared_ptr<SimCamera> camera;  // null for other devices
        platform::HidDeviceEntry entry;
    };
    platform::HidDeviceEntry entryOf(const Slot& slot) const;

    mutable std::mutex mutex_;
    std::vector<Slot> slots_;
    int opens_ = 0;
};

// Decodes one output report (41 bytes, byte 0 the report id) as the camera would and fills
// `answer` (64 bytes, the input report without its id). Returns false when the camera sends
// no answer. Call with the camera's mutex held.
bool simHidAnswer(SimCamera& camera, const std::uint8_t* report, std::uint8_t* answer);

}  // namespace sim
