// Operator graphs built from a format file: frames reach the end decoded, tables map every pixel,
// and the back of the chain runs on the worker.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "common/TestEnv.h"
#include "imgproc/FakeCamera.h"
#include "imgproc/OpDevice.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpEnergyNormalize.h"
#include "imgproc/OpMetadata.h"
#include "imgproc/OpPostProcessing.h"
#include "imgproc/OpREA.h"
#include "imgproc/OpSource.h"
#include "imgproc/OpTestSupport.h"

namespace {

// What the end of the chain hands on.
struct Delivered {
    std::vector<std::int16_t> pixels;
    std::uint32_t frameCounter = 0;
    std::uint32_t hwFrameCounter = 0;
    std::int32_t flagState = 0;
    float tempFlag = 0.0f;
    float tempChip = 0.0f;
    std::uint16_t analog0 = 0;
};
std::vector<Delivered> g_delivered;
std::atomic<int> g_deliveredCount{0};
int g_pixelCount = 0;

void onFrameDone(FrameDoneRecord* r) {
    Delivered d;
    d.pixels.assign(reinterpret_cast<std::int16_t*>(r->pixels),
                    reinterpret_cast<std::int16_t*>(r->pixels) + g_pixelCount);
    d.frameCounter = r->metadata->frameCounter;
    d.hwFrameCounter = r->metadata->hwFrameCounter;
    d.flagState = r->metadata->flagState;
    d.tempFlag = r->metadata->tempFlag;
    d.tempChip = r->metadata->tempChip;
    d.analog0 = r->metadata->analog(0);
    g_delivered.push_back(d);
    ++g_deliveredCount;
}

// A raw frame of 24 x 10 words: eight rows of 20 pixels plus 4 padding words, then a header of
// 24 words in the last row.
constexpr int kRawW = 24, kRawH = 10, kOutW = 20, kOutH = 8, kHeader = 216;

class OperatorGraph : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        writeFile("Formats.def",
                  optest::formatsFile(
                      optest::formatBlock("24 10 60", "Out = 20 8 60\n", 1,
                                          "Def = (0 8 d:20 s:4) (216 1 m:24)\n", "(1..20)") +
                      optest::formatBlock("24 10 60", "Out = 20 8 60\n", 1,
                                          "Def = (0 8 d:20 s:4) (216 1 m:24)\n", "(30..40)")));
        formatsDir_ = wpath("");
        shared_.formatsDirectory = formatsDir_.c_str();
        shared_.hardwareRevision = 35;
        shared_.device = &device_;
        device_.setChipOffset(0.5f);

        OpFrameFormat fmt = optest::format(kRawW, kRawH, 166666);
        deviceFrame_ = OpBase::allocateOutputFrame(&fmt, 0);
        root_.reset(new OpDevice(&shared_));
        source_.reset(new OpSource(root_.get(), 1, L"# Source", &shared_, 0));
        meta_.reset(new OpMetadata(source_.get(), &shared_));
        rea_.reset(new OpREA_RadDistCorr(meta_.get(), &shared_));
        post_.reset(new OpPostProcessing(rea_.get(), &shared_));
        norm_.reset(new OpEnergyNormalize(post_.get(), &shared_));
        temp_.reset(new OpEnergy2Temp(norm_.get(), &shared_));
        temp_->frameDoneCallback = onFrameDone;
        g_delivered.clear();
        g_deliveredCount = 0;
        g_pixelCount = kOutW * kOutH;
    }
    void TearDown() override {
        post_.reset();  // joins its worker before the operators behind it go
        temp_.reset();
        norm_.reset();
        rea_.reset();
        meta_.reset();
        source_.reset();
        root_.reset();
        OpBase::freeFrame(deviceFrame_);
        TempDirTest::TearDown();
    }
    // Frame n: pixel (r, c) = 100 * r + c + n, the flag closed on odd frames.
    void push(std::uint32_t n) {
        optest::RawFrame raw(kRawW, kRawH);
        for (int r = 0; r < kOutH; ++r) {
            for (int c = 0; c < kRawW; ++c) {
                raw.words[r * kRawW + c] =
                    static_cast<std::uint16_t>(c < kOutW ? 100 * r + c + n : 0x7777);
            }
        }
        raw.headerByte(kHeader, 2, 0x01);  // chip counts 256
        raw.headerByte(kHeader, 3, 0x00);
        raw.headerByte(kHeader, 4, 0x0F);  // flag 0x0F00 / 128 = 30.0
        raw.headerByte(kHeader, 5, 0x00);
        raw.headerByte(kHeader, 11, n % 2);
        raw.headerByte(kHeader, 24, static_cast<std::uint8_t>(n));
        std::copy(raw.words.begin(), raw.words.end(), deviceFrame_->pixels);
        deviceFrame_->metadata->frameCounter = n;
        deviceFrame_->metadata->settleMarker = n > 2 ? 1 : 0;
        ASSERT_EQ(root_->trigger(), S_OK);
    }
    void checkFrame(const Delivered& d, std::uint32_t n) {
        EXPECT_EQ(d.frameCounter, n);
        EXPECT_EQ(d.hwFrameCounter, n);
        EXPECT_EQ(d.flagState, static_cast<int>(n % 2));
        EXPECT_FLOAT_EQ(d.tempFlag, 30.0f);
        EXPECT_FLOAT_EQ(d.tempChip, 91.9264f - 256 * 0.02838844f + 0.5f);
        EXPECT_EQ(d.analog0, 0);  // no value from the header -> 0 after the metadata operator
        ASSERT_EQ(d.pixels.size(), static_cast<std::size_t>(kOutW * kOutH));
        EXPECT_EQ(d.pixels[0], static_cast<std::int16_t>(n));
        EXPECT_EQ(d.pixels[kOutW * 3 + 7], static_cast<std::int16_t>(307 + n));
        EXPECT_EQ(d.pixels[kOutW * kOutH - 1], static_cast<std::int16_t>(719 + n));
    }

    std::wstring formatsDir_;
    SharedParameterBlock shared_;
    optest::FakeControlDevice device_{1, 1};
    OpFrame* deviceFrame_ = nullptr;
    std::unique_ptr<OpDevice> root_;
    std::unique_ptr<OpSource> source_;
    std::unique_ptr<OpMetadata> meta_;
    std::unique_ptr<OpREA_RadDistCorr> rea_;
    std::unique_ptr<OpPostProcessing> post_;
    std::unique_ptr<OpEnergyNormalize> norm_;
    std::unique_ptr<OpEnergy2Temp> temp_;
};

