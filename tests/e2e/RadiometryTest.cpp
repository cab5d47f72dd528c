#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimHid.h"
#include "SimPhysics.h"
#include "common/SimChannels.h"
#include "kelvix/Kelvix.h"
#include "kelvix/Logger.h"
#include "platform/Paths.h"

namespace {

constexpr unsigned kRate = 9;

// What the imager handed out: the last image, and the blackbody's mean of every image.
struct Delivered {
    std::vector<unsigned short> last;
    std::vector<double> means;
    unsigned w = 0, h = 0;
};

struct Error {
    double mean = 0.0, max = 0.0;
};

// Error against `scene` over the blackbody of the last image, two pixels inside its edge.
Error blackbodyError(const Delivered& d, double scene) {
    Error e;
    int n = 0;
    for (unsigned y = d.h / 4 + 2; y < 3 * d.h / 4 - 2; ++y) {
        for (unsigned x = d.w / 4 + 2; x < 3 * d.w / 4 - 2; ++x, ++n) {
            const double error = (d.last[y * d.w + x] - 1000) * 0.1 - scene;
            e.mean += error;
            e.max = std::max(e.max, std::fabs(error));
        }
    }
    e.mean /= std::max(n, 1);
    return e;
}

void onThermal(unsigned short* t, unsigned w, unsigned h, zol::IRFrameMetadata, void* arg) {
    auto* d = static_cast<Delivered*>(arg);
    d->last.assign(t, t + w * h);
    d->w = w, d->h = h;
    d->means.push_back(blackbodyError(*d, 0.0).mean);
}

// Calibration sets that differ from the simulated camera's usual one, written from the same
// physics, and the cameras they belong to.
struct Variant {
    const char* name;
    bool normalize, lambda;
    double bend;  // energy counts the table lies off the model
    sim::SimRawLayout layout;
    double chipCoefficient;
    float chip;
    int skimBelow = 0;  // steps the calibrated skim lies below the detector's working point
};
const Variant kVariants[] = {
    {"normalize 0, wavelength", false, true, 0.0, {}, 0.002, 40.0f},
    {"normalize 0, no wavelength", false, false, 0.0, {}, 0.002, 40.0f},
    {"normalize 1, wavelength, table off the model", true, true, 100.0, {}, 0.002, 40.0f},
    {"normalize 1, no wavelength, table off the model", true, false, 100.0, {}, 0.002, 40.0f},
    {"raw 134x97: padded rows, header last", false, true, 0.0, {128, 96, 6, true}, 0.002, 40.0f},
    {"chip 47 degC (calibrated at 35), gain coefficient 0.004", false, true, 0.0, {}, 0.004, 47.0f},
};

class RadiometryTest : public kelvix_test::VirtualClockTest {
  protected:
    void SetUp() override {
        VirtualClockTest::SetUp();
        zol::Logger::getInstance()->configure("radiometry", zol::Logger::ModeConsole, 0,
                                              zol::Logger::Error);
    }
    void TearDown() override {
        params_.releaseStrings();
        VirtualClockTest::TearDown();
    }

