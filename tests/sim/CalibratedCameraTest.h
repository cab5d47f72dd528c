// Fixture: a simulated camera with its calibration files read by the calibration store.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimPhysics.h"
#include "common/TestEnv.h"
#include "imgproc/Cali.h"
#include "imgproc/SharedParameterBlock.h"
#include "imgproc/TemperatureTable.h"
#include "platform/Strings.h"

namespace sim_test {

// The simulated camera with its generated calibration files in the test directory, read by the
// calibration store; the shared parameters cover one of its ranges, whose table is built.
class CalibratedCameraTest : public kelvix_test::VirtualClockTest {
  protected:
    // Range `rangeIndex` of the first optics; run under ASSERT_NO_FATAL_FAILURE.
    void setUpCamera(std::uint32_t serial, int rangeIndex, BaseControlDevice* device) {
        camera_ = std::make_unique<sim::SimCamera>(serial);
        physics_ = &sim::SimPhysics::of(*camera_);
        sim::CalibrationSetWriter writer(*camera_, sim::CalibrationSet::standard());
        ASSERT_TRUE(writer.writeAll(dir_));
        range_ = writer.set().optics[0].ranges[rangeIndex];
        physics_->setModel(range_.model);

        dirW_ = platform::toWide(dir_);
        ASSERT_EQ(Cali::getInstance()->readXML(dirW_.c_str(), serial), 0);
        shared_.serial = serial;
        shared_.fov = 23;
        shared_.tMin = shared_.tMinExt = range_.tMin;
        shared_.tMax = shared_.tMaxExt = range_.tMax;
        shared_.tableDirectory = dirW_.c_str();
        shared_.hardwareRevision = camera_->hwRevision();
        shared_.firmwareRevision = camera_->fwRevision();
        shared_.device = device;

        table_ = std::make_unique<TemperatureTable>(&shared_);
        const std::string stem =
            sim::CalibrationSetWriter::fileStem(serial, 23, "", range_.tMin, range_.tMax, 0);
        ASSERT_EQ(table_->loadFile(wpath("Kennlinie-" + stem + ".prn"), false), S_OK);
        TableModel fit;
        ASSERT_EQ(table_->fitReferencePoints(fit), S_OK);
        ASSERT_EQ(table_->buildFromModel(fit, range_.tMin, range_.tMax, -5.0f, false), S_OK);
        tableSlot_ = table_.get();
    }

    std::unique_ptr<sim::SimCamera> camera_;
    sim::SimPhysics* physics_ = nullptr;
    sim::SimRangeSpec range_;
    std::wstring dirW_;
    SharedParameterBlock shared_;
    std::unique_ptr<TemperatureTable> table_;
    TemperatureTable* tableSlot_ = nullptr;
};

}  // namespace sim_test
