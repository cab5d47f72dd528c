// The imager's frame path: metadata, buffers, instances, short samples, settings, the flag
// automation through frames, snapshots and the post-processing worker.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "KelvixFixture.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/ImagerMetadataRecord.h"
#include "platform/HResult.h"
#include "sdk/kelvix_callback.h"

namespace {

using kelvix_test::KelvixTest;

// What the callbacks of one test saw.
struct Seen {
    std::vector<float> centers;  // degrees Celsius at the image centre, per thermal frame
    std::vector<zol::EnumFlagState> metaFlags;
    std::vector<zol::EnumFlagState> flagChanges;
    int events = 0;
    unsigned eventWidth = 0;
    bool eventHadEnergy = false;
};

float centre(const unsigned short* d, unsigned w, unsigned h) {
    return (d[(h / 2) * w + w / 2] - 1000) / 10.0f;
}

void onThermal(unsigned short* d, unsigned w, unsigned h, zol::IRFrameMetadata m, void* arg) {
    auto* s = static_cast<Seen*>(arg);
    s->centers.push_back(centre(d, w, h));
    s->metaFlags.push_back(m.flagState);
}

void onFlag(zol::EnumFlagState state, void* arg) {
    static_cast<Seen*>(arg)->flagChanges.push_back(state);
}

void onEvent(unsigned short* t, unsigned short* e, unsigned w, unsigned h, zol::IRFrameMetadata,
             void* arg) {
    auto* s = static_cast<Seen*>(arg);
    ++s->events;
    s->eventWidth = w;
    for (unsigned i = 0; i < w * h && !s->eventHadEnergy; ++i) {
        s->eventHadEnergy = e[i] != 0;
    }
    (void)t;
}

class KelvixFrames : public KelvixTest {
  protected:
    void start(zol::Kelvix& k) {
        ASSERT_TRUE(initHid(k));
        k.setThermalFrameCallback(onThermal);
        k.setFlagStateCallback(onFlag);
        base_ = flagCycles();
    }
    // Frames until the first two flags are over (the second comes 3 s after the first).
    void settle(zol::Kelvix& k) {
        for (int i = 0; i < 60; ++i) {
            feed(k, &seen_, periodMs_);
        }
        ASSERT_EQ(flagCycles() - base_, 2);
    }
    // Frames for `ms`; returns the flag cycles sent meanwhile.
    int run(zol::Kelvix& k, double ms) {
        const int before = flagCycles();
        for (double t = 0; t < ms; t += periodMs_) {
            feed(k, &seen_, periodMs_);
        }
        return flagCycles() - before;
    }

