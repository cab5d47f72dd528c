// The imager on the simulated camera's capture thread: the blackbody's temperature through flag
// cycles, and every setting and query from an application thread while frames flow.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
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
        } else {
            closedSeen = true;
            ++closedFrames;
            // A closed flag shows the last open-flag image again (none before the first).
            if (!lastOpen.empty() &&
                (lastOpen.size() != n || std::memcmp(lastOpen.data(), data, n * 2) != 0)) {
                ++closedFramesChanged;
            }
        }
        // The open frames after a flag that closed after the mark.
        if (closings > closingsAtMark && meta.flagState == zol::FlagOpen) {
            ++openAfterFreshFlag;
            lastCentre = centre(data, w, h);
        }
        cv.notify_all();
    }
    void onFlagStateChange(zol::EnumFlagState state, void*) override {
        std::lock_guard<std::mutex> lock(mutex);
        closings += state == zol::FlagClosed;
    }
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
    int closings = 0, closingsAtMark = 1 << 30, openAfterFreshFlag = 0;

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

    template <typename Done>
    static bool waitFor(Application& app, Done done) {
        std::unique_lock<std::mutex> lock(app.mutex);
        return app.cv.wait_for(lock, std::chrono::seconds(20), done);
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
    ASSERT_TRUE(waitFor(app, [&app] { return app.openAfterClosed >= 5; }));
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
    ASSERT_TRUE(waitFor(app, [&app] { return app.closedSeen && app.openAfterClosed >= 3; }));
    device->stopStreaming();
    std::lock_guard<std::mutex> lock(app.mutex);
    EXPECT_GT(app.closedFrames, closedBefore);
    EXPECT_EQ(app.closedFramesChanged, 0);
    EXPECT_NEAR(app.lastCentre, kBlackbody, 0.5f);
}

// An application thread changes every setting and reads every query while the camera streams,
// the back of the chain on the capture thread or on its worker, a second one the chip heating;
// the frame callbacks call back into the imager. After each range change the images after the
// next flag read the scene.
class KelvixSettingsThreaded : public KelvixEndToEndThreaded,
                               public ::testing::WithParamInterface<bool> {};

zol::Kelvix* reentered = nullptr;
std::atomic<int> reenteredFrames{0};
std::atomic<bool> reenterRange{true};

// The range of the metadata record: tMin and tMax at offsets 34 and 36, raw encoding.
std::pair<int, int> recordedRange(zol::Kelvix& imager) {
    unsigned char r[128] = {};
    unsigned char* p = r;
    imager.getMetaData(p, sizeof r);
    return {((r[34] | r[35] << 8) - 1000) / 10, ((r[36] | r[37] << 8) - 1000) / 10};
}

// From the frame path: a query, and every 50th time the current range set again.
void reenter() {
    reentered->getTempBox();
    if (++reenteredFrames % 50 == 0 && reenterRange) {
        const std::pair<int, int> range = recordedRange(*reentered);
        EXPECT_TRUE(reentered->setTempRange(range.first, range.second));
    }
}

