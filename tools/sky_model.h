// The synthetic night sky of kestrel-synth: faint stars drifting across a glowing sky, read
// noise, a dark-current pattern and hot pixels. Every frame and the dark frame are pure
// functions of the model and the frame number, so a seed always gives the same bytes, and a
// frame costs the same whatever its number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/image.h"

namespace kestrel::synth {

// splitmix64: tiny, fast, and good enough to make noise that looks random to the eye.
struct SplitMix64 {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in 0..bound-1 (bound > 0); the slight bias of the modulo does not matter here.
    uint64_t below(uint64_t bound) { return next() % bound; }
};

// One stateless mix, for values that must not depend on the order they are asked for in.
inline uint64_t Mix64(uint64_t a, uint64_t b) {
    SplitMix64 g{a ^ (b * 0xD1B54A32D192ED03ull)};
    return g.next();
}

struct SkyParams {
    int32_t width = 320;
    int32_t height = 240;
    int32_t channels = 1;  // 3 gives coloured stars and a tinted sky
    uint64_t seed = 1;
    int64_t hotPixels = 1;  // at most width x height
};

// Hot pixels are at least this bright in the dark frame and in every video frame.
constexpr uint8_t kHotMin = 220;
// The dark frame's level without hot pixels: kDarkLevel plus up to kDarkSpread.
constexpr int32_t kDarkLevel = 2;
constexpr int32_t kDarkSpread = 4;

// Sprites are sampled on a grid of kSpritePhases positions per pixel in each direction.
constexpr int32_t kSpriteRadius = 5;
constexpr int32_t kSpriteSide = 2 * kSpriteRadius + 1;
constexpr int32_t kSpritePhases = 8;
constexpr int32_t kSpriteClasses = 3;

constexpr uint32_t kTileOffsets = 65536;
constexpr int32_t kGlowShift = 6;
constexpr int32_t kGlowUnit = 1 << kGlowShift;

struct Star {
    int64_t x = 0;  // position at frame 0, in 1/256 pixel
    int64_t y = 0;
    int32_t amplitude = 0;  // peak in counts above the sky
    int32_t spriteClass = 0;
    int32_t gain[3] = {256, 256, 256};  // blue, green, red, in 1/256
};

struct HotPixel {
    uint32_t index;  // pixel index, row-major from the top-left
    uint8_t value;
};

struct SkyModel {
    SkyParams params;
    std::vector<Star> stars;
    int32_t driftX = 0;  // common drift of all stars, 1/256 pixel per frame
    int32_t driftY = 0;
    // Sprite weights, peak 65535: [class][phaseY][phaseX][side x side].
    std::vector<uint16_t> sprites;
    // Sky glow in 1/kGlowUnit counts: rowGlow[y x channels + c] + columnGlow[x x channels + c].
    std::vector<int16_t> rowGlow;
    std::vector<int16_t> columnGlow;
    // Read noise in 1/kGlowUnit counts and the dark pattern in counts, each long enough for a row
    // to start anywhere in its first kTileOffsets entries. Rows take them from an offset of
    // their own: random per frame for the noise, fixed per row for the dark pattern.
    std::vector<int16_t> noiseTile;
    std::vector<uint8_t> darkTile;
    std::vector<uint32_t> darkOffsets;  // per row
    std::vector<HotPixel> hotPixels;  // sorted by index, no index twice
};

SkyModel BuildSkyModel(const SkyParams& params);

// The dark frame: dark level and its fixed pattern, plus the hot pixels. `out` is resized to
// width x height x channels, rows top-down.
void RenderDarkFrame(const SkyModel& model, Image& out);

// Frame `frame` of a dark video: the dark frame with a count of read noise up or down in half
// of the samples (the same for a seed and frame), the hot pixels as they are.
void RenderDarkVideoFrame(const SkyModel& model, uint32_t frame, Image& out);

// Frame `frame` of the video: sky glow and read noise over the same dark pattern, the stars,
// and the hot pixels at their dark-frame values. `out` keeps its storage between calls.
void RenderSkyFrame(const SkyModel& model, uint32_t frame, Image& out);

}  // namespace kestrel::synth
