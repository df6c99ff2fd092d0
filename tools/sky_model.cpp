#include "tools/sky_model.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace kestrel::synth {
namespace {

// Star colours as blue, green, red gains in 1/256, from blue-white to red.
constexpr int32_t kStarColours[][3] = {
    {256, 236, 205}, {245, 250, 256}, {205, 240, 256}, {160, 215, 256}, {120, 180, 256}};
constexpr double kSpriteSigma[kSpriteClasses] = {0.75, 1.1, 1.6};

// Sky glow in counts: level at the top-left, rise towards the bottom (the horizon), rise
// towards the right. The colour sky has the orange tint of light pollution.
struct Glow {
    int32_t base, rows, columns;
};
constexpr Glow kGreyGlow = {22, 18, 9};
constexpr Glow kColourGlow[3] = {{16, 10, 5}, {20, 14, 7}, {28, 22, 11}};

// Read noise: a binomial of 16 fair bits (standard deviation 2), scaled to about 1.7 counts.
// Integer-only, so that a seed gives the same bytes on every platform.
constexpr int32_t kNoiseScale = 55;  // 1/64 counts

const uint16_t* Sprite(const SkyModel& m, int32_t cls, int32_t phaseY, int32_t phaseX) {
    size_t n = size_t(kSpriteSide) * kSpriteSide;
    size_t at = (size_t(cls) * kSpritePhases + size_t(phaseY)) * kSpritePhases + size_t(phaseX);
    return m.sprites.data() + at * n;
}

void BuildSprites(SkyModel& m) {
    size_t n = size_t(kSpriteSide) * kSpriteSide;
    m.sprites.resize(size_t(kSpriteClasses) * kSpritePhases * kSpritePhases * n);
    uint16_t* w = m.sprites.data();
    for (int32_t cls = 0; cls < kSpriteClasses; ++cls) {
        double k = -1.0 / (2.0 * kSpriteSigma[cls] * kSpriteSigma[cls]);
        for (int32_t py = 0; py < kSpritePhases; ++py) {
            for (int32_t px = 0; px < kSpritePhases; ++px) {
                // Position inside the pixel: the middle of the phase's slice.
                double fy = (py + 0.5) / kSpritePhases;
                double fx = (px + 0.5) / kSpritePhases;
                for (int32_t dy = -kSpriteRadius; dy <= kSpriteRadius; ++dy) {
                    for (int32_t dx = -kSpriteRadius; dx <= kSpriteRadius; ++dx) {
                        double ey = dy + 0.5 - fy;
                        double ex = dx + 0.5 - fx;
                        *w++ = uint16_t(std::lround(65535.0 * std::exp(k * (ex * ex + ey * ey))));
                    }
                }
            }
        }
    }
}

void BuildGlow(SkyModel& m) {
    const int32_t w = m.params.width, h = m.params.height, ch = m.params.channels;
    m.rowGlow.resize(size_t(h) * size_t(ch));
    m.columnGlow.resize(size_t(w) * size_t(ch));
    for (int32_t c = 0; c < ch; ++c) {
        const Glow& g = ch == 3 ? kColourGlow[c] : kGreyGlow;
        for (int32_t y = 0; y < h; ++y)
            m.rowGlow[size_t(y) * ch + c] =
                int16_t(g.base * kGlowUnit + int64_t(g.rows) * kGlowUnit * y / std::max(1, h - 1));
        for (int32_t x = 0; x < w; ++x)
            m.columnGlow[size_t(x) * ch + c] =
                int16_t(int64_t(g.columns) * kGlowUnit * x / std::max(1, w - 1));
    }
    // Rounding to whole counts happens once per sample; fold its half into the rows.
    for (int16_t& v : m.rowGlow) v = int16_t(v + kGlowUnit / 2);
}

void BuildStars(SkyModel& m, SplitMix64& rng) {
    const int64_t w = m.params.width, h = m.params.height;
    int64_t count = std::min<int64_t>(150, 20 + w * h / 8000);
    m.stars.resize(size_t(count));
    for (Star& s : m.stars) {
        s.x = int64_t(rng.below(uint64_t(w + 2 * kSpriteRadius) * 256)) - kSpriteRadius * 256;
        s.y = int64_t(rng.below(uint64_t(h + 2 * kSpriteRadius) * 256)) - kSpriteRadius * 256;
        // Many faint stars, few bright ones.
        uint64_t a = rng.below(1001);
        s.amplitude = 8 + int32_t(a * a * a * 190 / 1000000000ull);
        s.spriteClass = s.amplitude < 30 ? 0 : s.amplitude < 100 ? 1 : 2;
        const int32_t* colour = kStarColours[rng.below(std::size(kStarColours))];
        if (m.params.channels == 3) std::copy(colour, colour + 3, s.gain);
    }
    // Tracking error: the whole field creeps by a fraction of a pixel per frame.
    m.driftX = int32_t(rng.below(61)) - 30;
    m.driftY = int32_t(rng.below(41)) - 20;
    if (std::abs(m.driftX) + std::abs(m.driftY) < 8) m.driftX = 12;
}

// Floyd's sampling: `hotPixels` distinct pixels, without the retries of rejection sampling.
void BuildHotPixels(SkyModel& m, SplitMix64& rng) {
    const uint64_t n = uint64_t(m.params.width) * uint64_t(m.params.height);
    const uint64_t k = uint64_t(std::clamp<int64_t>(m.params.hotPixels, 0, int64_t(n)));
    std::vector<bool> taken(n, false);
    for (uint64_t j = n - k; j < n; ++j) {
        uint64_t t = rng.below(j + 1);
        taken[taken[t] ? j : t] = true;
    }
    m.hotPixels.clear();
    m.hotPixels.reserve(k);
    for (uint64_t i = 0; i < n; ++i)
        if (taken[i]) m.hotPixels.push_back({uint32_t(i), 0});
    for (HotPixel& p : m.hotPixels) p.value = uint8_t(kHotMin + rng.below(256 - kHotMin));
}

void BuildTiles(SkyModel& m, SplitMix64& rng) {
    const size_t len = size_t(m.params.width) * size_t(m.params.channels);
    m.noiseTile.resize(kTileOffsets + len);
    for (int16_t& v : m.noiseTile)
        v = int16_t((std::popcount(uint32_t(rng.next() & 0xFFFF)) - 8) * kNoiseScale);
    m.darkTile.resize(kTileOffsets + len);
    for (uint8_t& v : m.darkTile)
        v = uint8_t(kDarkLevel + std::popcount(uint32_t(rng.next() & 0xF)));
    m.darkOffsets.resize(size_t(m.params.height));
    for (uint32_t& v : m.darkOffsets) v = uint32_t(rng.below(kTileOffsets));
}

void PutHotPixels(const SkyModel& m, Image& out) {
    const size_t ch = size_t(out.channels);
    for (const HotPixel& p : m.hotPixels)
        for (size_t c = 0; c < ch; ++c) out.pixels[p.index * ch + c] = p.value;
}

void Prepare(const SkyModel& m, Image& out) {
    out.width = m.params.width;
    out.height = m.params.height;
    out.channels = m.params.channels;
    out.pixels.resize(size_t(out.width) * size_t(out.height) * size_t(out.channels));
}

void AddStars(const SkyModel& m, uint32_t frame, Image& out) {
    const int32_t w = out.width, h = out.height, ch = out.channels;
    const uint64_t twinkleKey = Mix64(m.params.seed, 0x7A1E);
    for (size_t si = 0; si < m.stars.size(); ++si) {
        const Star& s = m.stars[si];
        const int64_t px = s.x + int64_t(m.driftX) * frame;
        const int64_t py = s.y + int64_t(m.driftY) * frame;
        const int64_t ix = px >> 8, iy = py >> 8;  // floor, also left of the frame
        if (ix + kSpriteRadius < 0 || ix - kSpriteRadius >= w || iy + kSpriteRadius < 0 ||
            iy - kSpriteRadius >= h)
            continue;
        // Seeing makes each star flicker by a few per cent from frame to frame.
        int32_t twinkle = 240 + int32_t(Mix64(twinkleKey ^ si, frame) & 31);
        int32_t amp[3];
        for (int32_t c = 0; c < ch; ++c) amp[c] = s.amplitude * twinkle / 256 * s.gain[c] / 256;
        const uint16_t* sprite =
            Sprite(m, s.spriteClass, int32_t((py & 255) >> 5), int32_t((px & 255) >> 5));
        for (int32_t dy = 0; dy < kSpriteSide; ++dy) {
            int64_t yy = iy - kSpriteRadius + dy;
            if (yy < 0 || yy >= h) continue;
            uint8_t* row = out.pixels.data() + size_t(yy) * size_t(w) * size_t(ch);
            for (int32_t dx = 0; dx < kSpriteSide; ++dx) {
                int64_t xx = ix - kSpriteRadius + dx;
                if (xx < 0 || xx >= w) continue;
                uint32_t weight = sprite[dy * kSpriteSide + dx];
                uint8_t* p = row + size_t(xx) * size_t(ch);
                for (int32_t c = 0; c < ch; ++c) {
                    uint32_t v = p[c] + ((weight * uint32_t(amp[c]) + 32768) >> 16);
                    p[c] = uint8_t(std::min<uint32_t>(v, 255));
                }
            }
        }
    }
}

}  // namespace

