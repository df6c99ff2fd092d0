// Gradient flattening: the fast code against the plain transcription over many random frames and
// settings (in range and out of it), and the worked cases that pin what the operations mean.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "corrections/gradient.h"
#include "corrections_oracle.h"
#include "base/image.h"
#include "settings/settings.h"

namespace kestrel {
namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

Image Frame(int32_t width, int32_t height, int32_t channels, std::vector<uint8_t> pixels) {
    return Image{width, height, channels, std::move(pixels)};
}

// Skies of several kinds: any byte; a faint background with noise and stars; near-black (base
// 0 along many lines); black with rare bright samples (entries of 0 and 1); a few levels only;
// one value.
Image RandomFrame(std::mt19937& rng, int32_t width, int32_t height, int32_t channels) {
    Image frame = Frame(width, height, channels, {});
    frame.pixels.resize(size_t(width) * size_t(height) * size_t(channels));
    const int kind = int(rng() % 6);
    const int background = int(rng() % 80), spread = 1 + int(rng() % 12);
    const uint8_t level[3] = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
    for (uint8_t& v : frame.pixels) {
        const uint32_t r = rng();
        const uint8_t choices[] = {
            uint8_t(r), uint8_t(r % 97 == 0 ? 200 + r % 56 : background + int(r % uint32_t(spread))),
            uint8_t(r % 50 == 0 ? r % 256 : r % 3), uint8_t(r % 300 == 0 ? r % 256 : 0),
            level[r % 3], level[0]};
        v = choices[kind];
    }
    return frame;
}

// Index and values of the first byte where two frames differ, or empty.
std::string FirstDifference(const Image& a, const Image& b) {
    if (a.pixels.size() != b.pixels.size()) return "sizes differ";
    for (size_t i = 0; i < a.pixels.size(); ++i)
        if (a.pixels[i] != b.pixels[i])
            return "byte " + std::to_string(i) + ": " + std::to_string(a.pixels[i]) + " vs " +
                   std::to_string(b.pixels[i]);
    return {};
}

Settings Params(int32_t border, int32_t smooth, int32_t noise) {
    Settings s;
    s.Border = border;
    s.GradSmooth = smooth;
    s.NoiseLevel = noise;
    return s;
}

// A line length that exercises the window rules for this border: around 30, B + 30 and
// 2B + 30, or anything up to 2B + 80 (capped, so that huge borders give short lines).
int32_t InterestingLength(std::mt19937& rng, int32_t border) {
    const int64_t b = std::clamp(border, 0, 120);
    const int64_t picks[] = {1,      2,          29,         30,         31,        b + 29,
                             b + 30, 2 * b + 29, 2 * b + 30, 2 * b + 31, int64_t(1 + rng() % uint32_t(2 * b + 80))};
    return int32_t(std::clamp<int64_t>(picks[rng() % std::size(picks)], 1, 280));
}

TEST(GradientDifferential, MatchesPlainTranscriptionOnRandomFrames) {
    const int32_t borders[] = {0, 1, 15, 15, 37, 100, -5, 1 << 30, kMax};
    const int32_t smooths[] = {0, 1, 2, 5, 5, 13, 50, -3, 1 << 30, kMax};
    const int32_t noises[] = {0, 1, 10, 10, 100, -7, -1000, kMax, kMin};
    std::mt19937 rng(20240611);
    int changed = 0;
    for (int round = 0; round < 1000; ++round) {
        const Settings s =
            Params(borders[rng() % std::size(borders)], smooths[rng() % std::size(smooths)],
                   noises[rng() % std::size(noises)]);
        const int32_t channels = rng() % 2 ? 3 : 1;
        const bool rows = rng() % 2;
        // The lines get an interesting length; the number of lines may be anything up to 80,
        // below or around 2R + 1 too.
        const int32_t length = InterestingLength(rng, s.Border);
        const int32_t lines = int32_t(1 + rng() % 160);
        const Image input =
            RandomFrame(rng, rows ? length : lines, rows ? lines : length, channels);
        Image fast = input, slow = input;
        if (rows) {
            CorrectVerticalGradient(fast, s);
            oracle::CorrectVerticalGradient(slow, s);
        } else {
            CorrectHorizontalGradient(fast, s);
            oracle::CorrectHorizontalGradient(slow, s);
        }
        ASSERT_EQ(FirstDifference(fast, slow), "")
            << "round " << round << (rows ? " rows " : " columns ") << input.width << "x"
            << input.height << "x" << channels << " B=" << s.Border << " R=" << s.GradSmooth
            << " noise=" << s.NoiseLevel;
        changed += fast.pixels != input.pixels;
    }
    EXPECT_GT(changed, 350) << "rounds that corrected something";
}

// Long lines with many windows and many blocks of lines, a sky with the default settings, both
// directions one after the other as the batch run applies them.
TEST(GradientDifferential, MatchesOnALargerSkyWithDefaults) {
    std::mt19937 rng(99);
    const Settings defaults;
    for (int32_t channels : {1, 3}) {
        Image fast = Frame(403, 301, channels, {});
        for (int32_t y = 0; y < 301; ++y)
            for (int32_t x = 0; x < 403 * channels; ++x)
                fast.pixels.push_back(
                    uint8_t(rng() % 211 == 0 ? 250 : 15 + x / 40 + y / 30 + rng() % 6));
        Image slow = fast;
        CorrectVerticalGradient(fast, defaults);
        CorrectHorizontalGradient(fast, defaults);
        oracle::CorrectVerticalGradient(slow, defaults);
        oracle::CorrectHorizontalGradient(slow, defaults);
        EXPECT_EQ(FirstDifference(fast, slow), "") << channels << " channels";
    }
}

// One channel at a time, as the per-channel workers are called on their own; channel
// addresses that do not fit the frame change nothing.
TEST(GradientDifferential, SingleChannelWorkersMatchAndStayInTheirChannel) {
    struct Channel {
        int32_t offset, step;
    };
    const Channel channels[] = {{0, 3}, {1, 3},  {2, 3}, {0, 1}, {1, 2},
                                {3, 3}, {-1, 3}, {0, 0}, {0, 4}};
    std::mt19937 rng(77);
    for (int round = 0; round < 120; ++round) {
        const Settings s = Params(int32_t(rng() % 20), int32_t(rng() % 4), int32_t(rng() % 30));
        const Channel c = channels[rng() % std::size(channels)];
        const Image input =
            RandomFrame(rng, InterestingLength(rng, s.Border), InterestingLength(rng, s.Border), 3);
        for (bool rows : {true, false}) {
            Image fast = input, slow = input;
            if (rows) {
                FlattenRows(fast, c.offset, c.step, s);
                oracle::FlattenRows(slow, c.offset, c.step, s);
            } else {
                FlattenColumns(fast, c.offset, c.step, s);
                oracle::FlattenColumns(slow, c.offset, c.step, s);
            }
            ASSERT_EQ(FirstDifference(fast, slow), "")
                << "round " << round << " offset " << c.offset << " step " << c.step;
            for (size_t i = 0; i < input.pixels.size(); ++i) {
                const bool own = c.step >= 1 && c.step <= 3 && c.offset >= 0 && c.offset < c.step &&
                                 i % size_t(c.step) == size_t(c.offset) &&
                                 i < input.pixels.size() / 3 * size_t(c.step);
                if (!own) {
                    ASSERT_EQ(fast.pixels[i], input.pixels[i]) << "byte " << i;
                }
            }
        }
    }
}

// Rows of one frame through FlattenRows with GradSmooth 0: every row scaled by its own estimate.
std::vector<uint8_t> FlattenedRows(int32_t width, const std::vector<uint8_t>& pixels,
                                   const Settings& s) {
    Image frame = Frame(width, int32_t(pixels.size()) / width, 1, pixels);
    FlattenRows(frame, 0, 1, s);
    return frame.pixels;
}

std::vector<uint8_t> Row(std::initializer_list<std::pair<int32_t, uint8_t>> runs) {
    std::vector<uint8_t> row;
    for (auto [count, value] : runs) row.insert(row.end(), size_t(count), value);
    return row;
}

std::vector<uint8_t> Join(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    std::vector<uint8_t> out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// Two rows of 30 samples (Border 0: one window each), GradSmooth 0. Hand-computed:
// entries e0, e1, mean = (e0 + e1) / 2, factor = mean x 256 / e, sample = v x factor >> 8.
TEST(GradientCases, NoiseLevelDecidesWhatCountsAsBackground) {
    const std::vector<uint8_t> star = Row({{29, 10}, {1, 100}}), plain = Row({{30, 10}});
    // NoiseLevel 10: pass 1 gives 390 (base 13); 100 lies above 13 + 10 and counts as 13, then
    // as 10: the entry is 300, like the plain row, and nothing changes.
    EXPECT_EQ(FlattenedRows(30, Join(star, plain), Params(0, 0, 10)), Join(star, plain));
    // NoiseLevel 100: the star counts at its own value, entries 390 and 300, mean 345:
    // factors 226 and 294.
    EXPECT_EQ(FlattenedRows(30, Join(star, plain), Params(0, 0, 100)),
              Join(Row({{29, 8}, {1, 88}}), Row({{30, 11}})));
    // NoiseLevel 0: 15 x 10 + 15 x 12 gives 330 (base 11); every 12 then counts as 11, then as
    // 10: entry 300, so the row stays. NoiseLevel 1 keeps 330: mean 315, factors 244 and 268.
    const std::vector<uint8_t> step = Row({{15, 10}, {15, 12}});
    EXPECT_EQ(FlattenedRows(30, Join(step, plain), Params(0, 0, 0)), Join(step, plain));
    EXPECT_EQ(FlattenedRows(30, Join(step, plain), Params(0, 0, 1)),
              Join(Row({{15, 9}, {15, 11}}), Row({{30, 10}})));
}

// One bright sample over black: pass 1 gives 200 (base 6), pass 2 counts it as 6 (sum 6,
// base 0), pass 3 at its own value again; after 8 passes the entry is 6. Against a row of 6s
// (180): mean 93, factors 3968 (200 saturates at 255) and 132.
TEST(GradientCases, BaseZeroCountsOwnValuesAndEightPassesAreRun) {
    EXPECT_EQ(FlattenedRows(30, Join(Row({{1, 200}, {29, 0}}), Row({{30, 6}})), Params(0, 0, 10)),
              Join(Row({{1, 255}, {29, 0}}), Row({{30, 3}})));
}

// The estimate comes from the window samples only, the whole line is scaled. Middle values 10
// and 20 give entries 300 and 600, mean 450, factors 384 and 192; the bright border samples
// are scaled too (255 x 384 saturates, 255 x 192 >> 8 = 191).
TEST(GradientCases, WindowPlacementAlongShortLines) {
    struct Case {
        const char* what;
        int32_t width, border, dark, from;  // `dark` samples of the value from `from`, else 255
    };
    const Case cases[] = {
        {"L = 2B + 30: one window between the borders", 60, 15, 30, 15},
        {"B + 30 <= L < 2B + 30: the window at B reaches into the far border", 50, 15, 30, 15},
        {"L < B + 30: the last 30 samples", 40, 15, 30, 10},
        {"L < 30: all samples, scaled to 30", 10, 15, 10, 0},
        {"Border beyond the line", 40, kMax, 30, 10},
        {"negative Border counts as 0", 40, -9, 30, 0},
    };
    for (const Case& c : cases) {
        auto line = [&](uint8_t v, uint8_t bright) {
            std::vector<uint8_t> row(size_t(c.width), bright);
            std::fill_n(row.begin() + c.from, c.dark, v);
            return row;
        };
        EXPECT_EQ(
            FlattenedRows(c.width, Join(line(10, 255), line(20, 255)), Params(c.border, 0, 10)),
            Join(line(15, 255), line(15, 191)))
            << c.what;
    }
}

// A line whose windows are black has the entry 0, taken as 1: row A [1, 0 x 30, 1] (Border 1)
// gets (1 + 300) / 2 x 256 / 1 = 38400, row B [0, 10 x 30, 0] gets 128.
TEST(GradientCases, BlackLinesCountAsEntryOne) {
    const std::vector<uint8_t> a = Row({{1, 1}, {30, 0}, {1, 1}}),
                               b = Row({{1, 0}, {30, 10}, {1, 0}});
    EXPECT_EQ(FlattenedRows(32, Join(a, b), Params(1, 0, 10)),
              Join(Row({{1, 150}, {30, 0}, {1, 150}}), Row({{1, 0}, {30, 5}, {1, 0}})));
}

TEST(GradientCases, FramesWithoutUsableLayoutAreLeftAlone) {
    const Settings s = Params(0, 1, 10);
    Image empty = Frame(0, 0, 1, {});
    Image noRows = Frame(5, 0, 3, {});
    Image inconsistent = Frame(40, 40, 1, std::vector<uint8_t>(40 * 40 - 1, 9));
    inconsistent.pixels[0] = 200;
    Image badChannels = Frame(4, 4, 2, std::vector<uint8_t>(32, 9));
    badChannels.pixels[0] = 200;
    for (Image* frame : {&empty, &noRows, &inconsistent, &badChannels}) {
        const Image before = *frame;
        CorrectVerticalGradient(*frame, s);
        CorrectHorizontalGradient(*frame, s);
        FlattenRows(*frame, 0, 1, s);
        FlattenColumns(*frame, 0, 1, s);
        EXPECT_EQ(frame->pixels, before.pixels);
    }
}

}  // namespace
}  // namespace kestrel
