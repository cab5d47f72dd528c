// The source operator on hand-made raw frames: pixels, header, chip formula by revision, analog
// inputs, sub-frames and layouts that fall back to the default.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "common/TestEnv.h"
#include "imgproc/FakeCamera.h"
#include "imgproc/OpDevice.h"
#include "imgproc/OpSource.h"
#include "imgproc/OpTestSupport.h"

namespace {

using optest::FakeControlDevice;
using optest::RawFrame;

// 10 x 6 raw words: four rows of six pixels (four padding words each), then 20 header words.
const std::string kPlainBlock =
    optest::formatBlock("10 6 50", "Out = 6 4 50\n", 1, "Def = (0 4 d:6 s:4) (40 1 m:20)\n");
constexpr int kHeader = 40;

class SourceOperator : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        formatsDir_ = wpath("");
        shared_.formatsDirectory = formatsDir_.c_str();
        shared_.hardwareRevision = 1000;
    }
    void TearDown() override {
        for (OpFrame*& f : frames_) {
            OpBase::freeFrame(f);
        }
        TempDirTest::TearDown();
    }
    // A device root with a raw frame of width x height words, and a source (channel 0 or 1).
    HRESULT build(int width, int height, std::int64_t period = 200000, int channel = 0) {
        OpFrameFormat fmt = optest::format(width, height, period);
        frames_.push_back(OpBase::allocateOutputFrame(&fmt, 0));
        root_.reset(new OpDevice(&shared_));
        source_.reset(new OpSource(root_.get(), channel == 0 ? 1 : 2,
                                   channel == 0 ? L"# Source" : L"# Source Visible", &shared_,
                                   channel));
        sink_.reset(new optest::SinkOp(source_.get(), &shared_));
        return root_->attach(frames_.back());
    }
    void load(const RawFrame& raw) {
        std::copy(raw.words.begin(), raw.words.end(), root_->frame->pixels);
    }
    const FrameMetadataRecord& out() const { return *source_->frame->metadata; }

    std::wstring formatsDir_;
    SharedParameterBlock shared_;
    std::vector<OpFrame*> frames_;
    std::unique_ptr<OpDevice> root_;
    std::unique_ptr<OpSource> source_;
    std::unique_ptr<optest::SinkOp> sink_;
};

RawFrame plainFrame() {
    RawFrame raw(10, 6);
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 10; ++c) {
            raw.words[r * 10 + c] = static_cast<std::uint16_t>(c < 6 ? 100 * r + c : 0xDEAD);
        }
    }
    return raw;
}

TEST_F(SourceOperator, UnpacksPixelsAndDecodesTheHeader) {
    writeFile("Formats.def", optest::formatsFile(kPlainBlock));
    ASSERT_EQ(build(10, 6), S_OK);
    EXPECT_TRUE(source_->isFormatFound());
    EXPECT_EQ(source_->getWidth(), 6);
    EXPECT_EQ(source_->getHeight(), 4);
    EXPECT_EQ(source_->frame->format->contentKind, 1u);

    RawFrame raw = plainFrame();
    raw.headerByte(kHeader, 0, 0x0A);  // optics 0x0A00 / 128 = 20.0
    raw.headerByte(kHeader, 1, 0x00);
    raw.headerByte(kHeader, 2, 0x00);  // chip counts 0
    raw.headerByte(kHeader, 3, 0x00);
    raw.headerByte(kHeader, 4, 0xFF);  // flag -128 / 128 = -1.0
    raw.headerByte(kHeader, 5, 0x80);
    raw.headerByte(kHeader, 7, 0x0C);  // box 0x0C80 / 128 = 25.0
    raw.headerByte(kHeader, 8, 0x80);
    raw.headerByte(kHeader, 11, 2);
    raw.headerByte(kHeader, 19, 0x10);
    raw.headerByte(kHeader, 21, 0x01);
    raw.headerByte(kHeader, 22, 0x02);
    raw.headerByte(kHeader, 23, 0x03);
    raw.headerByte(kHeader, 24, 0x04);
    raw.headerByte(kHeader, 31, 0x34);
    raw.headerByte(kHeader, 32, 0x12);
    load(raw);
    root_->frame->metadata->settleMarker = 1;
    ASSERT_EQ(root_->trigger(), S_OK);

    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 6; ++c) {
            EXPECT_EQ(source_->frame->pixels[r * 6 + c], 100 * r + c);
        }
    }
    EXPECT_EQ(+out().flagState, 2);
    EXPECT_FLOAT_EQ(+out().tempChip, 86.926f);
    EXPECT_FLOAT_EQ(+out().tempFlag, -1.0f);
    EXPECT_FLOAT_EQ(+out().tempBox, 25.0f);
    EXPECT_FLOAT_EQ(+out().tempOptics, 20.0f);
    EXPECT_EQ(+out().digitalInputBits, 1u);
    EXPECT_EQ(+out().hwFrameCounter, 0x01020304u);
    EXPECT_EQ(+out().headerWord, 0x1234);
    EXPECT_EQ(+out().settleMarker, 0u);
    EXPECT_EQ(sink_->counters.size(), 1u);

    raw.headerByte(kHeader, 11, 5);  // states beyond 3 read as open
    raw.headerByte(kHeader, 19, 0xEF);
    load(raw);
    ASSERT_EQ(root_->trigger(), S_OK);
    EXPECT_EQ(+out().flagState, 0);
    EXPECT_EQ(+out().digitalInputBits, 0u);
}

