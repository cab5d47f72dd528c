// The accessors that only the debug build gives: chain, calibration description, tables, flag,
// metadata and other operators, and the HID control device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimHid.h"
#include "SimPhysics.h"
#include "common/TestEnv.h"
#include "device/ImagerHID.h"
#include "imgproc/Cali.h"
#include "imgproc/CaliImageExtractor.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/NullControlDevice.h"
#include "imgproc/OpCorr.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpFlag.h"
#include "imgproc/OpMetadata.h"
#include "imgproc/OpREA.h"
#include "imgproc/OpSource.h"
#include "imgproc/OpTestSupport.h"
#include "imgproc/TemperatureTable.h"
#include "imgproc/TraceOp.h"
#include "platform/Strings.h"

namespace {

// ---- calibration description ---------------------------------------------------------------

class CaliLeftoversTest : public kelvix_test::TempDirTest {
  protected:
    static constexpr std::uint32_t kSerial = 31340101;
    void SetUp() override {
        TempDirTest::SetUp();
        camera_ = std::make_unique<sim::SimCamera>(kSerial);
        sim::CalibrationSet set = sim::CalibrationSet::standard();
        set.optics[0].ranges[1].frameRates = {30, 60};
        sim::CalibrationSetWriter writer(*camera_, set);
        ASSERT_TRUE(writer.writeAll(dir_));
        ASSERT_EQ(Cali::getInstance()->readXML(platform::toWide(dir_).c_str(), kSerial), 0);
    }
    std::unique_ptr<sim::SimCamera> camera_;
};

TEST_F(CaliLeftoversTest, SpansFrameRatesAndNarrowStems) {
    Cali* cali = Cali::getInstance();
    // Wide optic: -20..100, 0..250, 150..900; tele: 150..900.
    auto span = cali->getTempSpan(CaliOpticsKey{23, L""});
    ASSERT_NE(span, nullptr);
    EXPECT_EQ(span->lo, -20.0f);
    EXPECT_EQ(span->hi, 900.0f);
    EXPECT_EQ(cali->getTempSpan(CaliOpticsKey{99, L""}), nullptr);
    auto all = cali->getTempSpanAll();
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all->lo, -20.0f);
    EXPECT_EQ(all->hi, 900.0f);

    std::uint16_t rate = 60;
    EXPECT_TRUE(cali->checkFramerate(CaliOpticsKey{23, L""}, CaliTempPair{0, 250}, &rate));
    EXPECT_EQ(rate, 60);
    rate = 45;  // not listed
    EXPECT_FALSE(cali->checkFramerate(CaliOpticsKey{23, L""}, CaliTempPair{0, 250}, &rate));
    EXPECT_EQ(rate, 0);
    rate = 45;  // unknown optic, and a range without a list: any rate goes, stored as 0
    EXPECT_TRUE(cali->checkFramerate(CaliOpticsKey{99, L""}, CaliTempPair{0, 250}, &rate));
    EXPECT_EQ(rate, 0);
    rate = 45;
    EXPECT_TRUE(cali->checkFramerate(CaliOpticsKey{23, L""}, CaliTempPair{-20, 100}, &rate));
    EXPECT_EQ(rate, 0);

    EXPECT_EQ(cali->getTempRangeCountByFov(6, L"tele"), 1);
    CaliTempPair pair;
    ASSERT_TRUE(cali->getTempRangeByFov(23, nullptr, 2, &pair));
    EXPECT_EQ(pair.lo, 150.0f);

    wchar_t wide[64];
    char narrow[64];
    ASSERT_TRUE(Cali::makeFileName(12345, 6, L"tele", -20.0f, 100.0f, 80, wide, 64));
    ASSERT_TRUE(
        Cali::makeFileNameA(12345, 6, "tele", CaliTempPair{-20.0f, 100.0f}, 80, narrow, 64));
    EXPECT_EQ(platform::toNarrow(wide), narrow);
    EXPECT_STREQ(narrow, "12345-6-tele-M20-100-80");
    // A stem cut to the buffer would name another file.
    EXPECT_FALSE(Cali::makeFileNameA(12345, 6, "tele", -20.0f, 100.0f, 80, narrow, 10));
    EXPECT_STREQ(narrow, "");
}

