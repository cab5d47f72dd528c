// The processing chain on a control device that records every call: init refusals, skim,
// ranges, table parameters, metadata, temperatures and snapshots.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/SimChainTest.h"
#include "imgproc/Cali.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/NullControlDevice.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpSource.h"
#include "kelvix/HIDDevice.h"
#include "kelvix/IRLogger.h"

namespace {

constexpr std::uint32_t kSerial = 4711001;

// A camera's control channel that keeps what the chain sets and logs every call.
class RecordingDevice : public NullControlDevice {
  public:
    RecordingDevice() { resetPifScaling(1, 1); }
    std::uint32_t GetSerialNumber() override { return kSerial; }
    std::uint16_t GetHWRevision() override { return hw; }
    std::uint16_t GetFWRevision() override { return 2250; }
    void SetSkim(std::uint16_t v) override { skim = v, log("SetSkim", v); }
    void SetSkim_Ext(std::uint16_t v) override { skim = v, log("SetSkim_Ext", v); }
    void GetSkim(std::uint16_t* v) override { *v = skim; }
    void SetFid(std::uint16_t v) override { log("SetFid", v); }
    void GetBiasEnable(bool* on) override { *on = bias; }
    std::int32_t SetBiasEnable(bool on) override { return bias = on, log("SetBiasEnable", on), 0; }
    void SetTempTec(float t) override { log("SetTempTec", static_cast<int>(t * 10)); }
    std::int32_t SetFlagCycle(std::uint16_t n) override { return log("SetFlagCycle", n), 0; }
    std::int32_t SetTec_B(std::uint16_t v) override { return log("SetTec_B", v), 0; }
    std::int32_t SetTec_C(std::uint16_t v) override { return log("SetTec_C", v), 0; }
    std::int32_t SetTec_D(std::uint16_t v) override { return log("SetTec_D", v), 0; }
    void SetPIFInDigitalMode(std::int32_t m, std::uint8_t c) override { log("DI", m, c); }
    std::int32_t SetPIFInDigitalFlagLowActive(bool v) override { return log("DIFlagLow", v), 0; }
    void SetPIFInDigitalLowActive(bool v) override { log("DILow", v); }
    void SetPIFInMode(std::int32_t m, std::uint8_t c) override { log("AI", m, c); }
    void SetPIFOutMode(std::int32_t m, std::uint8_t c) override { log("AO", m, c); }
    void SetPIFOutOutputMode(std::int32_t m, std::uint8_t c) override { log("AOOut", m, c); }
    void SetPIFOutDigitalMode(std::int32_t m, std::uint8_t c) override { log("DO", m, c); }
    void SetPIFOutFrameSync(std::uint16_t v, std::int16_t c) override { log("AOSync", v, c); }
    std::int32_t ConfigAutonomousPifAO_ForTInt(tagAutonomousPifAOConfig* cfg) override {
        slope = cfg->first;
        offset = cfg->second;
        return log("AOTInt", cfg->aoIndex), 0;
    }

    std::int32_t log(const std::string& name, int a = 0, int b = 0) {
        calls.push_back(name + "(" + std::to_string(a) + "," + std::to_string(b) + ")");
        return 0;
    }
    int count(const std::string& prefix) const {
        int n = 0;
        for (const std::string& c : calls) {
            n += c.rfind(prefix, 0) == 0;
        }
        return n;
    }

    std::uint16_t hw = 3100;
    std::uint16_t skim = 0;
    bool bias = false;
    double slope = 0.0, offset = 0.0;
    std::vector<std::string> calls;
    std::vector<float>& inOffsets() { return pifInOffset; }
};

std::vector<FrameMetadataRecord> g_done;
void onDone(FrameDoneRecord* r) {
    g_done.push_back(*r->metadata);
}

class ImageProcessingTest : public kelvix_test::SimChainTest<RecordingDevice> {
  protected:
    ImageProcessingTest() : SimChainTest(kSerial) {}

    void SetUp() override {
        SimChainTest::SetUp();
        g_done.clear();
        sim::CalibrationSet set = sim::CalibrationSet::standard();
        set.optics[0].ranges[1].frameRates = {30, 60};  // 0..250 lists its rates
        set.optics[0].ranges[2].skim = 2100;
        ASSERT_NO_FATAL_FAILURE(setUpCamera(set));
        ASSERT_NO_FATAL_FAILURE(readCalibration());
        config_.doneCallbacks[ImageProcessingConfig::kThermalSlot] = &onDone;
    }