    void plugIn(std::uint32_t serial, const Variant& v, std::uint16_t hw = 3100,
                std::uint16_t fw = 2250) {
        camera_ = std::make_shared<sim::SimCamera>(serial, hw, fw);
        sim::SimPhysics::Config config;
        config.seed = serial;
        config.layout = v.layout;
        config.chipCoefficient = v.chipCoefficient;
        camera_->physics = std::make_shared<sim::SimPhysics>(*camera_, config);
        camera_->tempChip = v.chip;
        hid_.addCamera(camera_);
        sim::CalibrationSet set = sim::CalibrationSet::standard();
        set.streamRates = {kRate};
        for (sim::SimRangeSpec& r : set.optics[0].ranges) {
            r.normalize = v.normalize;
            r.tableParamsLambda = v.lambda;
            r.model.bend = v.bend;
            r.skim = camera_->physics->centredSkim(r.model, r.tMin, r.tMax) - v.skimBelow;
        }
        platform::createDirectory(wpath("cali"));
        ASSERT_TRUE(sim::CalibrationSetWriter(*camera_, set).writeAll(path("cali")));
        kelvix_test::simImagerParams(params_, serial, wpath("cali"), kRate);
        raw_.resize(camera_->physics->layout().rawWords());
    }
    bool init() {
        imager_.setThermalFrameCallback(onThermal);
        const sim::SimRawLayout& l = camera_->physics->layout();
        return imager_.init(&params_, kRate, l.rawWidth(), l.rawHeight(), true);
    }
    void feed(int frames) {
        for (int i = 0; i < frames; ++i) {
            clock_.advanceMs(1000.0 / kRate);
            camera_->physics->nextFrame(raw_.data());
            imager_.process(reinterpret_cast<unsigned char*>(raw_.data()), &delivered_);
        }
    }
    // One row of the accuracy table: the blackbody at `scene` in front of a gradient.
    void row(float scene) {
        camera_->physics->setBlackbodyScene(scene, 15.0f, 45.0f);
        feed(3);
        const Error e = blackbodyError(delivered_, scene);
        char text[64];
        std::snprintf(text, sizeof text, "  %5.0f degC: mean %+.3f, max %.3f\n", scene, e.mean,
                      e.max);
        table_ += text;
        EXPECT_LT(std::fabs(e.mean), 0.2) << scene;
        EXPECT_LT(e.max, 0.3) << scene;
    }
    void accuracyTable(const char* name) {
        for (float scene : {0.0f, 25.0f, 37.0f, 60.0f, 100.0f, 120.0f}) {
            row(scene);
        }
        std::printf("[ accuracy ] %s\n%s", name, table_.c_str());
    }

    sim::SimHidBackend hid_;
    sim::ScopedHidBackend scopedHid_{hid_};
    std::shared_ptr<sim::SimCamera> camera_;
    zol::IRDeviceParams params_;
    std::vector<std::uint16_t> raw_;
    Delivered delivered_;
    std::string table_;
    zol::Kelvix imager_;
};

class RadiometryVariants : public RadiometryTest, public testing::WithParamInterface<int> {};

}  // namespace

TEST_P(RadiometryVariants, EverySceneReadsTrue) {
    const Variant& v = kVariants[GetParam()];
    plugIn(31350000 + GetParam(), v);
    ASSERT_TRUE(init());
    // Nothing before the first image taken after a flag: every image handed out is real.
    camera_->physics->setBlackbodyScene(25.0f, 15.0f, 45.0f);
    feed(60);
    ASSERT_FALSE(delivered_.means.empty());
    for (double m : delivered_.means) {
        EXPECT_NEAR(m, 25.0, 0.2);
    }
    accuracyTable(v.name);
    // Range changes with the scene steady: no image handed out meanwhile reads it wrong.
    const auto steadyChange = [this](int tMin, int tMax, float scene) {
        camera_->physics->setBlackbodyScene(scene, 15.0f, 45.0f);
        feed(3);
        delivered_.means.clear();
        ASSERT_TRUE(imager_.setTempRange(tMin, tMax));
        feed(40);
        ASSERT_EQ(delivered_.means.size(), 40u);
        for (double m : delivered_.means) {
            EXPECT_NEAR(m, scene, 0.5) << tMin << ".." << tMax;
        }
    };
    steadyChange(0, 250, 60.0f);
    row(200.0f);
    std::printf("%s", table_.substr(table_.rfind('\n', table_.size() - 2) + 1).c_str());
    steadyChange(-20, 100, 45.0f);
}

INSTANTIATE_TEST_SUITE_P(CalibrationSets, RadiometryVariants,
                         testing::Range(0, static_cast<int>(std::size(kVariants))));

