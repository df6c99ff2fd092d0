#include "support/bmp_builder.h"

#include <algorithm>
#include <cstdlib>

#include "base/byte_cursor.h"
#include "io/bitmap.h"
#include "support/riff_builder.h"

namespace kestrel::test {

std::vector<uint8_t> BuildBmp(const Bmp& b) {
    std::vector<uint8_t> info = VideoFormat(b.width, b.height, b.bits, b.compression, b.clrUsed);
    PatchU32(info, 0, b.infoSize);
    for (uint32_t m : b.masks) PutU32(info, m);
    info.resize(std::max<size_t>(info.size(), b.infoSize), 0);
    for (uint32_t c : b.table) PutU32(info, c);

    const uint32_t w = uint32_t(b.width), h = uint32_t(std::abs(b.height));
    const size_t stride = (size_t(w) * b.bits + 31) / 32 * 4;
    std::vector<uint8_t> rows(stride * h, 0);
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* row = rows.data() + stride * (b.height > 0 ? h - 1 - y : y);
        for (uint32_t x = 0; x < w; ++x) {
            const uint64_t v = b.pixels[y * w + x];
            const uint32_t bit = x * b.bits;
            if (b.bits < 8)
                row[bit / 8] |= uint8_t(v << (8 - b.bits - bit % 8));
            else
                for (uint32_t k = 0; k < b.bits / 8u; ++k) row[bit / 8 + k] = uint8_t(v >> 8 * k);
        }
    }
    std::vector<uint8_t> file;
    PutU16(file, kBitmapFileType);
    PutU32(file, uint32_t(14 + info.size() + rows.size()));
    PutU32(file, 0);
    PutU32(file, b.offBits ? b.offBits : uint32_t(14 + info.size()));
    PutBytes(file, info.data(), info.size());
    PutBytes(file, rows.data(), rows.size());
    return file;
}

}  // namespace kestrel::test
