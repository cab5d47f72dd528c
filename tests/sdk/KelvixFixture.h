// Fixture: an imager fed from a recording of a simulated camera on the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimHid.h"
#include "SimPhysics.h"
#include "common/SimChannels.h"
#include "common/TestEnv.h"
#include "kelvix/IRCalibrationManager.h"
#include "kelvix/IRDeviceParams.h"
#include "kelvix/Kelvix.h"
#include "kelvix/Logger.h"
#include "platform/Paths.h"
#include "platform/Strings.h"

namespace kelvix_test {

// An imager fed from a recording of a simulated camera: its calibration set in "cali/", the
// format definitions beside it, frames rendered by the camera's physics, all on a virtual clock.
class KelvixTest : public VirtualClockTest {
  protected:
    static constexpr std::uint32_t kSerial = 4200123;
    static constexpr unsigned kRate = 9;
    static constexpr unsigned short kHwRev = 3100;
    static constexpr unsigned short kFwRev = 2250;

    void SetUp() override {
        VirtualClockTest::SetUp();
        zol::Logger::getInstance()->configure("kelvixtest", zol::Logger::ModeConsole, 0,
                                              zol::Logger::Debug);
        camera_ = std::make_shared<sim::SimCamera>(serial_, hwRev_, fwRev_);
        config_.seed = serial_;
        camera_->physics = std::make_shared<sim::SimPhysics>(*camera_, config_);
        backend_.addCamera(camera_);
        platform::createDirectory(wpath("cali"));
        sim::CalibrationSetWriter writer(*camera_, set());
        ASSERT_TRUE(writer.writeAll(path("cali")));
        physics().setUniformScene(25.0f);
        simImagerParams(params_, serial_, wpath("cali"), 9.0f);
        raw_.resize(physics().layout().rawWords());
    }
    void TearDown() override {
        params_.releaseStrings();
        VirtualClockTest::TearDown();
    }

    virtual sim::CalibrationSet set() const {
        sim::CalibrationSet s = sim::CalibrationSet::standard();
        s.streamRates = {9, 27};
        return s;
    }
    sim::SimPhysics& physics() { return sim::SimPhysics::of(*camera_); }
    unsigned widthIn() { return static_cast<unsigned>(physics().layout().rawWidth()); }
    unsigned heightIn() { return static_cast<unsigned>(physics().layout().rawHeight()); }

    // Initialises as the recording player does (no HID, the camera's revisions).
    bool initPlayback(zol::Kelvix& k, unsigned rate = kRate) {
        return k.init(&params_, rate, widthIn(), heightIn(), false, kHwRev, kFwRev);
    }

    // Initialises on the camera's HID channel.
    bool initHid(zol::Kelvix& k, unsigned rate = kRate) {
        return k.init(&params_, rate, widthIn(), heightIn(), true);
    }

    int flagCycles() {
        std::lock_guard<std::mutex> lock(camera_->mutex());
        return camera_->hid.flagCycles;
    }

    // One camera period later, one frame from the camera into the imager.
    void feed(zol::Kelvix& k, void* arg = nullptr, double periodMs = 1000.0 / kRate) {
        clock_.advanceMs(periodMs);
        physics().nextFrame(raw_.data());
        k.process(reinterpret_cast<unsigned char*>(raw_.data()), arg);
    }

    // Frames through the imager's first flag (a short cycle of the camera) until it hands out
    // its first image: callbacks before that see nothing.
    void warmUp(zol::Kelvix& k, void* arg = nullptr) {
        feed(k, arg);
        physics().beginFlagCycle(3);
        for (int i = 0; i < 5; ++i) {
            feed(k, arg);
        }
    }

    // The calibration singletons keep what they read per serial: a fixture with another
    // calibration set takes a serial of its own.
    std::uint32_t serial_ = kSerial;
    std::uint16_t hwRev_ = kHwRev, fwRev_ = kFwRev;
    sim::SimPhysics::Config config_;
    std::shared_ptr<sim::SimCamera> camera_;
    sim::SimHidBackend backend_;
    platform::ScopedHidBackend scopedBackend_{backend_};
    zol::IRDeviceParams params_;
    std::vector<std::uint16_t> raw_;
};

}  // namespace kelvix_test
