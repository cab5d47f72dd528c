// Radiometry against calibration sets unlike the usual one: every variant reads the scene true,
// the skim settles, unusable tables stop the init.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "sdk/KelvixFixture.h"

namespace {

// Per image handed out: the mean error against `scene` over the blackbody, two pixels inside
// its edge; the largest error of the last one.
struct Seen {
    float scene = NAN;
    std::vector<double> means;
    double max = 0.0;
};

void onThermal(unsigned short* t, unsigned w, unsigned h, zol::IRFrameMetadata, void* arg) {
    auto* s = static_cast<Seen*>(arg);
    double sum = 0.0;
    int n = 0;
    s->max = 0.0;
    for (unsigned y = h / 4 + 2; y < 3 * h / 4 - 2; ++y) {
        for (unsigned x = w / 4 + 2; x < 3 * w / 4 - 2; ++x, ++n) {
            const double e = (t[y * w + x] - 1000) * 0.1 - s->scene;
            sum += e;
            s->max = std::max(s->max, std::fabs(e));
        }
    }
    s->means.push_back(sum / n);
}

// Calibration sets unlike the simulated camera's usual one, each written from the physics of
// its camera.
struct Variant {
    const char* name;
    bool normalize, lambda;
    double bend;  // energy counts the table lies off the model halfway between T1 and T3
    sim::SimRawLayout layout;
    double chipCoefficient = 0.002;
    float chip = 40.0f;
    std::uint16_t hwRev = 3100, fwRev = 2250;
    int skimBelow = 0;  // steps the calibrated skim lies below the detector's working point
};
const Variant kVariants[] = {
    {"normalize 0, wavelength", false, true, 0.0, {}},
    {"normalize 0, no wavelength", false, false, 0.0, {}},
    {"normalize 1, wavelength, table off the model", true, true, 100.0, {}},
    {"normalize 1, no wavelength, table off the model", true, false, 100.0, {}},
    {"raw 134x97: padded rows, header last", false, true, 0.0, {128, 96, 6, true}},
    {"chip 47 degC (calibrated at 35), gain coefficient 0.004", false, true, 0.0, {}, 0.004, 47},
    {"revision 30, chip 45 degC, skim 60 steps off", false, true, 0.0, {}, 0.002, 45, 30, 3000, 60},
    {"spoilt", false, true, 0.0, {}},
};

class Radiometry : public kelvix_test::KelvixTest, public testing::WithParamInterface<int> {
  protected:
    Radiometry() : v_(kVariants[std::min(GetParam(), 7)]) {
        serial_ = 31350000 + GetParam();
        hwRev_ = v_.hwRev, fwRev_ = v_.fwRev;
        config_.layout = v_.layout;
        config_.chipCoefficient = v_.chipCoefficient;
    }
    void SetUp() override {
        KelvixTest::SetUp();
        params_.framerate = static_cast<float>(rate_);
        camera_->tempChip = v_.chip;
        k_.setThermalFrameCallback(onThermal);
    }
    sim::CalibrationSet set() const override {
        sim::CalibrationSet s = sim::CalibrationSet::standard();
        s.streamRates = {static_cast<int>(rate_)};
        for (sim::SimRangeSpec& r : s.optics[0].ranges) {
            r.normalize = v_.normalize;
            r.tableParamsLambda = v_.lambda;
            r.model.bend = v_.bend;
            r.skim = camera_->physics->centredSkim(r.model, r.tMin, r.tMax) - v_.skimBelow;
        }
        return s;
    }
    // Frames of the blackbody at `scene` in front of a gradient: every image handed out reads
    // it within `within` (mean); returns how many there were.
    std::size_t run(int frames, float scene, double within = 0.2) {
        if (scene != seen_.scene) {
            physics().setBlackbodyScene(scene, 15.0f, 45.0f);
        }
        seen_ = Seen();
        seen_.scene = scene;
        for (int i = 0; i < frames; ++i) {
            feed(k_, &seen_, 1000.0 / rate_);
        }
        for (double m : seen_.means) {
            EXPECT_NEAR(m, 0.0, within) << scene;
        }
        return seen_.means.size();
    }
    void accuracyTable(std::vector<float> scenes) {
        for (float scene : scenes) {
            run(3, scene, 1000.0);
            std::printf("[ accuracy ] %s | %5.0f degC: mean %+.3f, max %.3f\n", v_.name, scene,
                        seen_.means.back(), seen_.max);
            EXPECT_LT(std::fabs(seen_.means.back()), 0.2) << scene;
            EXPECT_LT(seen_.max, 0.3) << scene;
        }
    }

