// Per-frame cost of the whole processing chain (copy-in to temperature image) and of each of
// its operators on the simulated camera, as multiples of a plain copy of the same raw frame and
// of the floor of any such chain (one table lookup per pixel, raw frame to temperature frame),
// for open-flag and closed-flag frames; the frame that reopens the flag with normal and
// subnormal drift rates; an open-flag frame behind the imager; and the heap bytes per pixel
// that a chain and an imager hold. Medians of the repetitions are the figures to quote:
//   taskset -c N bench/bench_chain
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimHid.h"
#include "SimPhysics.h"
#include "device/ImagerHID.h"
#include "imgproc/Cali.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/OpCorr.h"
#include "imgproc/OpDevice.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpEnergyNormalize.h"
#include "imgproc/OpFlag.h"
#include "imgproc/OpMetadata.h"
#include "imgproc/OpPostProcessing.h"
#include "imgproc/OpREA.h"
#include "imgproc/OpSource.h"
#include "imgproc/PixelKernels.h"
#include "kelvix/IRDeviceParams.h"
#include "kelvix/Kelvix.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Strings.h"

// Heap accounting: every allocation through operator new counts its bytes while it lives, so
// that the bench can tell what an imager holds per pixel.
namespace {
std::atomic<std::int64_t> liveHeap{0};
std::atomic<std::int64_t> allocations{0};

void* countedNew(std::size_t n, std::size_t align) {
    // The block's start and size sit in the two words before the pointer handed out.
    const std::size_t head = std::max<std::size_t>(align, 2 * sizeof(void*));
    auto* raw = static_cast<unsigned char*>(std::malloc(n + head + align));
    if (raw == nullptr) {
        throw std::bad_alloc();
    }
    const std::uintptr_t at =
        (reinterpret_cast<std::uintptr_t>(raw) + head + align - 1) & ~std::uintptr_t(align - 1);
    auto** words = reinterpret_cast<void**>(at);
    words[-1] = raw;
    words[-2] = reinterpret_cast<void*>(n);
    liveHeap += static_cast<std::int64_t>(n);
    ++allocations;
    return words;
}

void countedDelete(void* p) noexcept {
    if (p != nullptr) {
        auto** words = static_cast<void**>(p);
        liveHeap -= static_cast<std::int64_t>(reinterpret_cast<std::size_t>(words[-2]));
        std::free(words[-1]);
    }
}
}  // namespace