TEST_F(SourceOperator, ChipFormulaFollowsTheHardwareRevision) {
    writeFile("Formats.def", optest::formatsFile(kPlainBlock));
    shared_.hardwareRevision = 50;
    ASSERT_EQ(build(10, 6), S_OK);
    load(plainFrame());
    ASSERT_EQ(root_->trigger(), S_OK);
    EXPECT_FLOAT_EQ(+out().tempChip, 91.9264f);
}

TEST_F(SourceOperator, DeviceCorrectionsAndAnalogInputs) {
    writeFile("Formats.def", optest::formatsFile(kPlainBlock));
    FakeControlDevice device(3, 2);
    device.setChipGain(2.0f);
    device.setChipOffset(1.0f);
    device.setFlagOffset(0.5f);
    device.setBoxOffset(-1.0f);
    device.setOpticsOffset(2.0f);
    device.setPifInGain(1, 0.5f);
    device.setPifInOffset(1, 0.25f);
    shared_.device = &device;
    ASSERT_EQ(build(10, 6), S_OK);

    RawFrame raw = plainFrame();
    raw.headerByte(kHeader, 9, 0x10);  // 0x1000 >> 2 = 1024 -> limited to 1023
    raw.headerByte(kHeader, 10, 0x00);
    raw.headerByte(kHeader, 13, 0x01);  // 0x0190 >> 2 = 100 -> 100 * 0.5 + 0.25 -> 50
    raw.headerByte(kHeader, 14, 0x90);
    load(raw);
    ASSERT_EQ(root_->trigger(), S_OK);
    EXPECT_FLOAT_EQ(+out().tempChip, 86.926f * 2.0f + 1.0f);
    EXPECT_FLOAT_EQ(+out().tempFlag, 0.5f);
    EXPECT_FLOAT_EQ(+out().tempBox, -1.0f);
    EXPECT_FLOAT_EQ(+out().tempOptics, 2.0f);
    ASSERT_EQ(out().analogCount, 3);
    EXPECT_EQ(+out().recordSize, 82);
    EXPECT_EQ(+out().digitalInputCount, 2);
    EXPECT_EQ(+out().analog(0), 1023);
    EXPECT_EQ(+out().analog(1), 50);
    EXPECT_EQ(+out().analog(2), 1023);  // further channels repeat channel 0
}

TEST_F(SourceOperator, TextAnalogValuesStopAtTheHeaderEnd) {
    writeFile("Formats.def", optest::formatsFile(kPlainBlock));
    FakeControlDevice device(4, 1, 4);
    shared_.device = &device;
    ASSERT_EQ(build(10, 6), S_OK);
    EXPECT_EQ(source_->getPifType(), 4);

    RawFrame raw = plainFrame();
    raw.headerByte(kHeader, 34, 1);        // first channel 1
    raw.headerText(kHeader, 35, "1.5;x");  // header ends without a further ';'
    load(raw);
    ASSERT_EQ(root_->trigger(), S_OK);
    EXPECT_EQ(+out().analog(0), 0);
    EXPECT_EQ(+out().analog(1), 150);
    EXPECT_EQ(+out().analog(2), 0);
    // The header words themselves are untouched by the parsing.
    EXPECT_EQ(source_->getFormat()->subFrames[0].headerWords[18], raw.words[kHeader + 18]);

    raw.headerText(kHeader, 35, "11;a;");  // the header's last five bytes
    load(raw);
    ASSERT_EQ(root_->trigger(), S_OK);
    EXPECT_EQ(+out().analog(1), 1023);  // 10.24 V at most, then limited to ten bits
    EXPECT_EQ(+out().analog(2), 0);     // unreadable: unchanged
}