// ---- temperature tables --------------------------------------------------------------------

TEST(TemperatureTableLeftovers, SortedSearchesAtTheirEdges) {
    const std::int16_t a[] = {-5, 0, 3, 9, 20};
    int pos = -1;
    EXPECT_FALSE(TemperatureTable::searchSorted(a, 5, std::int16_t(-6), &pos));
    EXPECT_EQ(pos, 0);
    EXPECT_FALSE(TemperatureTable::searchSorted(a, 5, std::int16_t(21), &pos));
    EXPECT_EQ(pos, 4);
    EXPECT_TRUE(TemperatureTable::searchSorted(a, 5, std::int16_t(9), &pos));
    EXPECT_EQ(pos, 3);
    // Between two entries: found, at the last middle probed.
    EXPECT_TRUE(TemperatureTable::searchSorted(a, 5, std::int16_t(4), &pos));
    EXPECT_TRUE(pos == 2 || pos == 3);
    EXPECT_FALSE(TemperatureTable::searchSorted(a, 0, std::int16_t(4), &pos));
    EXPECT_EQ(pos, 0);

    const std::uint16_t u[] = {10, 0x8000, 0xFFFF};
    EXPECT_TRUE(TemperatureTable::searchSorted(u, 3, std::uint16_t(0xFFFF), &pos));
    EXPECT_EQ(pos, 2);
    const std::int32_t w[] = {-100000, 0, 100000};
    EXPECT_TRUE(TemperatureTable::searchSorted(w, 3, -100000, &pos));
    EXPECT_EQ(pos, 0);
}

TEST(TemperatureTableLeftovers, SamplePointSearchFailsPastSixtyFourPoints) {
    SharedParameterBlock shared;
    TemperatureTable table(&shared);
    table.rawMin = 0;
    table.rawMax = 30000;
    // A straight line needs only its first point (the walk never meets rawMax).
    for (int i = 0; i < lut::kSize; ++i) {
        table.lut[i] = static_cast<std::int16_t>(100 + i);
    }
    std::vector<TemperatureTable::SamplePoint> points;
    EXPECT_FALSE(table.samplePoints(points)) << "not requested";
    shared.samplePointRequest = 1;
    ASSERT_TRUE(table.samplePoints(points));
    EXPECT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0].position, 0);

    // A sample-point calibration gives its own points: {sample, table at its level}, the level
    // held to the table.
    const std::int16_t list[] = {300, 10, 900, 20000, 7, -1, 8, 30000};
    shared.samplePoints = 1;
    shared.sampleList = const_cast<std::int16_t*>(list);
    shared.sampleCount = 4;
    ASSERT_TRUE(table.samplePoints(points));
    std::vector<std::pair<int, int>> got;
    for (const auto& p : points) {
        got.emplace_back(p.position, p.value);
    }
    EXPECT_EQ(got, (std::vector<std::pair<int, int>>{
                       {300, 110}, {900, 20100}, {7, 100}, {8, 100 + lut::kSize - 1}}));
    shared.sampleList = nullptr;
    EXPECT_FALSE(table.samplePoints(points));
    shared.samplePoints = 0;

    // A curve that bends every 20 positions needs a point each time: more than 64 fail.
    for (int i = 0; i < lut::kSize; ++i) {
        const int phase = i % 40;
        table.lut[i] =
            static_cast<std::int16_t>(1000 + (phase < 20 ? phase * 50 : (40 - phase) * 50));
    }
    EXPECT_FALSE(table.searchSamplePoints(0.001, points));
    EXPECT_TRUE(points.empty());
    // Ending at rawMax keeps it to a few points.
    table.rawMax = 1900;
    ASSERT_TRUE(table.searchSamplePoints(0.001, points));
    EXPECT_LE(points.size(), 64u);
    EXPECT_GE(points.back().value, 1900);
}