void* operator new(std::size_t n) {
    return countedNew(n, __STDCPP_DEFAULT_NEW_ALIGNMENT__);
}
void* operator new[](std::size_t n) {
    return countedNew(n, __STDCPP_DEFAULT_NEW_ALIGNMENT__);
}
void* operator new(std::size_t n, std::align_val_t a) {
    return countedNew(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return countedNew(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return countedNew(n, __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept {
    return operator new(n, t);
}
void operator delete(void* p) noexcept {
    countedDelete(p);
}
void operator delete[](void* p) noexcept {
    countedDelete(p);
}
void operator delete(void* p, std::size_t) noexcept {
    countedDelete(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    countedDelete(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    countedDelete(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    countedDelete(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    countedDelete(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    countedDelete(p);
}

namespace {

using Steady = std::chrono::steady_clock;

constexpr std::uint32_t kSerial = 55501;
const int kSizes[][2] = {{382, 288}, {640, 480}, {1024, 768}};
constexpr int kFlagFrames = sim::SimPhysics::kFlagCycleFrames;
// Distinct raw frames cycled through, as many for the copy and the open-flag frames as a flag
// cycle has: every copy then finds its source equally far from the core (at 382 x 288, eight
// sources would still sit in a 2 MB cache and ten would not).
constexpr int kOpenFrames = kFlagFrames;
constexpr int kRepetitions = 5;

std::string label(int size) {
    return std::to_string(kSizes[size][0]) + "x" + std::to_string(kSizes[size][1]);
}

// Processor time, which the other processes of a busy machine do not lengthen (the chain runs
// on this thread alone).
double cpuNs(std::clock_t from, std::clock_t to) {
    return static_cast<double>(to - from) * 1e9 / CLOCKS_PER_SEC;
}

// Nanoseconds of processor time per pass: the fastest of five runs of 20 ms.
template <typename Pass>
double nsPerPass(Pass pass) {
    double best = 0.0;
    for (int r = 0; r < 5; ++r) {
        int n = 0;
        const std::clock_t start = std::clock();
        std::clock_t now = start;
        for (; now - start < CLOCKS_PER_SEC / 50; now = std::clock()) {
            pass();
            ++n;
        }
        const double ns = cpuNs(start, now) / n;
        best = r == 0 ? ns : std::min(best, ns);
    }
    return best;
}

// A copy of a raw frame that starts half a page from where it is copied to (modulo the page):
// the copy never waits on its own stores (4K aliasing), wherever the allocator put things.
struct PlacedFrame {
    PlacedFrame(const std::vector<std::uint16_t>& frame, const void* target)
        : storage(frame.size() + 2048) {
        const auto base = reinterpret_cast<std::uintptr_t>(storage.data()) % 4096;
        const auto want = (reinterpret_cast<std::uintptr_t>(target) + 2048) % 4096;
        const std::size_t skip = (want + 4096 - base) % 4096 / 2;
        std::copy(frame.begin(), frame.end(), storage.begin() + skip);
        data = storage.data() + skip;
    }
    std::vector<std::uint16_t> storage;
    const std::uint16_t* data;
};

// Copies of the raw frame of a size, cycling through distinct sources.
struct CopyRig {
    explicit CopyRig(int size)
        : words(static_cast<std::size_t>(kSizes[size][0]) * (kSizes[size][1] + 1)), dst(words) {
        for (int i = 0; i < kOpenFrames; ++i) {
            src.emplace_back(std::vector<std::uint16_t>(words, 7), dst.data());
        }
    }
    void copy() {
        std::memcpy(dst.data(), src[next++ % kOpenFrames].data, words * 2);
        benchmark::ClobberMemory();
    }
    double measure() {
        return nsPerPass([this] { copy(); });
    }
    std::size_t words;
    std::vector<std::uint16_t> dst;
    std::vector<PlacedFrame> src;
    int next = 0;
};

// The chain's operators in graph order; each marks the time its run finished.
constexpr int kOperators = 9;
const char* const kOperatorNames[kOperators] = {"device", "source",    "metadata",
                                                "flag",   "raddist",   "postproc",
                                                "corr",   "normalize", "energy2temp"};
Steady::time_point marks[kOperators];
bool marked[kOperators];

template <int K>
void mark(FrameDoneRecord* r) {
    marks[K] = Steady::now();
    marked[K] = true;
    benchmark::DoNotOptimize(r->pixels);
}
using MarkFn = void (*)(FrameDoneRecord*);
const MarkFn kMarks[kOperators] = {&mark<0>, &mark<1>, &mark<2>, &mark<3>, &mark<4>,
                                   &mark<5>, &mark<6>, &mark<7>, &mark<8>};

// A simulated camera of the given size with its calibration set, on the simulated HID channel
// and a virtual clock; warmUp takes it past a few flags of a warming camera and renders the
// frames to cycle through.
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
        pixels_ = static_cast<std::size_t>(width) * height;
        heapAtStart_ = liveHeap;
    }
    ~CameraRig() { platform::removeTree(dir_); }

    bool ok() const { return ok_; }
    const std::uint16_t* open(int i) const { return open_[i % kOpenFrames].data; }
    const std::uint16_t* closed(int i) const { return closed_[i % kFlagFrames].data; }
    // Heap bytes per pixel that the chain or imager (and whatever came with it) holds after a
    // few flag cycles.
    double heldPerPixel() const { return static_cast<double>(held_) / pixels_; }

  protected:
    // `target`: where the frames are copied to.
    template <typename Rig>
    void warmUp(Rig& rig, void (*flag)(Rig&), const void* target) {
        physics_->setBlackbodyScene(30.0f, 15.0f, 45.0f);
        std::vector<std::uint16_t> f(physics_->layout().rawWords());
        // Flags every 40 frames while the camera warms: the offsets drift between them.
        for (int i = 0; i < 200; ++i) {
            if (i % 40 == 0) {
                flag(rig);
            }
            physics_->nextFrame(f.data());
            rig.process(f.data());
            physics_->advance(2.0);
        }
        held_ = liveHeap - heapAtStart_ - static_cast<std::int64_t>(f.size() * 2);
        for (int i = 0; i < kOpenFrames; ++i) {
            physics_->nextFrame(f.data());
            open_.emplace_back(f, target);
        }
        physics_->beginFlagCycle(kFlagFrames);
        for (int i = 0; i < kFlagFrames; ++i) {
            physics_->nextFrame(f.data());
            closed_.emplace_back(f, target);
        }
    }

    platform::VirtualClock clock_;
    platform::ScopedClock clockScope_;
    sim::SimHidBackend backend_;
    platform::ScopedHidBackend hidScope_;
    std::shared_ptr<sim::SimCamera> camera_;
    sim::SimPhysics* physics_ = nullptr;
    std::wstring dir_;
    std::vector<PlacedFrame> open_, closed_;
    std::size_t rawBytes_ = 0;
    std::size_t pixels_ = 0;
    std::int64_t heapAtStart_ = 0, held_ = 0;
    bool ok_ = false;
};

// The camera's chain initialised the way the imager does it, its operators marking their
// times.
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
        OpBase* ops[kOperators] = {
            chain_.getDeviceOperator(), chain_.getSource(),           chain_.getMetadataOperator(),
            chain_.getFlag(),           chain_.getRadialDistortion(), chain_.getPostProcessing(),
            chain_.getCorrection(0),    chain_.getEnergyNormalize(0), chain_.getEnergy2Temp(0)};
        for (int k = 0; k < kOperators; ++k) {
            ops[k]->frameDoneCallback = kMarks[k];
        }
        chain_.getFlag()->correctionMode = 2;
        warmUp<ChainRig>(
            *this, [](ChainRig& r) { r.chain_.applyFlagCycles(); }, rawBuffer_.buffer);
    }
    ~ChainRig() { chain_.destroyChain(); }

    const OpEnergy2Temp& temperatureOperator() { return *chain_.getEnergy2Temp(0); }
    // Every pixel's drift rate, for the next opening of the flag to smooth.
    void setDriftRates(float rate) {
        for (FlagPixelState& p : chain_.getFlag()->pixelStates()) {
            p.rate = rate;
        }
    }
    int flagCycleCount() { return chain_.getFlag()->getFlagCycleCount(); }
    // Every pixel far from its drifted offset, stepping every 15 frames or on a period and
    // countdown of its own (7 to 29 frames).
    void setDriftEverywhere(bool ownPeriods) {
        std::uint32_t p = 0;
        for (FlagPixelState& s : chain_.getFlag()->pixelStates()) {
            s.steps = static_cast<std::int16_t>(p % 2 != 0 ? 30000 : -30000);
            s.period = ownPeriods ? static_cast<std::int32_t>(7 + p * 7919u % 23) : 15;
            s.countdown = ownPeriods ? static_cast<std::int32_t>(p * 104729u % 29) : 15;
            ++p;
        }
    }

    // What the imager does per frame: copy the raw frame in, count it, run the chain.
    HRESULT process(const std::uint16_t* raw) {
        std::memcpy(rawBuffer_.buffer, raw, rawBytes_);
        chain_.getDeviceFrame()->metadata->frameCounter += 1;
        const HRESULT hr = chain_.process();
        clock_.advanceMs(33.3);
        return hr;
    }

    // One frame with the time of each step added to `spent` (copy-in first, then the
    // operators, the rest of the chain's frame last, the whole at the end).
    HRESULT timedProcess(const std::uint16_t* raw, double spent[kOperators + 3]) {
        std::fill(marked, marked + kOperators, false);
        const Steady::time_point start = Steady::now();
        std::memcpy(rawBuffer_.buffer, raw, rawBytes_);
        const Steady::time_point copied = Steady::now();
        chain_.getDeviceFrame()->metadata->frameCounter += 1;
        const HRESULT hr = chain_.process();
        const Steady::time_point end = Steady::now();
        clock_.advanceMs(33.3);
        auto ns = [](Steady::time_point a, Steady::time_point b) {
            return std::chrono::duration<double, std::nano>(b - a).count();
        };
        spent[0] += ns(start, copied);
        Steady::time_point last = copied;
        for (int k = 0; k < kOperators; ++k) {
            if (marked[k]) {
                spent[k + 1] += ns(last, marks[k]);
                last = marks[k];
            }
        }
        spent[kOperators + 1] += ns(last, end);
        spent[kOperators + 2] += ns(start, end);
        return hr;
    }

  private:
    ImagerHID device_;
    ImageProcessing chain_;
    RawBufferRecord rawBuffer_;
};

// The floor of any chain from a raw frame to a temperature frame: one lookup per pixel, from
// the chain's own raw frames through its temperature table (expanded as the chain expands it).
struct FloorRig {
    FloorRig(ChainRig& chain, int size)
        : pixels(static_cast<std::size_t>(kSizes[size][0]) * kSizes[size][1]),
          dst(pixels),
          table(pixel::kTableEntries) {
        const OpEnergy2Temp& op = chain.temperatureOperator();
        lut::expand(op.getLut(), op.getOffset(), table.data());
        for (int i = 0; i < kOpenFrames; ++i) {
            const std::uint16_t* raw = chain.open(i);
            src.emplace_back(std::vector<std::uint16_t>(raw, raw + pixels), dst.data());
        }
    }
    double measure() {
        return nsPerPass([this] {
            pixel::lookup(reinterpret_cast<const std::int16_t*>(src[next++ % kOpenFrames].data),
                          table.data(), dst.data(), pixels);
            benchmark::ClobberMemory();
        });
    }
    std::size_t pixels;
    std::vector<std::int16_t> dst, table;
    std::vector<PlacedFrame> src;
    int next = 0;
};

// The same camera behind an imager, as an application drives it: the chain plus what the
// imager adds per frame (stamping, delivery, the flag decision, its lock).
class ImagerRig : public CameraRig {
  public:
    ImagerRig(int width, int height) : CameraRig(width, height) {
        params_.serial = kSerial;
        params_.caliPath = platform::newWideArray(dir_);
        params_.formatsPath = platform::newWideArray(dir_);
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
            warmUp<ImagerRig>(
                *this, [](ImagerRig& r) { r.imager_.forceFlagEvent(0); },
                imager_.getImageProcessingChain()->getDeviceFrame()->pixels);
        }
    }
    ~ImagerRig() { params_.releaseStrings(); }

    HRESULT process(const std::uint16_t* raw) {
        imager_.process(reinterpret_cast<unsigned char*>(const_cast<std::uint16_t*>(raw)), nullptr);
        clock_.advanceMs(33.3);
        return S_OK;
    }

  private:
    static void onImage(unsigned short* data, unsigned, unsigned, zol::IRFrameMetadata, void*) {
        benchmark::DoNotOptimize(data[0]);
    }

    zol::IRDeviceParams params_;
    zol::Kelvix imager_;
};

void BM_RawFrameCopy(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    CopyRig rig(size);
    for (auto _ : state) {
        rig.copy();
    }
    state.SetLabel(label(size));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * rig.words * 2));
}

// One rig of each kind per size, built on first use and kept across repetitions.
template <typename Rig>
Rig* rigOfSize(int size) {
    static std::map<int, std::unique_ptr<Rig>> rigs;
    std::unique_ptr<Rig>& rig = rigs[size];
    if (!rig) {
        rig = std::make_unique<Rig>(kSizes[size][0], kSizes[size][1]);
    }
    return rig.get();
}

// Arguments: size index, closed flag (0 or 1). Closed frames come in flag cycles; the frame
// that opens the flag again runs untimed between two cycles.
void BM_Chain(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const bool closed = state.range(1) != 0;
    ChainRig* rig = rigOfSize<ChainRig>(size);
    if (!rig->ok()) {
        state.SkipWithError("chain setup failed");
        return;
    }
    // The copy the ratios refer to, measured next to the chain (before and after it): a shared
    // machine's speed drifts over a run.
    CopyRig reference(size);
    FloorRig floorRig(*rig, size);
    double copy = reference.measure();
    double floor = floorRig.measure();
    double spent[kOperators + 3] = {};
    double untimed = 0.0;
    int i = 0;
    const std::int64_t allocationsBefore = allocations;
    const std::clock_t start = std::clock();
    for (auto _ : state) {
        const std::uint16_t* raw = closed ? rig->closed(i) : rig->open(i);
        if (rig->timedProcess(raw, spent) != S_OK) {
            state.SkipWithError("frame failed");
            break;
        }
        ++i;
        if (closed && i % kFlagFrames == 0) {
            // Between two cycles, untimed: the frame that opens the flag.
            state.PauseTiming();
            const std::clock_t from = std::clock();
            rig->process(rig->open(i));
            untimed += cpuNs(from, std::clock());
            state.ResumeTiming();
        }
    }
    const double frame = (cpuNs(start, std::clock()) - untimed) / state.iterations();
    const double allocationsPerFrame =
        static_cast<double>(allocations - allocationsBefore) / state.iterations();
    copy = (copy + reference.measure()) / 2.0;
    floor = (floor + floorRig.measure()) / 2.0;
    // The whole in processor time; its parts as the shares of each step in the frames' times.
    const double whole = spent[kOperators + 2];
    if (copy > 0.0 && whole > 0.0) {
        auto ratio = [&](double part) { return part / whole * frame / copy; };
        state.counters["x_copyin"] = ratio(spent[0]);
        for (int k = 0; k < kOperators; ++k) {
            state.counters[std::string("x_") + kOperatorNames[k]] = ratio(spent[k + 1]);
        }
        state.counters["x_rest"] = ratio(spent[kOperators + 1]);
        state.counters["x_chain"] = frame / copy;
        state.counters["x_floor"] = frame / floor;
        state.counters["us_chain"] = frame / 1000.0;
        state.counters["bytes_per_pixel"] = rig->heldPerPixel();
        state.counters["allocations_per_frame"] = allocationsPerFrame;
        if (closed && i >= kFlagFrames) {
            // The frame that opens the flag again, with the new offsets and drift rates.
            state.counters["x_opening"] = untimed / (i / kFlagFrames) / copy;
        }
    }
    state.SetLabel(label(size) + (closed ? " closed" : " open"));
}

// The frame that opens the flag, after a closed cycle, with every pixel's drift rate normal
// (argument 0) or subnormal (1) before it: both ask for no drift step, so both do the same work.
void BM_Opening(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const float rate = state.range(1) != 0 ? 1e-39f : 1e-3f;
    ChainRig* rig = rigOfSize<ChainRig>(size);
    if (!rig->ok()) {
        state.SkipWithError("chain setup failed");
        return;
    }
    CopyRig reference(size);
    double copy = reference.measure();
    double spent = 0.0;
    int i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        rig->setDriftRates(rate);
        for (int k = 0; k < kFlagFrames; ++k) {
            rig->process(rig->closed(k));
        }
        state.ResumeTiming();
        const std::clock_t from = std::clock();
        rig->process(rig->open(i++));
        spent += cpuNs(from, std::clock());
    }
    copy = (copy + reference.measure()) / 2.0;
    state.counters["us_opening"] = spent / state.iterations() / 1000.0;
    state.counters["x_opening"] = spent / state.iterations() / copy;
    state.counters["flag_cycles"] = rig->flagCycleCount();
    state.SetLabel(label(size) + (state.range(1) != 0 ? " subnormal rates" : " normal rates"));
}

// Open-flag frames in which every pixel drifts, in step (argument 0) or each on its own period
// (1): the drift calendar's worst case.
void BM_Drift(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    ChainRig* rig = rigOfSize<ChainRig>(size);
    if (!rig->ok()) {
        state.SkipWithError("chain setup failed");
        return;
    }
    rig->setDriftEverywhere(state.range(1) != 0);
    int i = 0;
    for (auto _ : state) {
        rig->process(rig->open(i++));
    }
    state.SetLabel(label(size) + (state.range(1) != 0 ? " own periods" : " in step"));
}

// Open-flag frames behind the imager, as a multiple of the raw-frame copy.
void BM_ImagerFrame(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    ImagerRig* rig = rigOfSize<ImagerRig>(size);
    if (!rig->ok()) {
        state.SkipWithError("imager setup failed");
        return;
    }
    CopyRig reference(size);
    double copy = reference.measure();
    int i = 0;
    const std::int64_t allocationsBefore = allocations;
    const std::clock_t start = std::clock();
    for (auto _ : state) {
        rig->process(rig->open(i++));
    }
    const double frame = cpuNs(start, std::clock()) / state.iterations();
    state.counters["allocations_per_frame"] =
        static_cast<double>(allocations - allocationsBefore) / state.iterations();
    copy = (copy + reference.measure()) / 2.0;
    state.counters["x_imager"] = frame / copy;
    state.counters["bytes_per_pixel"] = rig->heldPerPixel();
    state.SetLabel(label(size));
}

}  // namespace

BENCHMARK(BM_RawFrameCopy)->DenseRange(0, 2)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_Chain)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_Opening)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(30)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_Drift)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_ImagerFrame)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