    HRESULT frame() { return SimChainTest::frame(33.0); }
};

}  // namespace

TEST_F(ImageProcessingTest, InitRefusesBadShapesAndForeignCalibration) {
    FrameInitRecord bad = raw_;
    bad.bitCount = 8;
    EXPECT_EQ(chain_.init(&device_, &config_, &bad, &rawBuffer_), -1);
    EXPECT_EQ(chain_.getSource(), nullptr);
    EXPECT_EQ(rawBuffer_.buffer, nullptr);
    bad = raw_;
    bad.width = 0;
    EXPECT_EQ(chain_.init(&device_, &config_, &bad, &rawBuffer_), -1);
    EXPECT_EQ(chain_.getDeviceOperator(), nullptr);
    // Larger than any camera, or beyond 32 bits: refused before anything is allocated.
    for (auto size : {std::pair<unsigned, unsigned>{2048, 1025}, {65536, 65537}}) {
        bad = raw_;
        bad.width = size.first;
        bad.height = size.second;
        EXPECT_EQ(chain_.init(&device_, &config_, &bad, &rawBuffer_), -1);
        EXPECT_EQ(chain_.getDeviceOperator(), nullptr);
    }

    zol::IRLogger::setVerbosity(zol::IRLOG_ERROR, zol::IRLOG_OFF, nullptr);
    ImageProcessingConfig other = config_;
    other.serial = kSerial + 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(chain_.init(&device_, &other, &raw_, &rawBuffer_), E_FAIL);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Calibration files are not loaded"), std::string::npos);
    EXPECT_EQ(chain_.getSource(), nullptr);
    EXPECT_EQ(chain_.process(), E_UNEXPECTED);

    // A second init replaces a built chain; the revisions come from a device of this serial.
    ASSERT_EQ(chain_.init(&device_, &config_, &raw_, &rawBuffer_), S_OK);
    ASSERT_EQ(chain_.init(&device_, &config_, &raw_, &rawBuffer_), S_OK);
    EXPECT_EQ(chain_.getShared().hardwareRevision, 3100);
    EXPECT_EQ(chain_.getShared().revision2100, 0);
    EXPECT_NE(rawBuffer_.buffer, nullptr);
    ASSERT_EQ(chain_.getChainCount(), 1u);
    EXPECT_EQ(chain_.getEnergy2Temp(0)->frameDoneCallback, &onDone);

    // A camera model the format definitions do not know.
    device_.hw = 2150;
    ASSERT_EQ(chain_.init(&device_, &config_, &raw_, &rawBuffer_), S_OK);
    EXPECT_EQ(chain_.initOperators(), E_NOTIMPL);
}

TEST_F(ImageProcessingTest, SettleMarkerAfterTwoFramesAndFramesDelivered) {
    build();
    std::vector<std::uint32_t> markers;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(frame(), S_OK);
        markers.push_back(+chain_.getDeviceFrame()->metadata->settleMarker);
    }
    EXPECT_EQ(markers, (std::vector<std::uint32_t>{0, 0, 1, 1}));
    ASSERT_EQ(g_done.size(), 4u);
    EXPECT_EQ(g_done.back().frameCounter, 4u);
}

TEST_F(ImageProcessingTest, SkimDeltaAppliedAfterFrameAndResentOnReload) {
    build();
    const std::uint16_t calibrated = device_.skim;
    EXPECT_EQ(device_.count("SetSkim("), 1);
    chain_.getShared().pendingSkimDelta = 5;
    ASSERT_EQ(frame(), S_OK);
    EXPECT_EQ(device_.skim, calibrated + 5);
    EXPECT_EQ(chain_.getShared().pendingSkimDelta, 0);
    EXPECT_EQ(chain_.getShared().adjustedSkim, calibrated + 5);

    // Same range again: the adjusted value, not the calibrated one, goes to the camera.
    device_.calls.clear();
    ASSERT_EQ(chain_.loadTemperatureTable(), S_OK);
    EXPECT_EQ(device_.calls[0], "SetFid(0,0)");
    EXPECT_EQ(device_.calls[1], "SetSkim_Ext(" + std::to_string(calibrated + 5) + ",0)");
    EXPECT_EQ(device_.skim, calibrated + 5);

    // Another range has its own skim: the adjustment is dropped.
    ASSERT_EQ(chain_.setTempRange(23, L"", 150.0f, 900.0f, 30), S_OK);
    ASSERT_EQ(chain_.loadTemperatureTable(), S_OK);
    EXPECT_EQ(chain_.getShared().adjustedSkim, 0);
    EXPECT_EQ(device_.skim, 2100);
}

