// The processing chain on a control device that answers as the simulated camera: refusals, the
// scene coming back, skim and chip heating, old cameras' TEC calibration.
#include "imgproc/ImageProcessing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "common/SimChainTest.h"
#include "imgproc/Cali.h"
#include "imgproc/NullControlDevice.h"
#include "imgproc/OpCorr.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpMetadata.h"
#include "imgproc/OpPostProcessing.h"
#include "imgproc/OpSource.h"

namespace {

// A control device that answers as the simulated camera and records what the chain sends.
class ChainDevice : public NullControlDevice {
  public:
    explicit ChainDevice(std::uint32_t serial) : serial_(serial) {}
    std::uint32_t GetSerialNumber() override { return serial_; }
    std::uint16_t GetHWRevision() override { return hwRevision; }
    std::uint16_t GetFWRevision() override { return 2250; }
    bool GetShortImagerCaps() override { return true; }
    void GetSkim(std::uint16_t* v) override { *v = skim; }
    void SetSkim(std::uint16_t v) override { skim = v, skimWrites.push_back(v); }
    void SetSkim_Adjust(std::uint16_t v) override { skim = v, skimWrites.push_back(v); }
    void SetSkim_Ext(std::uint16_t v) override { skim = v, skimWrites.push_back(v); }
    void SetFid(std::uint16_t v) override { fid = v; }
    void SetTempTec(float t) override { tecWrites.push_back(t); }
    std::int32_t GetTempFlag(float* t) override { return *t = 30.0f, 0; }
    std::int32_t GetTempBox(float* t) override { return *t = 28.0f, 0; }

    std::uint16_t hwRevision = 3100;
    std::uint16_t skim = 0;
    std::uint16_t fid = 0xFFFF;
    std::vector<std::uint16_t> skimWrites;
    std::vector<float> tecWrites;

  private:
    std::uint32_t serial_;
};

std::vector<std::uint16_t> thermalFrame;
std::atomic<int> thermalFrames{0};

class ImageProcessingTest : public kelvix_test::SimChainTest<ChainDevice> {
  protected:
    static constexpr std::uint32_t kSerial = 31340004;

    ImageProcessingTest() : SimChainTest(kSerial, kSerial) {}

    void SetUp() override {
        SimChainTest::SetUp();
        sim::CalibrationSet set = sim::CalibrationSet::standard();
        set.optics[0].ranges[2].frameRates = {30, 60};
        set.optics[0].ranges[1].skim = 2100;
        ASSERT_NO_FATAL_FAILURE(setUpCamera(set));
        config_.doneCallbacks[ImageProcessingConfig::kThermalSlot] = [](FrameDoneRecord* r) {
            const std::uint16_t* p = r->pixels;
            std::copy(p, p + thermalFrame.size(), thermalFrame.begin());
            ++thermalFrames;
        };
        thermalFrame.assign(physics_->pixelCount(), 0);
        thermalFrames = 0;
    }

    // The imager's start-up order, up to the first frame.
    void start(float tMin = -20.0f, float tMax = 100.0f) {
        ASSERT_NO_FATAL_FAILURE(readCalibration());
        ASSERT_NO_FATAL_FAILURE(build(tMin, tMax, true));
    }
};

}  // namespace

