#include "corrections/dark.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace kestrel {
namespace {

Image MakeImage(int32_t width, int32_t height, int32_t channels, std::vector<uint8_t> pixels) {
    Image img;
    img.width = width;
    img.height = height;
    img.channels = channels;
    img.pixels = std::move(pixels);
    return img;
}

Image Filled(int32_t width, int32_t height, int32_t channels, uint8_t value) {
    return MakeImage(width, height, channels,
                     std::vector<uint8_t>(size_t(width * height * channels), value));
}

Settings Switches(bool subDark, bool hot, int32_t threshold = 200) {
    Settings s;
    s.SubDark = subDark;
    s.Hot = hot;
    s.HotThreshold = threshold;
    return s;
}

uint8_t& At(Image& img, int32_t row, int32_t col, int32_t channel = 0) {
    return img.pixels[size_t((row * img.width + col) * img.channels + channel)];
}

// The correction as stated, sample by sample, with the averages taken from a copy of the
// subtracted frame: the repair must give the same result working in place.
Image Oracle(const Image& frame, const Image& dark, const Settings& s) {
    Image out = frame;
    const int c = frame.channels, r = frame.width * c, h = frame.height;
    if (s.SubDark)
        for (size_t i = 0; i < out.pixels.size(); ++i)
            out.pixels[i] = uint8_t(std::max(0, out.pixels[i] - dark.pixels[i]));
    if (!s.Hot) return out;
    const Image before = out;
    for (int i = 0; i < h; ++i) {
        for (int x = 0; x < r; ++x) {
            if (dark.pixels[size_t(i * r + x)] < s.HotThreshold) continue;
            int sum = 0, count = 0;
            for (int k = i - 2; k <= i + 2; ++k) {
                for (int j = -2; j <= 2; ++j) {
                    const int m = x + j * c;
                    if (k < 0 || k >= h || m < 0 || m >= r) continue;
                    if (dark.pixels[size_t(k * r + m)] < s.HotThreshold) {
                        sum += before.pixels[size_t(k * r + m)];
                        ++count;
                    }
                }
            }
            if (count > 0) out.pixels[size_t(i * r + x)] = uint8_t(sum / count);
        }
    }
    return out;
}

TEST(DarkSubtraction, SaturatesAtZero) {
    struct Case {
        uint8_t image, dark, expected;
    };
    const Case cases[] = {{10, 30, 0}, {200, 30, 170}, {30, 30, 0}, {255, 0, 255}, {0, 255, 0}};
    for (int channels : {1, 3}) {
        std::vector<uint8_t> image, dark;
        for (const Case& c : cases)
            for (int k = 0; k < channels; ++k) image.push_back(c.image), dark.push_back(c.dark);
        Image frame = MakeImage(int32_t(std::size(cases)), 1, channels, image);
        Image d = MakeImage(frame.width, 1, channels, dark);
        Failure failure;
        ApplyDarkFrame(frame, d, Switches(true, false), failure);
        EXPECT_TRUE(failure.message.empty());
        for (size_t i = 0; i < std::size(cases); ++i)
            for (int k = 0; k < channels; ++k)
                EXPECT_EQ(frame.pixels[i * size_t(channels) + size_t(k)], cases[i].expected);
    }
}

TEST(HotPixelRepair, WorkedExample) {
    Image frame = Filled(5, 5, 1, 100);
    Image dark = Filled(5, 5, 1, 10);
    At(frame, 2, 2) = 255;
    At(dark, 2, 2) = 250;
    Failure failure;
    ApplyDarkFrame(frame, dark, Switches(true, true, 200), failure);
    EXPECT_EQ(frame.pixels, std::vector<uint8_t>(25, 90));

    // Subtraction alone leaves the centre at 255 - 250.
    Image alone = Filled(5, 5, 1, 100);
    At(alone, 2, 2) = 255;
    ApplyDarkFrame(alone, dark, Switches(true, false, 200), failure);
    EXPECT_EQ(At(alone, 2, 2), 5);
}

TEST(HotPixelRepair, ThresholdEqualityIsHot) {
    for (int darkCentre : {199, 200}) {
        Image frame = Filled(3, 3, 1, 50);
        Image dark = Filled(3, 3, 1, 0);
        At(frame, 1, 1) = 7;
        At(dark, 1, 1) = uint8_t(darkCentre);
        Failure failure;
        ApplyDarkFrame(frame, dark, Switches(false, true, 200), failure);
        EXPECT_EQ(At(frame, 1, 1), darkCentre == 200 ? 50 : 7) << darkCentre;
    }
}

TEST(HotPixelRepair, AverageDropsTheFraction) {
    Image frame = MakeImage(3, 1, 1, {10, 99, 11});
    Image dark = MakeImage(3, 1, 1, {0, 255, 0});
    Failure failure;
    ApplyDarkFrame(frame, dark, Switches(false, true), failure);
    EXPECT_EQ(frame.pixels, (std::vector<uint8_t>{10, 10, 11}));
}

TEST(HotPixelRepair, MatchesThePlainRuleOnRandomFrames) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 400; ++round) {
        const int32_t w = int32_t(1 + rng() % 70), h = int32_t(1 + rng() % 8);
        const int32_t c = rng() % 2 ? 3 : 1;
        Image frame = Filled(w, h, c, 0), dark = Filled(w, h, c, 0);
        // Densities from no hot sample to all hot, and thresholds far outside the bytes.
        const int32_t extremes[] = {INT32_MIN, -1000, 1000, INT32_MAX};
        const int32_t threshold = round % 10 ? int32_t(rng() % 258) - 1 : extremes[rng() % 4];
        for (auto& v : frame.pixels) v = uint8_t(rng());
        const unsigned spread = 1 + rng() % 256;
        for (auto& v : dark.pixels) v = uint8_t(rng() % 2 ? rng() % spread : 255 - rng() % spread);
        const Settings s = Switches(rng() % 2, rng() % 2, threshold);
        const Image expected = Oracle(frame, dark, s);
        Failure failure;
        ApplyDarkFrame(frame, dark, s, failure);
        ASSERT_EQ(frame.pixels, expected.pixels) << w << "x" << h << "x" << c << " t " << threshold;
        ASSERT_TRUE(failure.message.empty());
    }
}

