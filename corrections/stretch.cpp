#include "corrections/stretch.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "corrections/vectors.h"

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

// u = v clamped to black..white, then ((u - black) x scale) >> 8, then 255 - that if asked;
// scale 256 over 0..255 is the identity. In 16-bit lanes with the scale split in two:
// (u x scale) >> 8 = u x (scale >> 8) + ((u x (scale & 255)) >> 8), each part within 16 bits
// since u <= 255 and scale <= 65280. Scale x (white - black) <= 65280 keeps results in a byte.
void MapBytes(std::vector<uint8_t>& pixels, int32_t black, int32_t white, int32_t scale,
              bool invert) {
    const int32_t top = std::min(white, kLevels - 1);  // a white point of 256 clamps nothing
    auto map = [&](int32_t v) {
        const int32_t out = ((std::clamp(v, black, top) - black) * scale) >> 8;
        return uint8_t(invert ? 255 - out : out);
    };
    const U8x16 lo = U8x16{} + uint8_t(black), hi = U8x16{} + uint8_t(top);
    const U8x16 flip = invert ? ~U8x16{} : U8x16{};
    const U16x8 high = U16x8{} + uint16_t(scale >> 8), low = U16x8{} + uint16_t(scale & 255);
    auto scaled = [&](U16x8 u) { return u * high + ((u * low) >> 8); };
    uint8_t* p = pixels.data();
    const size_t n = pixels.size();
    size_t k = 0;
    for (; k + kByteLanes <= n; k += kByteLanes) {
        U8x16 v = LoadU8x16(p + k);
        v = v < lo ? lo : v;
        v = (v > hi ? hi : v) - lo;
        Store(p + k, NarrowLow(scaled(WidenLow(v)), scaled(WidenHigh(v))) ^ flip);
    }
    for (; k < n; ++k) p[k] = map(p[k]);
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
    MapBytes(frame.pixels, stretch ? black : 0, stretch ? white : 255,
             stretch ? kFullScale / (white - black) : 256, invert);
}

}  // namespace kestrel