    Seen seen_;
    int base_ = 0;
    double periodMs_ = 100.0;
};

TEST_F(KelvixFrames, FirstFrameFlagsThenTheFirstFrameAtOrAfterThreeSeconds) {
    zol::Kelvix k;
    start(k);
    periodMs_ = 40.0;
    feed(k, &seen_, periodMs_);
    EXPECT_EQ(flagCycles() - base_, 1);
    // The first flag restarted the interval; the frame at 3000 ms decides, the next one flags.
    for (int n = 1; n <= 75; ++n) {
        feed(k, &seen_, periodMs_);
        ASSERT_EQ(flagCycles() - base_, 1) << n;
    }
    feed(k, &seen_, periodMs_);
    EXPECT_EQ(flagCycles() - base_, 2);
    // Automation on with a 15 s minimum interval, temperatures constant: nothing more.
    EXPECT_EQ(run(k, 40000), 0);
}

TEST_F(KelvixFrames, DriftOfTwoTenthsAfterTheMinimumIntervalFlags) {
    zol::Kelvix k;
    start(k);
    settle(k);
    EXPECT_EQ(run(k, 20000), 0);
    {
        std::lock_guard<std::mutex> lock(camera_->mutex());
        camera_->tempBox += 0.2f;
    }
    EXPECT_EQ(run(k, 300), 1);
    EXPECT_EQ(run(k, 10000), 0);
    k.setAutoFlag(false);
    EXPECT_FALSE(k.getAutoFlag());
    {
        std::lock_guard<std::mutex> lock(camera_->mutex());
        camera_->tempBox += 1.0f;
    }
    EXPECT_EQ(run(k, 30000), 0);
}

TEST_F(KelvixFrames, ManualFlagsAtOnceOrAfterTheDelay) {
    zol::Kelvix k;
    start(k);
    settle(k);
    k.forceFlagEvent(0);
    feed(k, &seen_, periodMs_);  // decides
    EXPECT_EQ(run(k, periodMs_), 1);

    k.forceFlagEvent(5000);
    EXPECT_EQ(run(k, 4900), 0);
    EXPECT_EQ(run(k, 300), 1);
}

TEST_F(KelvixFrames, CallbacksHoldTheLastOpenFlagImageDuringACycle) {
    zol::Kelvix k;
    start(k);
    settle(k);
    ASSERT_NEAR(seen_.centers.back(), 25.0f, 0.5f);
    EXPECT_TRUE(k.isFlagOpen());
    const std::vector<zol::EnumFlagState> expectedChanges{zol::FlagClosed, zol::FlagOpen,
                                                          zol::FlagClosed, zol::FlagOpen};
    EXPECT_EQ(seen_.flagChanges, expectedChanges);

    k.forceFlagEvent(0);
    feed(k, &seen_, periodMs_);  // decides: the flag is pending from here on
    physics().setUniformScene(40.0f);
    seen_ = Seen();
    for (int i = 0; i < 16; ++i) {
        feed(k, &seen_, periodMs_);
    }
    ASSERT_EQ(seen_.centers.size(), 16u);
    // Pending, ten closed frames, the first open one: all show the old scene.
    int held = 0;
    while (held < 16 && std::fabs(seen_.centers[held] - 25.0f) < 0.5f) {
        ++held;
    }
    EXPECT_EQ(held, 12);
    EXPECT_EQ(seen_.metaFlags[1], zol::FlagClosed);
    EXPECT_EQ(seen_.metaFlags[10], zol::FlagClosed);
    EXPECT_EQ(seen_.metaFlags[11], zol::FlagOpen);
    EXPECT_NEAR(seen_.centers.back(), 40.0f, 0.5f);
}

TEST_F(KelvixFrames, SnapshotsReachTheEventCallbackOrTriggerFlags) {
    zol::Kelvix k;
    start(k);
    settle(k);
    // Without an event callback a snapshot changes nothing.
    k.raiseSnapshotEvent();
    EXPECT_EQ(run(k, 1000), 0);

    k.setThermalFrameEventCallback(onEvent);
    k.raiseSnapshotEvent();
    EXPECT_EQ(run(k, 1000), 0);
    EXPECT_EQ(seen_.events, 1);
    EXPECT_EQ(seen_.eventWidth, 160u);
    EXPECT_TRUE(seen_.eventHadEnergy);
}

class KelvixFlagTrigger : public KelvixFrames {
  protected:
    void SetUp() override {
        KelvixFrames::SetUp();
        params_.pifInMode = 1;
    }
};

TEST_F(KelvixFlagTrigger, SnapshotsBecomeFlags) {
    zol::Kelvix k;
    start(k);
    settle(k);
    k.setThermalFrameEventCallback(onEvent);
    k.raiseSnapshotEvent();
    EXPECT_EQ(run(k, 3 * periodMs_), 1);
    EXPECT_EQ(seen_.events, 0);
}

TEST_F(KelvixTest, FrameMetadataFromTheChainsRecord) {
    FrameMetadataRecord r{};
    r.recordSize = 78;
    r.frameCounter = 7;
    r.hwFrameCounter = 99;
    r.timestamp = 123456789;
    r.frameNumber = 42;
    r.tempChip = 40.5f;
    r.tempFlag = 31.0f;
    r.tempBox = 30.0f;
    r.digitalInputBits = 0xABCD0005;
    r.flagState = 7;
    zol::IRFrameMetadata m = kelvix_callback::toFrameMetadata(&r);
    EXPECT_EQ(m.flagState, zol::FlagUnknown);
    EXPECT_EQ(m.recordSize, 78);
    EXPECT_EQ(m.frameCounter, 7u);
    EXPECT_EQ(m.hwFrameCounter, 99u);
    EXPECT_EQ(m.timestamp, 123456789);
    EXPECT_EQ(m.frameNumber, 42);
    EXPECT_FLOAT_EQ(m.tempChip, 40.5f);
    EXPECT_EQ(m.digitalInputBits, 0x0005);
    r.flagState = 3;
    EXPECT_EQ(kelvix_callback::toFrameMetadata(&r).flagState, zol::FlagState3);
    r.flagState = -1;
    EXPECT_EQ(kelvix_callback::toFrameMetadata(&r).flagState, zol::FlagUnknown);

    // Through the instance's trampoline to its callback.
    zol::Kelvix k;
    ASSERT_TRUE(initPlayback(k));
    warmUp(k);
    Seen seen;
    k.setThermalFrameCallback(onThermal);
    std::vector<unsigned short> pixels(160 * 120, 1250);
    r.flagState = 7;
    FrameDoneRecord done{pixels.data(), &r};
    kelvix_callback::instanceUserArg[k.getInstanceIndex()] = &seen;
    kelvix_callback::thermalFrame[k.getInstanceIndex()](&done);
    ASSERT_EQ(seen.metaFlags.size(), 1u);
    EXPECT_EQ(seen.metaFlags[0], zol::FlagUnknown);
}

TEST_F(KelvixTest, HandlersSizeTheirBuffersToWhatTheyAreGiven) {
    zol::Kelvix k;
    params_.bispectral = 0;
    ASSERT_TRUE(initPlayback(k));
    warmUp(k);  // frames refresh the image from here on
    Seen seen;
    kelvix_callback::instanceUserArg[k.getInstanceIndex()] = &seen;
    k.setThermalFrameCallback(onThermal);
    k.setThermalFrameEventCallback(onEvent);
    zol::IRFrameMetadata meta{};

    // A larger image than the first frame-init announced gets buffers of its size.
    k.onThermalFrameInit(320, 240, 16, 370370);
    std::vector<unsigned short> big(320 * 240, 1400);
    k.onThermalFrame(big.data(), meta);
    ASSERT_EQ(seen.centers.size(), 1u);
    EXPECT_FLOAT_EQ(seen.centers[0], 40.0f);

    // A snapshot without energy image still reaches the event callback.
    k.onSnapshotEvent(big.data(), nullptr, nullptr, meta);
    EXPECT_EQ(seen.events, 1);
    EXPECT_EQ(seen.eventWidth, 320u);

    // An invalid visible size is ignored; a valid one makes the imager bispectral.
    FrameInitRecord visible{0, 100, 16, 0};
    kelvix_callback::visibleFrameInit[k.getInstanceIndex()](&visible);
    visible = {100, static_cast<std::uint32_t>(-5), 16, 0};
    kelvix_callback::visibleFrameInit[k.getInstanceIndex()](&visible);
    EXPECT_FALSE(k.hasBispectralTechnology());
    visible = {64, 48, 16, 0};
    kelvix_callback::visibleFrameInit[k.getInstanceIndex()](&visible);
    EXPECT_TRUE(k.hasBispectralTechnology());
    EXPECT_EQ(k.getVisibleWidth(), 64u);
}

// Counts frames per user argument and instance.
struct Routed : zol::KelvixClient {
    std::map<void*, int> byArg;
    void onRawFrame(unsigned char*, int) override {}
    void onThermalFrame(unsigned short*, unsigned, unsigned, zol::IRFrameMetadata,
                        void* arg) override {
        ++byArg[arg];
    }
    void onFlagStateChange(zol::EnumFlagState, void*) override {}
    void onProcessExit(void*) override {}
};

std::map<void*, int> callbackCounts;

TEST_F(KelvixTest, InstancesReceiveOnlyTheirOwnFramesAndArguments) {
    std::vector<std::unique_ptr<zol::Kelvix>> slots;
    for (int i = 0; i < 6; ++i) {
        slots.push_back(std::make_unique<zol::Kelvix>());
    }
    for (int i = 1; i < 5; ++i) {
        slots[i].reset();
    }
    zol::Kelvix& a = *slots[0];
    zol::Kelvix& b = *slots[5];
    ASSERT_EQ(b.getInstanceIndex(), 5u);
    ASSERT_TRUE(initPlayback(a));
    ASSERT_TRUE(initPlayback(b));
    warmUp(a);
    warmUp(b);
    callbackCounts.clear();
    auto count = [](unsigned short*, unsigned, unsigned, zol::IRFrameMetadata, void* arg) {
        ++callbackCounts[arg];
    };
    a.setThermalFrameCallback(count);
    b.setThermalFrameCallback(count);
    Routed clientA, clientB;
    a.setClient(&clientA);
    b.setClient(&clientB);
    int argA = 0, argB = 0;
    for (int i = 0; i < 3; ++i) {
        feed(a, &argA);
    }
    for (int i = 0; i < 5; ++i) {
        feed(b, &argB);
    }
    feed(a, &argA);
    EXPECT_EQ(callbackCounts[&argA], 4);
    EXPECT_EQ(callbackCounts[&argB], 5);
    EXPECT_EQ(clientA.byArg, (std::map<void*, int>{{&argA, 4}}));
    EXPECT_EQ(clientB.byArg, (std::map<void*, int>{{&argB, 5}}));
}

TEST_F(KelvixTest, ShortSamplesAreNotWholeRawFrames) {
    // A truncated USB sample would be read past its end; a larger one has the format another
    // owner of the camera switched to. Both are dropped, with one ERROR.
    zol::Kelvix k;
    ASSERT_TRUE(initHid(k));
    warmUp(k);
    Seen seen;
    k.setThermalFrameCallback(onThermal);
    const int bytes = static_cast<int>(2 * k.getWidthIn() * k.getHeightIn());
    ASSERT_GT(bytes, 0);
    EXPECT_TRUE(k.holdsRawFrame(bytes));
    testing::internal::CaptureStderr();
    for (const int size : {bytes + 64, bytes + 64, bytes - 1, -1}) {
        EXPECT_FALSE(k.holdsRawFrame(size));
        k.process(reinterpret_cast<unsigned char*>(raw_.data()), size, &seen);
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("drops frames of"), std::string::npos);
    EXPECT_EQ(log.find("drops frames of"), log.rfind("drops frames of"));
    k.process(reinterpret_cast<unsigned char*>(raw_.data()), bytes, &seen);
    EXPECT_EQ(seen.centers.size(), 1u);
}

TEST_F(KelvixTest, OperationsBeforeInitGiveNoValue) {
    zol::Kelvix k;
    EXPECT_FLOAT_EQ(k.getTempFlag(), -100.0f);
    EXPECT_FLOAT_EQ(k.getTempBox(), -100.0f);
    EXPECT_FLOAT_EQ(k.getTempChip(), -100.0f);
    EXPECT_FLOAT_EQ(k.getTempChipReference(), -100.0f);
    EXPECT_FALSE(k.isChipHeatingEnabled());
    EXPECT_FALSE(k.isFlagOpen());
    EXPECT_FALSE(k.setTempRange(-20, 100));
    EXPECT_EQ(k.getHWRevision(), 0u);
    std::vector<unsigned short> energy(160 * 120);
    unsigned short* e = energy.data();
    EXPECT_EQ(k.getEnergyBuffer(e), E_POINTER);
    std::vector<unsigned char> meta(128);
    unsigned char* m = meta.data();
    EXPECT_EQ(k.getMetaData(m, 128), -1);
    double d1, d2, d3, w1, w2;
    short s1, s2, s3;
    EXPECT_FALSE(k.getTemperatureTableParameters(&d1, &d2, &d3, &s1, &s2, &s3, &w1, &w2));
    // Nothing of these may reach a chain that does not exist.
    k.enableChipHeating(true);
    k.setTempChipReference(30);
    k.setRadiationParameters(0.9f, 1.0f, 20.0f);
    k.setUseMultiThreading(true);
    k.raiseSnapshotEvent();
    k.forceFlagEvent(0);
    k.process(reinterpret_cast<unsigned char*>(raw_.data()), nullptr);
    EXPECT_EQ(zol::Kelvix::getVersion(), "-1");
}

TEST_F(KelvixTest, RangesRadiationAndChipReference) {
    zol::Kelvix k;
    ASSERT_TRUE(initHid(k));
    for (int i = 0; i < 5; ++i) {
        feed(k);
    }
    zol::RawdataHeader h;
    EXPECT_TRUE(k.setTempRange(0, 250));
    k.initRawdataHeader(h);
    EXPECT_EQ(+h.tempMinRange, 1000);
    EXPECT_EQ(+h.tempMaxRange, 3500);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(k.setTempRange(-10, 50));
    testing::internal::GetCapturedStderr();
    k.initRawdataHeader(h);
    EXPECT_EQ(+h.tempMinRange, 1000);
    EXPECT_EQ(+h.tempMaxRange, 3500);
    EXPECT_TRUE(k.setTempRange(-20, 100));

    auto metadata = [&k] {
        std::vector<unsigned char> bytes(200, 0xEE);
        unsigned char* p = bytes.data();
        EXPECT_EQ(k.getMetaData(p, 127), -1);
        EXPECT_EQ(bytes[0], 0xEE);
        EXPECT_EQ(k.getMetaData(p, 200), 128);
        EXPECT_EQ(bytes[128], 0xEE);
        ImagerMetadataRecord r;
        std::memcpy(&r, bytes.data(), sizeof r);
        return r;
    };
    ImagerMetadataRecord r = metadata();
    EXPECT_EQ(+r.recordSize, 128);
    EXPECT_EQ(+r.version, 1012);
    EXPECT_EQ(+r.serial, kSerial);

    k.setRadiationParameters(0.95f, 1.0f, -300.0f);  // ambient: housing (30) - 5
    r = metadata();
    EXPECT_EQ(+r.emissivity, 950);
    EXPECT_EQ(+r.ambientRaw, 1250);
    testing::internal::CaptureStderr();
    k.setRadiationParameters(1.2f, 1.0f, 20.0f);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "Radiation parameters must be in the range of [0;1] ... ignoring parameters"),
              std::string::npos);
    r = metadata();
    EXPECT_EQ(+r.emissivity, 950);
    const float refused[][3] = {
        {NAN, 1, 20}, {0.9f, NAN, 20}, {0.9f, -INFINITY, 20}, {0.9f, 1, INFINITY}};
    const char* named[] = {"(emissivity nan)", "(transmissivity nan)", "(transmissivity -inf)",
                           "Ambient temperature inf"};
    for (int i = 0; i < 4; ++i) {  // each refused: 950 and 1250 stay
        testing::internal::CaptureStderr();
        k.setRadiationParameters(refused[i][0], refused[i][1], refused[i][2]);
        EXPECT_NE(testing::internal::GetCapturedStderr().find(named[i]), std::string::npos);
        EXPECT_EQ(metadata().emissivity + metadata().ambientRaw, 2200) << named[i];
    }
    for (float housing : {NAN, -INFINITY}) {
        k.setRadiationParameters(0.9f, 1.0f, housing);
        EXPECT_EQ(metadata().emissivity + metadata().ambientRaw, 2150) << housing;
    }
    k.setRadiationParameters(0.0f, 0.0f, 20.0f);
    r = metadata();
    EXPECT_EQ(+r.emissivity, 0);
    EXPECT_EQ(+r.transmissivity, 0);
    EXPECT_EQ(+r.ambientRaw, 1200);

    for (auto [asked, sent] : {std::pair<float, float>{10, 20}, {60, 55}, {40, 40}}) {
        k.setTempChipReference(asked);
        EXPECT_NEAR(k.getTempChipReference(), sent, 0.1f) << asked;  // in TEC counts
    }
    k.enableChipHeating(true);
    EXPECT_TRUE(k.isChipHeatingEnabled());

    std::vector<unsigned short> energy(160 * 120, 0);
    unsigned short* e = energy.data();
    EXPECT_EQ(k.getEnergyBuffer(e), 0);
    EXPECT_NE(energy[160 * 60 + 80], 0);
    unsigned short* none = nullptr;
    EXPECT_EQ(k.getEnergyBuffer(none), E_POINTER);
    double d1, d2, d3, w1, w2;
    short s1, s2, s3;
    EXPECT_TRUE(k.getTemperatureTableParameters(&d1, &d2, &d3, &s1, &s2, &s3, &w1, &w2));
    EXPECT_FALSE(k.getTemperatureTableParameters(nullptr, &d2, &d3, &s1, &s2, &s3, &w1, &w2));
}

