// Channel masks of the 16- and 32-bit pictures of DIB decoding.
#pragma once

#include <cstdint>

namespace kestrel {

// Red, green, blue masks of the BI_RGB layouts.
constexpr uint32_t kMask555[3] = {0x7C00, 0x03E0, 0x001F};
constexpr uint32_t kMask888[3] = {0xFF0000, 0x00FF00, 0x0000FF};

// A mask must be one run of set bits inside the pixel.
bool UsableMask(uint32_t mask, uint32_t bitsPerPixel);

// One channel of a masked pixel, widened or narrowed to 8 bits. Narrower channels repeat their
// bits, so that the top value becomes 255 (5 bits v give v << 3 | v >> 2), as decoders of 5-5-5
// pictures do; wider ones keep their top 8 bits.
struct MaskedChannel {
    uint32_t mask = 0;
    uint32_t shift = 0;
    uint32_t drop = 0;
    uint8_t widen[256] = {};

    static MaskedChannel From(uint32_t mask);
    uint8_t operator()(uint32_t pixel) const { return widen[((pixel & mask) >> shift) >> drop]; }
};

}  // namespace kestrel
