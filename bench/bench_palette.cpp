// Cost of the false-colour rendering of a 640 x 480 temperature image: per scaling method,
// padded and not, with a window that moves every frame, through a lookup table; YUV conversion
// and the hottest and coldest regions beside it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "kelvix/ImageBuilder.h"

namespace {

constexpr unsigned kWidth = 640;
constexpr unsigned kHeight = 480;

// A scene from 15 to 45 degrees with some pixel noise.
std::vector<unsigned short> scene(unsigned seed) {
    std::vector<unsigned short> f(kWidth * kHeight);
    std::uint32_t s = seed * 2654435761u + 1;
    for (unsigned y = 0; y < kHeight; ++y) {
        for (unsigned x = 0; x < kWidth; ++x) {
            s = s * 1664525u + 1013904223u;
            f[y * kWidth + x] =
                static_cast<unsigned short>(1150 + (x + y) * 300 / (kWidth + kHeight) + (s >> 28));
        }
    }
    return f;
}

void run(benchmark::State& state, zol::EnumTervanPaletteScalingMethod method, bool noPadding) {
    zol::ImageBuilder b;
    std::vector<unsigned short> frame = scene(1);
    b.setData(kWidth, kHeight, frame.data());
    b.setPaletteScalingMethod(method);
    std::vector<unsigned char> rgb(b.getStride() * kHeight * 3);
    for (auto _ : state) {
        b.convertTemperatureToPaletteImage(rgb.data(), noPadding);
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_PaddedManual(benchmark::State& state) {
    run(state, zol::eManual, false);
}
void BM_PaddedMinMax(benchmark::State& state) {
    run(state, zol::eMinMax, false);
}
void BM_PaddedSigma3(benchmark::State& state) {
    run(state, zol::eSigma3, false);
}
void BM_UnpaddedMinMax(benchmark::State& state) {
    run(state, zol::eMinMax, true);
}

// Every frame moves the window, so the colour table is rebuilt each time.
void BM_PaddedMinMaxNewWindowEachFrame(benchmark::State& state) {
    zol::ImageBuilder b;
    std::vector<unsigned short> a = scene(1), c = scene(2);
    c[0] = 900;
    b.setPaletteScalingMethod(zol::eMinMax);
    b.setData(kWidth, kHeight, a.data());
    std::vector<unsigned char> rgb(b.getStride() * kHeight * 3);
    bool flip = false;
    for (auto _ : state) {
        b.setData(kWidth, kHeight, flip ? c.data() : a.data());
        flip = !flip;
        b.convertTemperatureToPaletteImage(rgb.data(), false);
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_LookupTable(benchmark::State& state) {
    zol::ImageBuilder b;
    std::vector<unsigned short> frame = scene(1);
    b.setData(kWidth, kHeight, frame.data());
    std::vector<unsigned> lookup(65536);
    b.fillPaletteLookup(lookup.data());
    std::vector<unsigned char> rgb(b.getStride() * kHeight * 3);
    for (auto _ : state) {
        b.convertTemperatureToPaletteImage(lookup.data(), rgb.data());
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_Yuv422(benchmark::State& state) {
    std::vector<unsigned char> yuv(kWidth * kHeight * 2, 128), rgb(kWidth * kHeight * 3);
    for (std::size_t i = 0; i < yuv.size(); ++i) {
        yuv[i] = static_cast<unsigned char>(i * 7);
    }
    for (auto _ : state) {
        zol::ImageBuilder::yuv422torgb24(yuv.data(), rgb.data(), kWidth, kHeight);
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_MinMaxRegion(benchmark::State& state) {
    zol::ImageBuilder b;
    std::vector<unsigned short> frame = scene(1);
    zol::ExtremalRegion lo, hi;
    for (auto _ : state) {
        b.setData(kWidth, kHeight, frame.data());
        b.getMinMaxRegion(2, &lo, &hi);
        benchmark::DoNotOptimize(lo);
        benchmark::DoNotOptimize(hi);
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

}  // namespace

BENCHMARK(BM_PaddedManual);
BENCHMARK(BM_PaddedMinMax);
BENCHMARK(BM_PaddedSigma3);
BENCHMARK(BM_UnpaddedMinMax);
BENCHMARK(BM_PaddedMinMaxNewWindowEachFrame);
BENCHMARK(BM_LookupTable);
BENCHMARK(BM_Yuv422);
BENCHMARK(BM_MinMaxRegion);
