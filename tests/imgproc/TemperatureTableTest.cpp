// Temperature tables: the model build and fit, radiation tables, the table-file rules and the
// temperature encodings.
#include "imgproc/TemperatureTable.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "common/TestEnv.h"

namespace {

// A long-wave camera model: 5000 counts at 25 degC, 9000 at 100 degC.
TableModel sampleModel() {
    TableModel m;
    m.T1 = 25.0;
    m.T3 = 100.0;
    m.E1 = 5000;
    m.E3 = 9000;
    m.lambda = 9.5;
    return m;
}

std::string tableText(int firstEnergy, int lines, float t0 = 20.0f, float step = 0.5f) {
    std::ostringstream out;
    for (int i = 0; i < lines; ++i) {
        out << (firstEnergy + i) << "\t" << (t0 + step * i) << "\n";
    }
    return out.str();
}

class TemperatureTableFileTest : public kelvix_test::TempDirTest {
  protected:
    TemperatureTableFileTest() {
        shared_.tMin = shared_.tMinExt = -20.0f;
        shared_.tMax = shared_.tMaxExt = 100.0f;
    }
    SharedParameterBlock shared_;
};

}  // namespace

TEST(TemperatureEncoding, StandardAndCentiDegreeForms) {
    EXPECT_EQ(encodeTemperature(25.0f, false), 1250);
    EXPECT_EQ(encodeTemperature(0.0f, false), 1000);
    EXPECT_EQ(encodeTemperature(-100.0f, false), 0);
    EXPECT_EQ(encodeTemperature(36.96f, false), 1370);  // 1369.6 + 0.5 truncates to 1370
    EXPECT_EQ(encodeTemperature(25.0f, true), 2500);
    EXPECT_EQ(encodeTemperature(-12.5f, true), -1250);
    EXPECT_EQ(encodeTemperature(-0.004f, true), 0);
    EXPECT_NEAR(decodeTemperature(1250, false), 25.0, 1e-9);
    EXPECT_NEAR(decodeTemperature(-1250, true), -12.5, 1e-9);
    // Out-of-range and NaN inputs saturate instead of being undefined.
    EXPECT_EQ(truncToInt32(1e30), INT32_MAX);
    EXPECT_EQ(truncToInt32(-1e30), INT32_MIN);
    EXPECT_EQ(truncToInt32(std::nan("")), 0);
}

TEST_F(TemperatureTableFileTest, LineCountRules) {
    TemperatureTable t(&shared_);
    EXPECT_EQ(t.loadFile(wpath("missing.prn"), false), E_ACCESSDENIED);
    EXPECT_EQ(t.pointCount, 0);

    writeFile("seven.prn", tableText(0, 7));
    EXPECT_EQ(t.loadFile(wpath("seven.prn"), false), E_FAIL);
    EXPECT_EQ(t.pointCount, 0);

    writeFile("eight.prn", tableText(0, 8));
    EXPECT_EQ(t.loadFile(wpath("eight.prn"), false), S_OK);
    EXPECT_EQ(t.pointCount, 8);
    EXPECT_EQ(t.rawTemperatures[1], 1205);
    EXPECT_EQ(t.rawMin, encodeTemperature(-45.0f, false));
    EXPECT_EQ(t.rawMax, encodeTemperature(125.0f, false));

    // A ninth line without its LF is not read; CR LF endings parse.
    writeFile("nine.prn", tableText(0, 8) + "8 99.0");
    EXPECT_EQ(t.loadFile(wpath("nine.prn"), false), S_OK);
    EXPECT_EQ(t.pointCount, 8);
    writeFile("crlf.prn", "0 1.0\r\n1 2.0\r\n2 3\r\n3 4\r\n4 5\r\n5 6\r\n6 7\r\n7 8\r\n");
    EXPECT_EQ(t.loadFile(wpath("crlf.prn"), false), S_OK);
    EXPECT_FLOAT_EQ(t.temperatures[7], 8.0f);
}

