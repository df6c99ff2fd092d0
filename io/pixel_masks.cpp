#include "io/pixel_masks.h"

#include <algorithm>
#include <bit>

namespace kestrel {

bool UsableMask(uint32_t mask, uint32_t bits) {
    if (mask == 0 || (bits < 32 && (mask >> bits) != 0)) return false;
    const uint32_t run = mask >> std::countr_zero(mask);
    return (run & (run + 1)) == 0;
}

MaskedChannel MaskedChannel::From(uint32_t mask) {
    MaskedChannel c;
    if (mask == 0) return c;
    c.mask = mask;
    c.shift = uint32_t(std::countr_zero(mask));
    const uint32_t bits = uint32_t(std::popcount(mask));
    c.drop = bits > 8 ? bits - 8 : 0;
    const uint32_t kept = std::min<uint32_t>(bits, 8);
    for (uint32_t v = 0; v < (1u << kept); ++v) {
        uint32_t out = 0, filled = 0;
        while (filled < 8) {
            out = out << kept | v;
            filled += kept;
        }
        c.widen[v] = uint8_t(out >> (filled - 8));
    }
    return c;
}

}  // namespace kestrel
