// The in-memory picture that the frame source fills, the corrections change and the preview
// and sink read: rows top-down, no padding, one grey byte or blue-green-red per pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrel {

struct Image {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 1;  // 1 grey, 3 blue-green-red
    std::vector<uint8_t> pixels;

    // True when `pixels` holds exactly width x height x channels bytes: the only layout any
    // reader of an Image may assume.
    bool consistent() const {
        return width >= 0 && height >= 0 && (channels == 1 || channels == 3) &&
               pixels.size() == size_t(width) * size_t(height) * size_t(channels);
    }
};

// Weights sum to 256, so white stays 255 and the result always fits a byte.
inline uint8_t GreyLevel(uint8_t blue, uint8_t green, uint8_t red) {
    return uint8_t((76 * red + 154 * green + 26 * blue) >> 8);
}

// The largest pictures read, as 24-bit pixels. A stored picture must have every byte in the file,
// so the file's size bounds it as well; a decoded one can come out of a chunk of a few bytes and
// is held four times over (codec, scaler, DIB, frame buffer), so its limit is lower: some 89
// million pixels, past any camera's.
constexpr uint64_t kMaxPictureBytes = uint64_t(1) << 30;
constexpr uint64_t kMaxCodedPictureBytes = uint64_t(1) << 28;

struct PictureLimit {
    uint64_t bytes;
    const char* tooLarge;  // the reason given for a picture past it
};
constexpr PictureLimit kStoredPictures{kMaxPictureBytes, "the picture is larger than 1 GiB"};
constexpr PictureLimit kCodedPictures{kMaxCodedPictureBytes, "the picture is larger than 256 MiB"};

// Rows of a header's signed height (negative: stored top row first); 2^31 for INT32_MIN.
inline uint32_t PictureRows(int32_t height) {
    return height < 0 ? uint32_t(-int64_t(height)) : uint32_t(height);
}

// The one check of a picture's size, asked by every reader before it allocates: null when a
// picture of the header's width and signed height can be held within `limit`, else why not.
// 64-bit, so that no header value can overflow the product.
inline const char* PictureSizeRefusal(int32_t width, int32_t height, const PictureLimit& limit) {
    if (width <= 0 || height == 0) return "the picture has no width or height";
    return uint64_t(width) * PictureRows(height) * 3 > limit.bytes ? limit.tooLarge : nullptr;
}

// Makes `image` of 24-bit rows (blue, green, red, top row first, Stride24(width) bytes each): grey
// by GreyLevel when `channels` is 1, else the colours as they are. Rows already in the image's
// layout are swapped in; `rows` then holds the image's old pixels, so that a caller reusing it
// frame after frame allocates nothing. False, with the image untouched, when `rows` does not hold
// exactly `height` such rows.
bool Bgr24ToImage(std::vector<uint8_t>& rows, int32_t width, int32_t height, int32_t channels,
                  Image& image);

// Bytes per row of a DIB of any depth, rows padded to 32 bits; 64-bit so that no header value
// can overflow it.
inline uint64_t DibStride(uint64_t width, uint64_t bitsPerPixel) {
    return (width * bitsPerPixel + 31) / 32 * 4;
}

// Bytes per row of a 24-bit DIB: 3 x width raised to a multiple of 4.
inline uint32_t Stride24(uint32_t width) { return uint32_t(DibStride(width, 24)); }

}  // namespace kestrel
