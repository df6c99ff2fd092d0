// Samples of 9 to 16 bits, as SER files store them: two bytes each, aligned to the low bit, in
// a byte order that the file's own flag does not reliably tell.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

enum class ByteOrder { Auto, Little, Big };

// The order of the 16-bit samples of one frame, from the data alone. In the right order the
// high byte shows the bits a depth below 16 leaves unused; when both orders show as many, the
// right one gives the smoother picture, since it puts the noisy byte low. `step` is the
// distance, in samples, between neighbours of the same colour (2 in a Bayer mosaic, 3 in
// interleaved RGB). Little when nothing tells the orders apart.
ByteOrder DetectByteOrder(const uint8_t* data, size_t samples, size_t rowSamples, size_t step);

// Brings `samples` 16-bit samples of `depth` bits (9..16) to 8 bits: v >> (depth - 8), values
// past the depth saturated to 255.
void NarrowSamples(const uint8_t* data, size_t samples, ByteOrder order, int depth, uint8_t* out);

}  // namespace kestrel
