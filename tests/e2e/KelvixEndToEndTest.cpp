#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
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
        } else {
            closedSeen = true;
            ++closedFrames;
            // A closed flag shows the last open-flag image again (none before the first).
            if (!lastOpen.empty() &&
                (lastOpen.size() != n || std::memcmp(lastOpen.data(), data, n * 2) != 0)) {
                ++closedFramesChanged;
            }
        }
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

        kelvix_test::simImagerParams(params_, kSerial, wpath("cali"), kRate);
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

}  // namespace
