#include "io/raw_samples.h"

#include <algorithm>
#include <bit>

namespace kestrel {

namespace {

inline uint32_t Sample(const uint8_t* p, bool little) {
    return little ? uint32_t(p[0] | p[1] << 8) : uint32_t(p[0] << 8 | p[1]);
}

// Sum of the differences between neighbours of the same colour along each row.
uint64_t Roughness(const uint8_t* data, size_t samples, size_t rowSamples, size_t step,
                   bool little) {
    uint64_t sum = 0;
    for (size_t row = 0; row + rowSamples <= samples; row += rowSamples) {
        const uint8_t* r = data + 2 * row;
        for (size_t i = step; i < rowSamples; ++i) {
            const int32_t d =
                int32_t(Sample(r + 2 * i, little)) - int32_t(Sample(r + 2 * (i - step), little));
            sum += uint32_t(d < 0 ? -d : d);
        }
    }
    return sum;
}

}  // namespace

ByteOrder DetectByteOrder(const uint8_t* data, size_t samples, size_t rowSamples, size_t step) {
    uint8_t first = 0, second = 0;  // every bit set in the first and second byte of a sample
    for (size_t i = 0; i < samples; ++i) {
        first |= data[2 * i];
        second |= data[2 * i + 1];
    }
    // Unused high bits: the byte that never uses them is the high one.
    const int freeIfLittle = std::countl_zero(second);
    const int freeIfBig = std::countl_zero(first);
    if (freeIfLittle != freeIfBig)
        return freeIfLittle > freeIfBig ? ByteOrder::Little : ByteOrder::Big;
    if (rowSamples == 0 || step >= rowSamples) return ByteOrder::Little;
    const uint64_t little = Roughness(data, samples, rowSamples, step, true);
    const uint64_t big = Roughness(data, samples, rowSamples, step, false);
    return big < little ? ByteOrder::Big : ByteOrder::Little;
}

void NarrowSamples(const uint8_t* data, size_t samples, ByteOrder order, int depth, uint8_t* out) {
    const int shift = std::clamp(depth, 8, 16) - 8;
    // One loop per order, so that each becomes vector code.
    if (order == ByteOrder::Big) {
        for (size_t i = 0; i < samples; ++i)
            out[i] = uint8_t(std::min<uint32_t>(Sample(data + 2 * i, false) >> shift, 255));
    } else {
        for (size_t i = 0; i < samples; ++i)
            out[i] = uint8_t(std::min<uint32_t>(Sample(data + 2 * i, true) >> shift, 255));
    }
}

}  // namespace kestrel
