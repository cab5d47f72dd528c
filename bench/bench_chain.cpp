// Per-frame cost of the whole processing chain (device frame to temperature image) on the
// simulated camera, alone and behind the imager, next to a plain copy of the same raw frame.
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
#include "imgproc/OpPostProcessing.h"
#include "kelvix/IRDeviceParams.h"
#include "kelvix/Kelvix.h"
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

// A simulated camera of the given size with its calibration set, on the simulated HID channel
// and a virtual clock.
class CameraRig {
  public:
    CameraRig(int width, int height) : clockScope_(clock_), hidScope_(backend_) {
        camera_ = std::make_shared<sim::SimCamera>(kSerial);
        sim::SimPhysics::Config config;
        config.seed = kSerial;
        config.layout.width = width;
        config.layout.height = height;
        config.noise = 4.0;
        camera_->physics = std::make_shared<sim::SimPhysics>(*camera_, config);
        physics_ = camera_->physics.get();
        backend_.addCamera(camera_);
        dir_ = platform::makeTempDirectory("kelvix-bench-chain");
        sim::CalibrationSetWriter writer(*camera_, sim::CalibrationSet::standard());
        ok_ = writer.writeAll(platform::toNarrow(dir_));
        rawBytes_ = physics_->layout().rawWords() * 2;
    }
    ~CameraRig() { platform::removeTree(dir_); }

    bool ok() const { return ok_; }
    std::size_t rawBytes() const { return rawBytes_; }
    const std::uint16_t* frame(int i) const { return frames_[i % kFrames].data(); }

  protected:
    // Past the first flag and settled, looking at a blackbody; then the frames to cycle.
    template <typename Rig>
    void warmUp(Rig& rig) {
        physics_->setBlackbodyScene(30.0f, 15.0f, 45.0f);
        std::vector<std::uint16_t> f(physics_->layout().rawWords());
        for (int i = 0; i < 150; ++i) {
            physics_->nextFrame(f.data());
            rig.process(f.data());
        }
        for (int i = 0; i < kFrames; ++i) {
            physics_->nextFrame(f.data());
            frames_.push_back(f);
        }
    }

    platform::VirtualClock clock_;
    platform::ScopedClock clockScope_;
    sim::SimHidBackend backend_;
    platform::ScopedHidBackend hidScope_;
    std::shared_ptr<sim::SimCamera> camera_;
    sim::SimPhysics* physics_ = nullptr;
    std::wstring dir_;
    std::vector<std::vector<std::uint16_t>> frames_;
    std::size_t rawBytes_ = 0;
    bool ok_ = false;
};

// The camera's chain initialised the way the imager does it.
class ChainRig : public CameraRig {
  public:
    ChainRig(int width, int height) : CameraRig(width, height) {
        ok_ = ok_ && Cali::getInstance()->readXML(dir_.c_str(), static_cast<int>(kSerial)) == 0 &&
              device_.Init(0x0403, 0xDE37, kSerial, false, nullptr) == 0;
        if (!ok_) {
            return;
        }
        ImageProcessingConfig cfg;
        cfg.serial = kSerial;
        dir_.copy(cfg.calibrationDirectory, dir_.size());
        dir_.copy(cfg.tableDirectory, dir_.size());
        dir_.copy(cfg.formatsDirectory, dir_.size());
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
        chain_.applyFlagCycles();
        warmUp(*this);
    }
    ~ChainRig() { chain_.destroyChain(); }

    // What the imager does per frame: copy the raw frame in, count it, run the chain.
    HRESULT process(const std::uint16_t* raw) {
        std::memcpy(rawBuffer_.buffer, raw, rawBytes_);
        chain_.getDeviceFrame()->metadata->frameCounter += 1;
        const HRESULT hr = chain_.process();
        clock_.advanceMs(33.3);
        return hr;
    }

  private:
    ImagerHID device_;
    ImageProcessing chain_;
    RawBufferRecord rawBuffer_;
};

// The same camera behind an imager, as an application drives it: the chain plus what the
// imager adds per frame (stamping, delivery, the flag decision, its lock).
class ImagerRig : public CameraRig {
  public:
    ImagerRig(int width, int height) : CameraRig(width, height) {
        params_.serial = kSerial;
        params_.caliPath = copy(dir_);
        params_.formatsPath = copy(dir_);
        params_.fov = 23;
        params_.tMin = -20;
        params_.tMax = 100;
        params_.framerate = 30.0f;
        params_.autoFlag = 0;  // no flags while measuring
        const sim::SimRawLayout& l = physics_->layout();
        ok_ = ok_ && imager_.init(&params_, 30, static_cast<unsigned>(l.rawWidth()),
                                  static_cast<unsigned>(l.rawHeight()), true);
        if (ok_) {
            // Every frame through the whole chain, as in the chain's own benchmark (a camera
            // without the short-imager capability would otherwise pass on 9 frames a second).
            imager_.getImageProcessingChain()->getPostProcessing()->setRate(1.0);
            imager_.setThermalFrameCallback(&onImage);
            warmUp(*this);
        }
    }
    ~ImagerRig() { params_.releaseStrings(); }

    HRESULT process(const std::uint16_t* raw) {
        imager_.process(reinterpret_cast<unsigned char*>(const_cast<std::uint16_t*>(raw)), nullptr);
        clock_.advanceMs(33.3);
        return S_OK;
    }

  private:
    static wchar_t* copy(const std::wstring& s) {
        wchar_t* p = new wchar_t[s.size() + 1];
        s.copy(p, s.size());
        p[s.size()] = L'\0';
        return p;
    }
    static void onImage(unsigned short* data, unsigned, unsigned, zol::IRFrameMetadata, void*) {
        benchmark::DoNotOptimize(data[0]);
    }

    zol::IRDeviceParams params_;
    zol::Kelvix imager_;
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

template <typename Rig>
void runFrames(benchmark::State& state) {
    const int w = kSizes[state.range(0)][0], h = kSizes[state.range(0)][1];
    Rig rig(w, h);
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

void BM_WholeChain(benchmark::State& state) {
    runFrames<ChainRig>(state);
}

void BM_ImagerFrame(benchmark::State& state) {
    runFrames<ImagerRig>(state);
}

}  // namespace

BENCHMARK(BM_RawFrameCopy)->Arg(0)->Arg(1);
BENCHMARK(BM_WholeChain)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ImagerFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
