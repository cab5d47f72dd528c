// The simulated camera's physics and the calibration set generated for it: description, formats,
// correction layouts and tables that round-trip the model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimPhysics.h"
#include "common/TestEnv.h"
#include "imgproc/Cali.h"
#include "imgproc/FormatDefinitions.h"
#include "imgproc/TemperatureTable.h"
#include "platform/Strings.h"

namespace {

class CalibrationSetTest : public kelvix_test::TempDirTest {
  protected:
    CalibrationSetTest() : camera_(31337001), writer_(camera_, sim::CalibrationSet::standard()) {}

    std::string bytes(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    sim::SimCamera camera_;
    sim::CalibrationSetWriter writer_;
};

int le16(const std::string& b, std::size_t at) {
    return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8;
}

}  // namespace

TEST_F(CalibrationSetTest, DescriptionAndFormatsLoad) {
    ASSERT_TRUE(writer_.writeAll(dir_));
    EXPECT_EQ(sim::CalibrationSetWriter::fileStem(12345, 23, "tele", -20, 100, 80),
              "12345-23-tele-M20-100-80");

    Cali* cali = Cali::getInstance();
    ASSERT_EQ(cali->readXML(platform::toWide(dir_).c_str(), 31337001), 0);
    ASSERT_EQ(cali->getOpticsCount(), 2);
    CaliOptics wide, tele;
    ASSERT_TRUE(cali->getOpticsData(0, &wide));
    ASSERT_TRUE(cali->getOpticsData(1, &tele));
    EXPECT_EQ(wide.FOV, 23);
    EXPECT_FALSE(wide.SamplePointCali);
    ASSERT_EQ(wide.ranges.size(), 3u);
    EXPECT_EQ(wide.ranges[1].TempLo, 0.0f);
    EXPECT_EQ(wide.ranges[1].TempHi, 250.0f);
    EXPECT_EQ(wide.ranges[1].tableParams.E3, 12000);
    EXPECT_NEAR(wide.ranges[2].tableParams.Lambda, 8.0, 1e-6);
    EXPECT_EQ(tele.Text, L"tele");
    EXPECT_TRUE(tele.SamplePointCali);
    EXPECT_EQ(cali->getMain().FlagCycles, 10);
    EXPECT_EQ(cali->findTempRange(23, L"", 150, 900), 2);

    // Every range has its files under the names the stem rule gives.
    for (const char* name :
         {"Cali-31337001-23-M20-100.dat", "Kennlinie-31337001-23-M20-100.prn",
          "Kennlinie-31337001-23-150-900.prn", "Cali-31337001-6-tele-150-900.dat"}) {
        EXPECT_TRUE(std::ifstream(path(name)).good()) << name;
    }
    EXPECT_FALSE(std::ifstream(path("Kennlinie-31337001-6-tele-150-900.prn")).good());

    std::ifstream formats(path("Formats.def"));
    FormatDefinition def;
    FormatCamera cam;
    cam.hardwareRevision = camera_.hwRevision();
    cam.firmwareRevision = camera_.fwRevision();
    ASSERT_EQ(readFormatDefinitionStream(def, formats, FormatRequest{160, 121, 30.0}, 0, cam),
              S_OK);
    EXPECT_EQ(def.outWidth, 160);
    EXPECT_EQ(def.outHeight, 120);
    ASSERT_EQ(def.subFrameCount, 1);
    EXPECT_EQ(def.subFrames[0].headerWordCount, sim::SimRawLayout::kHeaderWords);
    std::ifstream again(path("Formats.def"));
    cam.hardwareRevision = 2150;  // another camera model finds nothing here
    EXPECT_EQ(readFormatDefinitionStream(def, again, FormatRequest{160, 121, 30.0}, 0, cam),
              E_INVALIDARG);
}

TEST_F(CalibrationSetTest, CorrectionFileLayouts) {
    ASSERT_TRUE(writer_.writeAll(dir_));
    const int n = 160 * 120;
    const std::string go = bytes("Cali-31337001-23-M20-100.dat");
    ASSERT_EQ(go.size(), 12u + 4 + 24 + 12u * n);
    EXPECT_LE(le16(go, 0), 1999);
    EXPECT_EQ(le16(go, 6), 2);
    EXPECT_EQ(le16(go, 12), 1350);  // calibration chip temperature 35 degC, encoded
    // Dead pixels have gain 0 and only they do.
    sim::SimPhysics& physics = sim::SimPhysics::of(camera_);
    const std::size_t plane0 = 12 + 4 + 24;
    int zeros = 0;
    for (int p = 0; p < n; ++p) {
        const bool zero = le16(go, plane0 + 2 * p) == 0;
        zeros += zero;
        EXPECT_EQ(zero, physics.isDead(p));
    }
    EXPECT_EQ(zeros, physics.config().deadPixels);

    const std::string sp = bytes("Cali-31337001-6-tele-150-900.dat");
    const int s = le16(sp, 4);
    ASSERT_EQ(s, 10);
    EXPECT_GE(le16(sp, 0), 2000);
    ASSERT_EQ(sp.size(), 12u + 2 + 2u * s + 2u * s * n);
    EXPECT_EQ(le16(sp, 14), 2500);                 // 150 degC
    EXPECT_EQ(le16(sp, 14 + 2 * (s - 1)), 10000);  // 900 degC
    const std::size_t samples = 14 + 2 * s;
    for (int j = 1; j < s; ++j) {
        EXPECT_GT(le16(sp, samples + 2 * j), le16(sp, samples + 2 * (j - 1)));
    }
}

// Model temperature -> energy -> generated table -> temperature, as the chain builds it.
TEST_F(CalibrationSetTest, TablesRoundTripModelTemperatures) {
    ASSERT_TRUE(writer_.writeAll(dir_));
    for (const sim::SimRangeSpec& r : writer_.set().optics[0].ranges) {
        SCOPED_TRACE(r.tMax);
        SharedParameterBlock shared;
        shared.tMin = shared.tMinExt = r.tMin;
        shared.tMax = shared.tMaxExt = r.tMax;
        TemperatureTable table(&shared);
        const std::string stem =
            sim::CalibrationSetWriter::fileStem(31337001, 23, "", r.tMin, r.tMax, 0);
        ASSERT_EQ(table.loadFile(wpath("Kennlinie-" + stem + ".prn"), false), S_OK);
        TableModel fit;
        ASSERT_EQ(table.fitReferencePoints(fit), S_OK);
        EXPECT_NEAR(fit.lambda, r.model.table.lambda, 0.05);
        ASSERT_EQ(table.buildFromModel(fit, r.tMin, r.tMax, -5.0f, false), S_OK);
        table.applyRadiation(RadiationRecord{}, 1.0f, false);
        for (double t = r.tMin; t <= r.tMax; t += (r.tMax - r.tMin) / 97.0) {
            const double e = r.model.energy(t);
            // The table's own points give the temperature back within 0.1 degC.
            const auto above = std::lower_bound(table.energies.begin(), table.energies.end(), e);
            ASSERT_NE(above, table.energies.end());
            const std::size_t i = above - table.energies.begin();
            ASSERT_GT(i, 0u);
            const double f =
                (e - table.energies[i - 1]) / (table.energies[i] - table.energies[i - 1]);
            const double fromPoints =
                table.temperatures[i - 1] + f * (table.temperatures[i] - table.temperatures[i - 1]);
            EXPECT_NEAR(fromPoints, t, 0.1);
            // The LUT, indexed by whole energies and holding tenths of a degree rounded down,
            // adds at most half an energy count.
            const int index = static_cast<int>(std::lround(e)) + table.energyOffset;
            ASSERT_GE(index, 0);
            ASSERT_LT(index, lut::kSize);
            const double halfCount = 0.5 / (r.model.energy(t + 0.5) - r.model.energy(t - 0.5));
            EXPECT_NEAR(decodeTemperature(table.lut[index], false), t, 0.1 + halfCount) << t;
        }
    }
}

TEST(SimPhysics, FramesHeaderFlagAndDrift) {
    sim::SimCamera camera(4242);
    sim::SimPhysics& physics = sim::SimPhysics::of(camera);
    EXPECT_EQ(&physics, &sim::SimPhysics::of(camera));
    const sim::SimRawLayout& layout = physics.layout();
    std::vector<std::uint16_t> raw(layout.rawWords());
    camera.tempChip = 40.0f;
    camera.tempFlag = 31.5f;
    camera.tempBox = -2.25f;

    physics.beginFlagCycle(3);
    std::vector<std::vector<std::uint16_t>> frames;
    for (int i = 0; i < 4; ++i) {
        physics.nextFrame(raw.data());
        frames.push_back(raw);
    }
    auto byte = [&](const std::vector<std::uint16_t>& f, int k) {
        return (f[k / 2] >> (8 * (k % 2))) & 0xFF;
    };
    EXPECT_EQ(byte(frames[0], 11), 1);
    EXPECT_EQ(byte(frames[2], 11), 1);
    EXPECT_EQ(byte(frames[3], 11), 0);
    EXPECT_EQ(camera.flagState, 0);
    const std::uint32_t counter = byte(frames[2], 21) << 24 | byte(frames[2], 22) << 16 |
                                  byte(frames[2], 23) << 8 | byte(frames[2], 24);
    EXPECT_EQ(counter, 2u);
    const int chip = byte(frames[0], 2) << 8 | byte(frames[0], 3);
    EXPECT_NEAR(86.926 - (chip * 3.3 / 4096) / 0.029096, 40.0, 0.03);
    EXPECT_EQ(static_cast<std::int16_t>(byte(frames[0], 4) << 8 | byte(frames[0], 5)), 31.5 * 128);
    EXPECT_EQ(static_cast<std::int16_t>(byte(frames[0], 7) << 8 | byte(frames[0], 8)), -2.25 * 128);

    // Closed frames show the flag whatever the scene; open frames of a hot scene read higher.
    const int w = layout.width;
    physics.setUniformScene(80.0f);
    physics.beginFlagCycle(1);
    physics.nextFrame(raw.data());
    EXPECT_TRUE(std::equal(raw.begin() + w, raw.end(), frames[0].begin() + w));
    physics.nextFrame(raw.data());
    int checked = 0;
    for (int p = 0; p < physics.pixelCount(); p += 37) {
        if (!physics.isDead(p)) {
            EXPECT_GT(raw[w + p], frames[0][w + p] + 1000);
            ++checked;
        }
    }
    EXPECT_GT(checked, 400);

    // A flag cycle commanded over HID closes the flag at the next frame.
    camera.hid.flagCycles += 1;
    for (int i = 0; i < sim::SimPhysics::kFlagCycleFrames; ++i) {
        physics.nextFrame(raw.data());
        EXPECT_EQ(byte(raw, 11), 1);
    }
    physics.nextFrame(raw.data());
    EXPECT_EQ(byte(raw, 11), 0);

    // Temperatures creep toward a warm camera: barely in a second, most of the way in hours.
    camera.tempBox = 30.0f;
    camera.tempChip = 30.0f;
    physics.advance(1.0);
    EXPECT_LT(camera.tempBox - 30.0f, 0.02f);
    EXPECT_GT(camera.tempChip, 30.0f);
    physics.advance(4 * 3600.0);
    EXPECT_NEAR(camera.tempBox, 38.0f, 0.1f);
    EXPECT_NEAR(camera.tempChip, 48.0f, 0.2f);
}
