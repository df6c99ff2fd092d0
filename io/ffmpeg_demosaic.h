// Raw Bayer mosaics into blue, green and red, by FFmpeg's libswscale: the same pixels as
// `ffmpeg -pix_fmt bayer_xxxx8 ... -pix_fmt bgr24`. FFmpeg's headers stay in the .cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "io/bayer.h"
#include "io/ffmpeg_decode.h"

namespace kestrel {

class Demosaic {
public:
    // Turns `height` rows of `width` 8-bit mosaic samples, `srcStride` bytes apart (negative
    // for rows stored bottom row first), into 24-bit rows, top row first, Stride24(width)
    // bytes each, at `out`. False, with `reason`, when libswscale refuses the picture.
    bool run(Bayer pattern, const uint8_t* src, ptrdiff_t srcStride, int32_t width, int32_t height,
             uint8_t* out, std::string& reason);

private:
    FfmpegPtr<SwsContext> sws_;
    Bayer pattern_ = Bayer::None;
    int32_t width_ = 0;
    int32_t height_ = 0;
    FfmpegPtr<uint8_t> scratch_;  // libswscale's vector code may write past a row's width
    size_t scratchStride_ = 0;
};

}  // namespace kestrel
