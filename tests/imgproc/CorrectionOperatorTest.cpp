// The correction operator: gain and offset planes of every spread, limits, broken files,
// sample-point files and dead-pixel repair.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "imgproc/Cali.h"
#include "imgproc/OpCorr.h"
#include "imgproc/OpTestSupport.h"
#include "platform/Strings.h"

namespace {

struct CorrFile {
    std::uint16_t version = 1000;
    std::uint16_t fieldStart = 1;
    std::uint16_t fieldCount = 1;
    std::int16_t extraCount = 2;
    std::uint32_t camera = 777;
    std::vector<std::uint16_t> extra{1350, 0};
    std::vector<std::uint16_t> body;

    std::string bytes() const {
        std::string out;
        auto put16 = [&out](std::uint16_t v) {
            out.push_back(static_cast<char>(v & 0xFF));
            out.push_back(static_cast<char>(v >> 8));
        };
        put16(version);
        put16(fieldStart);
        put16(fieldCount);
        put16(static_cast<std::uint16_t>(extraCount));
        put16(static_cast<std::uint16_t>(camera));
        put16(static_cast<std::uint16_t>(camera >> 16));
        for (std::uint16_t w : extra) {
            put16(w);
        }
        for (std::uint16_t w : body) {
            put16(w);
        }
        return out;
    }
};

// Gain-offset body: shifts, bases and six planes; plane 0 = 1 << 14 (gain 1.0) unless given.
std::vector<std::uint16_t> gainOffsetBody(int pixels, std::uint16_t gain0 = 1 << 14) {
    std::vector<std::uint16_t> b = {14, 20, 0, 0, 16, 0, 0, 0, 0, 0, 0, 100};
    b.insert(b.end(), pixels, gain0);
    b.insert(b.end(), 3 * pixels, 0);
    b.insert(b.end(), pixels, 0);    // no drift factor
    b.insert(b.end(), pixels, 130);  // offset 130 - 100 = 30
    return b;
}

class CorrectionTest : public kelvix_test::VirtualClockTest {
  protected:
    void SetUp() override {
        VirtualClockTest::SetUp();
        dirW_ = platform::toWide(dir_);
        shared_.serial = 777;
        shared_.fov = 23;
        shared_.tMin = -20.0f;
        shared_.tMax = 100.0f;
        shared_.tableDirectory = dirW_.c_str();
        shared_.hardwareRevision = 3100;
    }

    // Builds source -> correction -> sink for a w x h frame.
    void build(int w, int h) {
        source_ = std::make_unique<optest::SourceOp>(&shared_, w, h);
        corr_ = std::make_unique<OpCorr>(source_.get(), &shared_, Cali::getInstance());
        sink_ = std::make_unique<optest::SinkOp>(corr_.get(), &shared_);
        ASSERT_EQ(source_->start(), S_OK);
    }
    void writeCorrection(const CorrFile& f) { writeFile("Cali-777-23-M20-100.dat", f.bytes()); }
    std::int16_t out(int i) const {
        return reinterpret_cast<const std::int16_t*>(corr_->frame->pixels)[i];
    }

    std::wstring dirW_;
    SharedParameterBlock shared_;
    std::unique_ptr<optest::SourceOp> source_;
    std::unique_ptr<OpCorr> corr_;
    std::unique_ptr<optest::SinkOp> sink_;
};

}  // namespace

TEST_F(CorrectionTest, WindowsFollowTheFramePeriod) {
    build(4, 4);
    EXPECT_EQ(corr_->getWindow(), 15);
    EXPECT_EQ(corr_->getFramesIn5s(), 150.0f);
    source_->frame->format->avgTimePerFrame = 0;  // unknown: taken as 10 Hz
    ASSERT_EQ(corr_->init(source_.get()), S_OK);
    EXPECT_EQ(corr_->getWindow(), 5);
    EXPECT_EQ(corr_->getFramesIn5s(), 50.0f);
    source_->frame->format->avgTimePerFrame = 600000000;  // one frame a minute
    ASSERT_EQ(corr_->init(source_.get()), S_OK);
    EXPECT_EQ(corr_->getWindow(), 1);
    EXPECT_EQ(corr_->getFramesIn5s(), 1.0f);
}

