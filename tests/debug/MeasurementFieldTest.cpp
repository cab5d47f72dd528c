// Measurement fields of the debug build: the operator alone, a field branch in the simulated
// camera's chain, and a field measured on the post-processing worker.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "common/SimChainTest.h"
#include "imgproc/Cali.h"
#include "imgproc/IRMeasurementField.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/NullControlDevice.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpMeasurementField.h"
#include "imgproc/OpPostProcessing.h"
#include "imgproc/OpTestSupport.h"

namespace {

// What the callback saw: the first copied value and the statistics at that moment.
struct Seen {
    std::uint16_t first;
    float mean, min, max;
};
std::vector<Seen> g_seen;

int record(zol::IRMeasurementField* f) {
    g_seen.push_back(Seen{f->copy[0], f->mean, f->min, f->max});
    return 0;
}

class OpMeasurementFieldTest : public ::testing::Test {
  protected:
    OpMeasurementFieldTest()
        : source_(&shared_, 4, 3),
          op_(&source_, 12, L"# Measurement field", &shared_, &field_, nullptr) {
        g_seen.clear();
        field_.x = 1;
        field_.y = 1;
        field_.w = 2;
        field_.h = 2;
        field_.callback = &record;
        field_.copy = copy_;
        field_.mean = field_.min = field_.max = -1.0f;
    }
    // Pixels of the 4 x 3 frame, row by row, and its flag state.
    void frame(std::vector<std::uint16_t> pixels, std::int32_t flagState = 0) {
        std::copy(pixels.begin(), pixels.end(), source_.frame->pixels);
        source_.frame->metadata->flagState = flagState;
        ASSERT_EQ(source_.trigger(), S_OK);
    }

    SharedParameterBlock shared_;
    zol::IRMeasurementField field_;
    std::uint16_t copy_[4] = {};
    optest::SourceOp source_;
    OpMeasurementField op_;
};

TEST_F(OpMeasurementFieldTest, SkipsFirstFrameAndFlagFramesReportsPreviousStatistics) {
    ASSERT_EQ(source_.start(), S_OK);
    EXPECT_EQ(op_.frame, source_.frame);  // adopted, not copied

    const std::vector<std::uint16_t> a = {0, 0,    0,    0,  //
                                          0, 1200, 1300, 0,  //
                                          0, 1100, 1400, 0};
    frame(a);  // first frame after building: not measured
    EXPECT_TRUE(g_seen.empty());
    EXPECT_EQ(copy_[0], 0);

    frame(a);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].first, 1200);
    EXPECT_EQ(g_seen[0].mean, -1.0f);  // the callback sees the values before this frame
    EXPECT_EQ(std::vector<std::uint16_t>(copy_, copy_ + 4),
              (std::vector<std::uint16_t>{1200, 1300, 1100, 1400}));
    EXPECT_FLOAT_EQ(field_.mean, 25.0f);
    EXPECT_FLOAT_EQ(field_.min, 10.0f);
    EXPECT_FLOAT_EQ(field_.max, 40.0f);

    // Closed or moving flag: nothing changes, no callback.
    for (std::int32_t state : {1, 2, 3}) {
        frame({0, 0, 0, 0, 0, 900, 900, 0, 0, 900, 900, 0}, state);
    }
    EXPECT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(copy_[0], 1200);
    EXPECT_FLOAT_EQ(field_.mean, 25.0f);

    // The no-value marker is not left out: it enters the sum and is the maximum.
    frame({0, 0, 0, 0, 0, 0x8000, 1000, 0, 0, 1000, 1000, 0});
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_FLOAT_EQ(g_seen[1].mean, 25.0f);
    EXPECT_FLOAT_EQ(field_.max, (32768.0f - 1000.0f) / 10.0f);
    EXPECT_FLOAT_EQ(field_.min, 0.0f);
    EXPECT_FLOAT_EQ(field_.mean, static_cast<float>(((32768.0 + 3000.0) / 4 - 1000.0) / 10.0));
}

