// The flag operator: ignore counts, closed frames as offsets, drift between flags, other states,
// reported changes, flag inputs and skim steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "imgproc/Cali.h"
#include "imgproc/NullControlDevice.h"
#include "imgproc/OpCorr.h"
#include "imgproc/OpFlag.h"
#include "imgproc/OpTestSupport.h"
#include "platform/Strings.h"

namespace {

class FlagDevice : public NullControlDevice {
  public:
    void GetSkim(std::uint16_t* value) override { *value = skim; }
    std::uint16_t GetPIFInFlagThreshold() override { return threshold; }
    bool GetPIFInFlagOpenIfLower() override { return openIfLower; }
    bool GetPIFInDigitalFlagLowActive() override { return lowActive; }

    std::uint16_t skim = 2000;
    std::uint16_t threshold = 500;
    bool openIfLower = false;
    bool lowActive = false;
};

int serialCounter = 880000;

class FlagTest : public kelvix_test::VirtualClockTest {
  protected:
    // Loads a calibration description with the given flag counts (a fresh serial each time, so
    // the description is read again).
    void loadCali(int cycles, int ignore) {
        const int serial = ++serialCounter;
        writeFile("Cali-" + std::to_string(serial) + ".xml",
                  "<CaliData>\n<Main>\n<FlagCycles>" + std::to_string(cycles) +
                      "</FlagCycles>\n<FlagCycles_Ignore>" + std::to_string(ignore) +
                      "</FlagCycles_Ignore>\n</Main>\n</CaliData>\n");
        ASSERT_EQ(Cali::getInstance()->readXML(platform::toWide(dir_).c_str(), serial), 0);
    }

    void build(int w, int h, std::int64_t period = 333333, bool withCorrection = false) {
        shared_.device = &device_;
        shared_.hardwareRevision = 3100;
        shared_.firmwareRevision = 2250;
        source_ = std::make_unique<optest::SourceOp>(&shared_, w, h);
        flag_ = std::make_unique<OpFlag>(source_.get(), &shared_, Cali::getInstance());
        if (withCorrection) {
            corr_ = std::make_unique<OpCorr>(flag_.get(), &shared_, Cali::getInstance());
        }
        ASSERT_EQ(source_->start(), S_OK);
        source_->frame->format->avgTimePerFrame = period;
        ASSERT_EQ(flag_->init(source_.get()), S_OK);
    }

    // One frame of a uniform value with the given flag state.
    HRESULT frame(int state, std::int16_t value) {
        FrameMetadataRecord* m = source_->frame->metadata;
        m->flagState = state;
        m->frameCounter = counter_;
        m->hwFrameCounter = counter_ + 1000;
        ++counter_;
        std::int16_t* p = source_->pixels();
        std::fill(p, p + source_->getPixelCount(), value);
        return source_->run();
    }
    void frames(int state, std::int16_t value, int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(frame(state, value), S_OK);
        }
    }
    // Four flag cycles on a steady scene, so that drift set through the records is applied from
    // the next open frame on.
    void openAfterSteadyFlags(int w, int h) {
        loadCali(10, 2);
        build(w, h);
        for (int cycle = 0; cycle < 4; ++cycle) {
            frames(1, 100, 10);
            frames(0, 1000, 20);
        }
    }
    std::int16_t out(int i = 0) const {
        return reinterpret_cast<const std::int16_t*>(flag_->frame->pixels)[i];
    }

    FlagDevice device_;
    SharedParameterBlock shared_;
    std::unique_ptr<optest::SourceOp> source_;
    std::unique_ptr<OpFlag> flag_;
    std::unique_ptr<OpCorr> corr_;
    std::uint32_t counter_ = 1;
};

}  // namespace

TEST_F(FlagTest, IgnoreCountsFollowTheFrameRate) {
    loadCali(10, 3);
    build(382, 288, 370370);  // 27 Hz
    EXPECT_EQ(flag_->getIgnoreFrames(), 1);
    build(382, 288, 125000);  // 80 Hz
    EXPECT_EQ(flag_->getIgnoreFrames(), 3);
    build(382, 288, 0);  // no period known: no rescaling
    EXPECT_EQ(flag_->getIgnoreFrames(), 3);
    build(160, 120, 333333);  // 30 of 120 Hz
    EXPECT_EQ(flag_->getIgnoreFrames(), 0);
    loadCali(10, 2);
    build(382, 288, 370370);
    EXPECT_EQ(flag_->getIgnoreFrames(), 2);
}

