#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "sdk/KelvixFixture.h"

namespace {

// What the imager handed out: the last image, and the blackbody's mean of every image.
struct Delivered {
    std::vector<unsigned short> last;
    std::vector<double> means;
    unsigned w = 0, h = 0;
};

// Mean and largest error against `scene` over the blackbody, two pixels inside its edge.
std::pair<double, double> blackbodyError(const Delivered& d, double scene) {
    double sum = 0.0, max = 0.0;
    int n = 0;
    for (unsigned y = d.h / 4 + 2; y < 3 * d.h / 4 - 2; ++y) {
        for (unsigned x = d.w / 4 + 2; x < 3 * d.w / 4 - 2; ++x, ++n) {
            const double e = (d.last[y * d.w + x] - 1000) * 0.1 - scene;
            sum += e;
            max = std::max(max, std::fabs(e));
        }
    }
    return {sum / std::max(n, 1), max};
}

void onThermal(unsigned short* t, unsigned w, unsigned h, zol::IRFrameMetadata, void* arg) {
    auto* d = static_cast<Delivered*>(arg);
    d->last.assign(t, t + w * h);
    d->w = w, d->h = h;
    d->means.push_back(blackbodyError(*d, 0.0).first);
}

// Calibration sets that differ from the simulated camera's usual one, each written from the
// physics of its camera, and files spoilt by hand.
struct Variant {
    const char* name;
    bool normalize, lambda;
    double bend;  // energy counts the table lies off the model halfway between T1 and T3
    sim::SimRawLayout layout;
    double chipCoefficient = 0.002;
    float chip = 40.0f;
    std::uint16_t hwRev = 3100, fwRev = 2250;
    int skimBelow = 0;  // steps the calibrated skim lies below the detector's working point
    void (*spoil)(std::string& xml, std::string& prn) = nullptr;
};
const Variant kVariants[] = {
    {"normalize 0, wavelength", false, true, 0.0, {}},
    {"normalize 0, no wavelength", false, false, 0.0, {}},
    {"normalize 1, wavelength, table off the model", true, true, 100.0, {}},
    {"normalize 1, no wavelength, table off the model", true, false, 100.0, {}},
    {"raw 134x97: padded rows, header last", false, true, 0.0, {128, 96, 6, true}},
    {"chip 47 degC (calibrated at 35), gain coefficient 0.004", false, true, 0.0, {}, 0.004, 47},
    {"revision 30, chip 45 degC, skim 60 steps off", false, true, 0.0, {}, 0.002, 45, 30, 3000, 60},
    {"normalize 1 with T1 = T3",
     false,
     true,
     0.0,
     {},
     0.002,
     40,
     3100,
     2250,
     0,
     [](std::string& xml, std::string&) {
         xml.replace(xml.find("<Normalize>0"), 12, "<Normalize>1");
         xml.replace(xml.find("<T3>100</T3>"), 12, "<T3>25</T3>");
     }},
    {"temperatures not a number",
     false,
     true,
     0.0,
     {},
     0.002,
     40,
     3100,
     2250,
     0,
     [](std::string&, std::string& prn) {
         prn.clear();
         for (int e = 1000; e < 3000; ++e) {
             prn += std::to_string(e) + " nan\n";
         }
     }},
    {"table cut after four lines",
     false,
     true,
     0.0,
     {},
     0.002,
     40,
     3100,
     2250,
     0,
     [](std::string&, std::string& prn) { prn.resize(prn.find('\n', 60)); }},
};

class Radiometry : public kelvix_test::KelvixTest, public testing::WithParamInterface<int> {
  protected:
    Radiometry() : v_(kVariants[GetParam()]) {
        serial_ = 31350000 + GetParam();
        hwRev_ = v_.hwRev, fwRev_ = v_.fwRev;
        config_.layout = v_.layout;
        config_.chipCoefficient = v_.chipCoefficient;
    }
    void SetUp() override {
        KelvixTest::SetUp();
        camera_->tempChip = v_.chip;
        k_.setThermalFrameCallback(onThermal);
    }
    sim::CalibrationSet set() const override {
        sim::CalibrationSet s = sim::CalibrationSet::standard();
        s.streamRates = {kRate};
        for (sim::SimRangeSpec& r : s.optics[0].ranges) {
            r.normalize = v_.normalize;
            r.tableParamsLambda = v_.lambda;
            r.model.bend = v_.bend;
            r.skim = camera_->physics->centredSkim(r.model, r.tMin, r.tMax) - v_.skimBelow;
        }
        return s;
    }
    void run(int frames) {
        for (int i = 0; i < frames; ++i) {
            feed(k_, &delivered_);
        }
    }
    // One row of the accuracy table: the blackbody at `scene` in front of a gradient.
    void row(float scene) {
        physics().setBlackbodyScene(scene, 15.0f, 45.0f);
        run(3);
        const auto [mean, max] = blackbodyError(delivered_, scene);
        char text[64];
        std::snprintf(text, sizeof text, "  %5.0f degC: mean %+.3f, max %.3f\n", scene, mean, max);
        std::printf("%s%s",
                    table_.empty() ? (std::string("[ accuracy ] ") + v_.name + "\n").c_str() : "",
                    text);
        table_ += text;
        EXPECT_LT(std::fabs(mean), 0.2) << scene;
        EXPECT_LT(max, 0.3) << scene;
    }
    // Frames of a steady scene: every image handed out reads it. Returns how many there were.
    std::size_t expectSteady(int frames, float scene, double within) {
        delivered_.means.clear();
        run(frames);
        for (double m : delivered_.means) {
            EXPECT_NEAR(m, scene, within);
        }
        return delivered_.means.size();
    }

