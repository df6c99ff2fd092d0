// Composes bitmap files as their writers lay them out, so that tests can make valid, odd and
// broken dark frames.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "io/avi_format.h"

namespace kestrel::test {

// Pixel values are raw: colour-table indices, packed 16- or 32-bit values, or 0xRRGGBB for
// 24 bits, top row first.
struct Bmp {
    int32_t width = 0;
    int32_t height = 0;  // negative: stored top row first
    uint16_t bits = 24;
    uint32_t compression = kBiRgb;
    uint32_t infoSize = 40;
    uint32_t clrUsed = 0;
    std::vector<uint32_t> table;  // 0xRRGGBB entries, written after the header (and masks)
    std::vector<uint32_t> masks;  // red, green, blue: after a 40-byte header, else inside it
    uint32_t offBits = 0;         // 0: where the rows are
    std::vector<uint32_t> pixels;

    Bmp(int32_t w, int32_t h, uint16_t depth = 24) : width(w), height(h), bits(depth) {}
    Bmp& Compress(uint32_t c) { return compression = c, *this; }
    Bmp& Info(uint32_t size) { return infoSize = size, *this; }
    Bmp& Used(uint32_t n) { return clrUsed = n, *this; }
    Bmp& Table(std::vector<uint32_t> t) { return table = std::move(t), *this; }
    Bmp& Masks(std::vector<uint32_t> m) { return masks = std::move(m), *this; }
    Bmp& Off(uint32_t at) { return offBits = at, *this; }
    Bmp& Pixels(std::vector<uint32_t> p) { return pixels = std::move(p), *this; }
    Bmp& Fill(uint32_t v) {
        return pixels.assign(size_t(width) * size_t(std::abs(height)), v), *this;
    }
};

std::vector<uint8_t> BuildBmp(const Bmp& b);

}  // namespace kestrel::test