// The flag operator's drift and skim settings from outside, on frames of a 10 x 10 camera.
class FlagLeftovers : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        writeFile("Cali-870001.xml",
                  "<CaliData>\n<Main>\n<FlagCycles>10</FlagCycles>\n<FlagCycles_Ignore>2"
                  "</FlagCycles_Ignore>\n</Main>\n</CaliData>\n");
        ASSERT_EQ(Cali::getInstance()->readXML(platform::toWide(dir_).c_str(), 870001), 0);
        shared_.device = &device_;
        shared_.hardwareRevision = 3100;
        shared_.firmwareRevision = 2250;
        ASSERT_EQ(source_.start(), S_OK);
        ASSERT_EQ(flag_.init(&source_), S_OK);
    }
    void frames(int state, std::int16_t value, int count) {
        for (int i = 0; i < count; ++i) {
            source_.frame->metadata->flagState = state;
            source_.frame->metadata->frameCounter = counter_++;
            std::fill(source_.pixels(), source_.pixels() + 100, value);
            ASSERT_EQ(source_.run(), S_OK);
        }
    }
    NullControlDevice device_;
    SharedParameterBlock shared_;
    optest::SourceOp source_{&shared_, 10, 10};
    OpFlag flag_{&source_, &shared_, Cali::getInstance()};
    OpCorr correction_{&flag_, &shared_, Cali::getInstance()};
    std::uint32_t counter_ = 1200;
};

TEST_F(FlagLeftovers, DriftTrackingRestartsAtTheCurrentFrameAndSkimGainIsItsOwnFloor) {
    flag_.correctionMode = 1;
    frames(0, 0, 1);  // frame 1200 switches the skim adjustment on
    ASSERT_TRUE(flag_.isSkimAdjustActive());
    ASSERT_EQ(flag_.setDriftTracking(false), S_OK);
    EXPECT_EQ(flag_.getPreviousFlagFrameCounter(), 1200u);
    frames(0, 0, 5);
    ASSERT_EQ(flag_.setDriftTracking(false), S_OK);  // no change
    EXPECT_EQ(flag_.getPreviousFlagFrameCounter(), 1200u);
    ASSERT_EQ(flag_.setDriftTracking(true), S_OK);
    EXPECT_EQ(flag_.getPreviousFlagFrameCounter(), 1205u);

    // A flag image inside the range keeps the gain at its floor, here the value set: the
    // weighted step 700 becomes 18 steps at a gain of 40 (7, applied as 1, at 100).
    ASSERT_EQ(flag_.setSkimGain(40.0f), S_OK);
    shared_.energyAtTMin = 0.0f;
    shared_.energyAtTMax = 1.0f;
    frames(1, 11775, 3);
    EXPECT_FLOAT_EQ(flag_.getSkimGain(), 40.0f);
    EXPECT_EQ(shared_.pendingSkimDelta, 18);
}

class TemperatureTableFileTest : public kelvix_test::TempDirTest {};