// Gains near one whole number with a few apart (dead pixels), with too many apart, spread
// wider, and beyond 8 bits: each set gives the 64-bit product, also when it follows another.
TEST_F(CorrectionTest, EverySpreadOfGainsGivesTheWideProduct) {
    const int w = 160, h = 80, n = w * h;  // at most 264 pixels may lie apart
    build(w, h);
    auto spread = [](int p, std::int32_t whole) {
        return whole * 65536 + (p * 7919) % 65536 - 32768;  // the whole half around `whole`
    };
    const std::vector<std::function<std::int32_t(int)>> sets = {
        [&](int p) { return spread(p, 1); },
        [&](int p) { return p % 50 == 0 ? 0 : spread(p, 1); },        // 256 apart
        [&](int p) { return p % 40 == 0 ? 0x30000 : spread(p, 1); },  // 320 apart
        [&](int p) { return spread(p, -1); },
        [&](int p) { return p % 3 == 0 ? spread(p, 2) : spread(p, 1); },
        [&](int p) { return p % 1000 == 0 ? 0x800000 : spread(p, 1); },  // beyond 8 bits
        [&](int p) { return spread(p, 128); }};
    for (std::size_t k = 0; k < sets.size(); ++k) {
        std::vector<GainOffset>& c = corr_->coefficients();
        c.assign(n, {});
        for (int p = 0; p < n; ++p) {
            c[p] = {sets[k](p), (p * 37) % 200 - 100};
        }
        corr_->coefficientsChanged();
        corr_->flagEnergy = 77;
        std::int16_t* in = source_->pixels();
        for (int p = 0; p < n; ++p) {
            in[p] = static_cast<std::int16_t>(p * 613 % 40000 - 8000);
        }
        ASSERT_EQ(source_->run(), S_OK);
        for (int p = 0; p < n; ++p) {
            const std::int64_t v =
                ((std::int64_t{in[p]} * sets[k](p)) >> 16) + (p * 37) % 200 - 100 + 77;
            ASSERT_EQ(out(p), std::clamp<std::int64_t>(v, -3000, 20479)) << k << " " << p;
        }
    }
}

TEST_F(CorrectionTest, GainOffsetLimitsAndLargeGains) {
    build(4, 1);
    corr_->coefficients() = {{0x10000, 1000}, {0x10000, 1000}, {0x7FFFFFFF, 0}, {0x7FFFFFFF, 0}};
    corr_->coefficientsChanged();
    corr_->flagEnergy = 0;
    std::int16_t* in = source_->pixels();
    in[0] = 20000;
    in[1] = -5000;
    in[2] = 32767;  // the product needs more than 32 bits
    in[3] = -32768;
    ASSERT_EQ(source_->run(), S_OK);
    EXPECT_EQ(out(0), 20479);
    EXPECT_EQ(out(1), -3000);
    EXPECT_EQ(out(2), 20479);
    EXPECT_EQ(out(3), -3000);

    // Offsets beyond 16 bits keep their high halves.
    corr_->coefficients() = {{0x10000, 40000}, {0x10000, -35000}, {0x10000, 50000}, {0x10000, -1}};
    corr_->coefficientsChanged();
    in[0] = -25000;
    in[1] = 32000;
    in[2] = -32768;
    in[3] = 5;
    ASSERT_EQ(source_->run(), S_OK);
    EXPECT_EQ(out(0), 15000);
    EXPECT_EQ(out(1), -3000);
    EXPECT_EQ(out(2), 17232);
    EXPECT_EQ(out(3), 4);
    EXPECT_EQ(corr_->coefficients()[1].offset, -35000);

    corr_->enabled = false;
    in[0] = 21000;
    in[1] = 17;
    ASSERT_EQ(source_->run(), S_OK);
    EXPECT_EQ(out(0), 20479);
    EXPECT_EQ(out(1), 17);

    corr_->coefficients().clear();
    corr_->coefficientsChanged();
    EXPECT_EQ(source_->run(), E_FAIL);
}

TEST_F(CorrectionTest, GainOffsetFileLoads) {
    build(4, 4);
    EXPECT_EQ(corr_->readCalibration(), E_ACCESSDENIED);

    CorrFile f;
    f.extra = {1450, 250};                 // 45 degC, k = 2.5
    f.body = gainOffsetBody(16, 1 << 15);  // gain 2.0
    writeCorrection(f);
    ASSERT_EQ(corr_->readCalibration(), S_OK);
    EXPECT_TRUE(corr_->dataReloaded);
    EXPECT_EQ(shared_.samplePoints, 0);
    EXPECT_FLOAT_EQ(corr_->getCaliChipTemp(), 45.0f);
    EXPECT_FLOAT_EQ(corr_->getOffsetCoefficient(), 2.5f);
    corr_->updateDeviation();
    // Chip at 35, calibrated at 45: gain 2.0 / (1 + 2^-20 * -10 * 0) stays 2.0.
    EXPECT_EQ(corr_->coefficients()[5].gain, 0x20000);
    source_->pixels()[5] = 100;
    ASSERT_EQ(source_->run(), S_OK);
    EXPECT_EQ(out(5), 200);
}