TEST_F(TemperatureTableFileTest, BadLinesAndFirstEnergy) {
    TemperatureTable t(&shared_);
    // Line 3 does not parse: it keeps index 3 with zero values, the rest stays in step.
    std::string text = tableText(0, 3) + "garbage\n" + "4 22.0\n5 22.5\n6 23.0\n7 23.5\n8 24\n";
    writeFile("bad.prn", text);
    ASSERT_EQ(t.loadFile(wpath("bad.prn"), false), S_OK);
    ASSERT_EQ(t.pointCount, 9);
    EXPECT_EQ(t.energies[3], 0.0);
    EXPECT_EQ(t.temperatures[3], 0.0f);
    EXPECT_EQ(t.energies[4], 4.0);

    // Unparsable lines at the end are dropped rather than becoming zero points.
    writeFile("tail.prn", tableText(0, 8) + "\n\n");
    ASSERT_EQ(t.loadFile(wpath("tail.prn"), false), S_OK);
    EXPECT_EQ(t.pointCount, 8);
    writeFile("short.prn", tableText(0, 7) + "\n\n");
    EXPECT_EQ(t.loadFile(wpath("short.prn"), false), E_FAIL);

    // A first energy of 5 gains points 0..4 holding the first temperature.
    writeFile("five.prn", tableText(5, 8));
    ASSERT_EQ(t.loadFile(wpath("five.prn"), false), S_OK);
    EXPECT_EQ(t.pointCount, 13);
    EXPECT_EQ(t.energyOffset, 0);
    EXPECT_EQ(t.firstEnergyNeg, 0);
    EXPECT_EQ(t.energies[0], 0.0);
    EXPECT_EQ(t.energies[5], 5.0);
    EXPECT_FLOAT_EQ(t.temperatures[0], 20.0f);
    EXPECT_EQ(t.rawTemperatures[4], 1200);

    // A first energy outside the LUT domain would ask for an unbounded extension.
    writeFile("huge.prn", tableText(2000000000, 8));
    EXPECT_EQ(t.loadFile(wpath("huge.prn"), false), E_FAIL);
    EXPECT_EQ(t.pointCount, 0);
    writeFile("low.prn", tableText(-3001, 8));
    EXPECT_EQ(t.loadFile(wpath("low.prn"), false), E_FAIL);
    writeFile("neg.prn", tableText(-100, 8));
    ASSERT_EQ(t.loadFile(wpath("neg.prn"), false), S_OK);
    EXPECT_EQ(t.firstEnergyNeg, 100);
    EXPECT_EQ(t.pointCount, 8);
}

TEST(TemperatureTable, ModelBuildAndReferenceFit) {
    struct Case {
        float tMin, tMax;
        double r1, r2, r3;
    };
    const Case cases[] = {{-20, 100, 25, 50, 100},
                          {0, 250, 25, 100, 200},
                          {150, 900, 200, 500, 900},
                          {-20, 120, -20, 50, 120}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tMax);
        SharedParameterBlock shared;
        shared.tMin = shared.tMinExt = c.tMin;
        shared.tMax = shared.tMaxExt = c.tMax;
        TemperatureTable t(&shared);
        TableModel m = sampleModel();
        if (c.tMin == 0) {
            m.T3 = 200, m.E1 = 4000, m.E3 = 12000;
        } else if (c.tMin == 150) {
            m.T1 = 200, m.T3 = 900, m.E1 = 3000, m.E3 = 16000, m.lambda = 4.0;
        }
        ASSERT_EQ(t.buildFromModel(m, c.tMin, c.tMax, -5.0f, false), S_OK);
        EXPECT_EQ(t.energyOffset, 0);
        EXPECT_EQ(t.firstEnergyNeg, 0);
        TableModel fit;
        ASSERT_EQ(t.fitReferencePoints(fit), S_OK);
        EXPECT_EQ(t.valid, 1);
        EXPECT_EQ(t.refT1, c.r1);
        EXPECT_EQ(t.refT2, c.r2);
        EXPECT_EQ(t.refT3, c.r3);
        // The fit finds the wavelength the table was made with.
        EXPECT_NEAR(fit.lambda, m.lambda, 0.05);
    }
}

TEST(TemperatureTable, ModelBuildRejectsBadModels) {
    SharedParameterBlock shared;
    shared.tMin = shared.tMinExt = -20;
    shared.tMax = shared.tMaxExt = 100;
    TemperatureTable t(&shared);
    TableModel m = sampleModel();
    m.T3 = m.T1;
    EXPECT_EQ(t.buildFromModel(m, -20, 100, -5, false), E_FAIL);
    m = sampleModel();
    m.lambda = std::nan("");
    EXPECT_EQ(t.buildFromModel(m, -20, 100, -5, false), E_FAIL);
    m.lambda = 0.0;
    EXPECT_EQ(t.buildFromModel(m, -20, 100, -5, false), E_FAIL);
    m = sampleModel();
    std::swap(m.E1, m.E3);  // falling energies
    EXPECT_EQ(t.buildFromModel(m, -20, 100, -5, false), E_FAIL);
    EXPECT_EQ(t.pointCount, 0);
    EXPECT_EQ(t.valid, 0);

    // Equal reference energies (a flat table) fail the fit and drop the points.
    ASSERT_EQ(t.buildFromModel(sampleModel(), -20, 100, -5, false), S_OK);
    std::fill(t.energies.begin(), t.energies.end(), 7.0);
    TableModel fit;
    EXPECT_EQ(t.fitReferencePoints(fit), E_FAIL);
    EXPECT_EQ(t.pointCount, 0);
}

