// Fixture: a HIDDevice connected to one simulated camera on the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "SimHid.h"
#include "common/TestEnv.h"
#include "kelvix/HIDDevice.h"
#include "platform/Clock.h"

namespace kelvix_test {

using Bytes = std::vector<std::uint8_t>;

// What opens the simulated camera with this serial number.
inline DEVICE_DESCRIPTION simDescription(std::uint32_t serial) {
    DEVICE_DESCRIPTION d;
    d.vendorId = 0x0403;
    d.productId = 0xDE37;
    d.serialNumber = serial;
    return d;
}

// A HIDDevice connected to one simulated camera, on a virtual clock.
class SimHidTest : public ::testing::Test {
  protected:
    SimHidTest() : scopedClock_(clock_), scopedBackend_(backend_) {}

    // Adds a camera and opens the device on it.
    void connect(std::uint16_t hwRevision = 3100, std::uint32_t serial = 12345) {
        cam_ = std::make_shared<sim::SimCamera>(serial, hwRevision);
        backend_.addCamera(cam_);
        ASSERT_TRUE(open(dev_, serial));
        cam_->hid.reports.clear();
    }
    // Adds a further camera whose serial number is its revision.
    std::shared_ptr<sim::SimCamera> addCamera(std::uint16_t revision) {
        auto cam = std::make_shared<sim::SimCamera>(revision, revision);
        backend_.addCamera(cam);
        return cam;
    }
    static bool open(HIDDevice& dev, std::uint32_t serial) {
        DEVICE_DESCRIPTION d = simDescription(serial);
        return dev.OpenHIDDevice(&d);
    }

    const std::vector<Bytes>& reports() const { return cam_->hid.reports; }

    // Report i's bytes 1..n (the payload), n defaulting to the expected length.
    Bytes payload(std::size_t i, std::size_t n) const {
        const Bytes& r = reports().at(i);
        return Bytes(r.begin() + 1, r.begin() + 1 + n);
    }
    void expectPayload(std::size_t i, std::initializer_list<std::uint8_t> expected) const {
        EXPECT_EQ(payload(i, expected.size()), Bytes(expected)) << "report " << i;
        const Bytes& r = reports().at(i);
        for (std::size_t k = 1 + expected.size(); k < r.size(); ++k) {
            EXPECT_EQ(r[k], 0) << "report " << i << " byte " << k;
        }
    }
    // Gives the next answers exactly these bytes at these offsets.
    void patch(std::vector<std::pair<int, std::uint8_t>> bytes) {
        cam_->hid.patchAnswer = [bytes](const std::uint8_t*, std::uint8_t* a) {
            for (auto [at, v] : bytes) {
                a[at] = v;
            }
        };
    }

    platform::VirtualClock clock_;
    platform::ScopedClock scopedClock_;
    sim::SimHidBackend backend_;
    platform::ScopedHidBackend scopedBackend_;
    std::shared_ptr<sim::SimCamera> cam_;
    HIDDevice dev_;
};

}  // namespace kelvix_test
