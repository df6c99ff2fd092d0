// The frame corrections on a 1920x1080 sky, grey and colour: the fast code against the plain
// transcriptions the tests compare it with. Reported per frame and per sample (bytes of the
// frame); the frame is restored outside the timed part before every run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "corrections/gradient.h"
#include "corrections/stretch.h"
#include "io/image.h"
#include "settings/settings.h"
#include "tests/corrections_oracle.h"

namespace kestrel {
namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

// A background brightening towards one corner, noise, and a sprinkling of stars.
Image Sky(int32_t channels) {
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
                frame.pixels[i++] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
            }
    return frame;
}

using Operation = void (*)(Image&, const Settings&);

void Run(benchmark::State& state, Operation op, int32_t channels) {
    const Image sky = Sky(channels);
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
    b->ArgName("channels")->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);
}

void BM_Rows(benchmark::State& s) { Run(s, CorrectVerticalGradient, int32_t(s.range(0))); }
void BM_RowsOracle(benchmark::State& s) { Run(s, oracle::CorrectVerticalGradient, int32_t(s.range(0))); }
void BM_Columns(benchmark::State& s) { Run(s, CorrectHorizontalGradient, int32_t(s.range(0))); }
void BM_ColumnsOracle(benchmark::State& s) { Run(s, oracle::CorrectHorizontalGradient, int32_t(s.range(0))); }
void BM_Stretch(benchmark::State& s) { Run(s, StretchHistogram, int32_t(s.range(0))); }
void BM_StretchOracle(benchmark::State& s) { Run(s, oracle::StretchHistogram, int32_t(s.range(0))); }

BENCHMARK(BM_Rows)->Apply(Args);
BENCHMARK(BM_RowsOracle)->Apply(Args);
BENCHMARK(BM_Columns)->Apply(Args);
BENCHMARK(BM_ColumnsOracle)->Apply(Args);
BENCHMARK(BM_Stretch)->Apply(Args);
BENCHMARK(BM_StretchOracle)->Apply(Args);

}  // namespace
}  // namespace kestrel