TEST_F(KelvixTest, RecordingHeaderOfTheRawStream) {
    platform::LocalTime t;
    t.year = 2026;
    t.month = 3;
    t.day = 7;
    t.hour = 9;
    t.minute = 5;
    t.second = 2;
    clock_.setLocalTime(t);
    zol::Kelvix k;
    params_.framerate = 9.0f;
    ASSERT_TRUE(initPlayback(k, 27));
    zol::RawdataHeader h;
    k.initRawdataHeader(h);
    EXPECT_EQ(+h.headerSize, 52);
    EXPECT_EQ(+h.version, 1001);
    EXPECT_EQ(std::string(h.date, 8), "20260307");
    EXPECT_EQ(std::string(h.time, 6), "090502");
    EXPECT_EQ(+h.serial, kSerial);
    EXPECT_EQ(+h.width, 160u);
    EXPECT_EQ(+h.height, 121u);
    EXPECT_EQ(+h.bitCount, 16);
    EXPECT_EQ(+h.avgTimePerFrame, 370370);
    EXPECT_EQ(+h.optics, 23);
    EXPECT_EQ(+h.tempMinRange, 800);
    EXPECT_EQ(+h.tempMaxRange, 2000);
    EXPECT_EQ(+h.hwRev, kHwRev);
    EXPECT_EQ(+h.fwRev, kFwRev);
    EXPECT_EQ(+h.gpsStringBufferSize, 80);
}

