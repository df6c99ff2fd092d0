// The frame corrections on a 1920x1080 frame, grey and colour: the fast code against the plain
// transcriptions the tests compare it with. Reported per frame and per sample (bytes of the
// frame); the frame is restored outside the timed part before every run. Two frames: a sky
// (noise:0), whose background estimates settle after a few passes, and bytes drawn uniformly
// from 0..255 (noise:1), where many lines run all eight.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "corrections/gradient.h"
#include "corrections/stretch.h"
#include "base/image.h"
#include "settings/settings.h"
#include "tests/corrections_oracle.h"

namespace kestrel {
namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

// A background brightening towards one corner, noise, and a sprinkling of stars.
Image Sky(int32_t channels, bool uniform) {
    Image frame{kWidth, kHeight, channels, {}};
    frame.pixels.resize(size_t(kWidth) * kHeight * size_t(channels));
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 4.0);
    std::uniform_int_distribution<int> star(0, 999);
    size_t i = 0;
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x)
            for (int32_t c = 0; c < channels; ++c) {
                double v = 20.0 + 40.0 * x / kWidth + 25.0 * y / kHeight + noise(rng);
                if (star(rng) == 0) v += 150.0;
                if (uniform) v = double(rng() % 256);
                frame.pixels[i++] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
            }
    return frame;
}

using Operation = void (*)(Image&, const Settings&);

void Run(benchmark::State& state, Operation op) {
    const Image sky = Sky(int32_t(state.range(0)), state.range(1) != 0);
    Image frame = sky;
    const Settings settings;
    for (auto _ : state) {
        state.PauseTiming();
        frame.pixels = sky.pixels;
        state.ResumeTiming();
        op(frame, settings);
        benchmark::DoNotOptimize(frame.pixels.data());
        benchmark::ClobberMemory();
    }
    state.counters["per_sample"] = benchmark::Counter(
        double(sky.pixels.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void Args(benchmark::internal::Benchmark* b) {
    b->ArgNames({"channels", "noise"})
        ->ArgsProduct({{1, 3}, {0, 1}})
        ->Unit(benchmark::kMillisecond);
}

void BM_Rows(benchmark::State& s) { Run(s, CorrectVerticalGradient); }
void BM_RowsOracle(benchmark::State& s) { Run(s, oracle::CorrectVerticalGradient); }
void BM_Columns(benchmark::State& s) { Run(s, CorrectHorizontalGradient); }
void BM_ColumnsOracle(benchmark::State& s) { Run(s, oracle::CorrectHorizontalGradient); }
void BM_Stretch(benchmark::State& s) { Run(s, StretchHistogram); }
void BM_StretchOracle(benchmark::State& s) { Run(s, oracle::StretchHistogram); }

BENCHMARK(BM_Rows)->Apply(Args);
BENCHMARK(BM_RowsOracle)->Apply(Args);
BENCHMARK(BM_Columns)->Apply(Args);
BENCHMARK(BM_ColumnsOracle)->Apply(Args);
BENCHMARK(BM_Stretch)->Apply(Args);
BENCHMARK(BM_StretchOracle)->Apply(Args);

}  // namespace
}  // namespace kestrel