// Flags every 3 s at revision 30, the chip 10 degrees above its calibration and the calibrated
// skim 60 steps off: the skim adjustment takes the detector to its working point and stays
// there, and no image read meanwhile is off the scene.
TEST_F(RadiometryTest, SkimSettlesAtRevision30) {
    plugIn(31350100, Variant{"", false, true, 0.0, {}, 0.002, 45.0f, 60}, 30, 3000);
    params_.autoFlag = 1;
    params_.maxInterval = 3.0f;
    ASSERT_TRUE(init());
    camera_->physics->setBlackbodyScene(37.0f, 15.0f, 45.0f);
    feed(1190);  // the adjustment starts after 1201 frames
    delivered_.means.clear();
    std::vector<int> walk{camera_->hid.skim};
    std::string text = std::to_string(walk[0]);
    while (walk.size() <= 50) {
        const int cycles = camera_->hid.flagCycles;
        while (camera_->hid.flagCycles == cycles) {
            feed(1);
        }
        feed(12);  // the cycle's flag frames, with the step
        walk.push_back(camera_->hid.skim);
        text += " " + std::to_string(walk.back());
    }
    std::printf("[ skim ] over 50 flags: %s\n", text.c_str());
    for (double m : delivered_.means) {
        EXPECT_NEAR(m, 37.0, 0.2);
    }
    const auto last = std::minmax_element(walk.end() - 25, walk.end());
    EXPECT_LE(*last.second - *last.first, 2);
    EXPECT_GT(*last.first, walk[0]);  // the warmer chip raised the dark level
    EXPECT_LT(*last.second, walk[0] + 100);
    imager_.setAutoFlag(false);
    feed(15);
    accuracyTable("revision 30 after the skim walk, chip 45 degC");
}

// Tables the chain cannot use: each stops init with an ERROR line naming camera and table. A
// range change to such a table is refused and the last good image stays.
TEST_F(RadiometryTest, UnusableTablesStopInitAndRangeChanges) {
    const Variant plain{"", false, true, 0.0, {}, 0.002, 40.0f};
    const std::vector<void (*)(std::string&, std::string&)> breaks{
        [](std::string& xml, std::string&) {  // Normalize 1 with T1 = T3: no model
            xml.replace(xml.find("<Normalize>0"), 12, "<Normalize>1");
            xml.replace(xml.find("<T3>100</T3>"), 12, "<T3>25</T3>");
        },
        [](std::string&, std::string& prn) {
            prn.clear();
            for (int e = 1000; e < 3000; ++e) {
                prn += std::to_string(e) + " nan\n";
            }
        },
        [](std::string&, std::string& prn) { prn.resize(prn.find('\n', 60)); },  // cut
    };
    for (std::size_t i = 0; i <= breaks.size(); ++i) {
        const std::string serial = std::to_string(31350200 + i);
        plugIn(31350200 + static_cast<std::uint32_t>(i), plain);
        const std::string xmlName = "cali/Cali-" + serial + ".xml";
        const std::string prnName = "cali/Kennlinie-" + serial + "-23-M20-100.prn";
        std::string xml = readFile(xmlName), prn = readFile(prnName);
        if (i == breaks.size()) {
            break;
        }
        breaks[i](xml, prn);
        writeFile(xmlName, xml);
        writeFile(prnName, prn);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(init()) << i;
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_NE(errors.find("camera " + serial), std::string::npos) << errors;
        EXPECT_NE(errors.find(prnName.substr(5)), std::string::npos) << errors;
        feed(10);
        EXPECT_TRUE(delivered_.means.empty());
    }
    ASSERT_TRUE(init());
    camera_->physics->setBlackbodyScene(50.0f, 15.0f, 45.0f);
    feed(60);
    writeFile("cali/Kennlinie-31350203-23-0-250.prn", "100 nan\n");
    EXPECT_FALSE(imager_.setTempRange(0, 250));
    delivered_.means.clear();
    feed(30);
    ASSERT_EQ(delivered_.means.size(), 30u);
    for (double m : delivered_.means) {
        EXPECT_NEAR(m, 50.0, 0.2);
    }
}
