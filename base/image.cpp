#include "base/image.h"

#include <cstring>

namespace kestrel {

bool Bgr24ToImage(std::vector<uint8_t>& rows, int32_t width, int32_t height, int32_t channels,
                  Image& image) {
    if (width < 0 || height < 0 || (channels != 1 && channels != 3)) return false;
    const size_t w = size_t(width), h = size_t(height), stride = Stride24(uint32_t(width));
    if (rows.size() != stride * h) return false;
    image.width = width;
    image.height = height;
    image.channels = channels;
    if (channels == 3 && stride == 3 * w) {
        image.pixels.swap(rows);
        return true;
    }
    image.pixels.resize(w * h * size_t(channels));
    const uint8_t* src = rows.data();
    uint8_t* dst = image.pixels.data();
    for (size_t i = 0; i < h; ++i, src += stride) {
        if (channels == 3) {
            std::memcpy(dst, src, 3 * w);
            dst += 3 * w;
        } else {
            for (size_t j = 0; j < w; ++j)
                *dst++ = GreyLevel(src[3 * j], src[3 * j + 1], src[3 * j + 2]);
        }
    }
    return true;
}

}  // namespace kestrel
