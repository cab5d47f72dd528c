// The chain's temperature and energy images over a few hundred frames of the simulated camera,
// compared bit for bit with recorded ones: no change to the per-pixel loops (or to the
// instruction set they run on) may change a single output value.
//
// Re-recording (only after a deliberate change of the chain's results or of the simulated
// camera, from a build whose results are trusted):
//   KELVIX_GOLDEN_RECORD=1 tests/test_e2e --gtest_filter='Golden/ChainGolden.*'
// rewrites tests/e2e/golden/<variant>.txt in the source tree. CI never sets the variable.
// KELVIX_SIMD=baseline|avx2|avx512 forces the instruction set of the per-pixel loops.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "e2e/ChainFixture.h"
#include "imgproc/OpCorr.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpEnergyNormalize.h"
#include "imgproc/PixelKernels.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELVIX_COUNT_ALLOCATIONS 0
#else
#define KELVIX_COUNT_ALLOCATIONS 1
#endif

namespace {

thread_local bool countingAllocations = false;
thread_local long allocations = 0;

}  // namespace

#if KELVIX_COUNT_ALLOCATIONS
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
// Counts the allocations of the thread that asks for it (the other forms of new and delete
// come here); the sanitizers keep their own.
void* operator new(std::size_t size) {
    allocations += countingAllocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#endif

namespace {

constexpr int kFrames = 240;
constexpr int kSampleEvery = 24;

// What a variant does differently from the standard camera and calibration.
struct GoldenVariant {
    const char* name;
    int width, height, padding;
    bool headerLast;
    int deadPixels;
    bool normalize, lambda;
    double bend;
    int fov;  // 6: the sample-point optic
    std::uint16_t hwRev;
    int correctionMode;
    std::uint32_t firstFrameCounter;  // high counters let the skim adjustment run
    float scene, left, right;
};
const GoldenVariant kGolden[] = {
    {"gain_offset_160x120", 160, 120, 0, false, 5, false, true, 0.0, 23, 3100, 2, 0, 30, 15, 45},
    {"normalize_bent_table_382x288", 382, 288, 0, false, 40, true, true, 100.0, 23, 3100, 1, 1100,
     30, 15, 45},
    {"normalize_no_wavelength_127x95_padded", 127, 95, 5, true, 12, true, false, 60.0, 23, 3100, 2,
     0, 60, 10, 90},
    {"sample_points_161x121", 161, 121, 0, false, 8, false, true, 0.0, 6, 3100, 2, 0, 400, 200,
     600},
    {"revision_2150_160x120", 160, 120, 0, false, 5, false, true, 0.0, 23, 2150, 2, 0, 30, 15, 45},
};

std::uint64_t fnv1a(const std::uint16_t* p, std::size_t n) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < n; ++i) {
        for (int b = 0; b < 2; ++b) {
            h = (h ^ ((p[i] >> (8 * b)) & 0xFFu)) * 1099511628211ull;
        }
    }
    return h;
}

class ChainGolden : public e2e::ChainOnSimCamera, public testing::WithParamInterface<int> {
  protected:
    // The chain's own allocations, from the third frame on.
    HRESULT runChain() override {
        countingAllocations = chain_.getDeviceFrame()->metadata->frameCounter >= countFrom_;
        const HRESULT hr = chain_.process();
        countingAllocations = false;
        return hr;
    }
    std::uint32_t countFrom_ = 0;

    ChainGolden() { serial_ = kSerial + 100 + static_cast<std::uint32_t>(GetParam()); }
    const GoldenVariant& v() const { return kGolden[GetParam()]; }

    sim::CalibrationSet calibrationSet() const {
        sim::CalibrationSet set = sim::CalibrationSet::standard();
        for (sim::SimOpticsSpec& o : set.optics) {
            for (sim::SimRangeSpec& r : o.ranges) {
                r.normalize = v().normalize;
                r.tableParamsLambda = v().lambda;
                r.model.bend = v().bend;
            }
        }
        return set;
    }