TEST_F(TemperatureTableFileTest, NarrowPathLoaderAndLookups) {
    SharedParameterBlock shared;
    shared.tMin = -20.0f;
    shared.tMax = 100.0f;
    TemperatureTable table(&shared);
    std::string text;
    for (int i = 0; i < 10; ++i) {
        // Index, energy, temperature; the last line has only energy and temperature.
        text += i < 9 ? std::to_string(i) + " " : std::string();
        text += std::to_string(100 * i) + "  " + std::to_string(10.0 * i) + "\r\n";
    }
    writeFile("t.prn", text);
    ASSERT_EQ(table.loadFileA(path("t.prn").c_str(), false), S_OK);
    EXPECT_EQ(table.rawMin, 550);   // (-20 - 25) * 10 + 1000
    EXPECT_EQ(table.rawMax, 2250);  // (100 + 25) * 10 + 1000
    EXPECT_EQ(table.pointCount, 10);
    EXPECT_FLOAT_EQ(table.temperatureOfPoint(9), 90.0f);
    EXPECT_FLOAT_EQ(table.temperatureOfPoint(200), 90.0f);  // held to the last point
    EXPECT_FLOAT_EQ(table.energyOfRaw(1300), 300.0f);       // 30 degC
    EXPECT_FLOAT_EQ(table.energyOfRaw(9000), 0.0f);         // above the table

    EXPECT_EQ(table.loadFileA(path("missing.prn").c_str(), false), E_ACCESSDENIED);
    writeFile("short.prn", "1 1.0\n2 2.0\n");
    EXPECT_EQ(table.loadFileA(path("short.prn").c_str(), false), E_FAIL);
    // A first energy far below the LUT's domain would extend the table without bound.
    writeFile("far.prn", "-2000000000 1.0\n" + std::string(8, '\n'));
    EXPECT_EQ(table.loadFileA(path("far.prn").c_str(), false), E_FAIL);
    EXPECT_EQ(table.pointCount, 0);
    EXPECT_FLOAT_EQ(table.temperatureOfPoint(0), 0.0f);
}

TEST(TemperatureTableLeftovers, LutIndexOfATemperature) {
    SharedParameterBlock shared;
    TemperatureTable table(&shared);
    for (int i = 0; i < lut::kSize; ++i) {
        table.lut[i] = static_cast<std::int16_t>(500 + i / 4);
    }
    table.energyOffset = 3000;
    const std::int16_t index = table.lutIndexOf(20.0f, false);  // raw 1200, positions 2800..2803
    EXPECT_GE(index, -200);
    EXPECT_LE(index, -197);
    EXPECT_EQ(table.lutIndexOf(-90.0f, false), 0);  // raw 100: below the LUT
}

// ---- operators -----------------------------------------------------------------------------

TEST(OperatorLeftovers, UnitsIdentifiersDriftAndTracer) {
    SharedParameterBlock shared;
    optest::SourceOp op(&shared, 4, 2);
    ASSERT_EQ(op.start(), S_OK);
    shared.temperatureUnit = 1;
    EXPECT_EQ(op.temperatureToRaw(37.45f), 1375);
    shared.temperatureUnit = 2;
    EXPECT_EQ(op.temperatureToRaw(-1.005f), -100);
    EXPECT_EQ(op.temperatureToRaw(2.5f), 250);
    shared.temperatureUnit = 0;
    EXPECT_EQ(op.temperatureToRaw(-7.9f), -7);
    double rate = 0.0;
    ASSERT_EQ(op.getFrameRate(&rate), S_OK);
    EXPECT_NEAR(rate, 30.0, 1e-3);
    wchar_t name[6];
    ASSERT_EQ(op.getName(name, 6), S_OK);
    EXPECT_STREQ(name, L"# Tes");

    GUID id = OpSource::formatIdentifier(160, 121, 120.82);
    EXPECT_EQ(id.Data1, 0x7A9AAE14u);
    EXPECT_EQ(id.Data4[7], 0x00);
    EXPECT_EQ(OpSource::formatIdentifier(164, 120, 100.0).Data4[7], 0xAB);
    EXPECT_EQ(OpSource::formatIdentifier(384, 288, 66.0).Data1, 0xAEF45D39u);
    EXPECT_EQ(OpSource::formatIdentifier(384, 288, 66.5).Data1, 0u);
    EXPECT_EQ(OpSource::formatIdentifier(384, 288, 1e300).Data1, 0u);

    OpFlag flag(&op, &shared, Cali::getInstance());
    ASSERT_EQ(flag.setDriftTracking(false), S_OK);
    flag.pixelStates().assign(3, FlagPixelState{120, 7, 5, 0.5f, 4, 2});
    ASSERT_EQ(flag.setDriftTracking(true), S_OK);
    for (const FlagPixelState& s : flag.pixelStates()) {
        EXPECT_EQ(s.savedOffset, 120);
        EXPECT_EQ(s.steps, 0);
        EXPECT_EQ(s.period, 0);
        EXPECT_EQ(s.countdown, 0);
    }
    ASSERT_EQ(flag.setFlagState(2), S_OK);
    std::int32_t state = 0;
    ASSERT_EQ(flag.getFlagState(&state), S_OK);
    EXPECT_EQ(state, 2);

    TraceOp* first = TraceOp::getInstance();
    first->setActive(true);
    delete first;
    TraceOp* second = TraceOp::getInstance();
    EXPECT_FALSE(second->isActive());
    EXPECT_EQ(second->inputCount(), 0u);
}

