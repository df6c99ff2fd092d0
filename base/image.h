// The in-memory picture that the frame source fills, the corrections change and the preview
// and sink read: rows top-down, no padding, one grey byte or blue-green-red per pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrel {

struct Image {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 1;  // 1 grey, 3 blue-green-red
    std::vector<uint8_t> pixels;

    // True when `pixels` holds exactly width x height x channels bytes: the only layout any
    // reader of an Image may assume.
    bool consistent() const {
        return width >= 0 && height >= 0 && (channels == 1 || channels == 3) &&
               pixels.size() == size_t(width) * size_t(height) * size_t(channels);
    }
};

// Weights sum to 256, so white stays 255 and the result always fits a byte.
inline uint8_t GreyLevel(uint8_t blue, uint8_t green, uint8_t red) {
    return uint8_t((76 * red + 154 * green + 26 * blue) >> 8);
}

// Bytes per row of a 24-bit DIB: 3 x width raised to a multiple of 4.
inline uint32_t Stride24(uint32_t width) { return (3 * width + 3) & ~3u; }

// Bytes per row of a DIB of any depth, rows padded to 32 bits; 64-bit so that no header value
// can overflow it.
inline uint64_t DibStride(uint64_t width, uint64_t bitsPerPixel) {
    return (width * bitsPerPixel + 31) / 32 * 4;
}

}  // namespace kestrel