TEST_F(FlagTest, ClosedFramesBecomeTheOffset) {
    loadCali(10, 2);
    build(2, 2);
    frames(0, 500, 3);
    EXPECT_EQ(out(), 500);  // no offset yet
    // Ten closed frames: the first two are skipped, the other eight averaged.
    const std::int16_t closed[10] = {9000, 9000, 100, 101, 102, 103, 104, 105, 106, 113};
    for (std::int16_t v : closed) {
        ASSERT_EQ(frame(1, v), S_OK);
    }
    ASSERT_EQ(frame(0, 600), S_OK);
    EXPECT_EQ(flag_->pixelStates()[0].offset, 104);  // 834 / 8
    EXPECT_EQ(out(), 600 - 104);
    EXPECT_EQ(flag_->getFlagCycleCount(), 1);

    // A shorter closed period skips proportionally fewer frames next time (5 * 2 / 10 = 1).
    frames(1, 50, 5);
    ASSERT_EQ(frame(0, 0), S_OK);
    EXPECT_EQ(flag_->getIgnoreFrames(), 1);
}

TEST_F(FlagTest, OffsetsFollowTheDriftBetweenFlags) {
    loadCali(10, 2);
    build(2, 2);
    // Cycles of 600 frames (10 closed, 590 open); the flag image rises by 12 each cycle.
    for (int cycle = 0; cycle < 4; ++cycle) {
        frames(1, static_cast<std::int16_t>(100 + 12 * cycle), 10);
        if (cycle < 3) {
            frames(0, 1000, 590);
        }
    }
    ASSERT_EQ(frame(0, 1000), S_OK);
    const FlagPixelState& s = flag_->pixelStates()[0];
    EXPECT_EQ(s.offset, 136);
    EXPECT_EQ(s.steps, 12);
    EXPECT_EQ(s.period, 60);
    // One count every 60 open frames.
    frames(0, 1000, 58);
    EXPECT_EQ(out(), 1000 - 136);
    frames(0, 1000, 1);
    EXPECT_EQ(out(), 1000 - 137);
    frames(0, 1000, 60);
    EXPECT_EQ(out(), 1000 - 138);
}

// Drift steps more than a thousand frames apart land on their own frames, and the records
// read in between show the countdown at every point.
TEST_F(FlagTest, SlowDriftsStepOnTheirOwnFrames) {
    loadCali(10, 2);
    build(2, 1);
    for (int cycle = 0; cycle < 4; ++cycle) {  // the flag image rises by 4 every 6010 frames
        frames(1, static_cast<std::int16_t>(100 + 4 * cycle), 10);
        frames(0, 1000, cycle < 3 ? 6000 : 0);
    }
    ASSERT_EQ(frame(0, 1000), S_OK);  // the opening
    const FlagPixelState s = flag_->pixelStates()[0];
    ASSERT_EQ(s.steps, 4);
    ASSERT_GT(s.period, 1024);
    for (int j = 2; j <= 4 * s.period + 5; ++j) {
        ASSERT_EQ(frame(0, 1000), S_OK);
        ASSERT_EQ(out(), 1000 - s.offset - std::min(j / s.period, 4)) << j;
        if (j % 997 == 0 || j % s.period == 0 || j % s.period == s.period - 1) {
            const FlagPixelState now = flag_->pixelStates()[1];
            const int left = s.period - j % s.period;
            EXPECT_EQ(now.countdown, j / s.period >= 4 ? s.period : left) << j;
            EXPECT_EQ(now.steps, 4 - std::min(j / s.period, 4)) << j;
        }
    }
    // A flag closed only for the frames it skips brings no new offsets: the steps become the
    // saved offset and the countdown runs on from where it stood.
    frames(1, 300, 2);
    ASSERT_EQ(frame(0, 1000), S_OK);
    const FlagPixelState r = flag_->pixelStates()[0];
    EXPECT_EQ(r.steps, s.savedOffset);
    EXPECT_EQ(r.countdown, s.period - 1);
    EXPECT_EQ(out(), 1000 - s.offset - 4);
    frames(0, 1000, s.period - 1);
    EXPECT_EQ(out(), 1000 - s.offset - 5);
}

// Rates that decayed below the smallest normal float count as zero at the opening (so they
// cannot slow it down), and the image and drift are what zero rates give.
TEST_F(FlagTest, SubnormalRatesCountAsZero) {
    loadCali(10, 2);
    std::vector<std::int16_t> image[2];
    std::vector<FlagPixelState> states[2];
    const float rates[2] = {0.0f, 1e-40f};
    for (int k = 0; k < 2; ++k) {
        build(3, 1);
        counter_ = 1;
        for (int cycle = 0; cycle < 6; ++cycle) {  // past the cycles whose rates are not smoothed
            frames(1, 100, 10);
            frames(0, 1000, 50);
        }
        for (FlagPixelState& p : flag_->pixelStates()) {
            p.rate = rates[k];
        }
        frames(1, 100, 10);
        frames(0, 1000, 2);
        states[k] = flag_->pixelStates();
        for (int i = 0; i < 3; ++i) {
            image[k].push_back(out(i));
            EXPECT_EQ(states[k][i].rate, 0.0f) << i;  // (4 * rate + 0) / 5, taken as zero
        }
    }
    EXPECT_EQ(image[0], image[1]);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(states[0][i].offset, states[1][i].offset);
        EXPECT_EQ(states[0][i].steps, states[1][i].steps);
        EXPECT_EQ(states[0][i].countdown, states[1][i].countdown);
    }
}

