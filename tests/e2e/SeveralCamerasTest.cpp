// Several simulated cameras in one process, each with a calibration set of its own, its imager
// and an application thread; and what a frame callback may not do to its own imager.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "CalibrationSetWriter.h"
#include "common/SimChannels.h"
#include "kelvix/IRDeviceDS.h"
#include "kelvix/Kelvix.h"
#include "kelvix/Logger.h"
#include "platform/Paths.h"

namespace {

// A camera streaming into its imager; the mean of the centre's 9 x 9 pixels of each open-flag
// image after the flag that closed after `mark`.
struct Camera : zol::KelvixClient {
    void onRawFrame(unsigned char* d, int) override { imager->process(d, this); }
    void onThermalFrame(unsigned short* d, unsigned w, unsigned h, zol::IRFrameMetadata m,
                        void*) override {
        if (void (*cb)(Camera&) = callback) {
            cb(*this);
        }
        double sum = 0.0;
        for (unsigned i = 0; i < 81; ++i) {
            sum += d[(h / 2 - 4 + i / 9) * w + w / 2 - 4 + i % 9] / 81.0;
        }
        if (m.flagState == zol::FlagOpen && closings > mark && ++fresh > 0) {
            centre = static_cast<float>((sum - 1000.0) / 10.0);
        }
    }
    void onFlagStateChange(zol::EnumFlagState s, void*) override { closings += s == 1; }
    void onProcessExit(void*) override {}

    ~Camera() override { params.releaseStrings(); }

    std::unique_ptr<zol::Kelvix> imager = std::make_unique<zol::Kelvix>();
    std::unique_ptr<zol::IRDeviceDS> device;
    std::shared_ptr<sim::SimCamera> sim;
    zol::IRDeviceParams params;
    std::atomic<void (*)(Camera&)> callback{nullptr};
    std::atomic<int> closings{0}, mark{1 << 30}, fresh{0};
    std::atomic<float> centre{-1000.0f};
};

class SeveralCamerasThreaded : public kelvix_test::TempDirTest {
  protected:
    std::unique_ptr<Camera> start(std::uint32_t serial, const sim::CalibrationSet& set,
                                  bool threaded = false) {
        auto c = std::make_unique<Camera>();
        const std::string dir = "cali" + std::to_string(serial);
        platform::createDirectory(wpath(dir));
        c->sim = channels_.plugIn(serial);
        EXPECT_TRUE(sim::CalibrationSetWriter(*c->sim, set).writeAll(path(dir)));
        kelvix_test::simImagerParams(c->params, serial, wpath(dir), 30);
        c->params.autoFlag = 0;
        c->device.reset(zol::IRDeviceDS::createInstance(c->params));
        EXPECT_TRUE(
            c->imager->init(&c->params, 30, c->device->getWidth(), c->device->getHeight(), true));
        c->imager->setUseMultiThreading(threaded);
        c->imager->setClient(c.get());
        c->device->setClient(c.get());
        EXPECT_EQ(c->device->startStreaming(), 0);
        return c;
    }
    kelvix_test::SimChannels channels_;
};

// Four cameras whose sets differ in flag cycles, ranges and radiometric curves: while every
// thread changes its range and radiation parameters, each reads its own scene.
TEST_F(SeveralCamerasThreaded, EachImagerReadsItsOwnCalibration) {
    std::vector<std::unique_ptr<Camera>> cameras;
    std::vector<sim::CalibrationSet> sets(4, sim::CalibrationSet::standard());
    for (int i = 0; i < 4; ++i) {
        sets[i].flagCycles = 4 + 3 * i;
        sets[i].optics[0].ranges.resize(2);
        for (sim::SimRangeSpec& r : sets[i].optics[0].ranges) {
            r.model.table.E1 += static_cast<std::int16_t>(400 * i);
            r.model.table.lambda += 0.5 * i;
        }
        cameras.push_back(start(5400001 + i, sets[i], i % 2 == 1));
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            Camera& c = *cameras[i];
            const std::vector<sim::SimRangeSpec>& ranges = sets[i].optics[0].ranges;
            for (int k = 0; k < 4 + i; ++k) {
                const sim::SimRangeSpec& r = ranges[k % 2];
                EXPECT_TRUE(c.imager->setTempRange(int(r.tMin), int(r.tMax))) << i;
                c.imager->setRadiationParameters(0.9f + 0.02f * k, 0.95f, 20.0f);
            }
            const sim::SimRangeSpec& r = ranges[i % 2];
            const float scene = 40.0f + 7.0f * i;
            sim::SimPhysics::of(*c.sim).setBlackbodyScene(scene, 20.0f, 30.0f);
            EXPECT_TRUE(c.imager->setTempRange(int(r.tMin), int(r.tMax)));
            c.imager->setRadiationParameters(1.0f, 1.0f, -300.0f);
            ASSERT_TRUE(kelvix_test::waitUntil([&c] { return c.imager->isFlagOpen(); }, 2000));
            c.mark = c.closings.load();
            c.imager->forceFlagEvent(0);
            ASSERT_TRUE(kelvix_test::waitUntil([&c] { return c.fresh >= 3; }, 2000));
            EXPECT_NEAR(c.centre, scene, 0.2f) << "camera " << i;
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (auto& c : cameras) {
        c->device->stopStreaming();
    }
}

// From its own frame callback an imager refuses what would rebuild its chain, its video device
// refuses to stop, and destroying the imager ends the process with an ERROR that says why.
TEST_F(SeveralCamerasThreaded, ForbiddenReentryRefusesOrEndsWithAnError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    zol::Logger::getInstance()->configure("reentry", zol::Logger::ModeConsole, 0, 0);
    static std::atomic<int> calls{0};
    for (bool threaded : {false, true}) {
        std::unique_ptr<Camera> c =
            start(5400011 + threaded, sim::CalibrationSet::standard(), threaded);
        calls = 0;
        c->callback = [](Camera& self) {
            EXPECT_EQ(self.device->stopStreaming(), -1);
            EXPECT_FALSE(self.imager->reconnect(&self.params, 30, 160, 121, true));
            ++calls;
        };
        ASSERT_TRUE(kelvix_test::waitUntil([] { return calls >= 2; }));
        c->callback = nullptr;
        EXPECT_EQ(c->device->stopStreaming(), 0);
    }
    for (bool threaded : {false, true}) {
        EXPECT_DEATH(
            {
                std::unique_ptr<Camera> c =
                    start(5400021, sim::CalibrationSet::standard(), threaded);
                c->callback = [](Camera& self) { self.imager.reset(); };
                kelvix_test::waitUntil([] { return false; }, 1000);
            },
            "destroyed from its own frame callback");
    }
}

}  // namespace
