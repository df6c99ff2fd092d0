// Histogram stretch: the fast code against the plain transcription over random frames and
// settings, and worked cases with hand-computed black and white points.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "corrections/stretch.h"
#include "corrections_oracle.h"
#include "base/image.h"
#include "settings/settings.h"

namespace kestrel {
namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

Settings Params(int32_t low, int32_t high, int32_t border) {
    Settings s;
    s.StretchLow = low;
    s.StretchHigh = high;
    s.Border = border;
    return s;
}

std::vector<uint8_t> Stretched(int32_t width, int32_t height, int32_t channels,
                               std::vector<uint8_t> pixels, const Settings& s) {
    Image frame{width, height, channels, std::move(pixels)};
    StretchHistogram(frame, s);
    return frame.pixels;
}

TEST(StretchDifferential, MatchesPlainTranscriptionOnRandomFrames) {
    const int32_t percents[] = {0, 1, 5, 50, 50, 95, 99, 100, -10, 150, kMin, kMax};
    const int32_t borders[] = {0, 0, 1, 2, 15, 100, -4, kMax};
    std::mt19937 rng(4242);
    int stretched = 0;
    for (int round = 0; round < 1500; ++round) {
        const Settings s =
            Params(percents[rng() % std::size(percents)], percents[rng() % std::size(percents)],
                   borders[rng() % std::size(borders)]);
        const int32_t channels = rng() % 2 ? 3 : 1;
        const int32_t width = int32_t(1 + rng() % (rng() % 4 ? 40 : 240));
        const int32_t height = int32_t(1 + rng() % (rng() % 4 ? 40 : 240));
        // Any byte; a narrow band; a few levels (even splits make equal cuts meet); one value.
        Image input{width, height, channels,
                    std::vector<uint8_t>(size_t(width * height * channels))};
        const int kind = int(rng() % 4);
        const uint8_t a = uint8_t(rng()), b = uint8_t(rng()), spread = uint8_t(1 + rng() % 20);
        for (uint8_t& v : input.pixels) {
            const uint32_t r = rng();
            const uint8_t choices[] = {uint8_t(r), uint8_t(a + r % spread), r % 2 ? a : b, a};
            v = choices[kind];
        }
        Image fast = input, slow = input;
        StretchHistogram(fast, s);
        oracle::StretchHistogram(slow, s);
        ASSERT_EQ(fast.pixels, slow.pixels)
            << "round " << round << " " << width << "x" << height << "x" << channels << " low "
            << s.StretchLow << " high " << s.StretchHigh << " border " << s.Border;
        stretched += fast.pixels != input.pixels;
    }
    EXPECT_GT(stretched, 500);
}

// A 5x3 frame whose region (Border 1) is the three middle bytes 50, 75, 100: with the defaults
// i = 50, j = 100, scale = 65280 / 50 = 1305; 75 gives 25 x 1305 >> 8 = 127 and the white point
// 254. The border bytes are mapped by the same table: below 50 to 0, above 100 to 254.
TEST(StretchCases, DefaultsStretchTheRegionAndMapTheBorderAlike) {
    const std::vector<uint8_t> frame = {0,   255, 0,  255, 0,  //
                                        255, 50,  75, 100, 0,  //
                                        10,  20,  30, 40,  50};
    const std::vector<uint8_t> expected = {0,   254, 0,   254, 0,  //
                                           254, 0,   127, 254, 0,  //
                                           0,   0,   0,   0,   0};
    EXPECT_EQ(Stretched(5, 3, 1, frame, Params(0, 100, 1)), expected);
    // 100 / 0: the same cut counts, then the negative.
    std::vector<uint8_t> inverted = expected;
    for (uint8_t& v : inverted) v = uint8_t(255 - v);
    EXPECT_EQ(Stretched(5, 3, 1, frame, Params(100, 0, 1)), inverted);
    // Percentages beyond 0..100 act as 0 and 100; the order still decides the inversion.
    EXPECT_EQ(Stretched(5, 3, 1, frame, Params(-50, 150, 1)), expected);
    EXPECT_EQ(Stretched(5, 3, 1, frame, Params(kMax, kMin, 1)), inverted);
}

// 100 bytes 0..99 and 5% / 95%: the low cut and the high cut are 5 bytes, so i = 5 (bins 0..4
// hold 5) and j = 94 (bins 95..99 hold 5); scale = 65280 / 89 = 733.
TEST(StretchCases, FivePercentCuts) {
    std::vector<uint8_t> frame(100);
    for (int32_t v = 0; v < 100; ++v) frame[size_t(v)] = uint8_t(v);
    const std::vector<uint8_t> out = Stretched(10, 10, 1, frame, Params(5, 95, 0));
    for (int32_t v = 0; v < 100; ++v) {
        const int32_t expected = v <= 5 ? 0 : v >= 94 ? 254 : ((v - 5) * 733) >> 8;
        EXPECT_EQ(out[size_t(v)], expected) << v;
    }
    EXPECT_EQ(out[6], 2);
    EXPECT_EQ(out[50], 128);
}

// A region of one value b: j becomes b + 1 and scale 65280, a threshold at b (for b = 255 every
// byte becomes 0). Border bytes on either side of b follow it.
TEST(StretchCases, SingleLevelRegionThresholds) {
    const std::vector<uint8_t> frame = {0,  99,  101, 255, 7,    //
                                        99, 100, 100, 100, 101,  //
                                        3,  100, 200, 1,   255};
    EXPECT_EQ(Stretched(5, 3, 1, frame, Params(0, 100, 1)),
              (std::vector<uint8_t>{0, 0, 255, 255, 0, 0, 0, 0, 0, 255, 0, 0, 255, 0, 255}));
    std::vector<uint8_t> white = frame;
    white[6] = white[7] = white[8] = 255;
    EXPECT_EQ(Stretched(5, 3, 1, white, Params(0, 100, 1)), std::vector<uint8_t>(15, 0));
}

// Equal percentages never invert. 50 / 50 over 10, 20, 30: both cuts are 1, i = j = 20, a
// threshold at 20. Over 10, 10, 20, 20 the cuts (2 and 2) add up to T and the white point (10)
// falls below the black point (20): the frame is left as it is.
TEST(StretchCases, EqualPercentages) {
    EXPECT_EQ(Stretched(3, 1, 1, {10, 20, 30}, Params(50, 50, 0)),
              (std::vector<uint8_t>{0, 0, 255}));
    EXPECT_EQ(Stretched(4, 1, 1, {10, 20, 10, 20}, Params(50, 50, 0)),
              (std::vector<uint8_t>{10, 20, 10, 20}));
}

// No black point (low cut not below T) or no white point (high cut not below T): levels are kept,
// and inverted only when StretchLow is greater than StretchHigh.
TEST(StretchCases, MissingPointsLeaveLevelsAlone) {
    const std::vector<uint8_t> frame = {40, 90, 60,  200, 15, 77, 120, 33,
                                        5,  99, 180, 64,  1,  2,  3,   4};
    std::vector<uint8_t> negative = frame;
    for (uint8_t& v : negative) v = uint8_t(255 - v);
    EXPECT_EQ(Stretched(4, 4, 1, frame, Params(100, 100, 0)), frame);
    EXPECT_EQ(Stretched(4, 4, 1, frame, Params(0, 0, 0)), frame);
    EXPECT_EQ(Stretched(4, 4, 1, frame, Params(-5, kMin, 0)), negative);  // both count as 0
    // Border 2 leaves no region in a 4x4 frame: T = 0.
    EXPECT_EQ(Stretched(4, 4, 1, frame, Params(0, 100, 2)), frame);
    EXPECT_EQ(Stretched(4, 4, 1, frame, Params(60, 40, 2)), negative);
    EXPECT_EQ(Stretched(4, 4, 1, frame, Params(0, 100, kMax)), frame);
}

// One histogram and one table for all channels: a colour frame (no border) stretches as the
// grey frame three times as wide holding the same bytes; its channels are not stretched apart.
TEST(StretchCases, ColourChannelsShareOneMapping) {
    std::mt19937 rng(8);
    std::vector<uint8_t> frame(size_t(30 * 20 * 3));
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = uint8_t(i % 3 == 0 ? rng() % 100 : 100 + rng() % 100);
    const std::vector<uint8_t> colour = Stretched(30, 20, 3, frame, Params(5, 95, 0));
    EXPECT_EQ(colour, Stretched(90, 20, 1, frame, Params(5, 95, 0)));
    for (size_t i = 0; i < frame.size(); i += 3)
        ASSERT_LT(colour[i], 140) << i;  // blue stays darker
    // The colour region is counted in pixels: Border 1 keeps the centre pixel's three bytes.
    std::vector<uint8_t> small(27, 255);
    small[12] = 50;
    small[13] = 75;
    small[14] = 100;
    small[0] = 60;
    std::vector<uint8_t> expected(27, 254);
    expected[12] = 0;
    expected[13] = 127;
    expected[0] = 50;  // (10 x 1305) >> 8
    EXPECT_EQ(Stretched(3, 3, 3, small, Params(0, 100, 1)), expected);
}

TEST(StretchCases, BadFramesAreLeftAlone) {
    EXPECT_EQ(Stretched(20, 10, 1, {1, 2, 3}, Params(0, 100, 0)), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(Stretched(2, 2, 2, {1, 2, 3, 4, 5, 6, 7, 8}, Params(100, 0, 0)),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(Stretched(0, 5, 3, {}, Params(100, 0, 0)).empty());
}

}  // namespace
}  // namespace kestrel
