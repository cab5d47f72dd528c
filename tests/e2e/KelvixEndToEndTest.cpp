#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimPhysics.h"
#include "common/SimChannels.h"
#include "common/TestEnv.h"
#include "kelvix/IRDeviceDS.h"
#include "kelvix/Kelvix.h"
#include "kelvix/KelvixClient.h"
#include "kelvix/Logger.h"
#include "kelvix/RawdataHeader.h"
#include "platform/Paths.h"
#include "platform/Strings.h"

namespace {

constexpr std::uint32_t kSerial = 5300777;
constexpr int kRate = 27;
constexpr float kBlackbody = 60.0f;

float centre(const unsigned short* d, unsigned w, unsigned h) {
    return (d[(h / 2) * w + w / 2] - 1000) / 10.0f;
}

// The application side: raw frames from the video device go into the imager; the imager's
// thermal frames are checked as they arrive on the capture thread.
class Application : public zol::KelvixClient {
  public:
    explicit Application(zol::Kelvix& imager) : imager_(imager) {}

    void onRawFrame(unsigned char* data, int) override { imager_.process(data, this); }

    void onThermalFrame(unsigned short* data, unsigned w, unsigned h, zol::IRFrameMetadata meta,
                        void* arg) override {
        std::lock_guard<std::mutex> lock(mutex);
        ++clientFrames;
        argumentsRight = argumentsRight && arg == this;
        const std::size_t n = static_cast<std::size_t>(w) * h;
        if (meta.flagState == zol::FlagOpen) {
            lastOpen.assign(data, data + n);
            if (closedSeen) {
                ++openAfterClosed;
                lastCentre = centre(data, w, h);
            }
            if (cycleStart > flagMark) {
                ++openAfterFreshFlag;
                lastCentre = centre(data, w, h);
            }
        } else {
            if (!closedRun) {
                cycleStart = meta.frameCounter;
            }
            closedSeen = true;
            ++closedFrames;
            // A closed flag shows the last open-flag image again (none before the first).
            if (!lastOpen.empty() &&
                (lastOpen.size() != n || std::memcmp(lastOpen.data(), data, n * 2) != 0)) {
                ++closedFramesChanged;
            }
        }
        closedRun = meta.flagState != zol::FlagOpen;
        lastFrameCounter = meta.frameCounter;
        cv.notify_all();
    }
    void onFlagStateChange(zol::EnumFlagState, void*) override {}
    void onProcessExit(void*) override {}

    std::mutex mutex;
    std::condition_variable cv;
    int clientFrames = 0;
    bool argumentsRight = true;
    bool closedSeen = false;
    int closedFrames = 0;
    int closedFramesChanged = 0;
    int openAfterClosed = 0;
    float lastCentre = -1000.0f;
    std::vector<unsigned short> lastOpen;
    // Open frames after a flag cycle that began after frame flagMark.
    std::uint32_t flagMark = 0xFFFFFFFFu;
    int openAfterFreshFlag = 0;
    std::uint32_t cycleStart = 0;
    bool closedRun = false;
    std::uint32_t lastFrameCounter = 0;

  private:
    zol::Kelvix& imager_;
};

struct CallbackSeen {
    std::mutex mutex;
    float centre = -1000.0f;
    int frames = 0;
};

class KelvixEndToEndThreaded : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        zol::Logger::getInstance()->configure("e2e", zol::Logger::ModeConsole, 0,
                                              zol::Logger::Warning);
        camera_ = channels_.plugIn(kSerial, 10'000'000 / kRate);
        physics_ = &sim::SimPhysics::of(*camera_);

        sim::CalibrationSet set = sim::CalibrationSet::standard();
        set.streamRates = {kRate};
        platform::createDirectory(wpath("cali"));
        ASSERT_TRUE(sim::CalibrationSetWriter(*camera_, set).writeAll(path("cali")));
        physics_->setBlackbodyScene(kBlackbody, 20.0f, 30.0f);

        params_.serial = kSerial;
        params_.caliPath = kelvix_test::newWide(wpath("cali"));
        params_.formatsPath = kelvix_test::newWide(wpath("cali"));
        params_.fov = 23;
        params_.tMin = -20;
        params_.tMax = 100;
        params_.framerate = kRate;
        params_.autoFlag = 0;
    }
    void TearDown() override {
        params_.releaseStrings();
        TempDirTest::TearDown();
    }

    kelvix_test::SimChannels channels_;
    std::shared_ptr<sim::SimCamera> camera_;
    sim::SimPhysics* physics_ = nullptr;
    zol::IRDeviceParams params_;
};

