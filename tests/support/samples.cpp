#include "support/samples.h"

namespace kestrel::test {

Bytes Ramp(size_t n, uint8_t seed, uint8_t step) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + step * i);
    return b;
}

Image Filled(int32_t width, int32_t height, int32_t channels, uint8_t value) {
    return {width, height, channels,
            Bytes(size_t(width) * size_t(height) * size_t(channels), value)};
}

uint32_t Le32(const Bytes& b, size_t at) {
    if (at > b.size() || b.size() - at < 4) return 0;
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

}  // namespace kestrel::test
