// Per-frame cost of the whole processing chain (device frame to temperature image) on the
// simulated camera, next to a plain copy of the same raw frame.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimHid.h"
#include "SimPhysics.h"
#include "device/ImagerHID.h"
#include "imgproc/Cali.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/OpFlag.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Strings.h"

namespace {

constexpr std::uint32_t kSerial = 55501;
const int kSizes[][2] = {{382, 288}, {640, 480}};
constexpr int kFrames = 8;  // distinct raw frames cycled through

void onThermal(FrameDoneRecord* r) {
    benchmark::DoNotOptimize(r->pixels[0]);
}

// A simulated camera of the given size with its calibration set, connected over HID, and a
// chain initialised the way the imager does it, past its first flag.
class ChainRig {
  public:
    ChainRig(int width, int height) : clockScope_(clock_), hidScope_(backend_) {
        camera_ = std::make_shared<sim::SimCamera>(kSerial);
        sim::SimPhysics::Config config;
        config.seed = kSerial;
        config.layout.width = width;
        config.layout.height = height;
        config.noise = 4.0;
        camera_->physics = std::make_shared<sim::SimPhysics>(*camera_, config);
        physics_ = camera_->physics.get();
        backend_.addCamera(camera_);
        const std::wstring dir = platform::makeTempDirectory("kelvix-bench-chain");
        dir_ = dir;
        sim::CalibrationSetWriter writer(*camera_, sim::CalibrationSet::standard());
        ok_ = writer.writeAll(platform::toNarrow(dir)) &&
              Cali::getInstance()->readXML(dir.c_str(), static_cast<int>(kSerial)) == 0 &&
              device_.Init(0x0403, 0xDE37, kSerial, false, nullptr) == 0;
        if (!ok_) {
            return;
        }
        ImageProcessingConfig cfg;
        cfg.serial = kSerial;
        dir.copy(cfg.calibrationDirectory, dir.size());
        dir.copy(cfg.tableDirectory, dir.size());
        dir.copy(cfg.formatsDirectory, dir.size());
        cfg.doneCallbacks[ImageProcessingConfig::kThermalSlot] = &onThermal;
        const sim::SimRawLayout& l = physics_->layout();
        FrameInitRecord raw{static_cast<std::uint32_t>(l.rawWidth()),
                            static_cast<std::uint32_t>(l.rawHeight()), 16, 333333};
        ok_ = chain_.init(&device_, &cfg, &raw, &rawBuffer_) == S_OK &&
              chain_.setTempRange(23, L"", -20.0f, 100.0f, 30) == S_OK &&
              chain_.initOperators() == S_OK && chain_.readCalibration() == S_OK &&
              chain_.loadTemperatureTable() == S_OK &&
              chain_.updateRadiationParameters(0, 1.0f, 1.0f) == S_OK;
        if (!ok_) {
            return;
        }
        chain_.getFlag()->correctionMode = 2;
        physics_->setBlackbodyScene(30.0f, 15.0f, 45.0f);
        rawBytes_ = l.rawWords() * 2;
        std::vector<std::uint16_t> f(l.rawWords());
        for (int i = 0; i < 60; ++i) {  // first flag and settling
            physics_->nextFrame(f.data());
            process(f.data());
            if (i == 0) {
                chain_.applyFlagCycles();
            }
        }
        for (int i = 0; i < kFrames; ++i) {
            physics_->nextFrame(f.data());
            frames_.push_back(f);
        }
    }
    ~ChainRig() {
        chain_.destroyChain();
        platform::removeTree(dir_);
    }

    bool ok() const { return ok_; }
    std::size_t rawBytes() const { return rawBytes_; }
    const std::uint16_t* frame(int i) const { return frames_[i % kFrames].data(); }

    // What the imager does per frame: copy the raw frame in, count it, run the chain.
    HRESULT process(const std::uint16_t* raw) {
        std::memcpy(rawBuffer_.buffer, raw, rawBytes_);
        chain_.getDeviceFrame()->metadata->frameCounter += 1;
        const HRESULT hr = chain_.process();
        clock_.advanceMs(33.3);
        return hr;
    }

  private:
    platform::VirtualClock clock_;
    platform::ScopedClock clockScope_;
    sim::SimHidBackend backend_;
    sim::ScopedHidBackend hidScope_;
    std::shared_ptr<sim::SimCamera> camera_;
    sim::SimPhysics* physics_ = nullptr;
    std::wstring dir_;
    ImagerHID device_;
    ImageProcessing chain_;
    RawBufferRecord rawBuffer_;
    std::vector<std::vector<std::uint16_t>> frames_;
    std::size_t rawBytes_ = 0;
    bool ok_ = false;
};

void BM_RawFrameCopy(benchmark::State& state) {
    const int w = kSizes[state.range(0)][0], h = kSizes[state.range(0)][1];
    const std::size_t words = static_cast<std::size_t>(w) * (h + 1);
    std::vector<std::vector<std::uint16_t>> src(kFrames, std::vector<std::uint16_t>(words, 7));
    std::vector<std::uint16_t> dst(words);
    int i = 0;
    for (auto _ : state) {
        std::memcpy(dst.data(), src[i++ % kFrames].data(), words * 2);
        benchmark::ClobberMemory();
    }
    state.SetLabel(std::to_string(w) + "x" + std::to_string(h));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * words * 2));
}

void BM_WholeChain(benchmark::State& state) {
    const int w = kSizes[state.range(0)][0], h = kSizes[state.range(0)][1];
    ChainRig rig(w, h);
    if (!rig.ok()) {
        state.SkipWithError("chain setup failed");
        return;
    }
    int i = 0;
    for (auto _ : state) {
        if (rig.process(rig.frame(i++)) != S_OK) {
            state.SkipWithError("frame failed");
            break;
        }
    }
    state.SetLabel(std::to_string(w) + "x" + std::to_string(h));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * rig.rawBytes()));
}

}  // namespace

BENCHMARK(BM_RawFrameCopy)->Arg(0)->Arg(1);
BENCHMARK(BM_WholeChain)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
