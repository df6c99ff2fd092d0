// Plain transcriptions of the dark-frame repair, the gradient flattening and the histogram
// stretch, written for reading, not for speed: every window summed afresh, every box summed
// afresh, every byte mapped on its own. The fast code in corrections/ must match them bit for
// bit. Where the documented algorithms leave a case open they are extended exactly as the fast
// code decides it (see the comments there); nothing else about them is shared with it.
//
// Header-only on purpose: the test binary and the benchmark both use it, and neither build
// picks up sources from this folder other than the tests themselves.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "base/image.h"
#include "settings/settings.h"

namespace kestrel::oracle {

// Subtraction, then the repair of hot samples from a copy of the subtracted frame: working in
// place must give the same. Frame and dark frame of the same size.
inline Image ApplyDarkFrame(const Image& frame, const Image& dark, const Settings& s) {
    Image out = frame;
    const int c = frame.channels, r = frame.width * c, h = frame.height;
    if (s.SubDark)
        for (size_t i = 0; i < out.pixels.size(); ++i)
            out.pixels[i] = uint8_t(std::max(0, out.pixels[i] - dark.pixels[i]));
    if (!s.Hot) return out;
    const Image before = out;
    auto hot = [&](int i, int x) { return dark.pixels[size_t(i * r + x)] >= s.HotThreshold; };
    for (int i = 0; i < h; ++i)
        for (int x = 0; x < r; ++x) {
            if (!hot(i, x)) continue;
            int sum = 0, count = 0;
            for (int k = std::max(i - 2, 0); k <= std::min(i + 2, h - 1); ++k)
                for (int j = -2; j <= 2; ++j) {
                    const int m = x + j * c;
                    if (m < 0 || m >= r || hot(k, m)) continue;
                    sum += before.pixels[size_t(k * r + m)];
                    ++count;
                }
            if (count > 0) out.pixels[size_t(i * r + x)] = uint8_t(sum / count);
        }
    return out;
}

// One channel's lines: rows (sample t of row k is pixel (t, k)) or columns (pixel (k, t)).
inline void FlattenLines(Image& frame, int32_t offset, int32_t step, const Settings& settings,
                         bool rows) {
    if (!frame.consistent() || frame.width <= 0 || frame.height <= 0) return;
    if (step < 1 || step > frame.channels || offset < 0 || offset >= step) return;
    const int64_t width = frame.width;
    const int32_t n = rows ? frame.height : frame.width;
    const int32_t length = rows ? frame.width : frame.height;
    auto sample = [&](int32_t k, int32_t t) -> uint8_t& {
        const int64_t x = rows ? t : k, y = rows ? k : t;
        return frame.pixels[size_t((y * width + x) * step + offset)];
    };
    const int64_t border = std::max(settings.Border, 0);
    const int64_t radius = std::max(settings.GradSmooth, 0);
    if (n <= radius) return;  // a box wider than the frame: no gradient to remove

    // Window starts, and the window size: 30, or the whole line when it is shorter.
    std::vector<int64_t> starts;
    int64_t size = 30;
    if (length < 30) {
        starts.push_back(0);
        size = length;
    } else if (length - border - 30 >= border) {
        for (int64_t s = border; s <= length - border - 30; ++s) starts.push_back(s);
    } else {
        starts.push_back(std::min<int64_t>(border, length - 30));
    }

    std::vector<int32_t> profile(static_cast<size_t>(n));
    for (int32_t k = 0; k < n; ++k) {
        int32_t m = 0;
        for (int32_t pass = 1; pass <= 8; ++pass) {
            const int32_t base = m / 30;
            const int64_t ceiling = base + int64_t(settings.NoiseLevel);
            int32_t least = std::numeric_limits<int32_t>::max();
            for (int64_t s : starts) {
                int32_t sum = 0;
                for (int64_t t = s; t < s + size; ++t) {
                    const int32_t v = sample(k, int32_t(t));
                    sum += (pass > 1 && base > 0 && v > ceiling) ? base : v;
                }
                least = std::min(least, sum);
            }
            m = size == 30 ? least : int32_t(least * 30 / size);
        }
        profile[size_t(k)] = m;
    }

    if (radius > 0) {
        for (int32_t pass = 0; pass < 16; ++pass) {
            std::vector<int32_t> scratch(profile.size());
            for (int64_t k = radius; k <= n - radius - 1; ++k) {
                int64_t box = 0;
                for (int64_t e = k - radius; e <= k + radius; ++e) box += profile[size_t(e)];
                scratch[size_t(k)] = int32_t(box / (2 * radius + 1));
            }
            for (int64_t k = radius; k <= n - radius - 1; ++k)
                profile[size_t(k)] = scratch[size_t(k)];
            for (int64_t k = 0; k < radius; ++k) profile[size_t(k)] = profile[size_t(radius)];
            for (int64_t k = n - radius; k < n; ++k)
                profile[size_t(k)] = profile[size_t(n - radius - 1)];
        }
    }

    int64_t total = 0;
    for (int32_t& e : profile) {
        if (e <= 1) e = 1;
        total += e;
    }
    const int32_t mean = int32_t(total / n);
    for (int32_t k = 0; k < n; ++k) {
        const int32_t factor = mean * 256 / profile[size_t(k)];
        for (int32_t t = 0; t < length; ++t) {
            uint8_t& v = sample(k, t);
            const int32_t scaled = (v * factor) >> 8;
            v = uint8_t(scaled > 255 ? 255 : scaled);
        }
    }
}

inline void CorrectVerticalGradient(Image& frame, const Settings& settings) {
    if (!frame.consistent()) return;
    for (int32_t c = 0; c < frame.channels; ++c)
        FlattenLines(frame, c, frame.channels, settings, true);
}

inline void CorrectHorizontalGradient(Image& frame, const Settings& settings) {
    if (!frame.consistent()) return;
    for (int32_t c = 0; c < frame.channels; ++c)
        FlattenLines(frame, c, frame.channels, settings, false);
}

// The cut counts are formed from the percentages as they stand and clamped into 0..T, which
// holds without overflow for frames of fewer than 2^32 bytes.
inline void StretchHistogram(Image& frame, const Settings& settings) {
    if (!frame.consistent() || frame.pixels.empty()) return;
    const int64_t w = frame.width, h = frame.height, p = frame.channels;
    const int64_t border = std::max(settings.Border, 0);
    std::vector<int64_t> hist(256, 0);
    int64_t total = 0;
    if (h > 2 * border && w > 2 * border) {
        for (int64_t y = border; y <= h - border - 1; ++y)
            for (int64_t x = border; x <= w - border - 1; ++x)
                for (int64_t c = 0; c < p; ++c) ++hist[frame.pixels[size_t((y * w + x) * p + c)]];
        total = (h - 2 * border) * (w - 2 * border) * p;
    }
    const int64_t lo = std::min(settings.StretchLow, settings.StretchHigh);
    const int64_t hi = std::max(settings.StretchLow, settings.StretchHigh);
    const int64_t lowCut = std::clamp<int64_t>(lo * total / 100, 0, total);
    const int64_t highCut = std::clamp<int64_t>((100 - hi) * total / 100, 0, total);

    bool stretch = lowCut < total && highCut < total;  // else no black or no white point
    int32_t i = 0, j = 255;
    if (stretch) {
        int64_t rest = lowCut;
        while (hist[size_t(i)] <= rest) {
            rest -= hist[size_t(i)];
            ++i;
        }
        rest = highCut;
        while (hist[size_t(j)] <= rest) {
            rest -= hist[size_t(j)];
            --j;
        }
        if (j == i) j = i + 1;
        stretch = j > i;  // crossed points: left unstretched
    }
    if (stretch) {
        const int32_t scale = 65280 / (j - i);
        for (uint8_t& v : frame.pixels) {
            int32_t u = v;
            if (u < i) u = i;
            if (u > j) u = j;
            v = uint8_t(((u - i) * scale) >> 8);
        }
    }
    if (settings.StretchLow > settings.StretchHigh)
        for (uint8_t& v : frame.pixels) v = uint8_t(255 - v);
}

}  // namespace kestrel::oracle
