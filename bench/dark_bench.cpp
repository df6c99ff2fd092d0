// Dark subtraction and hot-pixel repair on a 1920 x 1080 colour frame. The repair's cost should
// follow the number of hot samples: run with hot fractions of 0, 0.1%, 1% and 10%.
#include <benchmark/benchmark.h>

#include <random>

#include "corrections/dark.h"

namespace kestrel {
namespace {

constexpr int32_t kWidth = 1920, kHeight = 1080, kChannels = 3;
constexpr uint8_t kThreshold = 200;

Image Frame(uint32_t seed, uint8_t high) {
    Image img;
    img.width = kWidth;
    img.height = kHeight;
    img.channels = kChannels;
    img.pixels.resize(size_t(kWidth) * kHeight * kChannels);
    std::mt19937 rng(seed);
    for (auto& v : img.pixels) v = uint8_t(rng() % (high + 1u));
    return img;
}

// A dark frame of cool samples with `perMillion` of them, spread at random, hot.
Image Dark(int64_t perMillion) {
    Image dark = Frame(2, 40);
    std::mt19937 rng(3);
    const size_t hot = size_t(int64_t(dark.pixels.size()) * perMillion / 1000000);
    for (size_t k = 0; k < hot; ++k) dark.pixels[rng() % dark.pixels.size()] = 255;
    return dark;
}

void BM_DarkSubtraction(benchmark::State& state) {
    Image frame = Frame(1, 255);
    Image dark = Dark(0);
    Settings s;
    s.SubDark = 1;
    Failure failure;
    for (auto _ : state) {
        ApplyDarkFrame(frame, dark, s, failure);
        benchmark::DoNotOptimize(frame.pixels.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.pixels.size()));
    state.counters["ns_per_sample"] = benchmark::Counter(
        double(frame.pixels.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DarkSubtraction)->Unit(benchmark::kMicrosecond);

// Argument: hot samples per million.
void BM_HotPixelRepair(benchmark::State& state) {
    Image frame = Frame(1, 255);
    Image dark = Dark(state.range(0));
    Settings s;
    s.Hot = 1;
    s.HotThreshold = kThreshold;
    Failure failure;
    // The repair only reads cool samples and writes hot ones, so repeating it on the same
    // frame does the same work every time.
    for (auto _ : state) {
        ApplyDarkFrame(frame, dark, s, failure);
        benchmark::DoNotOptimize(frame.pixels.data());
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_sample"] = benchmark::Counter(
        double(frame.pixels.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_HotPixelRepair)
    ->Arg(0)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestrel
