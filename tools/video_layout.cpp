#include "tools/video_layout.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "io/frame_sink.h"
#include "tools/sky_model.h"

namespace kestrel::synth {
namespace {

uint64_t RowBytes(StoredLayout layout, int32_t width) {
    switch (layout) {
        case StoredLayout::Bgr24: return DibStride(uint64_t(width), 24);
        case StoredLayout::Pal8: return DibStride(uint64_t(width), 8);
        case StoredLayout::Rgb24: return 3 * uint64_t(width);
        default: return uint64_t(width);  // Y800 and the mosaics
    }
}

// The FourCC of strf and strh; 0 (BI_RGB) for the layouts without one.
uint32_t Compression(StoredLayout layout) {
    if (layout == StoredLayout::Y800) return kFccY800;
    return IsBayer(layout) ? BayerFourCC(PatternOf(layout)) : kBiRgb;
}

// The 8-bit samples of a SER frame: one a pixel for mono and the mosaics, three otherwise.
void TopDownSamples(const Image& image, StoredLayout layout, std::vector<uint8_t>& out) {
    if (IsBayer(layout)) return Mosaic(image, layout, out);
    const size_t ch = size_t(image.channels);
    if (layout == StoredLayout::Y800 || layout == StoredLayout::Pal8 ||
        (layout == StoredLayout::Bgr24 && ch == 3)) {
        out.assign(image.pixels.begin(), image.pixels.end());
        return;
    }
    const size_t n = size_t(image.width) * size_t(image.height);
    const bool rgb = layout == StoredLayout::Rgb24;
    const size_t order[3] = {rgb ? 2u : 0u, 1, rgb ? 0u : 2u};
    out.resize(3 * n);
    const uint8_t* p = image.pixels.data();
    for (size_t i = 0; i < n; ++i, p += ch)
        for (size_t k = 0; k < 3; ++k) out[3 * i + k] = p[ch == 3 ? order[k] : 0];
}

// 2024-03-09 21:30 UTC, in 100 ns ticks from the start of year 1 (to 1970, then Unix seconds).
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kStartTicks = 621355968000000000 + int64_t(1710019800) * kTicksPerSecond;

}  // namespace

const char* LayoutName(StoredLayout layout) {
    switch (layout) {
        case StoredLayout::Bgr24: return "bgr24";
        case StoredLayout::Pal8: return "pal8";
        case StoredLayout::Y800: return "y800";
        case StoredLayout::Rgb24: return "rgb";
        case StoredLayout::BayerRggb: return "bayer RGGB";
        case StoredLayout::BayerGrbg: return "bayer GRBG";
        case StoredLayout::BayerGbrg: return "bayer GBRG";
        case StoredLayout::BayerBggr: return "bayer BGGR";
    }
    return "?";
}

Bayer PatternOf(StoredLayout layout) {
    return IsBayer(layout) ? Bayer(int(layout) - int(StoredLayout::BayerRggb) + 1) : Bayer::None;
}

StoredLayout LayoutOf(Bayer pattern) {
    return StoredLayout(int(StoredLayout::BayerRggb) + int(pattern) - 1);
}

bool IsBayer(StoredLayout layout) {
    return layout >= StoredLayout::BayerRggb && layout <= StoredLayout::BayerBggr;
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
    h.biCompression = Compression(layout);
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
    s.fccHandler = Compression(layout);
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
    if (IsBayer(layout)) return Mosaic(image, layout, out);
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

void Mosaic(const Image& image, StoredLayout bayer, std::vector<uint8_t>& out) {
    const char* letters = BayerName(PatternOf(bayer));
    const size_t w = size_t(image.width), h = size_t(image.height), ch = size_t(image.channels);
    out.resize(w * h);
    for (size_t y = 0; y < h; ++y) {
        size_t channel[2];  // of the even and the odd columns, in blue-green-red
        for (size_t i = 0; i < 2; ++i) {
            const char letter = letters[2 * (y % 2) + i];
            channel[i] = ch == 1 || letter == 'B' ? 0 : letter == 'G' ? 1 : 2;
        }
        const uint8_t* src = image.pixels.data() + y * w * ch;
        uint8_t* dst = out.data() + y * w;
        for (size_t x = 0; x < w; ++x) dst[x] = src[x * ch + channel[x % 2]];
    }
}

SerHeader MakeSerHeader(StoredLayout layout, int32_t width, int32_t height, const SerSamples& s) {
    SerHeader h;
    switch (layout) {
        case StoredLayout::Bgr24: h.colorId = kSerBgr; break;
        case StoredLayout::Rgb24: h.colorId = kSerRgb; break;
        case StoredLayout::Y800:
        case StoredLayout::Pal8: h.colorId = kSerMono; break;
        default: h.colorId = SerColourOfBayer(PatternOf(layout));
    }
    h.littleEndian = s.leFlag;
    h.width = width;
    h.height = height;
    h.depth = s.bits;
    auto put = [](char* field, std::string_view text) {
        std::memcpy(field, text.data(), std::min(text.size(), kSerTextSize));
    };
    put(h.observer, "kestrel-synth");
    put(h.instrument, "kestrel-synth sky model");
    put(h.telescope, "kestrel-synth 200/1000 reflector");
    h.dateTime = kStartTicks;  // an observer on UTC
    h.dateTimeUtc = kStartTicks;
    return h;
}

void PackSerFrame(const Image& image, StoredLayout layout, const SerSamples& s, uint64_t ditherKey,
                  std::vector<uint8_t>& out) {
    TopDownSamples(image, layout, out);
    if (s.bits <= 8) return;
    const int shift = s.bits - 8;
    const uint32_t mask = (1u << shift) - 1;
    const size_t n = out.size();
    const size_t low = s.bigEndian ? 1 : 0;
    out.resize(2 * n);
    SplitMix64 rng{ditherKey};
    uint64_t dither = 0;
    // Widened in place from the end: sample i goes to 2i and 2i + 1, past every one still unread.
    for (size_t i = n; i-- > 0; dither >>= 8) {
        if ((n - 1 - i) % 8 == 0) dither = rng.next();
        const uint32_t v = uint32_t(out[i]) << shift | (uint32_t(dither) & mask);
        out[2 * i + low] = uint8_t(v);
        out[2 * i + 1 - low] = uint8_t(v >> 8);
    }
}

std::vector<int64_t> SerTimestamps(uint32_t frames, uint32_t fps) {
    std::vector<int64_t> t(frames);
    for (uint32_t i = 0; i < frames; ++i)
        t[i] = kStartTicks + int64_t(uint64_t(i) * kTicksPerSecond / fps);
    return t;
}

}  // namespace kestrel::synth