TEST_P(KelvixSettingsThreaded, SettingsAndQueriesWhileFramesFlow) {
    const std::vector<sim::SimRangeSpec> ranges = sim::CalibrationSet::standard().optics[0].ranges;
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
    reenterRange = true;
    const zol::ThermalFrameCallback callback = [](unsigned short*, unsigned, unsigned,
                                                  zol::IRFrameMetadata, void*) { reenter(); };
    imager.setThermalFrameCallback(callback);
    imager.setFlagStateCallback([](zol::EnumFlagState, void*) { reenter(); });
    device->setClient(&app);
    ASSERT_EQ(device->startStreaming(), 0);

    std::vector<unsigned short> energy(static_cast<std::size_t>(device->getWidth()) *
                                       device->getHeight());
    double d[4];
    short s[3];
    zol::RawdataHeader header;
    // A range change waits for the camera to settle (about 200 ms) and the control channel
    // paces its commands (10 ms each): these come in one of 64 and one of 8 rounds.
    auto everything = [&](int i) {
        if (i % 64 == 0) {
            const sim::SimRangeSpec& r = ranges[i / 64 % 2];
            EXPECT_TRUE(imager.setTempRange(static_cast<int>(r.tMin), static_cast<int>(r.tMax)));
            EXPECT_FALSE(imager.setTempRange(-20, 99));
        }
        if (i % 8 == 0) {
            imager.enableChipHeating(i % 16 == 0);
            imager.isChipHeatingEnabled();
            imager.setTempChipReference(30.0f);
            imager.getTempChipReference();
        }
        imager.setRadiationParameters(0.9f + 0.01f * (i % 10), 0.95f, i % 2 ? 20.0f : -300.0f);
        EXPECT_GT(std::min({imager.getTempFlag(), imager.getTempBox(), imager.getTempChip()}),
                  -100.0f);
        EXPECT_GT(imager.getHWRevision() + imager.getFWRevision() +
                      imager.getWidth() * imager.getHeight() + imager.getVisibleWidth() +
                      imager.getVisibleHeight() + imager.getWidthIn() + imager.getHeightIn() +
                      imager.getBitCount() + imager.getAvgTimePerFrame() +
                      imager.getMaxFramerate() + imager.getHWInterval() +
                      imager.hasBispectralTechnology() + imager.getAutoFlag() + imager.isFlagOpen(),
                  0.0);
        unsigned short* e = energy.data();
        EXPECT_EQ(imager.getEnergyBuffer(e), 0);
        const std::pair<int, int> now = recordedRange(imager);  // one of the two, not torn
        EXPECT_TRUE(now == std::make_pair(-20, 100) || now == std::make_pair(0, 250));
        EXPECT_TRUE(
            imager.getTemperatureTableParameters(d, d + 1, d + 2, s, s + 1, s + 2, d + 3, d + 3));
        imager.setThermalFrameCallback(callback);
        imager.setClient(&app);
        imager.setUseMultiThreading(GetParam());
        imager.activateTrace(i % 2 == 0);
        if (i % 50 == 0) {
            imager.printTrace(0);
        }
        EXPECT_EQ(imager.getVersion(), "-1");
        imager.initRawdataHeader(header);
        imager.forceFlagEvent(1e6f);
        imager.setAutoFlag(i % 2 == 0);
        imager.raiseSnapshotEvent();
    };

    for (int round = 0; round < 3; ++round) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
        // A second application thread drives the chip heating at the same time.
        std::thread other([&] {
            for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
                imager.enableChipHeating(i % 2 == 0);
                imager.isChipHeatingEnabled();
                imager.setTempChipReference(25.0f + static_cast<float>(i % 10));
                imager.getTempChipReference();
            }
        });
        for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
            everything(i);
        }
        other.join();
        // A known range, the camera behind it and a new scene; the images after the next flag
        // (once the flag is open, so that it closes again) show the scene.
        const sim::SimRangeSpec& r = ranges[round % 2];
        const float scene = 50.0f + 10.0f * round;
        physics_->setModel(r.model);
        physics_->setBlackbodyScene(scene, 20.0f, 30.0f);
        reenterRange = false;
        ASSERT_TRUE(imager.setTempRange(static_cast<int>(r.tMin), static_cast<int>(r.tMax)));
        imager.setRadiationParameters(1.0f, 1.0f, -300.0f);
        imager.setAutoFlag(false);
        imager.activateTrace(false);
        ASSERT_TRUE(kelvix_test::waitUntil([&imager] { return imager.isFlagOpen(); }));
        {
            std::lock_guard<std::mutex> lock(app.mutex);
            app.closingsAtMark = app.closings;
            app.openAfterFreshFlag = 0;
        }
        imager.forceFlagEvent(0);
        ASSERT_TRUE(waitFor(app, [&app] { return app.openAfterFreshFlag >= 3; }));
        // Not under the application's lock, which its callback takes under the imager's.
        EXPECT_EQ(recordedRange(imager), std::make_pair(int(r.tMin), int(r.tMax)));
        std::lock_guard<std::mutex> lock(app.mutex);
        EXPECT_NEAR(app.lastCentre, scene, 0.5f) << "range " << r.tMin << ".." << r.tMax;
        reenterRange = true;
    }
    // At least one range change from a callback; a loaded machine's worker drops frames, so
    // wait for them rather than count on a rate.
    EXPECT_TRUE(kelvix_test::waitUntil([] { return reenteredFrames > 50; }));
    device->stopStreaming();
    // The worker may still finish a queued frame; once this returns it no longer reaches the
    // application, which goes before the imager.
    imager.setClient(nullptr);
    // Without frames, a setting does not wait for one.
    EXPECT_TRUE(imager.setTempRange(-20, 100));
}

INSTANTIATE_TEST_SUITE_P(Multithreading, KelvixSettingsThreaded, ::testing::Bool());

