#include "io/frame_source.h"

#include <algorithm>
#include <cstring>

#include "io/avi_reader.h"
#include "io/decode.h"
#include "io/ffmpeg_decode.h"

namespace kestrel {

namespace {

constexpr const char* kCantOpenInput = "Can't open AVI input file";
// AVIPALCHANGE header and 256 entries: all that a palette change can say.
constexpr size_t kMaxPaletteChangeBytes = 4 + 4 * 256;

Image g_image;
AviStreamInfo g_info;
int32_t g_readPosition = -1;
AviReader g_reader;
DibDecoder g_decoder;
// Streams that DibDecoder refuses and FFmpeg decodes: compressed and YUV pictures.
FfmpegDecoder g_ffmpeg;
bool g_useFfmpeg = false;
size_t g_nextChunk = 0;  // the next chunk for g_ffmpeg
size_t g_nextPaletteChange = 0;
std::vector<uint8_t> g_paletteChange;
// Reused from frame to frame, so that a run does not allocate per frame.
std::vector<uint8_t> g_decodedFrame;

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The codec may hold pictures back: chunks go in until the next picture comes out, and after
// the last one the codec gives up the rest. Palette changes do not apply to these streams.
bool DecodeWithFfmpeg() {
    while (!g_ffmpeg.nextPicture()) {
        if (!g_ffmpeg.wantsInput()) return false;
        if (g_nextChunk >= g_reader.frameCount()) {
            g_ffmpeg.finishInput();
            continue;
        }
        const AviChunkRef& ref = g_reader.frame(g_nextChunk++);
        if (ref.size == 0) {
            g_ffmpeg.dropFrame();
            continue;
        }
        uint8_t* to = g_ffmpeg.chunkBuffer(ref.size);
        // A chunk that cannot be read ends the input after the pictures the codec holds.
        if (!to || !g_reader.readChunk(ref, to, ref.size)) {
            g_ffmpeg.finishInput();
            continue;
        }
        g_ffmpeg.sendChunk();
    }
    return true;
}

// Decodes the picture at `position` into the decoder's DIB; false when there is none.
bool DecodePosition(size_t position) {
    if (position >= g_reader.frameCount()) return false;
    if (g_useFfmpeg) return DecodeWithFfmpeg();
    // Palette changes take effect from the picture they precede; positions only ever advance.
    const auto& changes = g_reader.paletteChanges();
    for (; g_nextPaletteChange < changes.size() &&
           changes[g_nextPaletteChange].beforeFrame <= position;
         ++g_nextPaletteChange) {
        const AviChunkRef& ref = changes[g_nextPaletteChange].chunk;
        g_paletteChange.resize(std::min<size_t>(ref.size, kMaxPaletteChangeBytes));
        if (g_reader.readChunk(ref, g_paletteChange.data(), g_paletteChange.size()))
            g_decoder.applyPaletteChange(g_paletteChange.data(), g_paletteChange.size());
    }
    const AviChunkRef& ref = g_reader.frame(position);
    const size_t wanted = g_decoder.prepare(ref.size);
    const bool arrived = wanted == 0 || g_reader.readChunk(ref, g_decoder.target(), wanted);
    return g_decoder.finish(arrived);
}

// A dropped first frame is shown black only when the file holds a picture of that size
// somewhere: zero-length chunks alone must not make pictures of any size out of nothing.
bool HoldsAWholePicture() {
    const PictureFormat& f = g_decoder.format();
    const uint64_t picture = f.tightRow * uint64_t(f.height);
    for (size_t i = 0; i < g_reader.frameCount(); ++i)
        if (g_reader.frame(i).size >= picture) return true;
    return false;
}

}  // namespace

Image& ImageBuffer() { return g_image; }
const AviStreamInfo& InputStreamInfo() { return g_info; }
int32_t ReadPosition() { return g_readPosition; }

bool OpenInputVideo(const Settings& settings, Failure& failure) {
    g_reader.close();
    g_decoder.close();
    g_ffmpeg.close();
    g_useFfmpeg = false;
    g_info = {};
    // A stream that cannot be decoded is told at once, like one that cannot be found.
    PictureFormat format;
    bool ok = g_reader.open(settings.InputFile) == AviReadStatus::Ok;
    if (ok && !DescribePicture(g_reader.format().data(), g_reader.format().size(), format))
        ok = g_useFfmpeg = g_ffmpeg.open(g_reader.format());
    if (!ok) {
        g_reader.close();
        failure.message = kCantOpenInput;
        return false;
    }
    g_info = g_reader.streamInfo();
    return true;
}

void FetchDecodedFrame(const Settings& settings, int32_t& width, int32_t& height,
                       std::vector<uint8_t>& frame, Failure& failure) {
    frame.clear();
    if (g_readPosition < 0) {
        if (!OpenInputVideo(settings, failure)) {
            width = height = 0;
            return;
        }
        if (g_useFfmpeg) {
            g_nextChunk = 0;
        } else {
            if (!g_decoder.open(g_reader.format())) return;
            g_decoder.setBlankAllowed(HoldsAWholePicture());
            g_nextPaletteChange = 0;
        }
    }
    if (g_readPosition == INT32_MAX) return;
    // Advanced before the picture is asked for, also when none comes; the stream's length is
    // not consulted: the input ends at the first position without a picture.
    ++g_readPosition;
    if (!DecodePosition(size_t(g_readPosition))) return;
    const std::vector<uint8_t>& dib = g_useFfmpeg ? g_ffmpeg.dib() : g_decoder.dib();
    int32_t w = 0, h = 0;
    if (!ConvertDibTo24(dib.data(), dib.size(), w, h, frame)) return;
    width = w;
    height = h;
}

int32_t ReadNextFrame(const Settings& settings, Failure& failure) {
    failure.clear();
    int32_t width = g_image.width, height = g_image.height;
    FetchDecodedFrame(settings, width, height, g_decodedFrame, failure);
    g_image.width = width;
    g_image.height = height;
    if (g_decodedFrame.empty()) return 0;

    // Only now is the previous picture given up: a failure never leaves a partial one.
    const size_t w = size_t(width), h = size_t(height);
    const size_t stride = Stride24(uint32_t(width));
    const bool colour = settings.Colour != 0;
    g_image.channels = colour ? 3 : 1;
    if (colour && stride == 3 * w) {
        // Rows without fill bytes are already the buffer's layout: take the block as it is.
        g_image.pixels.swap(g_decodedFrame);
        return 1;
    }
    g_image.pixels.resize(w * h * size_t(g_image.channels));
    const uint8_t* src = g_decodedFrame.data();
    uint8_t* dst = g_image.pixels.data();
    for (size_t i = 0; i < h; ++i, src += stride) {
        if (colour) {
            std::memcpy(dst, src, 3 * w);
            dst += 3 * w;
        } else {
            for (size_t j = 0; j < w; ++j)
                *dst++ = GreyLevel(src[3 * j], src[3 * j + 1], src[3 * j + 2]);
        }
    }
    return 1;
}

void CloseInputVideo() {
    g_readPosition = -1;
    g_reader.close();
    g_decoder.close();
    g_ffmpeg.close();
    g_useFfmpeg = false;
    g_nextChunk = 0;
    g_nextPaletteChange = 0;
}

bool ConvertDibTo24(const uint8_t* dib, size_t size, int32_t& width, int32_t& height,
                    std::vector<uint8_t>& frame) {
    frame.clear();
    // Only width, height, depth and table size are read; the header counts as 40 bytes.
    if (!dib || size < kBitmapInfoHeaderSize) return false;
    const int32_t w = int32_t(Le32(dib + 4));
    const int32_t h = int32_t(Le32(dib + 8));
    const uint16_t bits = uint16_t(dib[14] | dib[15] << 8);
    const uint32_t clrUsed = Le32(dib + 32);
    if (w <= 0 || h == 0 || (bits != 8 && bits != 24)) return false;
    const uint64_t rows = h < 0 ? uint64_t(-int64_t(h)) : uint64_t(h);
    const uint64_t cols = uint64_t(w);
    if (cols * rows * 3 > kMaxPictureBytes) return false;
    const uint64_t entries = clrUsed ? clrUsed : (bits == 8 ? kDibColourTableEntries : 0);
    const uint64_t rowsStart = kBitmapInfoHeaderSize + 4 * entries;
    const uint64_t srcStride = DibStride(cols, bits);
    if (rowsStart > size || srcStride * rows > size - rowsStart) return false;

    // An index past the table, which no conversion may follow, gives black.
    uint8_t lut[kDibColourTableEntries][3] = {};
    if (bits == 8) {
        const size_t n = size_t(std::min<uint64_t>(entries, kDibColourTableEntries));
        for (size_t i = 0; i < n; ++i) std::memcpy(lut[i], dib + kBitmapInfoHeaderSize + 4 * i, 3);
    }
    const size_t outStride = size_t(Stride24(uint32_t(w)));
    const size_t used = 3 * size_t(w);
    frame.resize(outStride * size_t(rows));
    const uint8_t* pixels = dib + rowsStart;
    for (size_t i = 0; i < rows; ++i) {
        // Positive heights store the bottom row first; negative ones the top row.
        const size_t srcRow = h > 0 ? size_t(rows) - 1 - i : i;
        const uint8_t* s = pixels + srcRow * size_t(srcStride);
        uint8_t* d = frame.data() + i * outStride;
        if (bits == 24) {
            std::memcpy(d, s, used);
        } else {
            for (size_t j = 0; j < size_t(w); ++j) std::memcpy(d + 3 * j, lut[s[j]], 3);
        }
        std::memset(d + used, 0, outStride - used);
    }
    width = w;
    height = int32_t(rows);
    return true;
}

}  // namespace kestrel
