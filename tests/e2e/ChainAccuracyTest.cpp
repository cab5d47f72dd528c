// The whole chain on the simulated camera reports the blackbody's temperature in both ranges,
// through flags and chip drift, with dead pixels repaired.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "e2e/ChainFixture.h"

using e2e::ChainOnSimCamera;

namespace {

void print(const char* what, double mean, double maxAbs, int pixels) {
    std::printf("[ accuracy ] %s: mean error %+.3f degC, max |error| %.3f degC over %d pixels\n",
                what, mean, maxAbs, pixels);
}

}  // namespace

// The camera looks at a blackbody in front of a gradient; after the first flag the chain must
// report the blackbody's temperature, and go on doing so through flags and range changes.
TEST_F(ChainOnSimCamera, ReportsBlackbodyInBothRanges) {
    start();
    physics_->setBlackbodyScene(30.0f, 15.0f, 45.0f);
    ASSERT_EQ(frames(60), S_OK);
    ASSERT_EQ(sink_.width, 160);
    ASSERT_EQ(sink_.height, 120);
    Accuracy a = centralError(30.0);
    print("30 degC, -20..100", a.mean, a.maxAbs, a.pixels);
    EXPECT_LT(a.maxAbs, 0.5);

    // A range change is followed by a flag (new skim and filter); then the reading holds for
    // ten seconds.
    ASSERT_EQ(changeRange(0.0f, 250.0f), S_OK);
    physics_->setBlackbodyScene(80.0f, 40.0f, 120.0f);
    chain_.applyFlagCycles();
    ASSERT_EQ(frames(30), S_OK);
    a = centralError(80.0);
    EXPECT_LT(a.maxAbs, 0.5);
    ASSERT_EQ(frames(300), S_OK);
    a = centralError(80.0);
    print("80 degC, 0..250", a.mean, a.maxAbs, a.pixels);
    EXPECT_LT(a.maxAbs, 0.5);
}

// A noisy camera: flag cycles every 30 s while the housing and chip warm up for ten minutes: the
// offsets of each flag and the drift tracking between flags keep the reading.
TEST_F(ChainOnSimCamera, KeepsReadingThroughFlagsAndChipDrift) {
    start(160, 120, 1.5);  // with temporal noise of 1.5 counts (3 energy counts)
    physics_->setBlackbodyScene(30.0f, 15.0f, 45.0f);
    const float chip0 = camera_->tempChip;
    ASSERT_EQ(frames(60), S_OK);
    double worst = 0.0, worstMean = 0.0;
    int checks = 0;
    const double drift = kPeriod / 1e7;
    for (int second = 0; second < 600; ++second) {
        if (second % 30 == 29) {
            chain_.applyFlagCycles();
        }
        ASSERT_EQ(frames(30, drift), S_OK);
        if (camera_->flagState == 0 && sink_.flagState == 0 && second % 10 == 9) {
            const Accuracy a = centralError(30.0);
            worst = std::max(worst, a.maxAbs);
            worstMean = std::max(worstMean, std::abs(a.mean));
            ++checks;
            EXPECT_LT(a.maxAbs, 0.5) << "after " << second + 1 << " s, chip " << camera_->tempChip;
        }
    }
    std::printf(
        "[ accuracy ] drift: chip %.2f -> %.2f degC, box %.2f degC; worst mean %.3f, "
        "worst max |error| %.3f degC over %d checks\n",
        chip0, camera_->tempChip, camera_->tempBox, worstMean, worst, checks);
    EXPECT_GT(checks, 40);
    EXPECT_GT(camera_->tempChip - chip0, 3.0f);
}

// Dead pixels (stuck at 0 or full scale) read as the scene around them.
TEST_F(ChainOnSimCamera, RepairsDeadPixels) {
    start();
    physics_->setBlackbodyScene(30.0f, 15.0f, 45.0f);
    ASSERT_EQ(frames(60), S_OK);
    const int w = sink_.width, h = sink_.height;
    ASSERT_FALSE(physics_->deadPixels().empty());
    double worst = 0.0;
    for (int p : physics_->deadPixels()) {
        const int x = p % w, y = p / w;
        const bool inside = x >= w / 4 && x < 3 * w / 4 && y >= h / 4 && y < 3 * h / 4;
        const double scene = inside ? 30.0 : 15.0 + 30.0 * x / (w - 1);
        const double e = std::abs(celsius(sink_.pixels[p]) - scene);
        worst = std::max(worst, e);
        EXPECT_LT(e, 1.0) << "pixel " << x << "," << y;
    }
    std::printf("[ accuracy ] dead pixels: %zu repaired, worst error %.3f degC\n",
                physics_->deadPixels().size(), worst);
}

// The chip ramps 1.5 degC/min, flags every 15 s, no skim steps: tracking starts at the third.
TEST_F(ChainOnSimCamera, DriftTrackingStartsWhileTheChipRamps) {
    start();
    chain_.getFlag()->correctionMode = 0;
    for (int flags = 1; flags <= 4; ++flags, chain_.applyFlagCycles()) {
        for (int i = 0; i < 450; ++i, camera_->tempChip += 1.5f / 60 / 30) {
            ASSERT_EQ(frame(), S_OK);
        }
        EXPECT_EQ(chain_.getFlag()->getFlagCycleCount(), flags);
    }
}
