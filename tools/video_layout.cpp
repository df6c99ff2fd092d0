#include "tools/video_layout.h"

#include <cstring>

#include "io/frame_sink.h"

namespace kestrel::synth {
namespace {

uint64_t RowBytes(StoredLayout layout, int32_t width) {
    switch (layout) {
        case StoredLayout::Bgr24: return DibStride(uint64_t(width), 24);
        case StoredLayout::Pal8: return DibStride(uint64_t(width), 8);
        case StoredLayout::Y800: return uint64_t(width);
    }
    return 0;
}

}  // namespace

const char* LayoutName(StoredLayout layout) {
    switch (layout) {
        case StoredLayout::Bgr24: return "bgr24";
        case StoredLayout::Pal8: return "pal8";
        case StoredLayout::Y800: return "y800";
    }
    return "?";
}

uint64_t FrameBytes(StoredLayout layout, int32_t width, int32_t height) {
    return RowBytes(layout, width) * uint64_t(height);
}

std::vector<uint8_t> StreamFormat(StoredLayout layout, int32_t width, int32_t height) {
    BitmapInfoHeader h;
    h.biWidth = width;
    // Y800 rows are top row first whatever the sign; a positive height is what players expect.
    h.biHeight = height;
    h.biBitCount = layout == StoredLayout::Bgr24 ? 24 : 8;
    h.biCompression = layout == StoredLayout::Y800 ? kFccY800 : kBiRgb;
    h.biSizeImage = uint32_t(FrameBytes(layout, width, height));
    if (layout == StoredLayout::Pal8) h.biClrUsed = kPal8Colours;
    std::vector<uint8_t> out;
    AppendBitmapInfoHeader(out, h);
    if (layout == StoredLayout::Pal8) {
        for (uint32_t i = 0; i < kPal8Colours; ++i) {
            uint8_t v = uint8_t(i);
            const uint8_t quad[4] = {v, v, v, 0};  // RGBQUAD: blue, green, red, reserved
            PutBytes(out, quad, 4);
        }
    }
    return out;
}

AviStreamInfo StreamInfo(StoredLayout layout, int32_t width, int32_t height, uint32_t fps,
                         uint32_t frames) {
    AviStreamInfo s;
    s.fccType = kFccVids;
    s.fccHandler = layout == StoredLayout::Y800 ? kFccY800 : 0;
    s.dwScale = 1;
    s.dwRate = fps;
    s.dwLength = frames;
    s.dwSuggestedBufferSize = uint32_t(FrameBytes(layout, width, height));
    s.dwQuality = 0xFFFFFFFFu;  // the default quality
    s.rcFrameRight = width;
    s.rcFrameBottom = height;
    return s;
}

void PackFrame(const Image& image, StoredLayout layout, std::vector<uint8_t>& out) {
    // Kestrel's own output layout.
    if (layout == StoredLayout::Bgr24) {
        PackFrameData(image, out);
        return;
    }
    const size_t w = size_t(image.width), h = size_t(image.height);
    const size_t stride = size_t(RowBytes(layout, image.width));
    // Padding bytes are never written below, so they stay zero from this resize on.
    out.resize(stride * h);
    const uint8_t* src = image.pixels.data();
    if (layout == StoredLayout::Y800) {
        std::memcpy(out.data(), src, w * h);
        return;
    }
    for (size_t y = 0; y < h; ++y)  // bottom row first
        std::memcpy(out.data() + (h - 1 - y) * stride, src + y * w, w);
}

}  // namespace kestrel::synth