    // One line per frame: counter, flag state, hashes of the temperature and energy images;
    // every kSampleEvery frames a few pixels of both for diagnosis.
    std::string line(int frame) const {
        const OpFrame* t = chain_.getEnergy2Temp(0)->frame;
        const OpFrame* e = chain_.getEnergyNormalize(0)->frame;
        const std::size_t n = static_cast<std::size_t>(t->format->pixelCount);
        char text[160];
        int used =
            std::snprintf(text, sizeof text, "%d %d %016llx %016llx", frame, t->metadata->flagState,
                          static_cast<unsigned long long>(fnv1a(t->pixels, n)),
                          static_cast<unsigned long long>(fnv1a(e->pixels, n)));
        if (frame % kSampleEvery == 0) {
            for (const OpFrame* f : {t, e}) {
                for (std::size_t at : {std::size_t{0}, n / 3, n / 2 + 7, n - 1}) {
                    used += std::snprintf(text + used, sizeof text - used, " %d",
                                          static_cast<std::int16_t>(f->pixels[at]));
                }
            }
        }
        return text;
    }

    static std::string goldenPath(const char* name) {
        return std::string(KELVIX_GOLDEN_DIR) + "/" + name + ".txt";
    }
};

}  // namespace

TEST_P(ChainGolden, ImagesMatchTheRecording) {
    pixel::Isa forced;
    if (pixel::isaFromName(std::getenv("KELVIX_SIMD"), &forced)) {
        if (!pixel::isSupported(forced)) {
            GTEST_SKIP() << "this machine does not run " << pixel::isaName(forced);
        }
        ASSERT_EQ(pixel::activeIsa(), forced);
    }
    sim::SimPhysics::Config config;
    config.layout = sim::SimRawLayout{v().width, v().height, v().padding, v().headerLast};
    config.deadPixels = v().deadPixels;
    config.noise = 2.0;
    ASSERT_NO_FATAL_FAILURE(start(config, calibrationSet(), v().hwRev, v().fov));
    chain_.getFlag()->correctionMode = v().correctionMode;
    chain_.getDeviceFrame()->metadata->frameCounter = v().firstFrameCounter;
    countFrom_ = v().firstFrameCounter + 3;
    physics_->setBlackbodyScene(v().scene, v().left, v().right);
    const sim::SimOpticsSpec& optic = *opticOf(v().fov);

    std::vector<std::string> lines;
    long framesAllocating = 0;
    int drifting = 0, flagFrames = 0;
    for (int i = 1; i <= kFrames; ++i) {
        if (i == 1 || i % 40 == 0) {
            chain_.applyFlagCycles();
        }
        if (i == 120 && optic.ranges.size() > 1) {
            ASSERT_EQ(changeRange(optic.ranges[1].tMin, optic.ranges[1].tMax), S_OK);
            physics_->setBlackbodyScene(v().scene + 40.0f, v().left + 20.0f, v().right + 40.0f);
        }
        if (i == 180) {
            ASSERT_EQ(chain_.updateRadiationParameters(0, 0.92f, 0.95f), S_OK);
        }
        allocations = 0;
        ASSERT_EQ(frame(1.0), S_OK) << "frame " << i;  // a second of warming per frame: drift
        framesAllocating += allocations != 0;
        flagFrames += camera_->flagState != 0;
        lines.push_back(line(i));
    }
    for (const FlagPixelState& s : chain_.getFlag()->pixelStates()) {
        drifting += s.steps != 0;
    }
    // What the recording is meant to cover.
    EXPECT_GT(flagFrames, 40);
    EXPECT_GT(drifting, 0);
    EXPECT_FALSE(chain_.getCorrection(0)->repairList.empty());
    EXPECT_EQ(chain_.getCorrection(0)->isSamplePointLayout(), v().fov == 6);
    EXPECT_EQ(chain_.getEnergyNormalize(0)->isEnabled(), v().normalize && v().fov != 6);
    if (KELVIX_COUNT_ALLOCATIONS) {
        EXPECT_EQ(framesAllocating, 0) << "frames that allocated";
    }

    const std::string path = goldenPath(v().name);
    if (std::getenv("KELVIX_GOLDEN_RECORD") != nullptr) {
        std::ofstream out(path, std::ios::trunc);
        for (const std::string& l : lines) {
            out << l << "\n";
        }
        ASSERT_TRUE(out.good()) << path;
        return;
    }
    std::ifstream in(path);
    ASSERT_TRUE(in.good()) << "no recording " << path;
    std::vector<std::string> expected;
    for (std::string l; std::getline(in, l);) {
        expected.push_back(l);
    }
    ASSERT_EQ(expected.size(), lines.size()) << path;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        // The first differing frame says enough; the ones after it follow from it.
        ASSERT_EQ(lines[i], expected[i])
            << "first difference at frame " << i + 1 << ", " << pixel::isaName(pixel::activeIsa());
    }
}

INSTANTIATE_TEST_SUITE_P(Golden, ChainGolden, testing::Range(0, 5),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(kGolden[info.param].name);
                         });