TEST_F(OpMeasurementFieldTest, SinglePixelAndRectanglesTheFrameCannotHold) {
    field_.x = 3;
    field_.y = 2;
    field_.w = 1;
    field_.h = 1;
    ASSERT_EQ(source_.start(), S_OK);
    frame(std::vector<std::uint16_t>(12, 0));
    frame({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1375});
    EXPECT_FLOAT_EQ(field_.mean, 37.5f);
    EXPECT_FLOAT_EQ(field_.min, 37.5f);
    EXPECT_FLOAT_EQ(field_.max, 37.5f);

    // A rectangle moved off the frame, or emptied, is not measured (no read past the frame).
    field_.x = 4;
    frame(std::vector<std::uint16_t>(12, 2000));
    field_.x = 3;
    field_.w = 0;
    frame(std::vector<std::uint16_t>(12, 2000));
    EXPECT_EQ(g_seen.size(), 1u);
    EXPECT_FLOAT_EQ(field_.mean, 37.5f);
}

// ---- a field branch in the processing chain of the simulated camera -----------------------

class FieldDevice : public NullControlDevice {
  public:
    explicit FieldDevice(std::uint32_t serial) : serial_(serial) {}
    std::uint32_t GetSerialNumber() override { return serial_; }
    std::uint16_t GetHWRevision() override { return 3100; }
    std::uint16_t GetFWRevision() override { return 2250; }
    bool GetShortImagerCaps() override { return true; }
    std::int32_t GetTempFlag(float* t) override { return *t = 30.0f, 0; }
    std::int32_t GetTempBox(float* t) override { return *t = 28.0f, 0; }

  private:
    std::uint32_t serial_;
};

std::vector<std::uint16_t> g_thermal;
std::vector<int> g_flagStates;
std::atomic<int> g_fieldCalls{0};

class MeasurementFieldChainTest : public kelvix_test::SimChainTest<FieldDevice> {
  protected:
    static constexpr std::uint32_t kSerial = 31340077;

    MeasurementFieldChainTest() : SimChainTest(kSerial, kSerial) {}

    void SetUp() override {
        SimChainTest::SetUp();
        g_fieldCalls = 0;
        g_flagStates.clear();
        ASSERT_NO_FATAL_FAILURE(setUpCamera(sim::CalibrationSet::standard()));
        config_.doneCallbacks[ImageProcessingConfig::kThermalSlot] = [](FrameDoneRecord* r) {
            std::copy(r->pixels, r->pixels + g_thermal.size(), g_thermal.begin());
            g_flagStates.push_back(+r->metadata->flagState);
        };
        g_thermal.assign(physics_->pixelCount(), 0);
        ASSERT_NO_FATAL_FAILURE(readCalibration());
        ASSERT_NO_FATAL_FAILURE(build());

        physics_->setModel(writer_->set().optics[0].ranges[0].model);
        camera_->tempChip = 39.0f;
        camera_->tempFlag = 32.0f;
        camera_->tempBox = 30.0f;
        physics_->setBlackbodyScene(37.0f, 0.0f, 60.0f);
    }

    // A field inside the blackbody (the middle half of the frame).
    zol::IRMeasurementField centreField(std::vector<std::uint16_t>& copy) {
        const int w = physics_->layout().width;
        const int h = physics_->layout().height;
        zol::IRMeasurementField f;
        f.x = w / 4 + 2;
        f.y = h / 4 + 2;
        f.w = static_cast<std::uint32_t>(w / 4);
        f.h = static_cast<std::uint32_t>(h / 4);
        copy.assign(std::size_t(f.w) * f.h, 0);
        f.copy = copy.data();
        f.callback = [](zol::IRMeasurementField*) { return ++g_fieldCalls; };
        return f;
    }
};