TEST_F(ImageProcessingTest, SkimCheckRestoresCalibratedSkimEveryFiveSeconds) {
    build();
    const std::uint16_t calibrated = device_.skim;
    device_.skim = calibrated + 40;  // somebody moved it
    for (int i = 0; i < 140; ++i) {  // about 4.6 s
        ASSERT_EQ(frame(), S_OK);
    }
    EXPECT_EQ(device_.skim, calibrated + 40);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(frame(), S_OK);
    }
    EXPECT_EQ(device_.skim, calibrated);
}

TEST_F(ImageProcessingTest, TempRangeRatesAndTablePath) {
    ASSERT_EQ(chain_.init(&device_, &config_, &raw_, &rawBuffer_), S_OK);
    EXPECT_EQ(chain_.setTempRange(23, L"", 0.0f, 250.0f, 45), E_INVALIDARG);
    EXPECT_EQ(chain_.setTempRange(23, L"", 0.0f, 250.0f, 60), S_OK);
    EXPECT_EQ(chain_.getShared().frameRate, 60);
    EXPECT_EQ(chain_.setTempRange(23, L"", -20.0f, 100.0f, 45), S_OK);
    EXPECT_EQ(chain_.getShared().frameRate, 0);
    EXPECT_EQ(chain_.setTempRange(23, L"", -20.0f, 90.0f, 30), E_INVALIDARG);
    EXPECT_EQ(chain_.setTempRange(99, L"", -20.0f, 100.0f, 30), E_INVALIDARG);
    EXPECT_EQ(chain_.getShared().tMax, 100.0f);

    // A table path that does not fit is refused before anything reaches the camera.
    zol::IRLogger::setVerbosity(zol::IRLOG_ERROR, zol::IRLOG_OFF, nullptr);
    std::wstring longDir = dirW_ + L"/" + std::wstring(240, L'd');
    std::wmemset(config_.tableDirectory, 0, kChainPathLength);
    longDir.copy(config_.tableDirectory, kChainPathLength - 1);
    ASSERT_EQ(chain_.init(&device_, &config_, &raw_, &rawBuffer_), S_OK);
    ASSERT_EQ(chain_.setTempRange(23, L"", -20.0f, 100.0f, 30), S_OK);
    device_.calls.clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(chain_.loadTemperatureTable(), E_INVALIDARG);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Calibration file path not valid: "), std::string::npos);
    EXPECT_NE(err.find("Kennlinie-4711001-23-M20-100.prn"), std::string::npos);
    EXPECT_TRUE(device_.calls.empty());
}

