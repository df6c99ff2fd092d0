#include "io/ffmpeg_demosaic.h"

#include <cstring>

extern "C" {
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "base/failure.h"
#include "base/image.h"
#include "io/avi_format.h"

namespace kestrel {

namespace {

// As FFmpeg's own conversions: the mosaic path of libswscale takes no interpolation flags.
constexpr int kSwsFlags = SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT;
constexpr size_t kScratchAlign = 64;

AVPixelFormat PixelFormatOf(Bayer b) {
    switch (b) {
        case Bayer::Rggb: return AV_PIX_FMT_BAYER_RGGB8;
        case Bayer::Grbg: return AV_PIX_FMT_BAYER_GRBG8;
        case Bayer::Gbrg: return AV_PIX_FMT_BAYER_GBRG8;
        case Bayer::Bggr: return AV_PIX_FMT_BAYER_BGGR8;
        case Bayer::None: break;
    }
    return AV_PIX_FMT_NONE;
}

}  // namespace

bool Demosaic::run(Bayer pattern, const uint8_t* src, ptrdiff_t srcStride, int32_t width,
                   int32_t height, uint8_t* out, std::string& reason) {
    if (!sws_ || pattern != pattern_ || width != width_ || height != height_) {
        scratch_.reset();
        sws_.reset(sws_getContext(width, height, PixelFormatOf(pattern), width, height,
                                  AV_PIX_FMT_BGR24, kSwsFlags, nullptr, nullptr, nullptr));
        if (!sws_) return Refuse(reason, "the mosaic cannot be converted");
        scratchStride_ = (3 * size_t(width) + kScratchAlign - 1) / kScratchAlign * kScratchAlign;
        scratch_.reset(
            static_cast<uint8_t*>(av_malloc(scratchStride_ * size_t(height) + kScratchAlign)));
        if (!scratch_) return Refuse(reason, "not enough memory for the picture");
        pattern_ = pattern;
        width_ = width;
        height_ = height;
    }
    const uint8_t* srcPlanes[4] = {src, nullptr, nullptr, nullptr};
    const int srcStrides[4] = {int(srcStride), 0, 0, 0};
    uint8_t* dst[4] = {scratch_.get(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {int(scratchStride_), 0, 0, 0};
    if (sws_scale(sws_.get(), srcPlanes, srcStrides, 0, height, dst, dstStride) != height)
        return Refuse(reason, "the mosaic cannot be converted");
    const size_t stride = Stride24(uint32_t(width));
    const size_t used = 3 * size_t(width);
    for (size_t r = 0; r < size_t(height); ++r) {
        std::memcpy(out + r * stride, scratch_.get() + r * scratchStride_, used);
        std::memset(out + r * stride + used, 0, stride - used);
    }
    return true;
}

}  // namespace kestrel