TEST_F(SourceOperator, SubFramesHalveThePeriodAndNumberTheirFrames) {
    writeFile("Formats.def",
              optest::formatsFile(optest::formatBlock(
                  "10 6 30", "Out = 6 2 60\n", 2,
                  "Def = (0 2 d:6 s:4) (40 1 m:10)\nDef = (20 2 d:6 s:4) (50 1 m:10)\n")));
    ASSERT_EQ(build(10, 6, 333333), S_OK);
    ASSERT_TRUE(source_->isFormatFound());
    EXPECT_EQ(source_->frame->format->avgTimePerFrame, 166666);

    RawFrame raw = plainFrame();
    raw.headerByte(40, 11, 1);
    raw.headerByte(50, 11, 3);
    load(raw);
    std::vector<std::int64_t> stamps;
    std::vector<int> flags;
    sink_->onCompute = [&] {
        stamps.push_back(+sink_->frame->metadata->timestamp);
        flags.push_back(+sink_->frame->metadata->flagState);
    };
    for (std::uint32_t n : {5u, 6u}) {
        root_->frame->metadata->frameCounter = n;
        root_->frame->metadata->timestamp = 1000000 * n;
        ASSERT_EQ(root_->trigger(), S_OK);
    }
    EXPECT_EQ(sink_->counters, (std::vector<std::uint32_t>{10, 11, 12, 13}));
    EXPECT_EQ(stamps, (std::vector<std::int64_t>{5000000, 5166666, 6000000, 6166666}));
    EXPECT_EQ(flags, (std::vector<int>{1, 3, 1, 3}));
    EXPECT_EQ(source_->getSubFramesProcessed(), 4);
    EXPECT_EQ(sink_->pixel(0), 200);  // second sub-frame: raw rows 2 and 3
    EXPECT_EQ(sink_->pixel(6), 300);
}

TEST_F(SourceOperator, DefaultFormatTakesRowsWithoutSkippingTheOddColumn) {
    // No Formats.def at all.
    ASSERT_EQ(build(383, 289), S_OK);
    EXPECT_FALSE(source_->isFormatFound());
    EXPECT_EQ(source_->getFormat()->name, "DefaultFormat");
    EXPECT_EQ(source_->getWidth(), 382);
    EXPECT_EQ(source_->getHeight(), 288);
    for (int i = 0; i < 383 * 289; ++i) {
        root_->frame->pixels[i] = static_cast<std::uint16_t>(i);
    }
    ASSERT_EQ(root_->trigger(), S_OK);
    EXPECT_EQ(source_->frame->pixels[0], 0);
    EXPECT_EQ(source_->frame->pixels[382], 382);
    EXPECT_EQ(source_->frame->pixels[382 * 288 - 1], static_cast<std::uint16_t>(382 * 288 - 1));
}

TEST_F(SourceOperator, LayoutsThatDoNotFitFallBackToTheDefaultFormat) {
    const char* badDefs[] = {
        "Def = (0 4 d:5 s:5) (40 1 m:20)\n",   // too few pixel words
        "Def = (0 4 d:6 s:4) (45 1 m:20)\n",   // header past the raw frame
        "Def = (0 5 d:6 s:4) (40 1 m:20)\n",   // too many pixel words
        "Def = (55 4 d:6 s:4) (40 1 m:20)\n",  // pixels past the raw frame
    };
    for (const char* defs : badDefs) {
        writeFile("Formats.def",
                  optest::formatsFile(optest::formatBlock("10 6 50", "Out = 6 4 50\n", 1, defs)));
        testing::internal::CaptureStderr();
        ASSERT_EQ(build(10, 6), S_OK) << defs;
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(source_->isFormatFound()) << defs;
        EXPECT_EQ(source_->getWidth(), 10) << defs;
        EXPECT_EQ(source_->getHeight(), 6) << defs;
        load(plainFrame());
        EXPECT_EQ(root_->trigger(), S_OK);
        EXPECT_EQ(source_->frame->pixels[7], 0xDEAD);
    }
}

TEST_F(SourceOperator, AZeroFramePeriodNeverDivides) {
    writeFile("Formats.def",
              optest::formatsFile(optest::formatBlock("10 6 0", "Out = 6 4 0\n", 1,
                                                      "Def = (0 4 d:6 s:4) (40 1 m:20)\n")));
    ASSERT_EQ(build(10, 6, 0), S_OK);
    EXPECT_TRUE(source_->isFormatFound());
    EXPECT_EQ(source_->frame->format->avgTimePerFrame, 0);
}