class KelvixThreaded : public KelvixTest {};

struct ThreadSeen {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::thread::id> threads;
    int exits = 0;
};

TEST_F(KelvixThreaded, ThermalFramesArriveOnTheWorker) {
    zol::Kelvix k;
    ASSERT_TRUE(initPlayback(k));
    warmUp(k);
    k.setUseMultiThreading(true);
    ThreadSeen seen;
    k.setThermalFrameCallback(
        [](unsigned short*, unsigned, unsigned, zol::IRFrameMetadata, void* arg) {
            auto* s = static_cast<ThreadSeen*>(arg);
            std::lock_guard<std::mutex> lock(s->mutex);
            s->threads.push_back(std::this_thread::get_id());
            s->cv.notify_all();
        });
    k.setProcessExitCallback([](void* arg) {
        auto* s = static_cast<ThreadSeen*>(arg);
        std::lock_guard<std::mutex> lock(s->mutex);
        ++s->exits;
    });
    // The worker takes the newest frame: wait for each before the next.
    for (int i = 0; i < 5; ++i) {
        feed(k, &seen);
        std::unique_lock<std::mutex> lock(seen.mutex);
        ASSERT_TRUE(seen.cv.wait_for(lock, std::chrono::seconds(10),
                                     [&] { return seen.threads.size() == std::size_t(i + 1); }));
    }
    std::lock_guard<std::mutex> lock(seen.mutex);
    for (std::thread::id id : seen.threads) {
        EXPECT_NE(id, std::this_thread::get_id());
    }
    EXPECT_GE(seen.exits, 4);
}