    const Variant& v_;
    unsigned rate_ = kRate;
    Seen seen_;
    zol::Kelvix k_;
};

class RadiometryVariants : public Radiometry {};
class SkimWalk : public Radiometry {};
class UnusableTables : public Radiometry {};
// A camera fast enough that its flag closes for less than the half second over which the
// correction averages its temperatures.
class FastCamera : public Radiometry {
  protected:
    FastCamera() { rate_ = 80; }
};

const std::vector<float> kScenes{0.0f, 25.0f, 37.0f, 60.0f, 100.0f, 120.0f};

}  // namespace

TEST_P(RadiometryVariants, EverySceneReadsTrue) {
    ASSERT_TRUE(initHid(k_));
    // Nothing before the first image taken after a flag: every image handed out is real.
    EXPECT_GT(run(60, 25.0f), 30u);
    accuracyTable(kScenes);
    // Range changes with the scene steady: the images handed out meanwhile read it.
    ASSERT_TRUE(k_.setTempRange(0, 250));
    EXPECT_EQ(run(40, 120.0f, 0.5), 40u);
    accuracyTable({200.0f});
    run(3, 45.0f, 1000.0);
    ASSERT_TRUE(k_.setTempRange(-20, 100));
    EXPECT_EQ(run(40, 45.0f, 0.5), 40u);
    // A change while the flag is closed, with no flag to follow: its frames to come give the
    // offsets.
    k_.setAutoFlag(false);
    physics().beginFlagCycle(12);
    run(4, 45.0f);
    ASSERT_FALSE(k_.isFlagOpen());
    ASSERT_TRUE(k_.setTempRange(0, 250));
    run(20, 45.0f, 0.5);
    run(5, 60.0f, 1000.0);  // refreshed again, not held
    EXPECT_NEAR(seen_.means.back(), 0.0, 0.2);
    ASSERT_TRUE(k_.setTempRange(-20, 100));
    run(30, 60.0f, 0.5);
    run(3, 45.0f, 1000.0);
    // A range whose table turns out unusable is refused; the last image stays.
    writeFile("cali/Kennlinie-" + std::to_string(serial_) + "-23-0-250.prn", "100 nan\n");
    EXPECT_FALSE(k_.setTempRange(0, 250));
    EXPECT_EQ(run(30, 45.0f), 30u);
}
INSTANTIATE_TEST_SUITE_P(CalibrationSets, RadiometryVariants, testing::Range(0, 6));

// Objects of emissivity x at each range's bottom, middle and top, surroundings in and below tables.
TEST_P(RadiometryVariants, ObjectsOfLowEmissivityReadTrue) {
    ASSERT_TRUE(initHid(k_));
    const float c[][4] = {{-20, 100, 0.675f, 20}, {0, 250, 0.675f, 20}, {-20, 100, 0.9f, -48},
                          {-20, 100, 0.7f, -60},  {0, 250, 0.7f, -40},  {150, 900, 0.8f, -20}};
    for (int i = 0; i < (v_.bend != 0.0 ? 3 : 6); ++i) {  // bent files end before the model
        ASSERT_TRUE(k_.setTempRange(static_cast<int>(c[i][0]), static_cast<int>(c[i][1])));
        physics().setRadiation(c[i][2], c[i][3]);
        k_.setRadiationParameters(c[i][2], 1.0f, c[i][3]);
        for (float scene : {c[i][0], (c[i][0] + c[i][1]) / 2, c[i][1]}) {
            EXPECT_NEAR(run(40, scene, 1e3) ? seen_.means.back() : 1e3, 0.0, 0.2) << i << scene;
        }
    }
}