TEST_F(SourceOperator, ShortHeadersLeaveTheFieldsTheyDoNotHold) {
    writeFile("Formats.def",
              optest::formatsFile(optest::formatBlock("10 6 50", "Out = 6 4 50\n", 1,
                                                      "Def = (0 4 d:6 s:4) (40 1 m:4)\n")));
    ASSERT_EQ(build(10, 6), S_OK);
    RawFrame raw = plainFrame();
    raw.headerByte(kHeader, 4, 0x01);  // flag 256 / 128 = 2.0, inside the 8 header bytes
    load(raw);
    ASSERT_EQ(root_->trigger(), S_OK);
    EXPECT_FLOAT_EQ(+out().tempFlag, 2.0f);
    EXPECT_EQ(+out().flagState, 4);            // byte 11 lies beyond the header
    EXPECT_FLOAT_EQ(+out().tempBox, -100.0f);  // bytes 7-8 too
    EXPECT_EQ(+out().hwFrameCounter, 0u);
    EXPECT_EQ(+out().digitalInputBits, 0xFFFFFFFFu);
}

TEST_F(SourceOperator, VisibleSourceWithoutFormatStaysIdle) {
    writeFile("Formats.def", optest::formatsFile(kPlainBlock));
    int initCalls = 0;
    testing::internal::CaptureStderr();
    OpFrameFormat fmt = optest::format(10, 6, 200000);
    frames_.push_back(OpBase::allocateOutputFrame(&fmt, 0));
    root_.reset(new OpDevice(&shared_));
    source_.reset(new OpSource(root_.get(), 2, L"# Source Visible", &shared_, 1));
    sink_.reset(new optest::SinkOp(source_.get(), &shared_));
    source_->frameDoneCallback = [](FrameDoneRecord*) {};
    sink_->frameDoneCallback = [](FrameDoneRecord*) {};
    root_->attach(frames_.back());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(source_->init(root_.get()), 1);
    EXPECT_EQ(source_->frameDoneCallback, nullptr);
    EXPECT_EQ(sink_->frameDoneCallback, nullptr);
    EXPECT_EQ(shared_.visibleFormatAvailable, 0);
    EXPECT_EQ(root_->trigger(), S_OK);
    EXPECT_EQ(source_->getSubFramesProcessed(), 0);
    EXPECT_EQ(initCalls, 0);
}

TEST_F(SourceOperator, VisibleSourceTakesTheSecondOutLine) {
    writeFile("Formats.def",
              optest::formatsFile(optest::formatBlock("10 6 50", "Out = 4 4 50\nOut = 6 4 50\n", 1,
                                                      "Def = (0 4 d:6 s:4) (40 1 m:20)\n")));
    ASSERT_EQ(build(10, 6, 200000, 1), S_OK);
    EXPECT_TRUE(source_->isFormatFound());
    EXPECT_EQ(shared_.visibleFormatAvailable, 1);
    load(plainFrame());
    ASSERT_EQ(root_->trigger(), S_OK);
    EXPECT_EQ(sink_->pixel(7), 101);
}

TEST_F(SourceOperator, QueryReportsTheOfferedFormats) {
    writeFile("Formats.def",
              optest::formatsFile(optest::formatBlock("10 6 50", "Out = 4 4 50\nOut = 6 4 25\n", 1,
                                                      "Def = (0 4 d:6 s:4) (40 1 m:20)\n")));
    ASSERT_EQ(build(10, 6), S_OK);
    FormatRequest request{10, 6, 50.0};
    FormatInfo infos[2];
    int count = 0;
    EXPECT_EQ(source_->queryFormats(nullptr, infos, &count), E_POINTER);
    EXPECT_EQ(source_->queryFormats(&request, infos, nullptr), E_POINTER);
    ASSERT_EQ(source_->queryFormats(&request, infos, &count), S_OK);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(infos[0].width, 4);
    EXPECT_EQ(infos[1].width, 6);
    EXPECT_EQ(infos[1].frequency, 25.0);

    FormatRequest other{12, 6, 50.0};
    count = 0;
    EXPECT_EQ(source_->queryFormats(&other, infos, &count), E_INVALIDARG);
    EXPECT_EQ(count, 0);
}

TEST_F(SourceOperator, DeviceRootTakesTheFrameAndInitialisesTheGraph) {
    writeFile("Formats.def", optest::formatsFile(kPlainBlock));
    OpDevice alone(&shared_);
    EXPECT_EQ(alone.getFramePeriod(), 100000);
    EXPECT_EQ(alone.init(nullptr), E_FAIL);
    ASSERT_EQ(build(10, 6, 200000), S_OK);
    EXPECT_EQ(root_->getFramePeriod(), 200000);
    EXPECT_EQ(root_->state, OpBase::Ready);
    EXPECT_EQ(root_->frame, frames_.back());
    EXPECT_EQ(sink_->inits, 1);
    EXPECT_EQ(root_->findById(1, false, true), source_.get());
}

}  // namespace
