// Recordings of the simulated camera played back: broken parts, recordings without a flag, and a
// live imager's recording that replays to the same temperatures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimHid.h"
#include "SimPhysics.h"
#include "common/TestEnv.h"
#include "kelvix/IRFileReader.h"
#include "kelvix/IRFileWriter.h"
#include "kelvix/IRLogger.h"
#include "kelvix/Kelvix.h"
#include "platform/Paths.h"
#include "platform/Strings.h"

namespace {

constexpr std::uint32_t kSerial = 31340001;
constexpr long long kStart = 1700000000;

struct Received {
    int frames = 0;
    std::vector<unsigned short> first, last;
    unsigned width = 0, height = 0;
    std::vector<int> flagStates;
};
Received* received = nullptr;

void onThermal(unsigned short* data, unsigned width, unsigned height, zol::IRFrameMetadata, void*) {
    if (++received->frames == 1) {
        received->first.assign(data, data + width * height);
    }
    received->width = width;
    received->height = height;
    received->last.assign(data, data + width * height);
}
void onFlag(zol::EnumFlagState state, void*) {
    received->flagStates.push_back(state);
}

double celsius(unsigned short raw) {
    return (raw - 1000) / 10.0;
}

// Frames of the simulated camera, rendered by its physics, written as a recording and played
// back: the reader must configure the imager from the header and report the scene.
class PlaybackTest : public kelvix_test::VirtualClockTest {
  protected:
    void SetUp() override {
        VirtualClockTest::SetUp();
        camera_ = std::make_shared<sim::SimCamera>(kSerial);
        hid_.addCamera(camera_);
        physics_ = &sim::SimPhysics::of(*camera_);
        sim::CalibrationSetWriter writer(*camera_, sim::CalibrationSet::standard());
        ASSERT_TRUE(writer.writeAll(dir_));
        physics_->setModel(writer.set().optics[0].ranges[0].model);
        physics_->setBlackbodyScene(60.0f, 5.0f, 45.0f);
        raw_.resize(physics_->layout().rawWords());
        received = &received_;
        params_.caliPath = platform::newWideArray(platform::toWide(dir_));
        params_.formatsPath = platform::newWideArray(platform::toWide(dir_));
        zol::IRLogger::setVerbosity(zol::IRLOG_WARNING, zol::IRLOG_OFF, "t");
    }
    void TearDown() override {
        received = nullptr;
        params_.releaseStrings();
        VirtualClockTest::TearDown();
    }

    zol::RawdataHeader header() const {
        zol::RawdataHeader h;
        h.serial = kSerial;
        h.width = physics_->layout().rawWidth();
        h.height = physics_->layout().rawHeight();
        h.avgTimePerFrame = 333333;
        h.optics = 23;
        h.tempMinRange = 800;
        h.tempMaxRange = 2000;
        h.hwRev = camera_->hwRevision();
        h.fwRev = camera_->fwRevision();
        return h;
    }
    // Renders `count` frames into part `part` of the recording.
    void record(zol::IRFileWriter& writer, unsigned part, int count) {
        char meta[80] = {};
        for (int i = 0; i < count; ++i) {
            physics_->nextFrame(raw_.data());
            writer.write(i, reinterpret_cast<unsigned char*>(raw_.data()), part,
                         static_cast<unsigned>(raw_.size() * 2), meta);
        }
    }
    // The one ".raw" file the writer made in the test directory.
    std::string recordingName() const {
        const std::string stem = "ir_" + std::to_string(kSerial) + "_";
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(stem, 0) == 0 && name.size() > 4 &&
                name.compare(name.size() - 4, 4, ".raw") == 0) {
                return path(name);
            }
        }
        return std::string();
    }
    std::string captureErrors(const std::function<void()>& f) {
        testing::internal::CaptureStderr();
        f();
        return testing::internal::GetCapturedStderr();
    }

    std::shared_ptr<sim::SimCamera> camera_;
    sim::SimHidBackend hid_;
    platform::ScopedHidBackend scopedHid_{hid_};
    sim::SimPhysics* physics_ = nullptr;
    std::vector<std::uint16_t> raw_;
    Received received_;
    zol::IRDeviceParams params_;
};

}  // namespace