SkyModel BuildSkyModel(const SkyParams& params) {
    SkyModel m;
    m.params = params;
    SplitMix64 rng{params.seed};
    BuildSprites(m);
    BuildGlow(m);
    BuildStars(m, rng);
    BuildHotPixels(m, rng);
    BuildTiles(m, rng);
    return m;
}

void RenderDarkFrame(const SkyModel& m, Image& out) {
    Prepare(m, out);
    const size_t len = size_t(out.width) * size_t(out.channels);
    for (int32_t y = 0; y < out.height; ++y)
        std::copy_n(m.darkTile.data() + m.darkOffsets[size_t(y)], len,
                    out.pixels.data() + size_t(y) * len);
    PutHotPixels(m, out);
}

void RenderDarkVideoFrame(const SkyModel& m, uint32_t frame, Image& out) {
    RenderDarkFrame(m, out);
    SplitMix64 rng{Mix64(m.params.seed ^ 0xDA4C, frame)};
    uint64_t bits = 0;
    // Two bits a sample: one adds a count, the other takes one away. Dark levels stay inside a
    // byte; hot pixels might not, and are put back.
    for (size_t i = 0; i < out.pixels.size(); ++i, bits >>= 2) {
        if (i % 32 == 0) bits = rng.next();
        out.pixels[i] = uint8_t(out.pixels[i] + int(bits & 1) - int(bits >> 1 & 1));
    }
    PutHotPixels(m, out);
}