TEST_F(ImageProcessingTest, TableParametersAndMetadata) {
    build();
    double t1 = 0, t2 = 0, t3 = 0, w1 = 0, w2 = 0;
    std::int16_t v1 = 0, v2 = 0, v3 = 0;
    EXPECT_EQ(chain_.getTemperatureTableParameters(&t1, &t2, &t3, &v1, &v2, nullptr, &w1, &w2),
              E_POINTER);
    EXPECT_EQ(t1, 0.0);
    EXPECT_EQ(v1, 0);
    ASSERT_EQ(chain_.getTemperatureTableParameters(&t1, &t2, &t3, &v1, &v2, &v3, &w1, &w2), S_OK);
    EXPECT_DOUBLE_EQ(t1, 25.0);
    EXPECT_DOUBLE_EQ(t2, 100.0);
    EXPECT_NEAR(v1, 6000, 2);
    EXPECT_NEAR(v2, 12000, 2);
    EXPECT_NEAR(w1, 9.5, 0.05);

    ASSERT_EQ(frame(), S_OK);
    RadiationParameters p;
    p.emissivity = 0.95f;
    p.transmissivity = 0.9f;
    p.ambientTemperature = 22.5f;
    p.index = 1;
    p.secondAmbientTemperature = 10.0f;
    ASSERT_EQ(chain_.setRadiationParameters(0, p), S_OK);
    EXPECT_EQ(chain_.setRadiationParameters(1, p), E_FAIL);
    std::uint8_t bytes[128];
    std::memset(bytes, 0xAB, sizeof bytes);
    auto* m = reinterpret_cast<ImagerMetadataRecord*>(bytes);
    ASSERT_EQ(chain_.getMetaData(m), S_OK);
    EXPECT_EQ(m->recordSize, 128);
    EXPECT_EQ(m->version, 1012);
    EXPECT_EQ(m->serial, kSerial);
    EXPECT_EQ(m->emissivity, 950);
    EXPECT_EQ(m->transmissivity, 900);
    EXPECT_EQ(m->ambientRaw, 1225);
    EXPECT_EQ(m->secondAmbientRaw, 1100);
    EXPECT_EQ(m->tMinRaw, 800);
    EXPECT_EQ(m->tMaxRaw, 2000);
    EXPECT_EQ(m->fov, 23);
    EXPECT_EQ(m->opticIndex, 0);
    EXPECT_EQ(m->rangeIndex, 0);
    EXPECT_EQ(m->decimal, 0);
    EXPECT_NEAR(m->tempChip100, 4000, 3);  // from the frame header
    EXPECT_EQ(m->hwFrameCounter, 0u);
    EXPECT_EQ(m->entryCount, 0);  // left unfilled
}

// Before any frame the temperatures come from the device, afterwards from the frames.
class TemperatureDevice : public RecordingDevice {
  public:
    std::int32_t GetTempFlag(float* t) override { return *t = 31.5f, ++queries, 0; }
    int queries = 0;
};

TEST_F(ImageProcessingTest, TemperaturesFromDeviceUntilFramesCarryThem) {
    TemperatureDevice device;
    ASSERT_EQ(chain_.init(&device, &config_, &raw_, &rawBuffer_), S_OK);
    ASSERT_EQ(chain_.setTempRange(23, L"", -20.0f, 100.0f, 30), S_OK);
    ASSERT_EQ(chain_.initOperators(), S_OK);
    float t = 0.0f;
    EXPECT_EQ(chain_.getTempFlag(nullptr), E_POINTER);
    ASSERT_EQ(chain_.getTempFlag(&t), S_OK);
    ASSERT_EQ(chain_.getTempFlag(&t), S_OK);
    EXPECT_EQ(t, 31.5f);
    EXPECT_EQ(device.queries, 1);
    ASSERT_EQ(chain_.readCalibration(), S_OK);
    ASSERT_EQ(chain_.loadTemperatureTable(), S_OK);
    ASSERT_EQ(chain_.updateRadiationParameters(0, 1.0f, 1.0f), S_OK);
    ASSERT_EQ(frame(), S_OK);
    ASSERT_EQ(chain_.getTempFlag(&t), S_OK);
    EXPECT_NEAR(t, camera_->tempFlag, 0.01f);
    EXPECT_EQ(device.queries, 1);
}

TEST_F(ImageProcessingTest, SnapshotsOnePerFrameWithCopies) {
    build();
    std::vector<std::pair<int, int>> seen;
    bool copies = false;
    chain_.snapshotCallback = [&](SnapshotRecord* r) {
        seen.emplace_back(r->appRequest, r->pifRequest);
        copies = r->temperatures != nullptr && r->energy != nullptr && r->visible == nullptr &&
                 r->metadata != nullptr && r->formats[1].width == 160 &&
                 std::memcmp(r->temperatures, chain_.getEnergy2Temp(0)->frame->pixels,
                             160 * 120 * 2) == 0;
    };
    chain_.getShared().appSnapshotRequest = 1;
    chain_.getShared().pifSnapshotRequest = 1;
    ASSERT_EQ(frame(), S_OK);
    ASSERT_EQ(frame(), S_OK);
    ASSERT_EQ(frame(), S_OK);
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{0, 1}, {1, 1}}));
    EXPECT_TRUE(copies);
}

