// Fixture: the imager's HID control device on simulated cameras and the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "SimHid.h"
#include "common/TestEnv.h"
#include "device/ImagerHID.h"

namespace kelvix_test {

constexpr std::uint32_t kVendor = 0x0403;
constexpr std::uint32_t kProduct = 0xDE37;

// Simulated cameras on the HID backend, all on the virtual clock.
class ImagerHIDTest : public VirtualClockTest {
  protected:
    std::shared_ptr<sim::SimCamera> addCamera(std::uint32_t serial, std::uint16_t hw,
                                              std::uint16_t fw) {
        auto cam = std::make_shared<sim::SimCamera>(serial, hw, fw);
        backend_.addCamera(cam);
        return cam;
    }

    // A device connected to `cam`, with the reports of the connection cleared.
    std::unique_ptr<ImagerHID> connect(sim::SimCamera& cam) {
        auto dev = std::make_unique<ImagerHID>();
        EXPECT_EQ(dev->Init(kVendor, kProduct, cam.serial(), false, nullptr), 0);
        clearReports(cam);
        return dev;
    }

    static void clearReports(sim::SimCamera& cam) {
        std::lock_guard<std::mutex> lock(cam.mutex());
        cam.hid.reports.clear();
    }

    // Reports whose payload starts with `prefix` (payload byte k is report byte k).
    static std::vector<std::vector<std::uint8_t>> sent(sim::SimCamera& cam,
                                                       std::initializer_list<std::uint8_t> prefix) {
        std::lock_guard<std::mutex> lock(cam.mutex());
        std::vector<std::vector<std::uint8_t>> out;
        for (const auto& r : cam.hid.reports) {
            if (std::equal(prefix.begin(), prefix.end(), r.begin() + 1)) {
                out.push_back(r);
            }
        }
        return out;
    }

    static std::size_t reportCount(sim::SimCamera& cam) {
        std::lock_guard<std::mutex> lock(cam.mutex());
        return cam.hid.reports.size();
    }

    std::uint32_t nowMs() { return clock_.tickMs(); }

    sim::SimHidBackend backend_;
    platform::ScopedHidBackend scopedBackend_{backend_};
};

}  // namespace kelvix_test