namespace {

// Sky glow and read noise over the dark pattern, the inner loop of the generator. Blocks of
// 48 samples (16 colour or 48 grey pixels) start on a pixel, so their channel pattern is fixed,
// and their constant length lets the compiler vectorise them.
constexpr size_t kBlock = 48;

// Glow and noise stay far below 32768 / kGlowUnit counts, so 16-bit lanes hold every sum.
inline uint8_t SkySample(int16_t glow, int16_t noise, uint8_t dark) {
    int16_t sky = int16_t((glow + noise) >> kGlowShift);
    return uint8_t(std::min(std::max<int16_t>(sky, 0) + dark, 255));
}

void RenderSky(const SkyModel& m, uint32_t frame, Image& out) {
    const size_t ch = size_t(out.channels);
    const size_t len = size_t(out.width) * ch;
    SplitMix64 rng{Mix64(m.params.seed ^ 0x5EED, frame)};
    const int16_t* columnGlow = m.columnGlow.data();
    int16_t rowGlow[kBlock];
    for (int32_t y = 0; y < out.height; ++y) {
        uint8_t* row = out.pixels.data() + size_t(y) * len;
        for (size_t k = 0; k < kBlock; ++k) rowGlow[k] = m.rowGlow[size_t(y) * ch + k % ch];
        const int16_t* noise = m.noiseTile.data() + rng.below(kTileOffsets);
        const uint8_t* dark = m.darkTile.data() + m.darkOffsets[size_t(y)];
        size_t i = 0;
        for (; i + kBlock <= len; i += kBlock) {
            // A local block: stores to it cannot alias the tables, so no run-time checks.
            uint8_t block[kBlock];
            for (size_t k = 0; k < kBlock; ++k)
                block[k] =
                    SkySample(int16_t(rowGlow[k] + columnGlow[i + k]), noise[i + k], dark[i + k]);
            std::memcpy(row + i, block, kBlock);
        }
        for (size_t k = 0; i < len; ++i, ++k)
            row[i] = SkySample(int16_t(rowGlow[k] + columnGlow[i]), noise[i], dark[i]);
    }
}

}  // namespace

void RenderSkyFrame(const SkyModel& m, uint32_t frame, Image& out) {
    Prepare(m, out);
    RenderSky(m, frame, out);
    AddStars(m, frame, out);
    PutHotPixels(m, out);
}

}  // namespace kestrel::synth