zol::IRDeviceDS* ownDevice = nullptr;
std::unique_ptr<zol::Kelvix>* doomed = nullptr;
std::atomic<int> calls{0}, whole{0};
// What would wait for the frame's own thread is refused; a destruction meanwhile waits.
void refusingCallback(unsigned short*, unsigned, unsigned, zol::IRFrameMetadata, void*) {
    calls += !reentered->reconnect(nullptr, kRate, 0, 0, true) && ownDevice->stopStreaming() == -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    whole += reentered->getImageProcessingChain() && reentered->getTempBox() > -100.0f;
}

// Four cameras with sets that differ in flag cycles and curves, each imager with a thread that
// changes its settings, read their own scenes; then re-entries from their frame paths.
TEST_F(KelvixEndToEndThreaded, SeveralCamerasAndTheirCallbacks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Rig {
        zol::IRDeviceParams params;
        std::unique_ptr<zol::IRDeviceDS> device;
        std::unique_ptr<zol::Kelvix> imager = std::make_unique<zol::Kelvix>();
        Application app{*imager};
        sim::CalibrationSet set = sim::CalibrationSet::standard();
        ~Rig() { device->stopStreaming(), imager.reset(), params.releaseStrings(); }
    };
    std::vector<std::unique_ptr<Rig>> rigs;
    for (int i = 0; i < 4; ++i) {
        Rig& c = *rigs.emplace_back(std::make_unique<Rig>());
        c.set.flagCycles = 4 + 3 * i;
        for (sim::SimRangeSpec& r : c.set.optics[0].ranges) {
            r.model.table.lambda += 0.5 * i;
        }
        auto camera = channels_.plugIn(kSerial + 1 + i);
        ASSERT_TRUE(sim::CalibrationSetWriter(*camera, c.set).writeAll(path("cali")));
        sim::SimPhysics::of(*camera).setBlackbodyScene(40.0f + 7.0f * i, 20.0f, 30.0f);
        kelvix_test::simImagerParams(c.params, kSerial + 1 + i, wpath("cali"), 30);
        c.device.reset(zol::IRDeviceDS::createInstance(c.params));
        ASSERT_TRUE(
            c.imager->init(&c.params, 30, c.device->getWidth(), c.device->getHeight(), true));
        c.imager->setUseMultiThreading(i % 2 == 1);
        c.imager->setClient(&c.app);
        c.device->setClient(&c.app);
        ASSERT_EQ(c.device->startStreaming(), 0);
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&c = *rigs[i], i] {
            for (int n = 0; n <= 4 + i; ++n) {
                EXPECT_TRUE(c.imager->setTempRange((n + i) % 2 ? 0 : -20, (n + i) % 2 ? 250 : 100));
                c.imager->setRadiationParameters(n > 3 + i ? 1.0f : 0.9f, 1.0f, -300.0f);
            }
            ASSERT_TRUE(kelvix_test::waitUntil([&c] { return c.imager->isFlagOpen(); }, 2000));
            std::unique_lock<std::mutex> lock(c.app.mutex);
            c.app.closingsAtMark = c.app.closings;
            c.imager->forceFlagEvent(0);
            ASSERT_TRUE(c.app.cv.wait_for(lock, std::chrono::seconds(20),
                                          [&c] { return c.app.openAfterFreshFlag >= 3; }));
            EXPECT_NEAR(c.app.lastCentre, 40.0f + 7.0f * i, 0.2f) << "camera " << i;
        });
    }
    for (int i = 0; i < 4; ++i) {
        threads[i].join();
        Rig& c = *rigs[i];
        reentered = c.imager.get(), ownDevice = c.device.get(), doomed = &c.imager,
        calls = whole = 0;
        if (i < 2) {
            c.imager->setThermalFrameCallback(refusingCallback);
            ASSERT_TRUE(kelvix_test::waitUntil([] { return calls >= 2; }));
            EXPECT_EQ(c.device->stopStreaming(), 0);
            c.imager.reset();
            EXPECT_EQ(calls, whole);
        } else {
            EXPECT_DEATH(
                {
                    c.imager->setThermalFrameCallback([](unsigned short*, unsigned, unsigned,
                                                         zol::IRFrameMetadata,
                                                         void*) { doomed->reset(); });
                    kelvix_test::waitUntil([] { return false; }, 1000);
                },
                "destroyed from its own frame callback");
        }
    }
}

}  // namespace