TEST(OperatorLeftovers, DistortionAndReferenceImage) {
    SharedParameterBlock shared;
    optest::SourceOp source(&shared, 9, 9);
    OpREA_RadDistCorr rea(&source, &shared);
    OpEnergy2Temp temp(&rea, &shared);
    ASSERT_EQ(source.start(), S_OK);
    for (int i = 0; i < 81; ++i) {
        source.pixels()[i] = static_cast<std::int16_t>(i);
    }
    ASSERT_EQ(source.run(), S_OK);
    const auto* out = reinterpret_cast<const std::int16_t*>(rea.frame->pixels);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[80], 80);

    // A coefficient rebuilds the table for the operator's size: the corners now come from
    // outside the frame.
    ASSERT_EQ(rea.setDistortionCoefficient(0.05), S_OK);
    double c = 0.0;
    ASSERT_EQ(rea.getDistortionCoefficient(&c), S_OK);
    EXPECT_EQ(c, 0.05);
    ASSERT_EQ(source.run(), S_OK);
    out = reinterpret_cast<const std::int16_t*>(rea.frame->pixels);  // read per frame
    EXPECT_EQ(out[40], 40);                                          // the centre stays
    EXPECT_EQ(static_cast<std::uint16_t>(out[0]), 0x8000);
    EXPECT_EQ(static_cast<std::uint16_t>(out[80]), 0x8000);

    std::vector<std::int16_t> image(81, 7);
    EXPECT_EQ(temp.setReferenceImage(image.data(), 9, 8), E_FAIL);
    ASSERT_EQ(temp.setReferenceImage(image.data(), 9, 9), S_OK);
    bool on = false;
    ASSERT_EQ(temp.getDifferenceMode(&on), S_OK);
    EXPECT_TRUE(on);
    EXPECT_TRUE(temp.isTableChanged());
    std::vector<std::int16_t> back(81, 0);
    EXPECT_EQ(temp.getReferenceImage(back.data(), 80), E_FAIL);
    ASSERT_EQ(temp.getReferenceImage(back.data(), 81), S_OK);
    EXPECT_EQ(back, image);
    ASSERT_EQ(temp.setDifferenceMode(false), S_OK);
    EXPECT_EQ(temp.getReferenceImage(back.data(), 81), E_FAIL);  // dropped
}

class FlagResetTest : public kelvix_test::TempDirTest {};

TEST_F(FlagResetTest, OffsetResetWaitsForAnOpenFlagFrame) {
    writeFile("Cali-31340102.xml",
              "<CaliData>\n<Main>\n<FlagCycles>4</FlagCycles>\n"
              "<FlagCycles_Ignore>0</FlagCycles_Ignore>\n</Main>\n</CaliData>\n");
    ASSERT_EQ(Cali::getInstance()->readXML(platform::toWide(dir_).c_str(), 31340102), 0);
    NullControlDevice device;
    SharedParameterBlock shared;
    shared.device = &device;
    optest::SourceOp source(&shared, 2, 2);
    OpFlag flag(&source, &shared, Cali::getInstance());
    ASSERT_EQ(source.start(), S_OK);
    auto frame = [&](int state, std::int16_t value) {
        source.frame->metadata->flagState = state;
        std::fill(source.pixels(), source.pixels() + 4, value);
        ASSERT_EQ(source.run(), S_OK);
    };
    auto out = [&] { return reinterpret_cast<const std::int16_t*>(flag.frame->pixels)[0]; };
    for (int i = 0; i < 4; ++i) {
        frame(1, 100);
    }
    frame(0, 600);
    EXPECT_EQ(out(), 500);

    ASSERT_EQ(flag.requestOffsetReset(), S_OK);
    frame(1, 100);  // closed: the request waits
    EXPECT_TRUE(flag.offsetResetRequested);
    frame(0, 600);
    EXPECT_FALSE(flag.offsetResetRequested);
    EXPECT_EQ(out(), 600);
}