// Countdowns that records set below 1 step at the next frame, then every period; a record read
// before that shows the countdown as set.
TEST_F(FlagTest, CountdownsBelowOneStepAtOnce) {
    openAfterSteadyFlags(4, 1);
    const std::int32_t countdowns[4] = {0, -7, INT32_MIN, 3};
    for (int p = 0; p < 4; ++p) {
        FlagPixelState& s = flag_->pixelStates()[p];
        s.steps = 3;
        s.period = 2;
        s.countdown = countdowns[p];
    }
    const std::int16_t before = out(0);
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(flag_->pixelStates()[p].countdown, countdowns[p]) << p;
    }
    // Frames 1..6: pixels 0-2 step at frames 1, 3 and 5; pixel 3 at 3 and 5 (and 7).
    const std::int16_t expected[6][4] = {{1, 1, 1, 0}, {1, 1, 1, 0}, {2, 2, 2, 1},
                                         {2, 2, 2, 1}, {3, 3, 3, 2}, {3, 3, 3, 2}};
    for (int f = 0; f < 6; ++f) {
        ASSERT_EQ(frame(0, 1000), S_OK);
        for (int p = 0; p < 4; ++p) {
            EXPECT_EQ(before - out(p), expected[f][p]) << f << " " << p;
        }
    }
    EXPECT_EQ(flag_->pixelStates()[3].countdown, 1);
    EXPECT_EQ(flag_->pixelStates()[0].steps, 0);
}

// Neighbouring pixels with their own periods (below 1, short, around the calendar's ring of
// 1024 ticks, beyond it) and countdowns each step on their own frames, on either side of the
// calendar's regions of 32768 pixels, also when records are taken back halfway: a model that
// counts every pixel down each frame says when.
TEST_F(FlagTest, NeighboursStepOnTheirOwnFrames) {
    openAfterSteadyFlags(200, 165);
    const std::int32_t periods[] = {-2, 0, 1, 2, 3, 7, 1023, 1024, 1025, 1500};
    const int n = 200 * 165;
    struct Model {
        std::int32_t offset, steps, period, countdown;
    };
    std::vector<Model> model(n);
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t m) { return (seed = seed * 1103515245u + 12345u) >> 8 & m; };
    for (int round = 0; round < 2; ++round) {
        for (int p = 0; p < n; ++p) {
            FlagPixelState& s = flag_->pixelStates()[p];
            if (round == 0) {
                s.steps = next(7) == 0 ? 0 : static_cast<std::int16_t>(next(15)) - 7;
                s.period = periods[next(15) % 10];
                s.countdown = static_cast<std::int32_t>(next(2047)) - 3;
                model[p] = Model{s.offset, s.steps, s.period, s.countdown};
            }
            EXPECT_EQ(s.offset, model[p].offset) << p;
            EXPECT_EQ(s.countdown, model[p].countdown) << p;
        }
        for (int f = 0; f < 1100; ++f) {
            ASSERT_EQ(frame(0, 1000), S_OK);
            for (int p = 0; p < n; ++p) {
                Model& m = model[p];
                if (m.steps != 0 && --m.countdown < 1) {
                    const int step = m.steps > 0 ? 1 : -1;
                    m.offset += step, m.steps -= step, m.countdown = m.period;
                }
                ASSERT_EQ(1000 - out(p), m.offset) << f << " " << p;
            }
        }
    }
}

TEST_F(FlagTest, SmallDriftsAreIgnored) {
    loadCali(10, 2);
    build(2, 1);
    // Pixel 0 drifts by 3 per cycle (too little), pixel 1 by -4.
    for (int cycle = 0; cycle < 3; ++cycle) {
        for (int i = 0; i < 10; ++i) {
            FrameMetadataRecord* m = source_->frame->metadata;
            m->flagState = 1;
            m->frameCounter = counter_++;
            source_->pixels()[0] = static_cast<std::int16_t>(100 + 3 * cycle);
            source_->pixels()[1] = static_cast<std::int16_t>(100 - 4 * cycle);
            ASSERT_EQ(source_->run(), S_OK);
        }
        frames(0, 0, cycle < 2 ? 590 : 1);
    }
    EXPECT_EQ(flag_->pixelStates()[0].steps, 0);
    EXPECT_EQ(flag_->pixelStates()[0].period, 0);
    EXPECT_EQ(flag_->pixelStates()[1].steps, -4);
    EXPECT_EQ(flag_->pixelStates()[1].period, 600 * 6 / 5 / 4);
}