// An application replaces its client while the worker is inside it: when the replacement
// returns, the old client is out of the imager's hands and may go.
TEST_F(KelvixThreaded, AReplacedClientIsNoLongerInUse) {
    struct SlowClient : zol::KelvixClient {
        void onRawFrame(unsigned char*, int) override {}
        void onThermalFrame(unsigned short*, unsigned, unsigned, zol::IRFrameMetadata,
                            void*) override {
            entered = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            left = true;
        }
        void onFlagStateChange(zol::EnumFlagState, void*) override {}
        void onProcessExit(void*) override {}
        std::atomic<bool> entered{false}, left{false};
    };
    zol::Kelvix k;
    ASSERT_TRUE(initPlayback(k));
    warmUp(k);
    k.setUseMultiThreading(true);
    auto client = std::make_unique<SlowClient>();
    k.setClient(client.get());
    feed(k);
    ASSERT_TRUE(kelvix_test::waitUntil([&] { return client->entered.load(); }));
    k.setClient(nullptr);
    EXPECT_TRUE(client->left);
    client.reset();
    feed(k);
}

std::atomic<int> frames{0}, exits{0};

struct ThrowingClient : Routed {
    void onThermalFrame(unsigned short*, unsigned, unsigned, zol::IRFrameMetadata, void*) override {
        throw std::logic_error("client");
    }
};