TEST_F(MeasurementFieldChainTest, FieldMeasuresTheSceneOnOpenFlagFrames) {
    std::vector<std::uint16_t> copy;
    zol::IRMeasurementField field = centreField(copy);
    ASSERT_EQ(chain_.addMeasurementField(&field), S_OK);
    ASSERT_EQ(chain_.getChainCount(), 2u);
    ASSERT_EQ(chain_.getMeasurementFields().size(), 1u);
    EXPECT_EQ(chain_.getEnergy2Temp(1)->getSuccessors().at(0)->getId(), 12);

    physics_->beginFlagCycle(10);
    frames(10 + 30);
    int open = 0;
    for (std::size_t i = 1; i < g_flagStates.size(); ++i) {
        open += g_flagStates[i] == 0;  // the first frame is skipped
    }
    EXPECT_GT(open, 20);
    EXPECT_EQ(g_fieldCalls, open);

    // Same emissivity as the main image: the same values, and the blackbody's temperature.
    const int width = physics_->layout().width;
    int differ = 0;
    for (std::uint32_t i = 0; i < field.h; ++i) {
        for (std::uint32_t j = 0; j < field.w; ++j) {
            differ += copy[i * field.w + j] != g_thermal[(field.y + i) * width + field.x + j];
        }
    }
    EXPECT_EQ(differ, 0);
    // The branch converts only its rectangle.
    EXPECT_EQ(chain_.getEnergy2Temp(1)->frame->pixels[0], 0);
    EXPECT_NE(g_thermal[0], 0);
    EXPECT_NEAR(field.mean, 37.0f, 0.3f);
    EXPECT_LE(field.min, field.mean);
    EXPECT_GE(field.max, field.mean);
}

TEST_F(MeasurementFieldChainTest, OwnEmissivityAndRefusedFields) {
    std::vector<std::uint16_t> copy;
    zol::IRMeasurementField plain = centreField(copy);
    std::vector<std::uint16_t> copy2;
    zol::IRMeasurementField grey = centreField(copy2);
    grey.emissivity = 0.8f;

    // Fields the frame cannot measure are refused before anything is built.
    const int w = physics_->layout().width;
    zol::IRMeasurementField bad = plain;
    bad.x = w - static_cast<int>(bad.w) + 1;
    EXPECT_EQ(chain_.addMeasurementField(&bad), E_INVALIDARG);
    bad = plain;
    bad.h = 0;
    EXPECT_EQ(chain_.addMeasurementField(&bad), E_INVALIDARG);
    bad = plain;
    bad.copy = nullptr;
    EXPECT_EQ(chain_.addMeasurementField(&bad), E_INVALIDARG);
    EXPECT_EQ(chain_.addMeasurementField(nullptr), E_POINTER);
    EXPECT_EQ(chain_.getChainCount(), 1u);

    ASSERT_EQ(chain_.addMeasurementField(&plain), S_OK);
    ASSERT_EQ(chain_.addMeasurementField(&grey), S_OK);
    EXPECT_EQ(chain_.getChainCount(), 3u);
    physics_->beginFlagCycle(10);
    frames(10 + 20);
    EXPECT_NEAR(plain.mean, 37.0f, 0.3f);
    // Less emissive: the same radiance means a warmer object.
    EXPECT_GT(grey.mean, plain.mean + 1.0f);

    // The chain's end frees its operators but never the callers' records.
    chain_.destroyChain();
    EXPECT_TRUE(chain_.getMeasurementFields().empty());
    EXPECT_NEAR(plain.mean, 37.0f, 0.3f);
}

class MeasurementFieldThreaded : public MeasurementFieldChainTest {};

TEST_F(MeasurementFieldThreaded, FieldMeasuredOnThePostProcessingWorker) {
    std::vector<std::uint16_t> copy;
    zol::IRMeasurementField field = centreField(copy);
    ASSERT_EQ(chain_.addMeasurementField(&field), S_OK);
    chain_.getPostProcessing()->setUseThread(true);
    physics_->beginFlagCycle(10);
    // The worker keeps only the newest frame, and a loaded machine can leave it asleep while
    // the whole stream is queued: feed one frame at a time so that each one is measured.
    OpPostProcessing* post = chain_.getPostProcessing();
    for (int n = 0; n < 10 + 30; ++n) {
        ASSERT_EQ(frame(), S_OK);
        for (int i = 0; i < 5000 && post->queuedCount() != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(post->queuedCount(), 0u) << "frame " << n;
    }
    // Ending the chain joins the worker: the record is then safe to read here.
    chain_.destroyChain();
    EXPECT_GT(g_fieldCalls.load(), 20);
    EXPECT_NEAR(field.mean, 37.0f, 0.3f);
}

}  // namespace