TEST_F(CorrectionTest, BrokenFilesFailWithNeutralCoefficients) {
    build(4, 4);
    CorrFile good;
    good.body = gainOffsetBody(16, 1 << 15);
    writeCorrection(good);
    ASSERT_EQ(corr_->readCalibration(), S_OK);
    corr_->updateDeviation();
    ASSERT_EQ(corr_->coefficients()[0].gain, 0x20000);

    std::vector<CorrFile> broken(6, good);
    broken[0].body.resize(broken[0].body.size() - 1);  // last plane short by one word
    broken[1].camera = 0;
    broken[2].extraCount = -2;
    broken[3].extraCount = 11;
    broken[3].extra.resize(11, 0);
    broken[4].fieldCount = 0;
    broken[5].body.resize(5);  // cut inside the plane headers
    for (std::size_t i = 0; i < broken.size(); ++i) {
        SCOPED_TRACE(i);
        writeCorrection(broken[i]);
        EXPECT_EQ(corr_->readCalibration(), E_FAIL);
        corr_->updateDeviation();
        EXPECT_EQ(corr_->coefficients()[0].gain, 0x10000);
        EXPECT_EQ(corr_->coefficients()[15].offset, 0);
    }
    // A header alone is short too.
    writeFile("Cali-777-23-M20-100.dat", std::string(7, '\1'));
    EXPECT_EQ(corr_->readCalibration(), E_FAIL);
}

TEST_F(CorrectionTest, WholeSensorPlanesAreCutOut) {
    build(2, 2);
    shared_.hasDeviceRes = true;
    shared_.deviceResWidth = 4;
    shared_.deviceResHeight = 3;
    shared_.deviceResOffsetX = 1;
    shared_.deviceResOffsetY = 1;
    CorrFile f;
    f.body = gainOffsetBody(12);
    // Gain plane of the 4 x 3 sensor: value 1000 + index.
    for (int i = 0; i < 12; ++i) {
        f.body[12 + i] = static_cast<std::uint16_t>(1000 + i);
    }
    writeCorrection(f);
    ASSERT_EQ(corr_->readCalibration(), S_OK);
    corr_->updateDeviation();
    // Frame pixel (0,0) is sensor pixel (1,1) = index 5.
    EXPECT_EQ(corr_->coefficients()[0].gain, (1005 << 16) >> 14);
    EXPECT_EQ(corr_->coefficients()[3].gain, (1010 << 16) >> 14);

    shared_.deviceResOffsetX = 3;  // frame would stick out of the sensor
    EXPECT_EQ(corr_->readCalibration(), E_FAIL);
    shared_.deviceResOffsetX = 1;
    f.body.resize(f.body.size() - 2);  // planes must all be there
    writeCorrection(f);
    EXPECT_EQ(corr_->readCalibration(), E_FAIL);
}

TEST_F(CorrectionTest, SamplePointFiles) {
    build(2, 2);
    CorrFile f;
    f.version = 2000;
    f.fieldCount = 3;
    f.extraCount = 0;
    f.extra.clear();
    f.body = {5505, 6000, 7000};  // levels
    // Samples per pixel; pixel 3 has equal last samples (slope 0: defective).
    f.body.insert(f.body.end(), {100, 200, 400, 100, 200, 400, 100, 300, 500, 100, 200, 200});
    writeCorrection(f);
    ASSERT_EQ(corr_->readCalibration(), S_OK);
    EXPECT_EQ(shared_.samplePoints, 1);
    EXPECT_EQ(corr_->getLevels()[0], 5500);
    EXPECT_FLOAT_EQ(corr_->getCaliChipTemp(), 65.0f);
    EXPECT_EQ(corr_->getSlopes()[0], 5 * 4096);  // 500 levels over 100 samples
    EXPECT_EQ(corr_->getSlopes()[1], 5 * 4096);  // 1000 over 200
    EXPECT_EQ(corr_->getSlopes()[2], 5 * 4096);  // repeats the one before
    EXPECT_EQ(corr_->getSlopes()[11], 0);
    ASSERT_NE(shared_.sampleList, nullptr);
    EXPECT_EQ(shared_.sampleCount, 3);

    shared_.tMax = 600.0f;  // upper bound 7000 from the levels
    std::int16_t* in = source_->pixels();
    in[0] = 150;  // halfway through the first segment
    in[1] = 50;   // below the first sample
    in[2] = 999;  // above the last
    in[3] = 150;
    ASSERT_EQ(source_->run(), S_OK);
    EXPECT_EQ(out(0), 5750);
    EXPECT_EQ(out(1), 5500);
    EXPECT_EQ(out(2), 7000);
    // Pixel 3 is defective; it and the bottom-right entry have no usable neighbour but pixel 0.
    EXPECT_EQ(out(3), out(0));

    shared_.tMax = 100.0f;  // encode(100) = 2000 is below every level: the range bound wins
    ASSERT_EQ(source_->run(), S_OK);
    EXPECT_EQ(out(0), 2000);

    // One sample point: slope 0, every pixel gets the one level.
    f.fieldCount = 1;
    f.body = {6000, 10, 20, 30, 40};
    writeCorrection(f);
    shared_.sampleList = nullptr;
    ASSERT_EQ(corr_->readCalibration(), S_OK);
    shared_.tMax = 600.0f;
    EXPECT_EQ(corr_->getSlopes()[0], 0);
    ASSERT_EQ(source_->run(), S_OK);
    EXPECT_EQ(out(0), 6000);

    f.extraCount = -1;
    writeCorrection(f);
    shared_.tMax = 100.0f;
    EXPECT_EQ(corr_->readCalibration(), E_FAIL);
    EXPECT_EQ(source_->run(), E_FAIL);
}

