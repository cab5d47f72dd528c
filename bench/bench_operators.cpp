// Per-frame cost of the source unpack and of the two table operators, next to a plain copy of
// the same frame.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "imgproc/OpDevice.h"
#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpEnergyNormalize.h"
#include "imgproc/OpSource.h"
#include "imgproc/PixelKernels.h"
#include "platform/Paths.h"
#include "platform/Strings.h"

namespace {

struct Size {
    int outW, outH, rawW, rawH;
};
const Size kSizes[] = {{382, 288, 384, 290}, {640, 480, 640, 481}, {1024, 768, 1024, 769}};

OpFrameFormat frameFormat(int w, int h) {
    OpFrameFormat f;
    f.width = w;
    f.height = h;
    f.pixelCount = w * h;
    f.byteSize = w * h * 2;
    f.avgTimePerFrame = 200000;
    f.bitCount = 16;
    return f;
}

// A device frame under a root, owned here.
struct Graph {
    explicit Graph(int w, int h) : format(frameFormat(w, h)) {
        frame = OpBase::allocateOutputFrame(&format, 0);
        root.reset(new OpDevice(&shared));
        for (int i = 0; i < w * h; ++i) {
            frame->pixels[i] = static_cast<std::uint16_t>((i * 37) % 20000);
        }
    }
    ~Graph() {
        ops.clear();
        root.reset();
        OpBase::freeFrame(frame);
    }
    OpFrameFormat format;
    SharedParameterBlock shared;
    OpFrame* frame;
    std::unique_ptr<OpDevice> root;
    std::vector<std::unique_ptr<OpBase>> ops;
};

void BM_Memcpy(benchmark::State& state) {
    const Size& s = kSizes[state.range(0)];
    std::vector<std::uint16_t> a(static_cast<std::size_t>(s.outW) * s.outH, 1), b(a.size());
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), a.size() * 2);
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(std::to_string(s.outW) + "x" + std::to_string(s.outH));
}

void BM_SourceUnpack(benchmark::State& state) {
    const Size& s = kSizes[state.range(0)];
    const std::wstring dir = platform::makeTempDirectory("kelvix-bench");
    const std::string def =
        "[ImgProc format definition file]\nVersion = 1\n"
        "[Format]\nGuid = {11223344-5566-7788-99AA-BBCCDDEEFF00}\nName = Bench\n"
        "Channels = 1\nIn = " +
        std::to_string(s.rawW) + " " + std::to_string(s.rawH) +
        " 50\nOut = " + std::to_string(s.outW) + " " + std::to_string(s.outH) +
        " 50\nSFrames = 1\nDef = (0 " + std::to_string(s.outH) + " d:" + std::to_string(s.outW) +
        " s:" + std::to_string(s.rawW - s.outW) + ") (" + std::to_string(s.rawW * s.outH) +
        " 1 m:64)\n[Format end]\n";
    std::ofstream(platform::toNarrow(dir) + "/Formats.def") << def;

    Graph g(s.rawW, s.rawH);
    g.shared.formatsDirectory = dir.c_str();
    auto* source = new OpSource(g.root.get(), 1, L"# Source", &g.shared, 0);
    g.ops.emplace_back(source);
    const bool found = g.root->attach(g.frame) == S_OK && source->isFormatFound();
    platform::removeTree(dir);  // read once, at init
    if (!found) {
        state.SkipWithError("format not found");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(g.root->trigger());
        benchmark::ClobberMemory();
    }
    state.SetLabel(std::to_string(s.outW) + "x" + std::to_string(s.outH));
}

template <typename Op>
void BM_Lut(benchmark::State& state) {
    const Size& s = kSizes[state.range(0)];
    Graph g(s.outW, s.outH);
    auto* op = new Op(g.root.get(), &g.shared);
    g.ops.emplace_back(op);
    if (g.root->attach(g.frame) != S_OK) {
        state.SkipWithError("init failed");
        return;
    }
    std::vector<std::int16_t> table(lut::kSize);
    for (int i = 0; i < lut::kSize; ++i) {
        table[i] = static_cast<std::int16_t>(i / 2);
    }
    op->loadLut(table.data(), lut::kSize, 3000);
    g.frame->metadata->settleMarker = 0;  // every frame converts
    for (auto _ : state) {
        benchmark::DoNotOptimize(op->run());
        benchmark::ClobberMemory();
    }
    state.SetLabel(std::to_string(s.outW) + "x" + std::to_string(s.outH));
}

// Each form of the table lookup on an energy image (a gradient with noise); the label names the
// form the library took on this processor.
void BM_LookupForm(benchmark::State& state) {
    const auto form = static_cast<pixel::LookupForm>(state.range(0));
    const Size& s = kSizes[state.range(1)];
    if (!pixel::runs(form)) {
        state.SkipWithError("form not available");
        return;
    }
    const std::size_t n = static_cast<std::size_t>(s.outW) * s.outH;
    std::vector<std::int16_t> table(pixel::kTableEntries), in(n), out(n);
    for (std::size_t u = 0; u < table.size(); ++u) {
        table[u] = static_cast<std::int16_t>(u / 3);
    }
    std::uint32_t noise = 1;
    for (std::size_t i = 0; i < n; ++i) {
        noise = noise * 1664525u + 1013904223u;
        in[i] = static_cast<std::int16_t>(7000 + i % static_cast<std::size_t>(s.outW) * 6 +
                                          (noise >> 27));
    }
    for (auto _ : state) {
        pixel::lookupIn(form, in.data(), table.data(), out.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetLabel(std::to_string(s.outW) + "x" + std::to_string(s.outH) + " " +
                   pixel::lookupFormName(form) + (form == pixel::lookupForm() ? " (taken)" : ""));
}

}  // namespace

BENCHMARK(BM_LookupForm)->ArgsProduct({{0, 1, 2, 3}, {0, 1, 2}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memcpy)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SourceUnpack)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Lut, OpEnergyNormalize)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Lut, OpEnergy2Temp)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
