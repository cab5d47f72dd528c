// Fixture: a simulated camera over HID with its calibration set and a processing chain fed as the
// imager feeds it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimHid.h"
#include "SimPhysics.h"
#include "common/TestEnv.h"
#include "device/ImagerHID.h"
#include "imgproc/Cali.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/OpFlag.h"
#include "platform/Strings.h"

namespace e2e {

// The last thermal frame the chain delivered (the chain's callbacks carry no context).
struct ThermalSink {
    static ThermalSink*& current() {
        static ThermalSink* sink = nullptr;
        return sink;
    }
    static void onInit(FrameInitRecord* r) {
        if (current() != nullptr) {
            current()->width = static_cast<int>(r->width);
            current()->height = static_cast<int>(r->height);
        }
    }
    static void onFrame(FrameDoneRecord* r) {
        ThermalSink* s = current();
        if (s == nullptr) {
            return;
        }
        s->pixels.assign(r->pixels, r->pixels + s->width * s->height);
        s->flagState = r->metadata->flagState;
        ++s->frames;
    }
    int width = 0;
    int height = 0;
    int frames = 0;
    int flagState = 0;
    std::vector<std::uint16_t> pixels;
};

// A simulated camera with its generated calibration set, connected over HID, and a processing
// chain fed with its frames exactly as the imager feeds it.
class ChainOnSimCamera : public kelvix_test::VirtualClockTest {
  protected:
    static constexpr std::uint32_t kSerial = 31337001;
    static constexpr std::int64_t kPeriod = 333333;  // 30 Hz
    // The calibration store keeps one camera's description: a camera with other files needs a
    // serial of its own.
    std::uint32_t serial_ = kSerial;

    void start(int width = 160, int height = 120, double noise = 0.0) {
        sim::SimPhysics::Config config;
        config.layout.width = width;
        config.layout.height = height;
        config.noise = noise;
        start(config, sim::CalibrationSet::standard());
    }

    // A camera of hardware revision `hwRev` with `config` (its seed is the serial), calibrated
    // by `set`, on the first range of the optic `fov`.
    void start(sim::SimPhysics::Config config, const sim::CalibrationSet& set,
               std::uint16_t hwRev = 3100, int fov = 23) {
        camera_ = std::make_shared<sim::SimCamera>(serial_, hwRev);
        config.seed = serial_;
        camera_->physics = std::make_shared<sim::SimPhysics>(*camera_, config);
        physics_ = camera_->physics.get();
        backend_.addCamera(camera_);
        writer_ = std::make_unique<sim::CalibrationSetWriter>(*camera_, set);
        ASSERT_TRUE(writer_->writeAll(dir_));
        const std::wstring dir = platform::toWide(dir_);
        ASSERT_EQ(Cali::getInstance()->readXML(dir.c_str(), static_cast<int>(serial_)), 0);

        device_ = std::make_unique<ImagerHID>();
        ASSERT_EQ(device_->Init(0x0403, 0xDE37, serial_, false, nullptr), 0);
        device_->InitPif();

        const sim::SimOpticsSpec* optic = opticOf(fov);
        ASSERT_TRUE(optic != nullptr && !optic->ranges.empty());
        ImageProcessingConfig cfg;
        cfg.serial = serial_;
        dir.copy(cfg.calibrationDirectory, dir.size());
        dir.copy(cfg.tableDirectory, dir.size());
        dir.copy(cfg.formatsDirectory, dir.size());
        cfg.initCallbacks[ImageProcessingConfig::kThermalSlot] = &ThermalSink::onInit;
        cfg.doneCallbacks[ImageProcessingConfig::kThermalSlot] = &ThermalSink::onFrame;
        ThermalSink::current() = &sink_;

        const sim::SimRawLayout& l = physics_->layout();
        FrameInitRecord raw{static_cast<std::uint32_t>(l.rawWidth()),
                            static_cast<std::uint32_t>(l.rawHeight()), 16, kPeriod};
        ASSERT_EQ(chain_.init(device_.get(), &cfg, &raw, &rawBuffer_), S_OK);
        // Sample-point optics come without table files: their tables follow the model.
        chain_.modelTable = optic->samplePoint;
        chain_.applyTecCalibration();
        chain_.applySensorOffsets();
        ASSERT_EQ(selectRange(optic->ranges[0].tMin, optic->ranges[0].tMax, fov), S_OK);
        ASSERT_EQ(chain_.initOperators(), S_OK);
        ASSERT_EQ(chain_.readCalibration(), S_OK);
        ASSERT_EQ(chain_.loadTemperatureTable(), S_OK);
        ASSERT_EQ(chain_.updateRadiationParameters(0, 1.0f, 1.0f), S_OK);
        chain_.getFlag()->correctionMode = 2;
    }

