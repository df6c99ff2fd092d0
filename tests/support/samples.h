// Small values that many tests build: byte ramps, images, little-endian loads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/image.h"

namespace kestrel::test {

using Bytes = std::vector<uint8_t>;

// n bytes seed, seed + step, seed + 2 step, ... (wrapping): distinct enough that a byte in the
// wrong place shows.
Bytes Ramp(size_t n, uint8_t seed, uint8_t step = 37);

Image Filled(int32_t width, int32_t height, int32_t channels, uint8_t value);

// A little-endian load that gives 0 where the bytes are not all there.
uint32_t Le32(const Bytes& b, size_t at);

}  // namespace kestrel::test
