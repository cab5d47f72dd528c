// The shutter-flag automation on the virtual clock: first flags, intervals, drift, manual requests.
#include <gtest/gtest.h>

#include "common/TestEnv.h"
#include "sdk/FlagAutomation.h"

namespace {

using Reason = zol::FlagAutomation::Reason;

// Drives the automation as the imager does, one frame every periodMs on the virtual clock.
class FlagAutomationTest : public kelvix_test::VirtualClockTest {
  protected:
    void SetUp() override {
        VirtualClockTest::SetUp();
        flags_.start(temps_);
        flags_.setAutoFlag(true);
        flags_.startFlag();  // the first frame flags
    }

    // One frame, a period after the previous one: the pending flag is taken, then the rules
    // run. True when this frame flagged.
    bool frame() {
        clock_.advanceMs(periodMs_);
        const bool flagged = flags_.takePending();
        if (flagged) {
            flagTimes_.push_back(clock_.tickMs());
        }
        last_ = flags_.decide([this] {
            ++reads_;
            return temps_;
        });
        return flagged;
    }
    void runFor(double ms) {
        for (double t = 0; t < ms; t += periodMs_) {
            frame();
        }
    }

    zol::FlagAutomation flags_;
    zol::FlagTemperatures temps_{30.0f, 40.0f, 32.0f};
    std::vector<std::uint32_t> flagTimes_;
    Reason last_ = Reason::None;
    double periodMs_ = 40.0;
    int reads_ = 0;
};

TEST_F(FlagAutomationTest, FirstFlagAtOnceThenAtOrAfterThreeSeconds) {
    flags_.setIntervals(0, 0);
    EXPECT_TRUE(frame());
    for (int i = 1; i < 75; ++i) {
        EXPECT_FALSE(frame()) << i;
    }
    // The frame at exactly 3000 ms decides; the next one carries the flag.
    EXPECT_FALSE(frame());
    EXPECT_EQ(last_, Reason::First);
    EXPECT_TRUE(frame());
    EXPECT_FALSE(flags_.isFirstFlagPending());
    runFor(60000);
    EXPECT_EQ(flagTimes_.size(), 2u);
    EXPECT_EQ(reads_, 0);  // no interval set: temperatures never asked for
}

TEST_F(FlagAutomationTest, MinIntervalNeedsDriftMaxIntervalDoesNot) {
    flags_.setIntervals(15, 0);
    runFor(60000);
    ASSERT_EQ(flagTimes_.size(), 2u);  // constant temperatures: only the first two

    temps_.box += 0.2f;
    const std::uint32_t changed = clock_.tickMs();
    runFor(1000);
    ASSERT_EQ(flagTimes_.size(), 3u);
    EXPECT_LE(flagTimes_[2] - changed, 2 * periodMs_);
    EXPECT_FLOAT_EQ(flags_.lastFlagTemperatures().box, temps_.box);

    // A drift of 0.1 is not enough; 0.11 after the minimum interval is.
    temps_.chip += 0.1f;
    runFor(30000);
    EXPECT_EQ(flagTimes_.size(), 3u);
    temps_.flag -= 0.15f;
    runFor(1000);
    ASSERT_EQ(flagTimes_.size(), 4u);

    // Before the minimum interval a drift waits for it.
    temps_.box += 1.0f;
    runFor(14000);
    EXPECT_EQ(flagTimes_.size(), 4u);
    runFor(1200);
    ASSERT_EQ(flagTimes_.size(), 5u);
    EXPECT_GE(flagTimes_[4] - flagTimes_[3], 15000u);
}

TEST_F(FlagAutomationTest, MaxIntervalFlagsWithConstantTemperatures) {
    flags_.setIntervals(0, 60);
    runFor(200000);
    ASSERT_GE(flagTimes_.size(), 4u);
    for (std::size_t i = 2; i < flagTimes_.size(); ++i) {
        EXPECT_GE(flagTimes_[i] - flagTimes_[i - 1], 60000u);
        EXPECT_LE(flagTimes_[i] - flagTimes_[i - 1], 60000u + 2 * 40u);
    }
}

TEST_F(FlagAutomationTest, AutoFlagOffLeavesFirstTwoAndManualRequests) {
    flags_.setIntervals(1, 2);
    flags_.setAutoFlag(false);
    temps_.box = 80.0f;
    runFor(30000);
    EXPECT_EQ(flagTimes_.size(), 2u);

    flags_.forceFlag(0);
    EXPECT_FALSE(frame());
    EXPECT_EQ(last_, Reason::Manual);
    EXPECT_TRUE(frame());

    flags_.forceFlag(5000);
    const std::uint32_t asked = clock_.tickMs();
    runFor(6000);
    ASSERT_EQ(flagTimes_.size(), 4u);
    EXPECT_GT(flagTimes_[3] - asked, 5000u);
    EXPECT_LE(flagTimes_[3] - asked, 5000u + 2 * 40u);
    EXPECT_EQ(flagTimes_.size(), 4u);
}

TEST_F(FlagAutomationTest, ManualRequestDuringFirstSecondsKeepsTheFirstFlag) {
    frame();
    flags_.forceFlag(0);
    frame();
    EXPECT_EQ(last_, Reason::Manual);
    EXPECT_TRUE(frame());
    EXPECT_TRUE(flags_.isFirstFlagPending());
    runFor(4000);
    EXPECT_EQ(flagTimes_.size(), 3u);
    EXPECT_FALSE(flags_.isFirstFlagPending());
}

TEST_F(FlagAutomationTest, RequestsWithoutTimersAreIgnored) {
    zol::FlagAutomation idle;
    idle.forceFlag(0);
    EXPECT_EQ(idle.decide([] { return zol::FlagTemperatures{}; }), Reason::None);
    EXPECT_FALSE(idle.takePending());
}

}  // namespace