    const Variant& v_;
    Delivered delivered_;
    std::string table_;
    zol::Kelvix k_;
};

class RadiometryVariants : public Radiometry {};
class SkimWalk : public Radiometry {};
class UnusableTables : public Radiometry {};

}  // namespace

TEST_P(RadiometryVariants, EverySceneReadsTrue) {
    ASSERT_TRUE(initHid(k_));
    // Nothing before the first image taken after a flag: every image handed out is real.
    physics().setBlackbodyScene(25.0f, 15.0f, 45.0f);
    EXPECT_GT(expectSteady(60, 25.0f, 0.2), 30u);
    for (float scene : {0.0f, 25.0f, 37.0f, 60.0f, 100.0f, 120.0f}) {
        row(scene);
    }
    // Range changes with the scene steady: no image handed out meanwhile reads it wrong.
    ASSERT_TRUE(k_.setTempRange(0, 250));
    EXPECT_EQ(expectSteady(40, 120.0f, 0.5), 40u);
    row(200.0f);
    physics().setBlackbodyScene(45.0f, 15.0f, 45.0f);
    run(3);
    ASSERT_TRUE(k_.setTempRange(-20, 100));
    EXPECT_EQ(expectSteady(40, 45.0f, 0.5), 40u);
    // A range whose table turns out unusable is refused; the last image stays.
    writeFile("cali/Kennlinie-" + std::to_string(serial_) + "-23-0-250.prn", "100 nan\n");
    EXPECT_FALSE(k_.setTempRange(0, 250));
    EXPECT_EQ(expectSteady(30, 45.0f, 0.2), 30u);
}
INSTANTIATE_TEST_SUITE_P(CalibrationSets, RadiometryVariants, testing::Range(0, 6));

// Flags every 3 s: the skim adjustment takes the detector to its working point and stays there,
// and no image read meanwhile is off the scene.
TEST_P(SkimWalk, SettlesWithinFiftyFlags) {
    params_.autoFlag = 1;
    params_.maxInterval = 3.0f;
    ASSERT_TRUE(initHid(k_));
    physics().setBlackbodyScene(37.0f, 15.0f, 45.0f);
    run(1190);  // the adjustment starts after 1201 frames
    delivered_.means.clear();
    ASSERT_EQ(camera_->hid.skim, set().optics[0].ranges[0].skim);
    std::vector<int> walk{camera_->hid.skim};
    std::string text = std::to_string(walk[0]);
    while (walk.size() <= 50) {
        const int cycles = flagCycles();
        while (flagCycles() == cycles) {
            run(1);
        }
        run(12);  // the cycle's flag frames, with the step
        walk.push_back(camera_->hid.skim);
        text += " " + std::to_string(walk.back());
    }
    std::printf("[ skim ] %s, over 50 flags: %s\n", v_.name, text.c_str());
    for (double m : delivered_.means) {
        EXPECT_NEAR(m, 37.0, 0.2);
    }
    const auto last = std::minmax_element(walk.end() - 25, walk.end());
    EXPECT_LE(*last.second - *last.first, 2);
    EXPECT_GE(*last.first, walk[0] + 60);  // up to the working point, and on for the warm chip
    EXPECT_LT(*last.second, walk[0] + 100);
    k_.setAutoFlag(false);
    run(15);
    for (float scene : {0.0f, 25.0f, 37.0f, 60.0f, 100.0f, 120.0f}) {
        row(scene);
    }
}
INSTANTIATE_TEST_SUITE_P(Revision30, SkimWalk, testing::Values(6));

// Each stops init with an ERROR line naming camera and table; no image is handed out.
TEST_P(UnusableTables, StopInit) {
    const std::string serial = std::to_string(serial_);
    const std::string xmlName = "cali/Cali-" + serial + ".xml";
    const std::string prnName = "cali/Kennlinie-" + serial + "-23-M20-100.prn";
    std::string xml = readFile(xmlName), prn = readFile(prnName);
    v_.spoil(xml, prn);
    writeFile(xmlName, xml);
    writeFile(prnName, prn);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(initHid(k_));
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("ERROR [Kelvix"), std::string::npos);
    EXPECT_NE(errors.find("camera " + serial), std::string::npos) << errors;
    EXPECT_NE(errors.find(prnName.substr(5)), std::string::npos) << errors;
    run(10);
    EXPECT_TRUE(delivered_.means.empty());
}
INSTANTIATE_TEST_SUITE_P(SpoiltFiles, UnusableTables, testing::Range(7, 10));