// The first images after a range change's flag already read the scene: the energies of the
// flag and the housing come from the new range's table, not the one left.
TEST_P(FastCamera, RangeChangesReadTrueFromTheFirstImage) {
    ASSERT_TRUE(initHid(k_, rate_));
    EXPECT_GT(run(200, 45.0f), 10u);
    for (int change = 0; change < 6; ++change) {
        SCOPED_TRACE(change);
        ASSERT_TRUE(change % 2 == 0 ? k_.setTempRange(0, 250) : k_.setTempRange(-20, 100));
        EXPECT_GT(run(60 + 7 * change, 45.0f, 0.5), 10u);
    }
}
INSTANTIATE_TEST_SUITE_P(CalibrationSets, FastCamera, testing::Values(0, 3));

// Flags every 3 s: the skim adjustment takes the detector to its working point and stays there,
// and no image read meanwhile is off the scene.
TEST_P(SkimWalk, SettlesWithinFiftyFlags) {
    params_.autoFlag = 1;
    params_.maxInterval = 3.0f;
    ASSERT_TRUE(initHid(k_));
    run(1190, 37.0f);  // the adjustment starts after 1201 frames
    std::vector<int> walk{camera_->hid.skim};
    ASSERT_EQ(walk[0], set().optics[0].ranges[0].skim);
    std::string text;
    while (walk.size() <= 50) {
        const int cycles = flagCycles();
        while (flagCycles() == cycles) {
            run(1, 37.0f);
        }
        run(12, 37.0f);  // the cycle's flag frames, with the step
        walk.push_back(camera_->hid.skim);
        text += " " + std::to_string(walk.back());
    }
    std::printf("[ skim ] %s: %d ->%s\n", v_.name, walk[0], text.c_str());
    const auto last = std::minmax_element(walk.end() - 25, walk.end());
    EXPECT_LE(*last.second - *last.first, 2);
    EXPECT_GE(*last.first, walk[0] + 60);  // to the working point, a little more for the chip
    EXPECT_LT(*last.second, walk[0] + 100);
    k_.setAutoFlag(false);
    run(15, 37.0f);
    accuracyTable(kScenes);
}
INSTANTIATE_TEST_SUITE_P(Revision30, SkimWalk, testing::Values(6));

// Normalisation to a model with T1 = T3, temperatures not a number, a table cut after four
// lines, correction data cut in its header: each stops init with an ERROR line naming camera
// and file; no image is handed out.
TEST_P(UnusableTables, StopInit) {
    const std::string serial = std::to_string(serial_);
    const std::string xmlName = "cali/Cali-" + serial + ".xml";
    const std::string prnName = "cali/Kennlinie-" + serial + "-23-M20-100.prn";
    std::string xml = readFile(xmlName), prn = readFile(prnName);
    if (GetParam() == 7) {
        xml.replace(xml.find("<Normalize>0"), 12, "<Normalize>1");
        xml.replace(xml.find("<T3>100</T3>"), 12, "<T3>25</T3>");
    } else if (GetParam() == 8) {
        for (std::size_t at = 0; (at = prn.find('\t', at)) != std::string::npos;) {
            ++at;
            prn.replace(at, prn.find('\n', at) - at, "nan");
        }
    } else if (GetParam() == 9) {
        prn.resize(prn.find('\n', 60));
    }
    writeFile(xmlName, xml);
    writeFile(prnName, prn);
    const std::string datName = "cali/Cali-" + serial + "-23-M20-100.dat";
    if (GetParam() == 10) {
        writeFile(datName, readFile(datName).substr(0, 10));
    }
    testing::internal::CaptureStderr();
    EXPECT_FALSE(initHid(k_));
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("camera " + serial), std::string::npos) << errors;
    EXPECT_NE(errors.find((GetParam() == 10 ? datName : prnName).substr(5)), std::string::npos)
        << errors;
    EXPECT_EQ(run(10, 25.0f), 0u);
}
INSTANTIATE_TEST_SUITE_P(SpoiltFiles, UnusableTables, testing::Range(7, 11));