TEST_F(OperatorGraph, FramesFromTheFormatFileReachTheEndDecoded) {
    ASSERT_EQ(root_->attach(deviceFrame_), S_OK);
    ASSERT_TRUE(source_->isFormatFound());
    EXPECT_EQ(temp_->getWidth(), kOutW);
    EXPECT_EQ(temp_->getHeight(), kOutH);
    EXPECT_EQ(temp_->frame->format->avgTimePerFrame, 166666);
    ASSERT_EQ(temp_->resetToIdentity(), S_OK);
    for (std::uint32_t n = 1; n <= 4; ++n) {
        push(n);
    }
    ASSERT_EQ(g_delivered.size(), 4u);
    for (std::uint32_t n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        checkFrame(g_delivered[n - 1], n);
    }
    EXPECT_EQ(meta_->lastHwFrameCounter, 4u);
    EXPECT_EQ(post_->findById(1, true, false), source_.get());
    EXPECT_EQ(root_->findById(11, false, true), temp_.get());
}

TEST_F(OperatorGraph, ATemperatureTableMapsEveryPixel) {
    ASSERT_EQ(root_->attach(deviceFrame_), S_OK);
    std::vector<std::int16_t> table(lut::kSize);
    for (int i = 0; i < lut::kSize; ++i) {
        table[i] = static_cast<std::int16_t>(2 * (i - 3000) + 1000);
    }
    ASSERT_EQ(temp_->loadLut(table.data(), lut::kSize, 3000), S_OK);
    push(3);
    ASSERT_EQ(g_delivered.size(), 1u);
    EXPECT_EQ(g_delivered[0].pixels[1], 2 * 4 + 1000);
}

TEST_F(OperatorGraph, OperatorsReinitialiseWhenTheFrameIsAttachedAgain) {
    ASSERT_EQ(root_->attach(deviceFrame_), S_OK);
    ASSERT_EQ(root_->attach(deviceFrame_), S_OK);
    ASSERT_EQ(temp_->resetToIdentity(), S_OK);
    push(1);
    ASSERT_EQ(g_delivered.size(), 1u);
    checkFrame(g_delivered[0], 1);
}

TEST_F(OperatorGraph, AnUnknownCameraRevisionRunsOnTheDefaultFormat) {
    shared_.hardwareRevision = 25;
    testing::internal::CaptureStderr();
    ASSERT_EQ(root_->attach(deviceFrame_), S_OK);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(source_->isFormatFound());
    EXPECT_EQ(temp_->getWidth(), kRawW);
    EXPECT_EQ(temp_->getHeight(), kRawH);
}

class OperatorGraphThreaded : public OperatorGraph {};

TEST_F(OperatorGraphThreaded, TheBackOfTheChainRunsOnTheWorker) {
    ASSERT_EQ(root_->attach(deviceFrame_), S_OK);
    ASSERT_EQ(temp_->resetToIdentity(), S_OK);
    post_->setUseThread(true);
    for (std::uint32_t n = 1; n <= 3; ++n) {
        push(n);
        for (int i = 0; i < 1000 && g_deliveredCount.load() < static_cast<int>(n); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ASSERT_EQ(g_deliveredCount.load(), 3);
    for (std::uint32_t n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        checkFrame(g_delivered[n - 1], n);
    }
}

}  // namespace