TEST_F(ImageProcessingTest, DeviceConfiguration) {
    ASSERT_EQ(chain_.init(&device_, &config_, &raw_, &rawBuffer_), S_OK);
    chain_.applyTecCalibration();
    const CaliMain main = Cali::getInstance()->getMain();
    ASSERT_EQ(device_.calls.size(), 3u);
    EXPECT_EQ(device_.calls[0], "SetTec_D(" + std::to_string(main.TecD) + ",0)");
    EXPECT_EQ(device_.calls[2], "SetTec_C(" + std::to_string(main.TecC) + ",0)");
    EXPECT_EQ(device_.getTecMaxTemperature(), 80.0f);

    // Old cameras take the interface scaling, but only into channels they have.
    device_.hw = 15;
    ASSERT_EQ(chain_.init(&device_, &config_, &raw_, &rawBuffer_), S_OK);
    device_.inOffsets().clear();
    chain_.applyTecCalibration();
    EXPECT_TRUE(device_.inOffsets().empty());
    EXPECT_EQ(device_.getPifOutGain(0), main.PifOutGain);

    device_.hw = 3100;
    device_.calls.clear();
    chain_.applyFlagCycles();
    build();
    chain_.setAutoChipHeating();
    EXPECT_EQ(device_.calls[0], "SetFlagCycle(" + std::to_string(main.FlagCycles) + ",0)");
    ASSERT_GE(device_.count("SetTempTec"), 2);
    EXPECT_EQ(device_.calls[device_.calls.size() - 1], "SetTempTec(350,0)");
    EXPECT_EQ(device_.calls[device_.calls.size() - 2], "SetTempTec(350,0)");
}

TEST_F(ImageProcessingTest, ProcessInterfaceRecord) {
    build();
    std::vector<std::uint8_t> bytes(PifConfigRecord::kHeaderSize + 4 * PifConfigRecord::kEntrySize);
    auto* rec = reinterpret_cast<PifConfigRecord*>(bytes.data());
    rec->digitalInputCount = 1;
    rec->analogInputCount = 1;
    rec->analogOutputCount = 1;
    rec->digitalOutputCount = 1;
    rec->diLowActive = 1;
    rec->aoLevelFrameSync = 777;
    auto entry = [&](int i) {
        return reinterpret_cast<PifConfigEntry*>(bytes.data() + PifConfigRecord::kHeaderSize +
                                                 i * PifConfigRecord::kEntrySize);
    };
    entry(0)->mode = 3;
    entry(1)->mode = 2;
    entry(2)->mode = 11;
    entry(2)->outputMode = 2;
    entry(2)->enable = 1;
    entry(2)->value1 = 10.0;
    entry(2)->value2 = 60.0;
    entry(2)->output1 = 100;
    entry(2)->output2 = 1100;
    entry(3)->mode = 10;

    // Entries the size does not hold are not read.
    rec->size = static_cast<std::uint16_t>(bytes.size() - 1);
    device_.calls.clear();
    EXPECT_EQ(chain_.configurePif(rec), E_INVALIDARG);
    EXPECT_TRUE(device_.calls.empty());
    EXPECT_EQ(chain_.getShared().pifConfig, nullptr);

    rec->size = static_cast<std::uint16_t>(bytes.size());
    ASSERT_EQ(chain_.configurePif(rec), S_OK);
    EXPECT_EQ(device_.calls,
              (std::vector<std::string>{"DI(3,0)", "DILow(1,0)", "AI(2,0)", "AO(11,0)",
                                        "AOTInt(0,0)", "AOOut(2,0)", "DO(10,0)"}));
    EXPECT_DOUBLE_EQ(device_.slope, 20.0);
    EXPECT_DOUBLE_EQ(device_.offset, -100.0);
    ASSERT_NE(chain_.getShared().pifConfig, nullptr);
    EXPECT_NE(static_cast<const void*>(chain_.getShared().pifConfig), bytes.data());

    // Frames now carry one analog value.
    ASSERT_EQ(frame(), S_OK);
    EXPECT_EQ(chain_.getDeviceFrame()->metadata->analogCount, 1);
}