TEST_F(PlaybackTest, BrokenPartsEndPlayWithAnErrorAndRecordingsWithoutFlagAreNotReady) {
    {
        zol::IRFileWriter writer(kStart, dir_.c_str(), header());
        ASSERT_TRUE(writer.open());
        physics_->beginFlagCycle(4);
        record(writer, 1, 8);
    }
    const std::string name = recordingName();
    // Part 2 with frames of another size, part 3 that cannot be read at all.
    zol::RawdataHeader other = header();
    other.width += 1;
    std::string part2(reinterpret_cast<const char*>(&other), sizeof other);
    part2.append(4 * (other.width * other.height * 2 + 80), '\0');
    writeFile(name.substr(dir_.size() + 1) + ".2", part2);
    {
        zol::IRFileReader reader(name, params_);
        ASSERT_TRUE(reader.isReady());
        const std::string log = captureErrors([&] {
            int frames = 0;
            while (reader.nextFrame()) {
                ++frames;
            }
            EXPECT_EQ(frames, 8);
        });
        EXPECT_NE(log.find("part " + name + ".2 holds frames of"), std::string::npos) << log;
    }
    ASSERT_TRUE(platform::removeTree(platform::toWide(name + ".2")));
    ASSERT_TRUE(platform::createDirectory(platform::toWide(name + ".2")));
    {
        zol::IRFileReader reader(name, params_);
        const std::string log = captureErrors([&] {
            while (reader.nextFrame()) {
            }
        });
        EXPECT_NE(log.find(name + ".2"), std::string::npos) << log;
    }

    // Without a flag cycle the flag correction has no reference: nothing to play.
    {
        zol::IRFileWriter writer(kStart + 1, dir_.c_str(), header());
        ASSERT_TRUE(writer.open());
        record(writer, 1, 8);
    }
    std::filesystem::remove(name);
    zol::IRFileReader closed(recordingName(), params_);
    EXPECT_FALSE(closed.isReady());
}

// What a live imager on the camera reports, its recording reports when played back, across
// the recording's parts.
TEST_F(PlaybackTest, LiveImagerRecordingReplaysToTheSameTemperatures) {
    camera_->tempChip = 41.0f;
    camera_->tempBox = 29.0f;
    zol::IRDeviceParams live;
    live.serial = kSerial;
    live.caliPath = platform::newWideArray(platform::toWide(dir_));
    live.formatsPath = platform::newWideArray(platform::toWide(dir_));
    live.tMin = -20;
    live.tMax = 100;
    live.framerate = 30.0f;
    std::vector<unsigned short> liveImage;
    {
        zol::Kelvix imager;
        ASSERT_TRUE(imager.init(&live, 30, physics_->layout().rawWidth(),
                                physics_->layout().rawHeight(), true));
        imager.setThermalFrameCallback(onThermal);
        zol::RawdataHeader h;
        imager.initRawdataHeader(h);
        zol::IRFileWriter writer(kStart, dir_.c_str(), h);
        ASSERT_TRUE(writer.open());
        char meta[80] = {};
        // Five seconds: the imager's flag at the first frame and the one three seconds later.
        for (int i = 0; i < 150; ++i) {
            physics_->nextFrame(raw_.data());
            auto* bytes = reinterpret_cast<unsigned char*>(raw_.data());
            imager.process(bytes, nullptr);
            writer.write(i / 30.0, bytes, i < 120 ? 1 : 2, static_cast<unsigned>(raw_.size() * 2),
                         meta);
            clock_.advanceMs(1000.0 / 30);
        }
        ASSERT_GE(camera_->hid.flagCycles, 2);
        liveImage = received_.last;
    }
    live.releaseStrings();
    ASSERT_FALSE(liveImage.empty());

    received_ = Received{};
    zol::IRFileReader reader(recordingName(), params_);
    ASSERT_TRUE(reader.isReady());
    EXPECT_EQ(params_.serial, kSerial);
    EXPECT_EQ(params_.fov, 23);
    EXPECT_EQ(params_.tMin, -20);
    EXPECT_EQ(params_.tMax, 100);
    EXPECT_EQ(reader.getFrequency(), 30u);
    EXPECT_EQ(reader.getRawBufferSize(), raw_.size() * 2);
    reader.setThermalFrameCallback(onThermal);
    reader.setFlagStateCallback(onFlag);
    int frames = 0;
    while (reader.nextFrame()) {
        ++frames;
    }
    EXPECT_EQ(frames, 150);
    EXPECT_FALSE(reader.nextFrame());
    // Play starts over at the first frame: both recorded flag cycles come again.
    EXPECT_EQ(received_.flagStates, (std::vector<int>{1, 0, 1, 0}));

    ASSERT_EQ(received_.last.size(), liveImage.size());
    int worst = 0;
    for (std::size_t p = 0; p < liveImage.size(); ++p) {
        worst = std::max(worst, std::abs(int(received_.last[p]) - int(liveImage[p])));
    }
    EXPECT_LE(worst, 1) << "tenths of a degree";
    const unsigned w = received_.width, h = received_.height;
    EXPECT_NEAR(celsius(received_.last[(h / 2) * w + w / 2]), 60.0, 0.3);
    EXPECT_NEAR(celsius(received_.last[(h / 2) * w + 2]), 5.0 + 40.0 * 2 / (w - 1), 0.3);
    // The first frame played is a real image already.
    EXPECT_NEAR(celsius(received_.first[(h / 2) * w + w / 2]), 60.0, 0.3);
}