TEST_F(CorrectionTest, DeadPixelRepair) {
    build(160, 120);
    CorrFile f;
    f.body = gainOffsetBody(160 * 120);
    const int mid = 60 * 160 + 80;
    const int edge = 30 * 160;  // x = 0
    f.body[12 + mid] = 0;
    f.body[12 + edge] = 0;
    writeCorrection(f);
    ASSERT_EQ(corr_->readCalibration(), S_OK);
    corr_->updateDeviation();
    corr_->flagEnergy = 0;
    std::int16_t* in = source_->pixels();
    for (int i = 0; i < 160 * 120; ++i) {
        in[i] = static_cast<std::int16_t>(i % 1000);
    }
    ASSERT_EQ(source_->run(), S_OK);
    ASSERT_EQ(corr_->repairList.size(), 2u);
    const RepairEntry& e = corr_->repairList[1];
    ASSERT_EQ(e.pixel, mid);
    EXPECT_EQ(e.neighbourCount, 4);
    EXPECT_EQ(out(mid), (out(mid - 1) + out(mid + 1) + out(mid - 160) + out(mid + 160)) / 4);
    // At x = 0: right, above, below, then the above-right diagonal.
    const RepairEntry& b = corr_->repairList[0];
    EXPECT_EQ(b.neighbours[0], edge + 1);
    EXPECT_EQ(b.neighbours[1], edge - 160);
    EXPECT_EQ(b.neighbours[2], edge + 160);
    EXPECT_EQ(b.neighbours[3], edge - 160 + 1);

    // 1000 defective pixels: only the first 384 in raster order are repaired.
    f.body[12 + mid] = f.body[12 + edge] = 1 << 14;
    for (int i = 0; i < 1000; ++i) {
        f.body[12 + i * 19] = 0;
    }
    writeCorrection(f);
    ASSERT_EQ(corr_->readCalibration(), S_OK);
    ASSERT_EQ(source_->run(), S_OK);
    ASSERT_EQ(corr_->repairList.size(), 384u);
    EXPECT_EQ(corr_->repairList[383].pixel, 383 * 19);

    // A reported extra pixel adds to the list.
    corr_->extraPixels[0] = ExtraPixel{5, 100, 100 * 160 + 5, 0, 0};
    corr_->extraPixelCount = 1;
    corr_->repairRebuild = true;
    ASSERT_EQ(source_->run(), S_OK);
    EXPECT_EQ(corr_->repairList.size(), 385u);
    // Extras unsorted, twice and on a defective pixel: once each in raster order, no neighbours.
    corr_->extraPixels[1] = corr_->extraPixels[2] = ExtraPixel{96, 0, 96, 0, 0};
    corr_->extraPixels[3] = ExtraPixel{95, 0, 95, 0, 0};
    corr_->extraPixelCount = 4;
    corr_->repairRebuild = true;
    ASSERT_EQ(source_->run(), S_OK);
    const std::vector<RepairEntry>& l = corr_->repairList;
    ASSERT_EQ(l.size(), 388u);
    EXPECT_TRUE(!l[5].fromExtraList && l[6].fromExtraList && l[5].neighbours[1] == 255);
}