TEST(TemperatureTable, RadiationLut) {
    SharedParameterBlock shared;
    shared.tMin = shared.tMinExt = -20;
    shared.tMax = shared.tMaxExt = 100;
    TemperatureTable t(&shared);
    RadiationRecord r;
    t.applyRadiation(r, 1.0f, false);
    EXPECT_EQ(t.energyOffset, 3000);
    EXPECT_EQ(t.lut[0], -3000);
    EXPECT_EQ(t.lut[23479], 20479);

    ASSERT_EQ(t.buildFromModel(sampleModel(), -20, 100, -5, false), S_OK);
    for (float ambient : {-10.0f, 23.0f, 80.0f}) {
        r.ambient = ambient;
        t.applyRadiation(r, 1.0f, false);
        for (int i = 0; i < lut::kSize - 2; i += 97) {
            ASSERT_EQ(t.lut[i], std::clamp(t.energyToRaw(i), t.rawMin - 1, t.rawMax + 1)) << i;
        }
    }
    EXPECT_EQ(t.lut[lut::kSize - 1], t.lut[lut::kSize - 3]);
    EXPECT_EQ(t.lut[lut::kSize - 2], t.lut[lut::kSize - 3]);

    // Emissivity below 1: a measured energy above ambient maps to a hotter object.
    r.ambient = 20.0f;
    t.applyRadiation(r, 0.5f, false);
    const int e50 = static_cast<int>(t.temperatureToEnergy(50.0f)) + t.energyOffset;
    EXPECT_GT(t.lut[e50], encodeTemperature(50.0f, false) + 100);

    const std::vector<std::int16_t> atTenth = (t.applyRadiation(r, 0.1f, false), t.lut);
    t.applyRadiation(r, 0.05f, false);
    EXPECT_EQ(t.lut, atTenth);
    const std::vector<std::int16_t> atMax = (t.applyRadiation(r, 1.1f, false), t.lut);
    t.applyRadiation(r, 1.3f, false);
    EXPECT_EQ(t.lut, atMax);
    EXPECT_EQ(t.generation, 8);
}

TEST(TemperatureTable, RisingStartAndNormalization) {
    SharedParameterBlock shared;
    shared.tMin = shared.tMinExt = 0;
    shared.tMax = shared.tMaxExt = 250;
    TemperatureTable t(&shared);
    float start = 0;
    EXPECT_EQ(t.findRisingStart(start), E_FAIL);

    // A smaller step ends the first run, equal steps keep it ended, then ten growing steps.
    t.temperatures = {0, 1, 1.5f, 2, 2.5f, 3};
    float step = 0.5f;
    for (int i = 0; i < 10; ++i) {
        step += 0.5f;
        t.temperatures.push_back(t.temperatures.back() + step);
    }
    t.pointCount = static_cast<int>(t.temperatures.size());
    ASSERT_EQ(t.findRisingStart(start), S_OK);
    EXPECT_EQ(start, 4.0f);  // the point after the first growing step

    t.temperatures.pop_back();  // nine growing steps are not enough
    t.pointCount -= 1;
    EXPECT_EQ(t.findRisingStart(start), S_FALSE);
    EXPECT_EQ(start, 0.0f);

    ASSERT_EQ(t.buildFromModel(sampleModel(), -20, 100, -5, false), S_OK);
    std::unique_ptr<std::int16_t[]> lut;
    int count = 0, offset = -1;
    EXPECT_FALSE(t.buildNormalizationLut(sampleModel(), -20, 100, false, lut, nullptr, &offset));
    ASSERT_TRUE(t.buildNormalizationLut(sampleModel(), -20, 100, false, lut, &count, &offset));
    EXPECT_EQ(count, std::min(t.pointCount, lut::kSize));
    EXPECT_EQ(offset, 0);
    // Same model on both sides: each point above the extension maps onto its own energy.
    for (int i = 4000; i < count; i += 211) {
        EXPECT_NEAR(lut[i], t.energies[i], 1.0) << i;
    }
}

TEST_F(TemperatureTableFileTest, FitsOnlyTablesThatReachAndFollowTheirReferences) {
    shared_.tMin = shared_.tMinExt = -40.0f;  // references -40, 10, 60
    shared_.tMax = shared_.tMaxExt = 60.0f;
    // Energies growing faster than the temperature, as a camera's do: from exactly -40 degC (the
    // extension below repeats it) or a degree lower, both fit alike; ending at 59 degC or
    // straight (no wavelength searched fits it) is refused.
    const struct {
        int from, to, bend;
        double lambda;
    } cases[] = {{0, 100, 1, 8.156}, {-1, 100, 1, 8.156}, {0, 99, 1, 0}, {0, 100, 0, 0}};
    for (const auto& c : cases) {
        std::ostringstream text;
        for (int i = c.from; i <= c.to; ++i) {
            text << 1143 + i * (c.bend * i + 40) << "\t" << i - 40 << "\n";
        }
        writeFile("t.prn", text.str());
        TemperatureTable t(&shared_);
        TableModel fit;
        ASSERT_EQ(t.loadFile(wpath("t.prn"), false), S_OK);
        EXPECT_EQ(t.fitReferencePoints(fit), c.lambda > 0 ? S_OK : E_FAIL) << c.from << c.to;
        EXPECT_NEAR(fit.lambda, c.lambda, 0.01);
        EXPECT_EQ(t.temperatureToEnergy(-40.0f), c.lambda > 0 ? 1143.0f : 0.0f);
    }
}
