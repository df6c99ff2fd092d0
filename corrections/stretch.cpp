#include "corrections/stretch.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrel {
namespace {

constexpr int32_t kLevels = 256;
constexpr int32_t kFullScale = 65280;  // 255 x 256: 255 levels with 8 fractional bits

// The counts are 64-bit: a frame of more than 2^31 region bytes must not wrap them.
using Histogram = std::array<int64_t, kLevels>;

// Four interleaved 32-bit sub-histograms break the store-to-load chain of runs of equal bytes;
// they are folded into the 64-bit counts before any of them could wrap.
class ByteCounter {
public:
    explicit ByteCounter(Histogram& out) : out_(out) {}
    ~ByteCounter() { Flush(); }

    void Add(const uint8_t* p, size_t n) {
        while (n > 0) {
            size_t take = std::min(n, kFlushBytes - pending_);
            size_t k = 0;
            for (; k + 4 <= take; k += 4) {
                ++sub_[0][p[k]];
                ++sub_[1][p[k + 1]];
                ++sub_[2][p[k + 2]];
                ++sub_[3][p[k + 3]];
            }
            for (; k < take; ++k) ++sub_[0][p[k]];
            p += take;
            n -= take;
            pending_ += take;
            if (pending_ == kFlushBytes) Flush();
        }
    }

    void Flush() {
        for (int32_t v = 0; v < kLevels; ++v) {
            out_[v] += int64_t(sub_[0][v]) + sub_[1][v] + sub_[2][v] + sub_[3][v];
            sub_[0][v] = sub_[1][v] = sub_[2][v] = sub_[3][v] = 0;
        }
        pending_ = 0;
    }

private:
    static constexpr size_t kFlushBytes = size_t(1) << 30;
    Histogram& out_;
    uint32_t sub_[4][kLevels] = {};
    size_t pending_ = 0;
};

// Counts the bytes of rows B..H-B-1, pixels B..W-B-1; returns T, 0 when the region is empty.
int64_t CountRegion(const Image& frame, int64_t border, Histogram& hist) {
    const int64_t w = frame.width, h = frame.height, p = frame.channels;
    if (h <= 2 * border || w <= 2 * border) return 0;
    const size_t rowBytes = size_t(w * p);
    const size_t runBytes = size_t((w - 2 * border) * p);
    ByteCounter counter(hist);
    for (int64_t y = border; y < h - border; ++y)
        counter.Add(frame.pixels.data() + size_t(y) * rowBytes + size_t(border * p), runBytes);
    return (h - 2 * border) * (w - 2 * border) * p;
}

}  // namespace

void StretchHistogram(Image& frame, const Settings& settings) {
    if (!frame.consistent() || frame.pixels.empty()) return;
    // A negative Border (only an edited settings file gives one) counts as no border.
    const int64_t border = std::max<int32_t>(settings.Border, 0);
    const bool invert = settings.StretchLow > settings.StretchHigh;

    Histogram hist{};
    const int64_t total = CountRegion(frame, border, hist);

    // Percentages outside 0..100 are clamped: the same as clamping the cut counts into 0..T,
    // and the 64-bit products cannot overflow.
    const int64_t lo = std::clamp(std::min(settings.StretchLow, settings.StretchHigh), 0, 100);
    const int64_t hi = std::clamp(std::max(settings.StretchLow, settings.StretchHigh), 0, 100);
    const int64_t lowCut = lo * total / 100;
    const int64_t highCut = (100 - hi) * total / 100;

    // Without a black point or a white point (an empty region, or a cut that takes every byte)
    // there is no range to stretch: the frame keeps its levels and is only inverted if asked.
    bool stretch = lowCut < total && highCut < total;
    int32_t black = 0, white = kLevels - 1;
    if (stretch) {
        int64_t rest = lowCut;
        while (black < kLevels - 1 && hist[black] <= rest) rest -= hist[black++];
        rest = highCut;
        while (white > 0 && hist[white] <= rest) rest -= hist[white--];
        if (white == black) white = black + 1;
        // Equal percentages whose cuts add up to T can put the white point below the black
        // point. Stretching would turn the whole frame into one level; keep the frame instead,
        // as when a point is missing.
        stretch = white > black;
    }
    if (!stretch && !invert) return;

    std::array<uint8_t, kLevels> table;
    const int32_t scale = stretch ? kFullScale / (white - black) : 0;
    for (int32_t v = 0; v < kLevels; ++v) {
        int32_t out = v;
        if (stretch) out = ((std::clamp(v, black, white) - black) * scale) >> 8;
        table[v] = uint8_t(invert ? 255 - out : out);
    }
    for (uint8_t& b : frame.pixels) b = table[b];
}

}  // namespace kestrel
