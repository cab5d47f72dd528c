// The stopwatch and the frame-rate counter on the virtual clock.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/TestEnv.h"
#include "kelvix/FramerateCounter.h"
#include "kelvix/Timer.h"

namespace {

using kelvix_test::VirtualClockTest;

class FramerateCounterTest : public VirtualClockTest {};

TEST_F(FramerateCounterTest, TimerResetReturnsElapsedAndRestarts) {
    zol::Timer t;
    clock_.advanceMs(250.5);
    EXPECT_DOUBLE_EQ(t.getTime(), 250.5);
    EXPECT_DOUBLE_EQ(t.reset(), 250.5);
    EXPECT_DOUBLE_EQ(t.getTime(), 0.0);
}

TEST_F(FramerateCounterTest, TwentyFiveFpsAt40msAndAReportAboutEverySecond) {
    zol::FramerateCounter counter;  // 1000 ms interval, window 30 -> 31 samples
    double fps = -1;
    std::vector<int> reportsAt;
    for (int i = 1; i <= 100; ++i) {
        clock_.advanceMs(40);
        if (counter.trigger(&fps)) {
            reportsAt.push_back(i);
        }
        EXPECT_DOUBLE_EQ(fps, counter.getFps());
        if (i < 31) {
            // Until the ring turns, the rate counts from construction.
            EXPECT_DOUBLE_EQ(fps, 25.0) << i;
        }
    }
    EXPECT_DOUBLE_EQ(counter.getFps(), 25.0);
    // Due strictly after 1000 ms: on the 26th event (1040 ms), then 26 events after each report.
    EXPECT_EQ(reportsAt, (std::vector<int>{26, 52, 78}));

    // A slower stream shows after the window has filled with it.
    for (int i = 0; i < 31; ++i) {
        clock_.advanceMs(100);
        counter.trigger(nullptr);
    }
    EXPECT_NEAR(counter.getFps(), 10.0, 1e-9);
}

TEST_F(FramerateCounterTest, EventsInTheSameInstantKeepTheRate) {
    zol::FramerateCounter counter(1000, 0);  // smallest ring: 3 samples
    EXPECT_DOUBLE_EQ(counter.getFps(), 0.0);
    counter.trigger(nullptr);  // no time has passed since construction
    EXPECT_DOUBLE_EQ(counter.getFps(), 0.0);
    clock_.advanceMs(50);
    counter.trigger(nullptr);
    EXPECT_DOUBLE_EQ(counter.getFps(), 40.0);  // two events in 50 ms
    counter.trigger(nullptr);
    counter.trigger(nullptr);  // the whole ring within one instant
    EXPECT_DOUBLE_EQ(counter.getFps(), 40.0);
}

TEST_F(FramerateCounterTest, CopiesAreIndependentAndComplete) {
    auto original = std::make_unique<zol::FramerateCounter>(500, 4);
    for (int i = 0; i < 7; ++i) {
        clock_.advanceMs(20);
        original->trigger(nullptr);
    }
    zol::FramerateCounter copy(*original);
    zol::FramerateCounter assigned(2000, 100);
    assigned = *original;
    assigned = assigned;
    EXPECT_DOUBLE_EQ(copy.getFps(), original->getFps());

    // Same samples, timers and interval: the same next results.
    clock_.advanceMs(400);
    double a = 0, b = 0, c = 0;
    const bool ra = original->trigger(&a);
    const bool rb = copy.trigger(&b);
    const bool rc = assigned.trigger(&c);
    EXPECT_EQ(ra, rb);
    EXPECT_EQ(ra, rc);
    EXPECT_DOUBLE_EQ(a, b);
    EXPECT_DOUBLE_EQ(a, c);

    // The copies outlive the original without sharing its memory.
    original.reset();
    clock_.advanceMs(20);
    copy.trigger(&b);
    assigned.trigger(&c);
    EXPECT_DOUBLE_EQ(b, c);
}

}  // namespace
