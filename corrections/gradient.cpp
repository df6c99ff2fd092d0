#include "corrections/gradient.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "corrections/vectors.h"

namespace kestrel {
namespace {

constexpr int32_t kWindow = 30;  // samples per background window
constexpr int32_t kEstimatePasses = 8;
constexpr int32_t kSmoothPasses = 16;

struct Params {
    int32_t border = 0;
    int32_t smooth = 0;
    int64_t noise = 0;  // 64-bit: base + NoiseLevel must not overflow for any file value
};

// Negative Border and GradSmooth (only an edited settings file gives them) count as 0.
Params ReadParams(const Settings& settings) {
    return {std::max(settings.Border, 0), std::max(settings.GradSmooth, 0),
            int64_t(settings.NoiseLevel)};
}

// Row lengths in bytes are counted in 32 bits; a frame whose rows hold more is left alone.
bool ChannelFits(const Image& frame, int32_t offset, int32_t step) {
    return frame.consistent() && frame.width > 0 && frame.height > 0 && step >= 1 &&
           step <= frame.channels && offset >= 0 && offset < step &&
           int64_t(frame.width) * frame.channels <= std::numeric_limits<int32_t>::max();
}

// When the smoothing box spans the whole profile (N <= 2R + 1) its first pass gives every entry
// one value, every factor is 256 and the lines stay as they are. A box wider than the frame
// (N <= R, where the edge copies would address entries outside the profile) is taken the same
// way: the background is assumed smoother than the frame is long, so there is no gradient to
// remove. Neither needs an estimate.
bool LeftUnchanged(int32_t lines, int32_t radius) {
    return int64_t(lines) <= 2 * int64_t(radius) + 1;
}

// Window starts first..last along a line, each window `size` samples long.
struct Windows {
    int32_t first = 0;
    int32_t last = 0;
    int32_t size = kWindow;
};

// Where the windows of a line fit between the borders they are exactly as documented. Otherwise
// the estimate must still come from inside the line: a line of at least 30 samples gets the one
// window that starts at B or, if that runs past the end, the last 30 samples; a shorter line is
// one window of all its samples, whose sum is scaled to 30 samples (see ProfileValue).
Windows LineWindows(int32_t length, int32_t border) {
    if (length < kWindow) return {0, 0, length};
    const int64_t last = int64_t(length) - border - kWindow;
    if (last >= border) return {border, int32_t(last), kWindow};
    const int32_t start = int32_t(std::min<int64_t>(border, length - kWindow));
    return {start, start, kWindow};
}

int32_t ProfileValue(int32_t windowSum, const Windows& windows) {
    return windows.size == kWindow ? windowSum : windowSum * kWindow / windows.size;
}

// The counting rule of a pass, per line: a sample at or above `threshold` counts as
// `substitute`. After a pass whose smallest sum is m, base = m / 30 and a sample above
// base + NoiseLevel counts as base, unless base is 0. Threshold 255 with substitute 255 counts
// every sample at its own value (pass 1, base 0, or a ceiling of 255 or more); threshold 0
// counts every sample as base (a ceiling below 0, from a negative NoiseLevel).
void NextRule(int32_t m, int64_t noise, uint8_t& threshold, uint8_t& substitute) {
    const int32_t base = m / kWindow;
    const int64_t ceiling = base + noise;
    if (base == 0 || ceiling >= 255) {
        threshold = 255;
        substitute = 255;
    } else {
        threshold = uint8_t(std::max<int64_t>(ceiling + 1, 0));
        substitute = uint8_t(base);
    }
}

// The estimate runs over a block of lines side by side, one lane each, stored lane-major
// (sample t of lane l at plane[t * stride + l]), so that every step works on whole vector
// registers: 16 bytes for the samples, 8 x 16 bits for the window sums (at most 30 x 255).
constexpr int32_t kBlockLanes = 32;
constexpr int32_t kBlockVectors = kBlockLanes / kByteLanes;
static_assert(kBlockLanes % kByteLanes == 0);

inline U8x16 Counted(U8x16 v, U8x16 threshold, U8x16 substitute) {
    return v >= threshold ? substitute : v;
}
inline I16x8 Min(I16x8 a, I16x8 b) { return a < b ? a : b; }

// The 8 passes of the estimate for one block of kBlockLanes lines; positions count from the
// first window's start. The running sums stay in registers for the whole pass.
void EstimateBlock(const uint8_t* plane, size_t stride, const Windows& windows, int64_t noise,
                   int32_t* profile) {
    uint8_t threshold[kBlockLanes], substitute[kBlockLanes];
    std::fill_n(threshold, kBlockLanes, uint8_t(255));
    std::fill_n(substitute, kBlockLanes, uint8_t(255));
    const size_t back = size_t(windows.size) * stride;
    const int32_t end = windows.last - windows.first + windows.size;
    for (int32_t pass = 1; pass <= kEstimatePasses; ++pass) {
        U8x16 thr[kBlockVectors], sub[kBlockVectors];
#pragma GCC unroll 4
        for (int32_t v = 0; v < kBlockVectors; ++v) {
            thr[v] = LoadU8x16(threshold + v * kByteLanes);
            sub[v] = LoadU8x16(substitute + v * kByteLanes);
        }
        I16x8 sum[2 * kBlockVectors] = {}, least[2 * kBlockVectors];
        for (int32_t t = 0; t < windows.size; ++t) {
            const uint8_t* in = plane + size_t(t) * stride;
#pragma GCC unroll 4
            for (int32_t v = 0; v < kBlockVectors; ++v) {
                const U8x16 c = Counted(LoadU8x16(in + v * kByteLanes), thr[v], sub[v]);
                sum[2 * v] += I16x8(WidenLow(c));
                sum[2 * v + 1] += I16x8(WidenHigh(c));
            }
        }
        std::copy_n(sum, 2 * kBlockVectors, least);
        for (int32_t t = windows.size; t < end; ++t) {
            const uint8_t* in = plane + size_t(t) * stride;
            const uint8_t* out = in - back;
#pragma GCC unroll 4
            for (int32_t v = 0; v < kBlockVectors; ++v) {
                const U8x16 a = Counted(LoadU8x16(in + v * kByteLanes), thr[v], sub[v]);
                const U8x16 d = Counted(LoadU8x16(out + v * kByteLanes), thr[v], sub[v]);
                sum[2 * v] += I16x8(WidenLow(a) - WidenLow(d));
                sum[2 * v + 1] += I16x8(WidenHigh(a) - WidenHigh(d));
                least[2 * v] = Min(least[2 * v], sum[2 * v]);
                least[2 * v + 1] = Min(least[2 * v + 1], sum[2 * v + 1]);
            }
        }
        int16_t smallest[kBlockLanes];
        std::memcpy(smallest, least, sizeof smallest);
        // A pass depends only on its rule: once no lane's rule changes, every later pass
        // repeats this one, and its results are those of pass 8.
        bool settled = true;
        for (int32_t l = 0; l < kBlockLanes; ++l) {
            profile[l] = ProfileValue(smallest[l], windows);
            const uint8_t oldThreshold = threshold[l], oldSubstitute = substitute[l];
            NextRule(profile[l], noise, threshold[l], substitute[l]);
            settled = settled && threshold[l] == oldThreshold && substitute[l] == oldSubstitute;
        }
        if (settled) return;
    }
}

// Copies `lanes` lines of `span` samples into a block (the unused lanes zero): sample t of
// lane l comes from src[t * posStride + l * laneStride].
void GatherBlock(const uint8_t* src, size_t laneStride, size_t posStride, int32_t lanes,
                 int32_t span, std::vector<uint8_t>& block) {
    block.assign(size_t(span) * kBlockLanes, 0);
    if (laneStride < posStride) {  // columns: read along the rows
        for (int32_t t = 0; t < span; ++t) {
            const uint8_t* at = src + size_t(t) * posStride;
            uint8_t* dst = block.data() + size_t(t) * kBlockLanes;
            for (int32_t l = 0; l < lanes; ++l) dst[l] = at[size_t(l) * laneStride];
        }
    } else {  // rows: read each row along its length
        for (int32_t l = 0; l < lanes; ++l) {
            const uint8_t* line = src + size_t(l) * laneStride;
            uint8_t* dst = block.data() + l;
            for (int32_t t = 0; t < span; ++t)
                dst[size_t(t) * kBlockLanes] = line[size_t(t) * posStride];
        }
    }
}

// The estimates of `lines` lines whose sample t of line k is at src[t * posStride + k *
// lineStride]. When the lines lie side by side in memory (lineStride 1) the blocks are read in
// place.
std::vector<int32_t> Estimate(const uint8_t* src, size_t lineStride, size_t posStride,
                              int32_t lines, int32_t span, const Windows& windows, int64_t noise) {
    std::vector<int32_t> profile(static_cast<size_t>(lines));
    std::vector<uint8_t> block;
    int32_t result[kBlockLanes];
    for (int32_t k0 = 0; k0 < lines; k0 += kBlockLanes) {
        const int32_t lanes = std::min(kBlockLanes, lines - k0);
        const uint8_t* first = src + size_t(k0) * lineStride;
        if (lineStride == 1 && lanes == kBlockLanes) {
            EstimateBlock(first, posStride, windows, noise, result);
        } else {
            GatherBlock(first, lineStride, posStride, lanes, span, block);
            EstimateBlock(block.data(), kBlockLanes, windows, noise, result);
        }
        std::copy_n(result, lanes, profile.begin() + k0);
    }
    return profile;
}

// Four perfect shuffles (vector i interleaved with vector i + 8, bytes taken alternately)
// transpose a 16 x 16 byte matrix: each one rotates the bits of (vector, position) by one.
void Transpose16(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride) {
    U8x16 v[kByteLanes];
#pragma GCC unroll 16
    for (int32_t i = 0; i < kByteLanes; ++i) v[i] = LoadU8x16(src + size_t(i) * srcStride);
    for (int32_t round = 0; round < 4; ++round) {
        U8x16 n[kByteLanes];
#pragma GCC unroll 8
        for (int32_t i = 0; i < kByteLanes / 2; ++i) {
            n[2 * i] = InterleaveLow(v[i], v[i + 8]);
            n[2 * i + 1] = InterleaveHigh(v[i], v[i + 8]);
        }
        std::copy_n(n, kByteLanes, v);
    }
#pragma GCC unroll 16
    for (int32_t i = 0; i < kByteLanes; ++i) Store(dst + size_t(i) * dstStride, v[i]);
}

// Rows turned into lanes: block[q * kBlockLanes + r] = byte q of row r, for `bytes` bytes of
// `lanes` rows (the unused lanes zero).
void TransposeRows(const uint8_t* src, size_t rowBytes, int32_t lanes, int32_t bytes,
                   std::vector<uint8_t>& block) {
    block.resize(size_t(bytes) * kBlockLanes);
    int32_t q = 0;
    if (lanes == kBlockLanes) {
        for (; q + kByteLanes <= bytes; q += kByteLanes)
            for (int32_t r = 0; r < kBlockLanes; r += kByteLanes)
                Transpose16(src + size_t(r) * rowBytes + size_t(q), rowBytes,
                            block.data() + size_t(q) * kBlockLanes + size_t(r), kBlockLanes);
    }
    for (; q < bytes; ++q)
        for (int32_t r = 0; r < kBlockLanes; ++r)
            block[size_t(q) * kBlockLanes + size_t(r)] =
                r < lanes ? src[size_t(r) * rowBytes + size_t(q)] : 0;
}

// The row estimates of `channels` channels interleaved along the rows: channel c's sample t of
// row k is first[k * rowBytes + t * channels + c]. After the transposition channel c's samples
// are every `channels`-th block row, starting at row c.
std::vector<std::vector<int32_t>> RowEstimates(const uint8_t* first, size_t rowBytes, int32_t lines,
                                               int32_t channels, int32_t span,
                                               const Windows& windows, int64_t noise) {
    std::vector<std::vector<int32_t>> profiles(static_cast<size_t>(channels),
                                               std::vector<int32_t>(static_cast<size_t>(lines)));
    std::vector<uint8_t> block;
    int32_t result[kBlockLanes];
    for (int32_t k0 = 0; k0 < lines; k0 += kBlockLanes) {
        const int32_t lanes = std::min(kBlockLanes, lines - k0);
        TransposeRows(first + size_t(k0) * rowBytes, rowBytes, lanes, span * channels, block);
        for (int32_t c = 0; c < channels; ++c) {
            EstimateBlock(block.data() + size_t(c) * kBlockLanes, size_t(channels) * kBlockLanes,
                          windows, noise, result);
            std::copy_n(result, lanes, profiles[size_t(c)].begin() + k0);
        }
    }
    return profiles;
}

// 16 passes of a (2R + 1)-entry box mean with a running sum; the entries within R of either end
// take the nearest computed value. Needs N > 2R + 1.
void SmoothProfile(std::vector<int32_t>& profile, int32_t radius) {
    if (radius == 0) return;
    const int32_t n = int32_t(profile.size());
    const int64_t width = 2 * int64_t(radius) + 1;
    std::vector<int32_t> scratch(profile.size());
    for (int32_t pass = 0; pass < kSmoothPasses; ++pass) {
        int64_t box = 0;  // 64-bit: a GradSmooth from a file may make it wide
        for (int32_t k = 0; k < width; ++k) box += profile[size_t(k)];
        scratch[size_t(radius)] = int32_t(box / width);
        for (int32_t k = radius + 1; k < n - radius; ++k) {
            box += profile[size_t(k + radius)] - profile[size_t(k - radius - 1)];
            scratch[size_t(k)] = int32_t(box / width);
        }
        std::copy(scratch.begin() + radius, scratch.begin() + (n - radius),
                  profile.begin() + radius);
        std::fill(profile.begin(), profile.begin() + radius, profile[size_t(radius)]);
        std::fill(profile.end() - radius, profile.end(), profile[size_t(n - radius - 1)]);
    }
}

inline uint8_t Scaled(uint8_t v, int32_t factor) {
    return uint8_t(std::min((v * factor) >> 8, 255));
}

// Scale factors with 8 fractional bits: (mean x 256) / entry, entries of 1 or less taken as 1.
// At most 30 x 255 x 256, so a sample times its factor stays within 32 bits.
std::vector<int32_t> ScaleFactors(std::vector<int32_t>& profile) {
    int64_t total = 0;  // 64-bit: many lines of up to 30 x 255 each
    for (int32_t& e : profile) {
        e = std::max(e, 1);
        total += e;
    }
    const int32_t mean = int32_t(total / int64_t(profile.size()));
    std::vector<int32_t> factors(profile.size());
    for (size_t k = 0; k < profile.size(); ++k) factors[k] = mean * 256 / profile[k];
    return factors;
}

// A factor split so that 16-bit lanes give (v x factor) >> 8 saturated to 255:
// v x high + ((v x low) >> 8), with high <= 256 and low <= 255, never exceeds 65535. A factor of
// 65536 or more sends every non-zero sample to 255, as high = 256 does.
inline uint16_t HighPart(int32_t factor) { return uint16_t(factor >= 65536 ? 256 : factor >> 8); }
inline uint16_t LowPart(int32_t factor) { return uint16_t(factor >= 65536 ? 0 : factor & 255); }

inline U16x8 ScaledWords(U16x8 v, U16x8 high, U16x8 low) {
    const U16x8 r = v * high + ((v * low) >> 8);
    return r < 255 ? r : U16x8{} + 255;
}
// 16 samples at p, sample i by the factor split at high[i], low[i].
inline void Scale16(uint8_t* p, const uint16_t* high, const uint16_t* low) {
    constexpr int32_t kHalf = kByteLanes / 2;
    const U8x16 v = LoadU8x16(p);
    Store(p, NarrowLow(ScaledWords(WidenLow(v), LoadU16x8(high), LoadU16x8(low)),
                       ScaledWords(WidenHigh(v), LoadU16x8(high + kHalf), LoadU16x8(low + kHalf))));
}

// Per-sample factors along a row, split once for all the rows they scale.
struct SplitFactors {
    explicit SplitFactors(const std::vector<int32_t>& factors)
        : whole(factors), high(factors.size()), low(factors.size()) {
        std::transform(factors.begin(), factors.end(), high.begin(), HighPart);
        std::transform(factors.begin(), factors.end(), low.begin(), LowPart);
    }
    const std::vector<int32_t>& whole;
    std::vector<uint16_t> high, low;
};

// Contiguous samples, sample k by factor k.
void ScalePerSample(uint8_t* p, int32_t count, const SplitFactors& f) {
    int32_t k = 0;
    for (; k + kByteLanes <= count; k += kByteLanes)
        Scale16(p + k, &f.high[size_t(k)], &f.low[size_t(k)]);
    for (; k < count; ++k) p[k] = Scaled(p[k], f.whole[size_t(k)]);
}

// Contiguous samples, sample k by factors[k % period], for a period of 1 (a grey row) or 3 (the
// channels of a colour row).
void ScaleRepeating(uint8_t* p, int32_t count, const int32_t* factors, int32_t period) {
    constexpr int32_t kPattern = 3 * kByteLanes;  // a whole number of periods and of vectors
    uint16_t high[kPattern], low[kPattern];
    for (int32_t i = 0, c = 0; i < kPattern; ++i, c = c + 1 == period ? 0 : c + 1) {
        high[i] = HighPart(factors[c]);
        low[i] = LowPart(factors[c]);
    }
    int32_t k = 0;
    for (; k + kPattern <= count; k += kPattern)
        for (int32_t q = 0; q < kPattern; q += kByteLanes) Scale16(p + k + q, high + q, low + q);
    // A whole number of periods is done, so the tail starts at channel 0.
    for (int32_t c = 0; k < count; ++k, c = c + 1 == period ? 0 : c + 1)
        p[k] = Scaled(p[k], factors[c]);
}

// Every sample of one channel, sample k by factors[k]: the channel's bytes only.
void ScaleStrided(uint8_t* p, int32_t count, int32_t step, const int32_t* factors, bool perSample) {
    for (int32_t k = 0; k < count; ++k) {
        uint8_t& v = p[size_t(k) * size_t(step)];
        v = Scaled(v, factors[perSample ? k : 0]);
    }
}

std::vector<int32_t> LineFactors(std::vector<int32_t> profile, int32_t radius) {
    SmoothProfile(profile, radius);
    return ScaleFactors(profile);
}

// The factors of the rows of one channel, or of all the channels of the frame together
// (channels = step), or nothing when the rows stay as they are. A lone channel of a colour frame
// is gathered on its own, so that only its bytes are read.
std::vector<std::vector<int32_t>> RowFactors(const Image& frame, int32_t offset, int32_t step,
                                             int32_t channels, const Params& params) {
    const int32_t lines = frame.height, length = frame.width;
    if (LeftUnchanged(lines, params.smooth)) return {};
    // Only the samples from the first window's start to the last window's end are read.
    const Windows windows = LineWindows(length, params.border);
    const int32_t span = windows.last - windows.first + windows.size;
    const size_t rowBytes = size_t(length) * size_t(step);
    const uint8_t* first =
        frame.pixels.data() + size_t(windows.first) * size_t(step) + size_t(offset);
    std::vector<std::vector<int32_t>> profiles;
    if (channels == step)
        profiles = RowEstimates(first, rowBytes, lines, channels, span, windows, params.noise);
    else
        profiles.push_back(
            Estimate(first, rowBytes, size_t(step), lines, span, windows, params.noise));
    for (std::vector<int32_t>& profile : profiles) profile = LineFactors(profile, params.smooth);
    return profiles;
}

// The factors of the columns of `lanes` side by side within each row of `rowBytes`: one
// channel (offset, step), or every byte of a colour row (offset 0, step 1, lanes = 3 x width),
// each a column of its own channel. Nothing when the columns stay as they are.
std::vector<int32_t> ColumnFactors(const Image& frame, int32_t offset, int32_t step,
                                   size_t rowBytes, int32_t lanes, int32_t channels,
                                   const Params& params) {
    const int32_t length = frame.height;
    if (LeftUnchanged(frame.width, params.smooth)) return {};
    const Windows windows = LineWindows(length, params.border);
    const int32_t span = windows.last - windows.first + windows.size;
    const uint8_t* first = frame.pixels.data() + size_t(windows.first) * rowBytes + size_t(offset);
    const std::vector<int32_t> all =
        Estimate(first, size_t(step), rowBytes, lanes, span, windows, params.noise);
    if (channels == 1) return LineFactors(all, params.smooth);
    // Interleaved channels: each is smoothed and scaled to its own mean.
    std::vector<int32_t> factors(all.size());
    std::vector<int32_t> profile(size_t(frame.width));
    for (int32_t c = 0; c < channels; ++c) {
        for (size_t k = 0; k < profile.size(); ++k)
            profile[k] = all[k * size_t(channels) + size_t(c)];
        const std::vector<int32_t> own = LineFactors(profile, params.smooth);
        for (size_t k = 0; k < own.size(); ++k) factors[k * size_t(channels) + size_t(c)] = own[k];
    }
    return factors;
}

}  // namespace

void FlattenRows(Image& frame, int32_t offset, int32_t step, const Settings& settings) {
    if (!ChannelFits(frame, offset, step)) return;
    const auto factors = RowFactors(frame, offset, step, 1, ReadParams(settings));
    if (factors.empty()) return;
    const size_t rowBytes = size_t(frame.width) * size_t(step);
    for (int32_t k = 0; k < frame.height; ++k) {
        uint8_t* row = frame.pixels.data() + size_t(k) * rowBytes + size_t(offset);
        if (step == 1)
            ScaleRepeating(row, frame.width, &factors[0][size_t(k)], 1);
        else
            ScaleStrided(row, frame.width, step, &factors[0][size_t(k)], false);
    }
}

void FlattenColumns(Image& frame, int32_t offset, int32_t step, const Settings& settings) {
    if (!ChannelFits(frame, offset, step)) return;
    const size_t rowBytes = size_t(frame.width) * size_t(step);
    const std::vector<int32_t> factors =
        ColumnFactors(frame, offset, step, rowBytes, frame.width, 1, ReadParams(settings));
    if (factors.empty()) return;
    const SplitFactors split(factors);
    for (int32_t t = 0; t < frame.height; ++t) {
        uint8_t* row = frame.pixels.data() + size_t(t) * rowBytes + size_t(offset);
        if (step == 1)
            ScalePerSample(row, frame.width, split);
        else
            ScaleStrided(row, frame.width, step, factors.data(), true);
    }
}

// A colour frame gives the same result as FlattenRows channel by channel, since a channel's
// estimate reads only its own bytes; the rows are turned into lanes once for all three
// channels, and the three are scaled together in one pass over each row.
void CorrectVerticalGradient(Image& frame, const Settings& settings) {
    if (!ChannelFits(frame, 0, frame.channels)) return;
    if (frame.channels == 1) return FlattenRows(frame, 0, 1, settings);
    const auto factors = RowFactors(frame, 0, 3, 3, ReadParams(settings));
    if (factors.empty()) return;
    const size_t rowBytes = size_t(frame.width) * 3;
    for (int32_t k = 0; k < frame.height; ++k) {
        const int32_t own[3] = {factors[0][size_t(k)], factors[1][size_t(k)],
                                factors[2][size_t(k)]};
        ScaleRepeating(frame.pixels.data() + size_t(k) * rowBytes, int32_t(rowBytes), own, 3);
    }
}

// A colour frame is handled as one grey frame three times as wide whose columns take turns
// between the channels: the estimates read every row in one sweep, each channel is smoothed
// and scaled to its own mean, and every row is scaled in one pass. The result is the one of
// FlattenColumns channel by channel.
void CorrectHorizontalGradient(Image& frame, const Settings& settings) {
    if (!ChannelFits(frame, 0, frame.channels)) return;
    if (frame.channels == 1) return FlattenColumns(frame, 0, 1, settings);
    const int32_t lanes = frame.width * 3;
    const std::vector<int32_t> factors =
        ColumnFactors(frame, 0, 1, size_t(lanes), lanes, 3, ReadParams(settings));
    if (factors.empty()) return;
    const SplitFactors split(factors);
    for (int32_t t = 0; t < frame.height; ++t)
        ScalePerSample(frame.pixels.data() + size_t(t) * size_t(lanes), lanes, split);
}

}  // namespace kestrel