TEST_F(FlagTest, OtherStatesLeaveTheOutputAlone) {
    loadCali(10, 2);
    build(2, 2);
    frames(0, 10, 1);
    for (int state : {2, 4}) {
        ASSERT_EQ(frame(state, 777), S_OK);
        EXPECT_EQ(out(), 10);
        EXPECT_EQ(shared_.flagState.load(), static_cast<std::uint32_t>(state));
    }
    shared_.device = nullptr;
    EXPECT_EQ(frame(0, 1), E_FAIL);
}

TEST_F(FlagTest, StateChangesAreReported) {
    loadCali(10, 2);
    build(2, 2);
    static std::vector<std::pair<int, std::uint32_t>> seen;
    seen.clear();
    flag_->flagStateCallback = [](std::int32_t state, double, std::uint32_t frames) {
        seen.emplace_back(state, frames);
    };
    frames(0, 1, 3);
    frames(1, 1, 4);
    frames(0, 1, 1);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, 1);
    EXPECT_EQ(seen[1], std::make_pair(0, 4u));
}

TEST_F(FlagTest, FlagInputSelection) {
    loadCali(10, 2);
    build(2, 2);
    FrameMetadataRecord* m = source_->frame->metadata;
    m->digitalInputCount = 2;
    m->digitalInputBits = 0x2;  // input 1 high
    m->analogValue0 = 100;      // analog input 0 below the threshold of 500

    device_.setFlagSource(2);  // digital input 1
    frames(0, 0, 1);
    EXPECT_EQ(flag_->getLastInputState(), 1);
    device_.lowActive = true;
    frames(0, 0, 1);
    EXPECT_EQ(flag_->getLastInputState(), 0);
    device_.setFlagSource(-1);  // analog input 0
    frames(0, 0, 1);
    EXPECT_EQ(flag_->getLastInputState(), 1);
    device_.openIfLower = true;
    frames(0, 0, 1);
    EXPECT_EQ(flag_->getLastInputState(), 0);
    // Inputs the frame does not carry count as inactive.
    device_.openIfLower = false;
    frames(0, 0, 1);
    ASSERT_EQ(flag_->getLastInputState(), 1);
    device_.setFlagSource(5);
    frames(0, 0, 1);
    EXPECT_EQ(flag_->getLastInputState(), 0);
    device_.setFlagSource(-1);
    frames(0, 0, 1);
    device_.setFlagSource(-3);
    frames(0, 0, 1);
    EXPECT_EQ(flag_->getLastInputState(), 0);
}

TEST_F(FlagTest, SkimStepsAreLimited) {
    loadCali(10, 2);
    build(10, 10, 333333, true);
    ASSERT_NE(flag_->getCorrection(), nullptr);
    flag_->correctionMode = 1;
    counter_ = 1200;
    frames(0, 0, 1);  // frame 1200 switches the adjustment on
    ASSERT_TRUE(flag_->isSkimAdjustActive());

    // A flag image of 11775 with hi one count above: weighted step 700 / 100 -> 7 -> 1.
    shared_.energyAtTMin = 0.0f;
    shared_.energyAtTMax = 1.0f;
    frames(1, 11775, 3);
    EXPECT_EQ(shared_.pendingSkimDelta, 1);
    EXPECT_EQ(flag_->getLastSkimStep(), 1);

    // A very cold flag image asks for far more than 100 steps down.
    shared_.pendingSkimDelta = 0;
    frames(0, 0, 50);
    shared_.energyAtTMin = -20000.0f;
    shared_.energyAtTMax = 0.0f;
    frames(1, 0, 3);
    EXPECT_EQ(shared_.pendingSkimDelta, -100);

    // ... and never below a skim of 0.
    device_.skim = 40;
    shared_.pendingSkimDelta = 0;
    frames(0, 0, 50);
    frames(1, 0, 3);
    EXPECT_EQ(shared_.pendingSkimDelta, -40);

    // Energies from a hostile table put 3 x max beyond 32 bits: still a full step up, not a
    // wrapped sum that reads as a step down.
    device_.skim = 2000;
    shared_.pendingSkimDelta = 0;
    frames(0, 0, 50);
    shared_.energyAtTMin = 0.0f;
    shared_.energyAtTMax = 1.0e9f;
    frames(1, 11775, 3);
    EXPECT_EQ(shared_.pendingSkimDelta, 100);
}