TEST_F(KelvixEndToEndThreaded, ReportsTheBlackbodyAndHoldsTheImageDuringFlags) {
    std::unique_ptr<zol::IRDeviceDS> device(zol::IRDeviceDS::createInstance(params_));
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->getFrequency(), static_cast<unsigned>(kRate));

    zol::Kelvix imager;
    ASSERT_TRUE(imager.init(&params_, device->getFrequency(), device->getWidth(),
                            device->getHeight(), device->controlledViaHID()));
    Application app(imager);
    imager.setClient(&app);
    static CallbackSeen seen;
    imager.setThermalFrameCallback(
        [](unsigned short* d, unsigned w, unsigned h, zol::IRFrameMetadata m, void*) {
            std::lock_guard<std::mutex> lock(seen.mutex);
            ++seen.frames;
            if (m.flagState == zol::FlagOpen) {
                seen.centre = centre(d, w, h);
            }
        });
    device->setClient(&app);
    ASSERT_EQ(device->startStreaming(), 0);

    // The first frame closes the flag; after it the image is corrected.
    auto waitFor = [&app](auto done) {
        std::unique_lock<std::mutex> lock(app.mutex);
        return app.cv.wait_for(lock, std::chrono::seconds(20), done);
    };
    ASSERT_TRUE(waitFor([&app] { return app.openAfterClosed >= 5; }));
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        EXPECT_NEAR(app.lastCentre, kBlackbody, 0.5f);
        EXPECT_GT(app.closedFrames, 0);
        EXPECT_TRUE(app.argumentsRight);
    }
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        EXPECT_NEAR(seen.centre, kBlackbody, 0.5f);
        EXPECT_GT(seen.frames, 0);
    }

    // A manual flag: the closed frames repeat the last open image.
    int closedBefore;
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        closedBefore = app.closedFrames;
        app.openAfterClosed = 0;
        app.closedSeen = false;
    }
    imager.forceFlagEvent(0);
    ASSERT_TRUE(waitFor([&app] { return app.closedSeen && app.openAfterClosed >= 3; }));
    device->stopStreaming();
    std::lock_guard<std::mutex> lock(app.mutex);
    EXPECT_GT(app.closedFrames, closedBefore);
    EXPECT_EQ(app.closedFramesChanged, 0);
    EXPECT_NEAR(app.lastCentre, kBlackbody, 0.5f);
}

// An application thread that changes every setting and reads every query over and over while
// the camera streams, with the back of the chain on the capture thread or on its own worker.
// The thermal-frame and flag-state callbacks call back into the imager too. After each range
// change, the images that follow the next flag read the scene in the new range.
class KelvixSettingsThreaded : public KelvixEndToEndThreaded,
                               public ::testing::WithParamInterface<bool> {};

zol::Kelvix* reentered = nullptr;
std::atomic<int> reenteredFrames{0};

std::uint16_t word(const unsigned char* record, int offset) {
    return static_cast<std::uint16_t>(record[offset] | record[offset + 1] << 8);
}

// The range the metadata record reports (tMin and tMax at offsets 34 and 36, raw encoding).
std::pair<int, int> recordedRange(zol::Kelvix& imager) {
    unsigned char record[128] = {};
    unsigned char* p = record;
    if (imager.getMetaData(p, sizeof record) != 128) {
        return {0, 0};
    }
    return {(word(record, 34) - 1000) / 10, (word(record, 36) - 1000) / 10};
}

// From the frame path: a query, and every 50th time the range the imager is in, set again.
void reenter() {
    reentered->getTempBox();
    if (++reenteredFrames % 50 == 0) {
        const std::pair<int, int> range = recordedRange(*reentered);
        EXPECT_TRUE(reentered->setTempRange(range.first, range.second));
    }
}