TEST(MetadataLeftovers, KeptValuesReplaceUnknownOnes) {
    SharedParameterBlock shared;
    std::vector<std::uint8_t> pif(64 + 2 * 40, 0);
    auto* record = reinterpret_cast<PifConfigRecord*>(pif.data());
    record->size = static_cast<std::uint16_t>(pif.size());
    record->analogInputCount = 2;
    shared.pifConfig = record;
    optest::SourceOp source(&shared, 2, 2);
    OpMetadata meta(&source, &shared);
    ASSERT_EQ(source.start(), S_OK);
    source.frame->metadata = OpBase::resizeMetadata(source.frame->metadata, 2);
    FrameMetadataRecord* in = source.frame->metadata;
    in->digitalInputBits = 0xFFFFFFFFu;
    in->setAnalog(0, 0xFFFF);
    in->setAnalog(1, 0xFFFF);
    ASSERT_EQ(source.trigger(), S_OK);  // reads the configuration: two analog inputs
    EXPECT_EQ(meta.frame->metadata->analog(1), 0);

    EXPECT_EQ(meta.setKeptAnalogValue(2, 5), E_INVALIDARG);
    ASSERT_EQ(meta.setKeptAnalogValue(1, 4321), S_OK);
    ASSERT_EQ(meta.setKeptDigitalBits(0x5), S_OK);
    in->digitalInputBits = 0xFFFFFFFFu;
    in->setAnalog(0, 0xFFFF);
    in->setAnalog(1, 0xFFFF);
    ASSERT_EQ(source.trigger(), S_OK);
    EXPECT_EQ(meta.frame->metadata->analog(0), 0);
    EXPECT_EQ(meta.frame->metadata->analog(1), 4321);
    EXPECT_EQ(+meta.frame->metadata->digitalInputBits, 0x5u);
    EXPECT_EQ(meta.setAnalogCallback(nullptr), E_POINTER);

    std::int32_t halves[2] = {};
    in->timestamp = 0x123456789ABCLL;
    ASSERT_EQ(source.trigger(), S_OK);
    ASSERT_EQ(meta.getTimestamp(halves), S_OK);
    EXPECT_EQ(static_cast<std::uint32_t>(halves[0]), 0x56789ABCu);
    EXPECT_EQ(halves[1], 0x1234);
}

// ---- the chain's forwarders and the calibration memory -------------------------------------

class ForwardDevice : public NullControlDevice {
  public:
    std::int32_t QueryFlashMemory(std::uint32_t address) override {
        queried = address;
        return 0;
    }
    void GetAntiFlicker(bool* on) override { *on = true; }
    void GetPifAICount(std::uint16_t* count) override { *count = 2; }
    std::int32_t SetFlag(bool closed) override { return flagClosed = closed, 0; }
    std::uint32_t queried = 0;
    bool flagClosed = false;
};

