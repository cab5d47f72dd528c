// Every operator from the source to the temperature encoding on the simulated camera's raw frames.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "CalibratedCameraTest.h"
#include "imgproc/Cali.h"
#include "imgproc/FakeCamera.h"
#include "imgproc/OpCorr.h"
#include "imgproc/OpDevice.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpEnergyNormalize.h"
#include "imgproc/OpFlag.h"
#include "imgproc/OpMetadata.h"
#include "imgproc/OpSource.h"
#include "imgproc/OpTestSupport.h"

namespace {

// Raw frames of the simulated camera, unpacked by the generated format block, through every
// operator from the source to the temperature encoding: the scene must come back.
class RawFrameChainTest : public sim_test::CalibratedCameraTest {
  protected:
    static constexpr std::uint32_t kSerial = 31339003;

    RawFrameChainTest() : device_(0, 1) {}

    void SetUp() override {
        CalibratedCameraTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(setUpCamera(kSerial, 1, &device_));  // 0 .. 250 degC
        shared_.calibrationDirectory = shared_.formatsDirectory = dirW_.c_str();

        const sim::SimRawLayout& layout = physics_->layout();
        OpFrameFormat format = optest::format(layout.rawWidth(), layout.rawHeight());
        deviceFrame_ = OpBase::allocateOutputFrame(&format, 0);

        root_ = std::make_unique<OpDevice>(&shared_);
        source_ = std::make_unique<OpSource>(root_.get(), 1, L"# Source", &shared_, 0);
        meta_ = std::make_unique<OpMetadata>(source_.get(), &shared_);
        flag_ = std::make_unique<OpFlag>(meta_.get(), &shared_, Cali::getInstance());
        corr_ = std::make_unique<OpCorr>(flag_.get(), &shared_, Cali::getInstance());
        norm_ = std::make_unique<OpEnergyNormalize>(corr_.get(), &shared_);
        toTemp_ = std::make_unique<OpEnergy2Temp>(norm_.get(), &shared_);
        ASSERT_EQ(root_->attach(deviceFrame_), S_OK);
        ASSERT_TRUE(source_->isFormatFound());

        corr_->setTableSlot(&tableSlot_);
        ASSERT_EQ(corr_->readCalibration(), S_OK);
        table_->applyRadiation(RadiationRecord{}, 1.0f, false);
        ASSERT_EQ(toTemp_->loadLut(table_->lut.data(), lut::kSize,
                                   static_cast<std::int16_t>(table_->energyOffset)),
                  S_OK);
        corr_->updateDeviation();
    }

    void TearDown() override {
        toTemp_.reset();
        norm_.reset();
        corr_.reset();
        flag_.reset();
        meta_.reset();
        source_.reset();
        root_.reset();
        OpBase::freeFrame(deviceFrame_);
        CalibratedCameraTest::TearDown();
    }

    void step(int count) {
        for (int i = 0; i < count; ++i) {
            deviceFrame_->metadata->frameCounter += 1;
            physics_->nextFrame(deviceFrame_->pixels);
            ASSERT_EQ(root_->trigger(), S_OK);
            clock_.advanceMs(33.3);
        }
    }

    double temperature(int pixel) const {
        return decodeTemperature(
            reinterpret_cast<const std::uint16_t*>(toTemp_->frame->pixels)[pixel], false);
    }

    optest::FakeControlDevice device_;
    OpFrame* deviceFrame_ = nullptr;
    std::unique_ptr<OpDevice> root_;
    std::unique_ptr<OpSource> source_;
    std::unique_ptr<OpMetadata> meta_;
    std::unique_ptr<OpFlag> flag_;
    std::unique_ptr<OpCorr> corr_;
    std::unique_ptr<OpEnergyNormalize> norm_;
    std::unique_ptr<OpEnergy2Temp> toTemp_;
};

}  // namespace

TEST_F(RawFrameChainTest, BlackbodyInFrontOfAGradient) {
    camera_->tempChip = 38.5f;
    camera_->tempFlag = 33.0f;
    camera_->tempBox = 31.0f;
    physics_->setBlackbodyScene(150.0f, 20.0f, 80.0f);
    step(3);
    physics_->beginFlagCycle(10);
    step(10 + 40);
    ASSERT_EQ(camera_->flagState, 0);
    EXPECT_NEAR(meta_->lastChipTemp, 38.5f, 0.05f);
    EXPECT_EQ(shared_.flagState.load(), 0u);

    const int w = physics_->layout().width;
    const int h = physics_->layout().height;
    double worst = 0.0;
    for (int y = 0; y < h - 1; ++y) {
        for (int x = 0; x < w - 1; ++x) {
            const int p = y * w + x;
            const bool inside = x >= w / 4 && x < 3 * w / 4 && y >= h / 4 && y < 3 * h / 4;
            const double t = inside ? 150.0 : 20.0 + 60.0 * x / (w - 1);
            if (!physics_->isDead(p)) {
                // A tenth of a degree from the encoding plus an energy count and a raw count of
                // rounding.
                const double slope = range_.model.energy(t + 0.5) - range_.model.energy(t - 0.5);
                const double rounding = 1.0 + 1.0 / physics_->config().responsivityMean;
                worst = std::max(worst, std::fabs(temperature(p) - t) - rounding / slope);
            }
        }
    }
    EXPECT_LE(worst, 0.1);

    // The housing warms up slowly; the correction follows without a new flag.
    camera_->tempBox = 32.0f;
    camera_->tempFlag = 33.2f;
    step(200);
    EXPECT_NEAR(temperature((h / 2) * w + w / 2), 150.0, 0.3);
}
