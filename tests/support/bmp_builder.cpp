#include "support/bmp_builder.h"

#include <algorithm>
#include <cstdlib>

#include "io/bitmap.h"
#include "base/byte_cursor.h"

namespace kestrel::test {

std::vector<uint8_t> BuildBmp(const Bmp& b) {
    std::vector<uint8_t> info;
    PutU32(info, b.infoSize);
    PutI32(info, b.width);
    PutI32(info, b.height);
    PutU16(info, 1);
    PutU16(info, b.bits);
    PutU32(info, b.compression);
    for (int i = 0; i < 3; ++i) PutU32(info, 0);  // biSizeImage, resolutions
    PutU32(info, b.clrUsed);
    PutU32(info, 0);
    for (uint32_t m : b.masks) PutU32(info, m);
    if (b.infoSize > 40) info.resize(std::max<size_t>(info.size(), b.infoSize), 0);
    for (uint32_t c : b.table) PutU32(info, c & 0xFFFFFF);
    info.resize(info.size() + b.gap, 0xEE);

    std::vector<uint8_t> rows;
    const uint32_t w = uint32_t(b.width), h = uint32_t(std::abs(b.height));
    const size_t stride = (size_t(w) * b.bits + 31) / 32 * 4;
    for (uint32_t fr = 0; fr < h; ++fr) {
        const uint32_t r = b.height > 0 ? h - 1 - fr : fr;
        std::vector<uint8_t> row(stride, 0);
        for (uint32_t j = 0; j < w; ++j) {
            const uint64_t v = b.pixels[r * w + j];
            if (b.bits == 0 || (b.bits < 8 && 8 % b.bits != 0)) break;  // depths never read
            if (b.bits < 8) {
                const uint32_t bit = j * b.bits;
                row[bit / 8] |= uint8_t(v << (8 - b.bits - bit % 8));
            } else {
                for (uint32_t k = 0; k < b.bits / 8u; ++k)
                    row[j * b.bits / 8 + k] = uint8_t(v >> 8 * k);
            }
        }
        rows.insert(rows.end(), row.begin(), row.end());
    }
    std::vector<uint8_t> file;
    PutU16(file, kBitmapFileType);
    PutU32(file, uint32_t(14 + info.size() + rows.size()));
    PutU32(file, 0);
    PutU32(file, b.offBits.value_or(uint32_t(14 + info.size())));
    PutBytes(file, info.data(), info.size());
    PutBytes(file, rows.data(), rows.size());
    return file;
}

}  // namespace kestrel::test
