// The frame corrections: the fast code against the plain transcriptions of corrections_oracle.h
// over random frames and settings (in range and far out of it), and worked cases, computed by
// hand, that pin what the transcriptions mean.
#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "corrections/dark.h"
#include "corrections/gradient.h"
#include "corrections/stretch.h"
#include "corrections_oracle.h"
#include "support/samples.h"

namespace kestrel {
namespace {

using test::Bytes;
using test::Filled;

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

Settings Gradient(int32_t border, int32_t smooth, int32_t noise) {
    Settings s;
    s.Border = border, s.GradSmooth = smooth, s.NoiseLevel = noise;
    return s;
}
Settings Stretch(int32_t low, int32_t high, int32_t border) {
    Settings s;
    s.StretchLow = low, s.StretchHigh = high, s.Border = border;
    return s;
}
Settings Dark(bool subtract, bool hot, int32_t threshold) {
    Settings s;
    s.SubDark = subtract, s.Hot = hot, s.HotThreshold = threshold;
    return s;
}

template <class T>
T Pick(std::mt19937& rng, std::initializer_list<T> values) {
    return values.begin()[rng() % values.size()];
}

// Skies of several kinds: any byte; a faint background with noise and stars; near-black (a
// background estimate of 0 along many lines); black with rare bright samples; two levels (even
// splits make equal stretch cuts meet); one value.
Image RandomSky(std::mt19937& rng, int32_t width, int32_t height, int32_t channels) {
    Image frame = Filled(width, height, channels, 0);
    const uint32_t kind = rng() % 6, spread = 1 + rng() % 12;
    const uint8_t a = uint8_t(rng() % 80), b = uint8_t(rng());
    for (uint8_t& v : frame.pixels) {
        const uint32_t r = rng();
        const uint8_t choices[] = {uint8_t(r), uint8_t(r % 97 ? a + r % spread : 200 + r % 56),
                                   uint8_t(r % 50 ? r % 3 : r), uint8_t(r % 300 ? 0 : r),
                                   r % 2 ? a : b, a};
        v = choices[kind];
    }
    return frame;
}

// A line length that exercises the window rules for this border: around 30, B + 30 and
// 2B + 30, or anything up to 2B + 80 (capped, so that huge borders give short lines).
int32_t InterestingLength(std::mt19937& rng, int32_t border) {
    const int64_t b = std::clamp(border, 0, 120);
    const int64_t any = int64_t(1 + rng() % uint64_t(2 * b + 80));
    const int64_t pick =
        Pick<int64_t>(rng, {1, 2, 29, 30, 31, b + 29, b + 30, 2 * b + 29, 2 * b + 30, any});
    return int32_t(std::clamp<int64_t>(pick, 1, 280));
}

// Each round one correction, or both gradients as the run applies them, on a random sky with
// random settings; the dark frame with thresholds at the edges of the bytes and far outside.
TEST(CorrectionsDifferential, TheFastCodeMatchesThePlainTranscriptions) {
    std::mt19937 rng(20240611);
    int changed[3] = {};
    for (int round = 0; round < 3000; ++round) {
        const int kind = round % 3;  // gradients, stretch, dark frame
        Settings s = Gradient(Pick(rng, {0, 1, 15, 15, 37, 100, -5, 1 << 30, kMax}),
                              Pick(rng, {0, 1, 2, 5, 5, 13, 50, -3, 1 << 30, kMax}),
                              Pick(rng, {0, 1, 10, 10, 100, -7, -1000, kMax, kMin}));
        s.StretchLow = Pick(rng, {0, 1, 5, 50, 50, 95, 99, 100, -10, 150, kMin, kMax});
        s.StretchHigh = Pick(rng, {0, 1, 5, 50, 50, 95, 99, 100, -10, 150, kMin, kMax});
        s.SubDark = rng() % 2, s.Hot = rng() % 2;
        s.HotThreshold = rng() % 2 ? int32_t(rng() % 258) - 1
                                   : Pick(rng, {kMin, -1, 0, 1, 2, 254, 255, 256, kMax});
        // Lines of an interesting length; any number of them up to 160, around 2R + 1 too.
        const bool rows = rng() % 2, both = rng() % 8 == 0;
        const int32_t length = InterestingLength(rng, s.Border), lines = int32_t(1 + rng() % 160);
        const Image input =
            RandomSky(rng, rows ? length : lines, rows ? lines : length, rng() % 2 ? 3 : 1);
        Image fast = input, slow = input;
        if (kind == 0 && (rows || both))
            CorrectVerticalGradient(fast, s), oracle::CorrectVerticalGradient(slow, s);
        if (kind == 0 && (!rows || both))
            CorrectHorizontalGradient(fast, s), oracle::CorrectHorizontalGradient(slow, s);
        if (kind == 1) StretchHistogram(fast, s), oracle::StretchHistogram(slow, s);
        if (kind == 2) {
            Image dark = RandomSky(rng, input.width, input.height, input.channels);
            slow = oracle::ApplyDarkFrame(input, dark, s);
            Failure failure;
            ApplyDarkFrame(fast, dark, s, failure);
            ASSERT_FALSE(failure);
        }
        ASSERT_TRUE(fast.pixels == slow.pixels)
            << "round " << round << ": " << input.width << "x" << input.height << "x"
            << input.channels << " B=" << s.Border << " R=" << s.GradSmooth << " noise="
            << s.NoiseLevel << " low=" << s.StretchLow << " high=" << s.StretchHigh
            << " subtract=" << int(s.SubDark) << " hot=" << int(s.Hot) << " t=" << s.HotThreshold;
        changed[kind] += fast.pixels != input.pixels;
    }
    for (int n : changed) EXPECT_GT(n, 300) << "rounds of a kind that changed something";
}

// Lines as runs of equal samples: {{29, 10}, {1, 100}} is 29 samples of 10, then one of 100.
Bytes Runs(std::initializer_list<std::pair<int32_t, uint8_t>> runs) {
    Bytes line;
    for (auto [count, value] : runs) line.insert(line.end(), size_t(count), value);
    return line;
}
Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Two grey rows through FlattenRows with GradSmooth 0, so each is scaled by its own estimate:
// entries e0 and e1, mean m = (e0 + e1) / 2, factor = m x 256 / e, sample = v x factor >> 8.
TEST(CorrectionsCases, GradientWorkedByHand) {
    struct Case {
        const char* what;
        int32_t border, noise;
        Bytes first, second, firstOut, secondOut;
    };
    const Bytes star = Runs({{29, 10}, {1, 100}}), plain = Runs({{30, 10}}),
                steps = Runs({{15, 10}, {15, 12}});
    // Middle values 10 and 20 between bright samples: entries 300 and 600, factors 384 and 192,
    // bright samples scaled too (255 x 384 saturates, 255 x 192 >> 8 = 191).
    auto middle = [](int32_t width, int32_t from, uint8_t v) {
        return Runs({{from, 255}, {30, v}, {width - from - 30, 255}});
    };
    const Case cases[] = {
        {"noise 10: the star is background (390, base 13; then 300 like the plain row)", 0, 10,
         star, plain, star, plain},
        {"noise 100: the star counts (390 and 300, mean 345)", 0, 100, star, plain,
         Runs({{29, 8}, {1, 88}}), Runs({{30, 11}})},
        {"noise 0: 12 above base 11 counts as 11, then as 10", 0, 0, steps, plain, steps, plain},
        {"noise 1 keeps 330: mean 315", 0, 1, steps, plain, Runs({{15, 9}, {15, 11}}), plain},
        {"base 0 counts own values; 8 passes leave the entry at 6 (mean 93)", 0, 10,
         Runs({{1, 200}, {29, 0}}), Runs({{30, 6}}), Runs({{1, 255}, {29, 0}}), Runs({{30, 3}})},
        {"black windows count as entry 1 (factors 38400 and 128)", 1, 10,
         Runs({{1, 1}, {30, 0}, {1, 1}}), Runs({{1, 0}, {30, 10}, {1, 0}}),
         Runs({{1, 150}, {30, 0}, {1, 150}}), Runs({{1, 0}, {30, 5}, {1, 0}})},
        {"L = 2B + 30: one window between the borders", 15, 10, middle(60, 15, 10),
         middle(60, 15, 20), middle(60, 15, 15), Runs({{15, 191}, {30, 15}, {15, 191}})},
        {"B + 30 <= L < 2B + 30: the window at B", 15, 10, middle(50, 15, 10), middle(50, 15, 20),
         middle(50, 15, 15), Runs({{15, 191}, {30, 15}, {5, 191}})},
        {"L < B + 30: the last 30 samples", 15, 10, middle(40, 10, 10), middle(40, 10, 20),
         middle(40, 10, 15), Runs({{10, 191}, {30, 15}})},
        {"L < 30: all samples, scaled to 30", 15, 10, Runs({{10, 10}}), Runs({{10, 20}}),
         Runs({{10, 15}}), Runs({{10, 15}})},
    };
    for (const Case& c : cases) {
        Image frame{int32_t(c.first.size()), 2, 1, Join(c.first, c.second)};
        FlattenRows(frame, 0, 1, Gradient(c.border, 0, c.noise));
        EXPECT_EQ(frame.pixels, Join(c.firstOut, c.secondOut)) << c.what;
    }
}

TEST(CorrectionsCases, StretchWorkedByHand) {
    // Border 1 leaves the middle 50, 75, 100: black 50, white 100, scale 65280 / 50 = 1305; 75
    // gives 127, the white point 254, and the border bytes follow the same table.
    const Bytes frame = {0, 255, 0, 255, 0, 255, 50, 75, 100, 0, 10, 20, 30, 40, 50};
    const Bytes out = {0, 254, 0, 254, 0, 254, 0, 127, 254, 0, 0, 0, 0, 0, 0};
    Bytes inverted = out, ramp(100), rampOut(100);
    for (uint8_t& v : inverted) v = uint8_t(255 - v);
    for (int32_t v = 0; v < 100; ++v) {
        ramp[size_t(v)] = uint8_t(v);
        // 5% / 95% of 0..99 cut 5 bytes each: black 5, white 94, scale 65280 / 89 = 733.
        rampOut[size_t(v)] = uint8_t(v <= 5 ? 0 : v >= 94 ? 254 : ((v - 5) * 733) >> 8);
    }
    // A region of one value b thresholds at b: white b + 1, scale 65280.
    const Bytes single = {0, 99, 101, 255, 7, 99, 100, 100, 100, 101, 3, 100, 200, 1, 255};
    struct Case {
        const char* what;
        int32_t width, low, high, border;
        Bytes in, out;
    };
    const Case cases[] = {
        {"defaults", 5, 0, 100, 1, frame, out},
        {"100 / 0: the same cuts, then the negative", 5, 100, 0, 1, frame, inverted},
        {"5% / 95%", 10, 5, 95, 0, ramp, rampOut},
        {"one level thresholds", 5, 0, 100, 1, single,
         {0, 0, 255, 255, 0, 0, 0, 0, 0, 255, 0, 0, 255, 0, 255}},
        {"50 / 50 meet at 20", 3, 50, 50, 0, {10, 20, 30}, {0, 0, 255}},
        {"50 / 50 cross: left alone", 4, 50, 50, 0, {10, 20, 10, 20}, {10, 20, 10, 20}},
        {"no black point", 10, 100, 100, 0, ramp, ramp},
        {"no white point", 10, 0, 0, 0, ramp, ramp},
        {"no region", 10, 0, 100, 5, ramp, ramp},
    };
    for (const Case& c : cases) {
        Image f{c.width, int32_t(c.in.size()) / c.width, 1, c.in};
        StretchHistogram(f, Stretch(c.low, c.high, c.border));
        EXPECT_EQ(f.pixels, c.out) << c.what;
    }
}

// Each case in grey and, three equal channels a pixel, in colour.
TEST(CorrectionsCases, DarkFrameWorkedByHand) {
    struct Case {
        const char* what;
        int32_t width;
        Settings settings;
        Bytes frame, dark, out;
    };
    Bytes spot(25, 100), spotDark(25, 10), alone(25, 90);
    spot[12] = 255, spotDark[12] = 250, alone[12] = 5;
    const Case cases[] = {
        {"subtraction saturates at 0", 5, Dark(true, false, 200), {10, 200, 30, 255, 0},
         {30, 30, 30, 0, 255}, {0, 170, 0, 255, 0}},
        {"a hot sample takes the average of the cool ones around it", 5, Dark(true, true, 200),
         spot, spotDark, Bytes(25, 90)},
        {"subtraction alone leaves it", 5, Dark(true, false, 200), spot, spotDark, alone},
        {"the threshold itself is hot", 3, Dark(false, true, 200), {50, 7, 50}, {0, 200, 0},
         {50, 50, 50}},
        {"below it is not", 3, Dark(false, true, 200), {50, 7, 50}, {0, 199, 0}, {50, 7, 50}},
        {"the average drops its fraction", 3, Dark(false, true, 200), {10, 99, 11}, {0, 255, 0},
         {10, 10, 11}},
    };
    for (const Case& c : cases)
        for (int32_t channels : {1, 3}) {
            auto spread = [&](const Bytes& grey) {
                Bytes out;
                for (uint8_t v : grey) out.insert(out.end(), size_t(channels), v);
                return Image{c.width, int32_t(grey.size()) / c.width, channels, out};
            };
            Image frame = spread(c.frame), dark = spread(c.dark);
            Failure failure;
            ApplyDarkFrame(frame, dark, c.settings, failure);
            EXPECT_EQ(frame.pixels, spread(c.out).pixels) << c.what << ", " << channels;
        }
}

TEST(CorrectionsCases, ADarkFrameOfAnotherSizeIsToldOnceAndReleased) {
    Image shortDark = Filled(32, 24, 1, 0);
    shortDark.pixels.pop_back();
    for (const Image& wrong : {Filled(64, 48, 1, 10), Filled(31, 24, 1, 10), Filled(32, 23, 1, 10),
                               Filled(32, 24, 3, 10), Filled(0, 0, 1, 10), shortDark}) {
        Image dark = wrong, frame = Image{32, 24, 1, test::Ramp(32 * 24, 0, 7)};
        const Image before = frame;
        for (int call = 0; call < 3; ++call) {
            Failure failure;
            ApplyDarkFrame(frame, dark, Dark(true, true, 5), failure);
            EXPECT_EQ(failure.message, call == 0 ? "Darkframe must be same size as image!" : "");
            EXPECT_EQ(frame.pixels, before.pixels);
            EXPECT_EQ(std::make_tuple(dark.width, dark.height, dark.pixels.capacity()),
                      std::make_tuple(-1, -1, size_t(0)));
        }
    }
    // No usable dark frame at all is skipped silently, and kept as it is.
    for (auto [w, h] : {std::pair{-1, -1}, {32, -24}, {-32, 24}}) {
        Image dark{w, h, 1, {}}, frame = Filled(32, 24, 1, 77);
        Failure failure{"left over", "x", "stale"};
        ApplyDarkFrame(frame, dark, Dark(true, true, 1), failure);
        EXPECT_FALSE(failure);
        EXPECT_EQ(frame.pixels, Bytes(32 * 24, 77));
        EXPECT_EQ(std::make_pair(dark.width, dark.height), std::make_pair(w, h));
    }
}

// Frames without a usable layout, and channels that a frame does not have, are left alone.
TEST(CorrectionsCases, WhatIsNotThereIsLeftAlone) {
    Image inconsistent{40, 40, 1, test::Ramp(40 * 40 - 1, 9)};
    Image twoChannels{4, 4, 2, test::Ramp(32, 200)};
    for (Image frame : {Filled(0, 0, 1, 0), Filled(5, 0, 3, 0), inconsistent, twoChannels}) {
        const Image before = frame;
        const Settings s = Stretch(100, 0, 0);  // inverts any frame it touches
        CorrectVerticalGradient(frame, s);
        CorrectHorizontalGradient(frame, s);
        FlattenRows(frame, 0, 1, s);
        FlattenColumns(frame, 0, 1, s);
        StretchHistogram(frame, s);
        EXPECT_EQ(frame.pixels, before.pixels) << frame.width << "x" << frame.height;
    }
    Bytes rows;  // a level that grows row by row, which flattening would change
    for (size_t i = 0; i < 3600; ++i) rows.push_back(uint8_t(10 + i / 120 * 5 + i % 7));
    const Image sky{40, 30, 3, rows};
    for (auto [offset, step] : {std::pair{3, 3}, {-1, 3}, {0, 0}, {0, 4}}) {
        Image frame = sky;
        FlattenRows(frame, offset, step, Gradient(0, 0, 10));
        FlattenColumns(frame, offset, step, Gradient(0, 0, 10));
        EXPECT_EQ(frame.pixels, sky.pixels) << offset << "/" << step;
    }
}

}  // namespace
}  // namespace kestrel