TEST(ApplyDarkFrame, SizeMismatchIsToldOnceAndReleasesTheDarkFrame) {
    struct Case {
        const char* what;
        Image dark;
    };
    Image shortDark = Filled(32, 24, 1, 0);
    shortDark.pixels.pop_back();
    const Case cases[] = {
        {"larger", Filled(64, 48, 1, 10)}, {"width", Filled(31, 24, 1, 10)},
        {"height", Filled(32, 23, 1, 10)}, {"channels", Filled(32, 24, 3, 10)},
        {"empty", Filled(0, 0, 1, 10)},    {"short buffer", shortDark},
    };
    for (const Case& c : cases) {
        Image dark = c.dark;
        Image frame = Filled(32, 24, 1, 0);
        for (size_t i = 0; i < frame.pixels.size(); ++i) frame.pixels[i] = uint8_t(i * 7);
        const Image before = frame;
        Failure failure;
        ApplyDarkFrame(frame, dark, Switches(true, true, 5), failure);
        EXPECT_EQ(failure.message, "Darkframe must be same size as image!") << c.what;
        EXPECT_EQ(dark.width, -1);
        EXPECT_EQ(dark.height, -1);
        EXPECT_EQ(dark.pixels.capacity(), 0u);
        EXPECT_EQ(frame.pixels, before.pixels);
        for (int next = 0; next < 2; ++next) {
            ApplyDarkFrame(frame, dark, Switches(true, true, 5), failure);
            EXPECT_TRUE(failure.message.empty());
            EXPECT_EQ(frame.pixels, before.pixels);
        }
    }
}

TEST(ApplyDarkFrame, NoUsableDarkFrameIsSkippedSilently) {
    for (auto [w, h] : {std::pair{-1, -1}, {32, -24}, {-32, 24}}) {
        Image dark;
        dark.width = w;
        dark.height = h;
        Image frame = Filled(32, 24, 1, 77);
        Failure failure{"left over", "stale"};
        ApplyDarkFrame(frame, dark, Switches(true, true, 1), failure);
        EXPECT_TRUE(failure.message.empty());
        EXPECT_EQ(frame.pixels, std::vector<uint8_t>(32 * 24, 77));
        EXPECT_EQ(dark.width, w);
        EXPECT_EQ(dark.height, h);
    }
}

}  // namespace
}  // namespace kestrel
