// Fixture: a processing chain on the frames of a simulated camera, for the chain and end-to-end
// tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimPhysics.h"
#include "common/TestEnv.h"
#include "imgproc/Cali.h"
#include "imgproc/ImageProcessing.h"
#include "platform/Strings.h"

namespace kelvix_test {

// A processing chain fed with the raw frames of a simulated camera whose generated calibration
// files lie in the test directory. `Device` answers the chain's control calls.
template <class Device>
class SimChainTest : public VirtualClockTest {
  protected:
    template <class... Args>
    explicit SimChainTest(std::uint32_t serial, Args&&... deviceArgs)
        : serial_(serial), device_(std::forward<Args>(deviceArgs)...) {}

    // Writes `set` for the camera and points the chain's configuration at it; run under
    // ASSERT_NO_FATAL_FAILURE.
    void setUpCamera(const sim::CalibrationSet& set) {
        camera_ = std::make_unique<sim::SimCamera>(serial_);
        physics_ = &sim::SimPhysics::of(*camera_);
        writer_ = std::make_unique<sim::CalibrationSetWriter>(*camera_, set);
        ASSERT_TRUE(writer_->writeAll(dir_));
        dirW_ = platform::toWide(dir_);
        config_.serial = serial_;
        dirW_.copy(config_.calibrationDirectory, dirW_.size());
        dirW_.copy(config_.tableDirectory, dirW_.size());
        dirW_.copy(config_.formatsDirectory, dirW_.size());
        raw_ =
            FrameInitRecord{static_cast<std::uint32_t>(physics_->layout().rawWidth()),
                            static_cast<std::uint32_t>(physics_->layout().rawHeight()), 16, 333333};
    }

    // The imager's order of initialisation, up to a chain that takes frames (the calibration
    // already read); `chipSetup` adds the cooler and sensor offsets the imager sends first.
    void build(float tMin = -20.0f, float tMax = 100.0f, bool chipSetup = false) {
        ASSERT_EQ(chain_.init(&device_, &config_, &raw_, &rawBuffer_), S_OK);
        if (chipSetup) {
            ASSERT_EQ(chain_.applyTecCalibration(), S_OK);
            ASSERT_EQ(chain_.applySensorOffsets(), S_OK);
        }
        ASSERT_EQ(chain_.setTempRange(23, L"", tMin, tMax, 30), S_OK);
        ASSERT_EQ(chain_.initOperators(), S_OK);
        ASSERT_EQ(chain_.readCalibration(), S_OK);
        ASSERT_EQ(chain_.loadTemperatureTable(), S_OK);
        ASSERT_EQ(chain_.updateRadiationParameters(0, 1.0f, 1.0f), S_OK);
    }

    void readCalibration() { ASSERT_EQ(Cali::getInstance()->readXML(dirW_.c_str(), serial_), 0); }

    // The camera's next raw frame through the chain, then one frame period on the clock.
    HRESULT frame(double periodMs = 33.3) {
        physics_->nextFrame(reinterpret_cast<std::uint16_t*>(rawBuffer_.buffer));
        chain_.getDeviceFrame()->metadata->frameCounter += 1;
        const HRESULT hr = chain_.process();
        clock_.advanceMs(periodMs);
        return hr;
    }
    void frames(int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(frame(), S_OK);
        }
    }

    std::uint32_t serial_;
    Device device_;
    std::unique_ptr<sim::SimCamera> camera_;
    sim::SimPhysics* physics_ = nullptr;
    std::unique_ptr<sim::CalibrationSetWriter> writer_;
    std::wstring dirW_;
    ImageProcessingConfig config_;
    FrameInitRecord raw_{};
    RawBufferRecord rawBuffer_;
    ImageProcessing chain_;
};

}  // namespace kelvix_test