// Callbacks that throw, in both threading modes: frames go on through flag cycles (a string
// literal from the flag-state callback must not reach the chain's own handlers) and each throw
// is reported once. Then a slow one: a caller waits for the frame in progress, not for those
// the capture thread, asking again at once, delivers after it asked.
TEST_F(KelvixThreaded, ThrowingOrSlowCallbacksCostNoFramesAndNoTurns) {
    for (const bool multi : {false, true}) {
        frames = exits = 0;
        zol::Kelvix k;
        ASSERT_TRUE(initPlayback(k));
        k.setUseMultiThreading(multi);
        k.setThermalFrameCallback(
            [](unsigned short*, unsigned, unsigned, zol::IRFrameMetadata, void*) {
                throw std::runtime_error(std::to_string(++frames));
            });
        k.setFlagStateCallback([](zol::EnumFlagState, void*) { throw "flag"; });
        k.setProcessExitCallback([](void*) { throw ++exits; });
        ThrowingClient client;
        k.setClient(&client);
        testing::internal::CaptureStderr();
        for (int i = 0; i < 24; ++i) {
            if (i % 8 == 0) {
                physics().beginFlagCycle(3);
            }
            const int passed = exits;
            feed(k);
            // The worker takes the newest frame: each one before the next.
            ASSERT_TRUE(kelvix_test::waitUntil([&] { return exits > passed; }));
        }
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_GE(frames, 12) << multi;
        for (const std::string line :
             {"thermal frame callback of camera 4200123 threw \"1\"",
              "flag state callback of camera 4200123 threw an exception of unknown type",
              "process exit callback of", "client (onThermalFrame) of camera 4200123 threw"}) {
            EXPECT_NE(log.find(line), std::string::npos) << line;
            EXPECT_EQ(log.find(line), log.rfind(line)) << line;
        }

        k.setThermalFrameCallback(
            [](unsigned short*, unsigned, unsigned, zol::IRFrameMetadata, void*) {
                ++frames;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            });
        std::atomic<bool> done{false};
        std::thread capture([&] {
            for (; !done; clock_.advanceMs(1000.0 / kRate)) {
                k.process(reinterpret_cast<unsigned char*>(raw_.data()), nullptr);
            }
        });
        // The frame in progress, and one that may begin between the count and the call.
        for (int i = 0; i < 30; ++i) {
            const int before = frames;
            k.getTempBox();
            EXPECT_LE(frames - before, 2) << multi;
        }
        done = true;
        capture.join();
        k.setClient(nullptr);
    }
}

}  // namespace
