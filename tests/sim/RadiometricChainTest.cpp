// The flag and correction operators on the simulated camera's frames give back the scene.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "CalibratedCameraTest.h"
#include "imgproc/Cali.h"
#include "imgproc/NullControlDevice.h"
#include "imgproc/OpCorr.h"
#include "imgproc/OpFlag.h"
#include "imgproc/OpTestSupport.h"

namespace {

class NeutralDevice : public NullControlDevice {};

// The simulated camera's raw frames through the flag and correction operators, with the files
// generated for it, must give back the scene it was shown.
class RadiometricChainTest : public sim_test::CalibratedCameraTest {
  protected:
    static constexpr std::uint32_t kSerial = 31338002;

    void SetUp() override {
        CalibratedCameraTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(setUpCamera(kSerial, 0, &device_));
        table_->applyRadiation(RadiationRecord{}, 1.0f, false);
        shared_.energyAtTMin = table_->temperatureToEnergy(range_.tMin);
        shared_.energyAtTMax = table_->temperatureToEnergy(range_.tMax);

        const int w = physics_->layout().width;
        const int h = physics_->layout().height;
        source_ = std::make_unique<optest::SourceOp>(&shared_, w, h);
        flag_ = std::make_unique<OpFlag>(source_.get(), &shared_, Cali::getInstance());
        corr_ = std::make_unique<OpCorr>(flag_.get(), &shared_, Cali::getInstance());
        corr_->setTableSlot(&tableSlot_);
        ASSERT_EQ(source_->start(), S_OK);
        ASSERT_EQ(corr_->readCalibration(), S_OK);
        corr_->updateDeviation();
        raw_.resize(physics_->layout().rawWords());
    }

    // Renders the camera's next frame into the source and runs the operators.
    void step(int count = 1) {
        const int w = physics_->layout().width;
        for (int i = 0; i < count; ++i) {
            FrameMetadataRecord* m = source_->frame->metadata;
            m->flagState = camera_->flagState;
            m->tempChip = camera_->tempChip;
            m->tempFlag = camera_->tempFlag;
            m->tempBox = camera_->tempBox;
            m->frameCounter = ++frameCounter_;
            physics_->nextFrame(raw_.data());
            std::copy(raw_.begin() + w, raw_.end(),
                      reinterpret_cast<std::uint16_t*>(source_->pixels()));
            ASSERT_EQ(source_->run(), S_OK);
            clock_.advanceMs(33.3);
        }
    }

    std::int16_t energy(int pixel) const {
        return reinterpret_cast<const std::int16_t*>(corr_->frame->pixels)[pixel];
    }
    double temperature(int pixel) const {
        const int index = std::clamp(energy(pixel) + table_->energyOffset, 0, lut::kSize - 1);
        return decodeTemperature(table_->lut[index], false);
    }

    NeutralDevice device_;
    std::unique_ptr<optest::SourceOp> source_;
    std::unique_ptr<OpFlag> flag_;
    std::unique_ptr<OpCorr> corr_;
    std::vector<std::uint16_t> raw_;
    std::uint32_t frameCounter_ = 0;
};

}  // namespace

TEST_F(RadiometricChainTest, SceneTemperaturesComeBack) {
    camera_->tempChip = 41.0f;  // away from the calibration chip temperature
    camera_->tempFlag = 31.0f;
    camera_->tempBox = 29.0f;  // housing cooler than the flag: stray light to correct
    physics_->setBlackbodyScene(60.0f, 5.0f, 45.0f);
    step(5);
    physics_->beginFlagCycle(10);
    step(10 + 20);
    ASSERT_EQ(camera_->flagState, 0);

    const int w = physics_->layout().width;
    const int h = physics_->layout().height;
    double worstEnergy = 0.0, worstTemp = 0.0;
    for (int y = 0; y < h - 1; ++y) {
        for (int x = 0; x < w - 1; ++x) {
            const int p = y * w + x;
            const bool inside = x >= w / 4 && x < 3 * w / 4 && y >= h / 4 && y < 3 * h / 4;
            const double t = inside ? 60.0 : 5.0 + 40.0 * x / (w - 1);
            if (physics_->isDead(p)) {
                // Repaired from neighbours: close to the scene, not stuck.
                EXPECT_NEAR(temperature(p), t, 2.0) << x << "," << y;
                continue;
            }
            worstEnergy = std::max(worstEnergy, std::fabs(energy(p) - range_.model.energy(t)));
            worstTemp = std::max(worstTemp, std::fabs(temperature(p) - t));
        }
    }
    // Integer energies, truncated flag and housing energies and the 16.16 gains each lose
    // up to a count, the rounding of the raw counts up to a raw count.
    EXPECT_LE(worstEnergy, 2.0 + 1.0 / physics_->config().responsivityMean);
    EXPECT_LE(worstTemp, 0.2);

    // The closed flag shows its own temperature everywhere, whatever the scene.
    physics_->beginFlagCycle(10);
    step(5);
    ASSERT_EQ(camera_->flagState, 1);
    const std::int16_t* flagOut = reinterpret_cast<const std::int16_t*>(flag_->frame->pixels);
    const std::uint16_t* flagIn = reinterpret_cast<const std::uint16_t*>(source_->pixels());
    EXPECT_TRUE(
        std::equal(flagIn, flagIn + w * h, reinterpret_cast<const std::uint16_t*>(flagOut)));
}