TEST_F(ImageProcessingTest, InitRefusals) {
    // A serial the description does not hold.
    ImageProcessingConfig other = config_;
    other.serial = kSerial + 1;
    ASSERT_EQ(Cali::getInstance()->readXML(dirW_.c_str(), kSerial), 0);
    EXPECT_EQ(chain_.init(&device_, &other, &raw_, &rawBuffer_), E_FAIL);

    FrameInitRecord bad = raw_;
    bad.bitCount = 8;
    EXPECT_EQ(chain_.init(&device_, &config_, &bad, &rawBuffer_), -1);
    EXPECT_EQ(chain_.getSource(), nullptr);
    bad = raw_;
    bad.width = 0;
    EXPECT_EQ(chain_.init(&device_, &config_, &bad, &rawBuffer_), -1);
    EXPECT_EQ(chain_.getSource(), nullptr);

    ASSERT_EQ(chain_.init(&device_, &config_, &raw_, &rawBuffer_), S_OK);
    EXPECT_EQ(chain_.getShared().hardwareRevision, 3100);
    EXPECT_EQ(chain_.getShared().revision2100, 0);
    // Frame rates: refused when missing from a range's list, free (and stored as 0) without one.
    EXPECT_EQ(chain_.setTempRange(23, L"", 150, 900, 45), E_INVALIDARG);
    EXPECT_EQ(chain_.setTempRange(23, L"", 150, 900, 60), S_OK);
    EXPECT_EQ(chain_.getShared().frameRate, 60);
    EXPECT_EQ(chain_.setTempRange(23, L"", -20, 100, 45), S_OK);
    EXPECT_EQ(chain_.getShared().frameRate, 0);
    EXPECT_EQ(chain_.setTempRange(23, L"", -20, 99, 0), E_INVALIDARG);
}

TEST_F(ImageProcessingTest, SimulatedCameraSceneComesBack) {
    start();
    EXPECT_EQ(device_.fid, 0);
    physics_->setModel(writer_->set().optics[0].ranges[0].model);
    camera_->tempChip = 39.0f;
    camera_->tempFlag = 32.0f;
    camera_->tempBox = 30.0f;
    physics_->setBlackbodyScene(37.0f, 0.0f, 60.0f);

    frames(2);
    EXPECT_EQ(+chain_.getDeviceFrame()->metadata->settleMarker, 0u);
    frames(1);
    EXPECT_EQ(+chain_.getDeviceFrame()->metadata->settleMarker, 1u);
    physics_->beginFlagCycle(10);
    frames(10 + 40);
    ASSERT_EQ(thermalFrames, 53);

    // Ambient from the housing as the imager sets it, then the scene: within 0.3 degC.
    const int w = physics_->layout().width;
    const int h = physics_->layout().height;
    int bad = 0;
    for (int y = 0; y < h - 1; ++y) {
        for (int x = 0; x < w - 1; ++x) {
            const int p = y * w + x;
            const bool inside = x >= w / 4 && x < 3 * w / 4 && y >= h / 4 && y < 3 * h / 4;
            const double t = inside ? 37.0 : 60.0 * x / (w - 1);
            bad += !physics_->isDead(p) && std::fabs((thermalFrame[p] - 1000) * 0.1 - t) > 0.3;
        }
    }
    EXPECT_EQ(bad, 0);

    // The copy is 128 bytes: the fixed record and room for two analog values.
    alignas(ImagerMetadataRecord) unsigned char bytes[128] = {};
    ImagerMetadataRecord& meta = *reinterpret_cast<ImagerMetadataRecord*>(bytes);
    ASSERT_EQ(chain_.getMetaData(&meta), S_OK);
    EXPECT_EQ(meta.version, 1012);
    EXPECT_EQ(meta.serial, kSerial);
    EXPECT_EQ(meta.opticIndex, 0);
    EXPECT_EQ(meta.rangeIndex, 0);
    EXPECT_EQ(meta.tempFlag100, 3200);
    EXPECT_EQ(meta.emissivity, 1000);
    EXPECT_EQ(meta.tMinRaw, 800);
}

