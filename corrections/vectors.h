// The corrections' vectors: the compiler's generic vectors of 16 bytes, which are SSE2 on
// x86-64, NEON on ARM and plain code elsewhere, and the few lane moves they share.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace kestrel {

using U8x16 = uint8_t __attribute__((vector_size(16)));
using I16x8 = int16_t __attribute__((vector_size(16)));
using U16x8 = uint16_t __attribute__((vector_size(16)));
constexpr int32_t kByteLanes = int32_t(sizeof(U8x16));

// Widening pairs each byte with a zero byte above it, which is a 16-bit lane only on a
// little-endian machine.
static_assert(std::endian::native == std::endian::little);

inline U8x16 LoadU8x16(const uint8_t* p) {
    U8x16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline U16x8 LoadU16x8(const uint16_t* p) {
    U16x8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void Store(uint8_t* p, U8x16 v) { std::memcpy(p, &v, sizeof v); }

// The bytes of the low (or high) halves of a and b, taken alternately.
inline U8x16 InterleaveLow(U8x16 a, U8x16 b) {
    return __builtin_shufflevector(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
}
inline U8x16 InterleaveHigh(U8x16 a, U8x16 b) {
    return __builtin_shufflevector(a, b, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15,
                                   31);
}

// The bytes of the low (or high) half of v, each in a 16-bit lane.
inline U16x8 WidenLow(U8x16 v) { return U16x8(InterleaveLow(v, U8x16{})); }
inline U16x8 WidenHigh(U8x16 v) { return U16x8(InterleaveHigh(v, U8x16{})); }

// The low byte of each lane of a, then of b.
inline U8x16 NarrowLow(U16x8 a, U16x8 b) {
    return __builtin_shufflevector(U8x16(a), U8x16(b), 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22,
                                   24, 26, 28, 30);
}

}  // namespace kestrel