TEST(ChainLeftovers, ForwardersChecksAndCalibrationMemory) {
    ImageProcessing chain;
    std::uint16_t count = 7;
    EXPECT_EQ(chain.GetPifAICount(&count), S_OK);
    EXPECT_EQ(count, 0);  // no device: 0
    EXPECT_EQ(chain.GetPifAICount(nullptr), E_POINTER);
    EXPECT_EQ(chain.readCalibrationMemory(), E_POINTER);
    std::uint16_t a = 0, b = 0;
    EXPECT_EQ(chain.GetFocusmotorRange(&a, &b), E_POINTER);
    std::int32_t w = 1, h = 1;
    EXPECT_EQ(chain.getVisibleSourceSize(&w, &h), E_INVALIDARG);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    double d[4];
    std::int16_t v[3];
    // Before init there is no record to read the table's parameters from.
    EXPECT_EQ(chain.getTemperatureTableParameters(d, d + 1, d + 2, v, v + 1, v + 2, d + 3, d + 3),
              E_FAIL);

    ForwardDevice device;
    SharedParameterBlock& shared = chain.getShared();
    shared.device = &device;
    shared.serial = 4711;
    const wchar_t* dir = L"/some/where";
    shared.calibrationDirectory = dir;
    EXPECT_EQ(chain.GetPifAICount(&count), S_OK);
    EXPECT_EQ(count, 2);

    // Anti-flicker needs hardware 20..399 and firmware 2213 or later.
    bool on = false;
    shared.hardwareRevision = 400;
    shared.firmwareRevision = 3000;
    EXPECT_EQ(chain.GetAntiFlicker(&on), E_NOTIMPL);
    EXPECT_EQ(chain.SetAntiFlicker(true), E_NOTIMPL);
    shared.hardwareRevision = 20;
    shared.firmwareRevision = 2212;
    EXPECT_EQ(chain.GetAntiFlicker(&on), E_NOTIMPL);
    shared.firmwareRevision = 2213;
    EXPECT_EQ(chain.GetAntiFlicker(&on), S_OK);
    EXPECT_TRUE(on);

    EXPECT_EQ(chain.SetFlag(1), S_OK);
    EXPECT_TRUE(device.flagClosed);

    ASSERT_EQ(chain.readCalibrationMemory(), S_OK);
    EXPECT_EQ(device.queried, 0x80000u);
    const CaliImageExtractor* extractor = chain.getCalibrationImageExtractor();
    ASSERT_NE(extractor, nullptr);
    EXPECT_EQ(extractor->serialNumber(), 4711);
    EXPECT_EQ(extractor->targetDirectory(), dir);
    ASSERT_EQ(chain.readCalibrationMemory(), S_OK);
    EXPECT_NE(chain.getCalibrationImageExtractor(), nullptr);
    shared.device = nullptr;
}

// ---- the HID camera device -----------------------------------------------------------------

class ImagerHIDLeftoversTest : public kelvix_test::VirtualClockTest {
  protected:
    sim::SimHidBackend backend_;
    platform::ScopedHidBackend scoped_{backend_};
};

TEST_F(ImagerHIDLeftoversTest, CloseTurnsTheCameraOffAndForgetsIt) {
    auto camera = std::make_shared<sim::SimCamera>(777001, 3100);
    backend_.addCamera(camera);
    EXPECT_EQ(ImagerHID::getHWRevision(0x0403, 0xDE37, 777001), 3100);
    EXPECT_FALSE(ImagerHID::isDeviceUsed(0x0403, 0xDE37, 777001));

    ImagerHID device;
    EXPECT_EQ(device.close(), 1);  // never opened
    ASSERT_EQ(device.Init(0x0403, 0xDE37, 777001, false, nullptr), 0);
    ASSERT_TRUE(device.isOpen());
    {
        std::lock_guard<std::mutex> lock(camera->mutex());
        EXPECT_TRUE(camera->hid.powerOn);
    }
    EXPECT_EQ(device.setLogging(3, L"/nonexistent/dir/hid.log"), 0);
    EXPECT_EQ(device.close(), 0);
    EXPECT_FALSE(device.isOpen());
    EXPECT_EQ(device.GetSerialNumber(), 0u);
    {
        std::lock_guard<std::mutex> lock(camera->mutex());
        EXPECT_FALSE(camera->hid.powerOn);
    }
    EXPECT_EQ(device.close(), 1);
}

}  // namespace