TEST_F(ImageProcessingTest, SkimDeltasAndChipHeating) {
    start();
    device_.skim = 2000;
    chain_.getShared().pendingSkimDelta = 5;
    frames(1);
    EXPECT_EQ(device_.skim, 2005);
    EXPECT_EQ(chain_.getShared().pendingSkimDelta, 0);
    // Reloading the same range keeps the adjusted skim.
    device_.skimWrites.clear();
    ASSERT_EQ(chain_.loadTemperatureTable(), S_OK);
    ASSERT_EQ(device_.skimWrites.size(), 1u);
    EXPECT_EQ(device_.skimWrites[0], 2005);
    // Another range sends its own.
    ASSERT_EQ(chain_.setTempRange(23, L"", 0, 250, 0), S_OK);
    ASSERT_EQ(chain_.loadTemperatureTable(), S_OK);
    EXPECT_EQ(device_.skimWrites.back(), writer_->set().optics[0].ranges[1].skim);

    ASSERT_EQ(chain_.setAutoChipHeating(), S_OK);
    ASSERT_EQ(device_.tecWrites.size(), 2u);
    EXPECT_EQ(device_.tecWrites[0], device_.tecWrites[1]);
    EXPECT_FLOAT_EQ(device_.tecWrites[0], chain_.getCorrection(0)->getCaliChipTemp());

    double t1 = 1, t2 = 2, t3 = 3, l1 = 4, l2 = 5;
    std::int16_t v1 = 6, v2 = 7, v3 = 8;
    EXPECT_EQ(chain_.getTemperatureTableParameters(&t1, &t2, &t3, &v1, &v2, nullptr, &l1, &l2),
              E_POINTER);
    EXPECT_EQ(t1, 1.0);
    EXPECT_EQ(v1, 6);
    ASSERT_EQ(chain_.getTemperatureTableParameters(&t1, &t2, &t3, &v1, &v2, &v3, &l1, &l2), S_OK);
    EXPECT_NEAR(t1, 25.0, 0.05);
    EXPECT_NEAR(t2, 200.0, 0.05);
    EXPECT_EQ(v2, 12000);
    EXPECT_NEAR(l1, 9.5, 0.05);  // micrometres
}

TEST_F(ImageProcessingTest, TecCalibrationOfOldCameras) {
    device_.hwRevision = 19;
    ASSERT_EQ(Cali::getInstance()->readXML(dirW_.c_str(), kSerial), 0);
    ASSERT_EQ(chain_.init(&device_, &config_, &raw_, &rawBuffer_), S_OK);
    // Without process-interface channels there are no scaling entries to write.
    ASSERT_EQ(chain_.applyTecCalibration(), S_OK);
    EXPECT_FLOAT_EQ(device_.getPifInGain(0), 1.0f);
    EXPECT_FLOAT_EQ(device_.getTecOffset(), Cali::getInstance()->getMain().TempTECOffset);
    EXPECT_FLOAT_EQ(device_.getTecMaxTemperature(), 55.0f);
    device_.hwRevision = 3100;
    ASSERT_EQ(chain_.init(&device_, &config_, &raw_, &rawBuffer_), S_OK);
    ASSERT_EQ(chain_.applyTecCalibration(), S_OK);
    EXPECT_FLOAT_EQ(device_.getTecMaxTemperature(), 80.0f);
}

// The operators behind post-processing on its worker thread, the flag operator on the capture
// thread: the scene still comes back.
class ImageProcessingThreaded : public ImageProcessingTest {};

TEST_F(ImageProcessingThreaded, SceneComesBack) {
    start();
    chain_.getPostProcessing()->setUseThread(true);
    camera_->tempChip = 39.0f;
    physics_->setUniformScene(45.0f);
    frames(3);
    physics_->beginFlagCycle(10);
    frames(10 + 30);
    // Wait for the worker to drain (it keeps only the newest frame).
    for (int i = 0; i < 2000 && chain_.getPostProcessing()->queuedCount() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int seen = thermalFrames.load();
    frames(1);
    for (int i = 0; i < 2000 && thermalFrames.load() == seen; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GT(thermalFrames.load(), seen);
    const int w = physics_->layout().width;
    const int centre = (physics_->layout().height / 2) * w + w / 2 + 1;
    EXPECT_NEAR((thermalFrame[centre] - 1000) * 0.1, 45.0, 0.3);
}