TEST_P(KelvixSettingsThreaded, SettingsAndQueriesWhileFramesFlow) {
    const sim::CalibrationSet set = sim::CalibrationSet::standard();
    std::unique_ptr<zol::IRDeviceDS> device(zol::IRDeviceDS::createInstance(params_));
    ASSERT_NE(device, nullptr);
    zol::Kelvix imager;
    ASSERT_TRUE(imager.init(&params_, device->getFrequency(), device->getWidth(),
                            device->getHeight(), device->controlledViaHID()));
    imager.setUseMultiThreading(GetParam());
    Application app(imager);
    imager.setClient(&app);
    reentered = &imager;
    reenteredFrames = 0;
    const zol::ThermalFrameCallback callback = [](unsigned short*, unsigned, unsigned,
                                                  zol::IRFrameMetadata, void*) { reenter(); };
    imager.setThermalFrameCallback(callback);
    imager.setFlagStateCallback([](zol::EnumFlagState, void*) { reenter(); });
    device->setClient(&app);
    ASSERT_EQ(device->startStreaming(), 0);

    std::vector<unsigned short> energy(static_cast<std::size_t>(device->getWidth()) *
                                       device->getHeight());
    // A range change waits for the camera to settle (about 200 ms): one in 64 rounds.
    auto everything = [&](int i) {
        if (i % 64 == 0) {
            const sim::SimRangeSpec& r = set.optics[0].ranges[i / 64 % 2];
            EXPECT_TRUE(imager.setTempRange(static_cast<int>(r.tMin), static_cast<int>(r.tMax)));
            EXPECT_FALSE(imager.setTempRange(-20, 99));
        }
        imager.setRadiationParameters(0.9f + 0.01f * (i % 10), 0.95f, i % 2 ? 20.0f : -300.0f);
        EXPECT_GT(imager.getTempFlag(), -100.0f);
        EXPECT_GT(imager.getTempBox(), -100.0f);
        EXPECT_GT(imager.getTempChip(), -100.0f);
        if (i % 8 == 0) {  // the control channel paces its commands (10 ms each)
            imager.enableChipHeating(i % 16 == 0);
            imager.isChipHeatingEnabled();
            imager.setTempChipReference(30.0f);
            imager.getTempChipReference();
        }
        imager.getHWRevision();
        imager.getFWRevision();
        EXPECT_GT(imager.getWidth() * imager.getHeight(), 0u);
        EXPECT_FALSE(imager.hasBispectralTechnology());
        EXPECT_EQ(imager.getVisibleWidth() + imager.getVisibleHeight(), 0u);
        EXPECT_EQ(imager.getWidthIn(), device->getWidth());
        EXPECT_EQ(imager.getHeightIn(), device->getHeight());
        imager.getBitCount();
        imager.getAvgTimePerFrame();
        imager.getMaxFramerate();
        imager.getHWInterval();
        unsigned short* e = energy.data();
        EXPECT_EQ(imager.getEnergyBuffer(e), 0);
        const std::pair<int, int> recorded = recordedRange(imager);
        EXPECT_TRUE(recorded == std::make_pair(-20, 100) || recorded == std::make_pair(0, 250));
        double d[4];
        short s[3];
        EXPECT_TRUE(
            imager.getTemperatureTableParameters(d, d + 1, d + 2, s, s + 1, s + 2, d + 3, d + 3));
        imager.setThermalFrameCallback(callback);
        imager.setClient(&app);
        EXPECT_NE(imager.getImageProcessingChain(), nullptr);
        imager.setUseMultiThreading(GetParam());
        imager.activateTrace(i % 2 == 0);
        if (i % 50 == 0) {
            imager.printTrace(0);
        }
        EXPECT_EQ(zol::Kelvix::getVersion(), "-1");
        zol::RawdataHeader header;
        imager.initRawdataHeader(header);
        imager.forceFlagEvent(1e6f);
        imager.setAutoFlag(i % 2 == 0);
        imager.getAutoFlag();
        imager.raiseSnapshotEvent();
        imager.isFlagOpen();
    };

    auto waitFor = [&app](auto done) {
        std::unique_lock<std::mutex> lock(app.mutex);
        return app.cv.wait_for(lock, std::chrono::seconds(20), done);
    };
    for (int round = 0; round < 3; ++round) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
        for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
            everything(i);
        }
        // A known range and the camera behind it; the images after the next flag show it.
        const sim::SimRangeSpec& r = set.optics[0].ranges[round % 2];
        const int tMin = static_cast<int>(r.tMin), tMax = static_cast<int>(r.tMax);
        physics_->setModel(r.model);
        ASSERT_TRUE(imager.setTempRange(tMin, tMax));
        imager.setRadiationParameters(1.0f, 1.0f, -300.0f);
        imager.setAutoFlag(false);
        imager.activateTrace(false);
        {
            std::lock_guard<std::mutex> lock(app.mutex);
            app.flagMark = app.lastFrameCounter + 2;
            app.openAfterFreshFlag = 0;
        }
        imager.forceFlagEvent(0);
        ASSERT_TRUE(waitFor([&app] { return app.openAfterFreshFlag >= 3; }));
        // Not under the application's lock, which its callback takes under the imager's.
        EXPECT_EQ(recordedRange(imager), std::make_pair(tMin, tMax));
        std::lock_guard<std::mutex> lock(app.mutex);
        EXPECT_NEAR(app.lastCentre, kBlackbody, 0.5f) << "range " << tMin << ".." << tMax;
    }
    device->stopStreaming();
    EXPECT_GT(reenteredFrames, 50);
    // Without frames, a setting does not wait for one.
    EXPECT_TRUE(imager.setTempRange(-20, 100));
}

INSTANTIATE_TEST_SUITE_P(Multithreading, KelvixSettingsThreaded, ::testing::Bool());

}  // namespace