    void TearDown() override {
        ThermalSink::current() = nullptr;
        VirtualClockTest::TearDown();
    }

    const sim::SimOpticsSpec* opticOf(int fov) const {
        for (const sim::SimOpticsSpec& o : writer_->set().optics) {
            if (o.fov == fov) {
                return &o;
            }
        }
        return nullptr;
    }

    // Selects a range of an optic (the wide one by default) and lets the camera's radiometry
    // follow it.
    HRESULT selectRange(float tMin, float tMax, int fov = 23) {
        const sim::SimOpticsSpec* optic = opticOf(fov);
        if (optic == nullptr) {
            return E_INVALIDARG;
        }
        const HRESULT hr =
            chain_.setTempRange(fov, platform::toWide(optic->text).c_str(), tMin, tMax, 30);
        for (const sim::SimRangeSpec& r : optic->ranges) {
            if (r.tMin == tMin && r.tMax == tMax) {
                physics_->setModel(r.model);
            }
        }
        return hr;
    }

    HRESULT changeRange(float tMin, float tMax) {
        HRESULT hr = selectRange(tMin, tMax);
        if (hr == S_OK) {
            hr = chain_.readCalibration();
        }
        if (hr == S_OK) {
            hr = chain_.loadTemperatureTable();
        }
        if (hr == S_OK) {
            hr = chain_.updateRadiationParameters(0, 1.0f, 1.0f);
        }
        return hr;
    }

    // One camera frame through the chain, as the imager runs it; the camera's temperatures
    // move on by one frame period.
    HRESULT frame(double driftSecondsPerFrame = 0.0) {
        physics_->nextFrame(reinterpret_cast<std::uint16_t*>(rawBuffer_.buffer));
        FrameMetadataRecord* m = chain_.getDeviceFrame()->metadata;
        m->frameCounter += 1;
        m->timestamp = static_cast<std::int64_t>(clock_.tickMs()) * 10000;
        m->frameNumber += 1;
        const std::uint32_t counter = m->frameCounter;
        const HRESULT hr = runChain();  // may resize the metadata record
        if (counter == 1) {
            chain_.applyFlagCycles();  // the imager's first flag
        }
        clock_.advanceMs(kPeriod / 10000.0);
        if (driftSecondsPerFrame > 0.0) {
            physics_->advance(driftSecondsPerFrame);
        }
        return hr;
    }

    virtual HRESULT runChain() { return chain_.process(); }

    HRESULT frames(int n, double drift = 0.0) {
        for (int i = 0; i < n; ++i) {
            const HRESULT hr = frame(drift);
            if (hr != S_OK) {
                return hr;
            }
        }
        return S_OK;
    }

    static double celsius(std::uint16_t raw) { return (raw - 1000.0) * 0.1; }

    struct Accuracy {
        double mean = 0.0;
        double maxAbs = 0.0;
        int pixels = 0;
    };
    // Error against `target` over the blackbody, a margin of two pixels inside its edge.
    Accuracy centralError(double target) const {
        Accuracy a;
        const int w = sink_.width, h = sink_.height;
        double sum = 0.0;
        for (int y = h / 4 + 2; y < 3 * h / 4 - 2; ++y) {
            for (int x = w / 4 + 2; x < 3 * w / 4 - 2; ++x) {
                const double e = celsius(sink_.pixels[y * w + x]) - target;
                sum += e;
                a.maxAbs = std::max(a.maxAbs, std::abs(e));
                ++a.pixels;
            }
        }
        a.mean = a.pixels > 0 ? sum / a.pixels : 0.0;
        return a;
    }

    sim::SimHidBackend backend_;
    platform::ScopedHidBackend scopedBackend_{backend_};
    std::shared_ptr<sim::SimCamera> camera_;
    sim::SimPhysics* physics_ = nullptr;
    std::unique_ptr<sim::CalibrationSetWriter> writer_;
    std::unique_ptr<ImagerHID> device_;
    ImageProcessing chain_;
    RawBufferRecord rawBuffer_;
    ThermalSink sink_;
};

}  // namespace e2e
