#include "io/frame_source.h"

#include <algorithm>

#include "base/byte_cursor.h"
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
// Streams that DibDecoder does not read and FFmpeg decodes: compressed and YUV pictures.
FfmpegDecoder g_ffmpeg;
bool g_useFfmpeg = false;
size_t g_nextChunk = 0;  // the next chunk for g_ffmpeg
size_t g_nextPaletteChange = 0;
std::vector<uint8_t> g_paletteChange;
// Reused from frame to frame, so that a run does not allocate per frame.
std::vector<uint8_t> g_decodedFrame;

const char* ReadReason(AviReadStatus status) {
    switch (status) {
        case AviReadStatus::Ok: break;
        case AviReadStatus::CannotOpen: break;  // the system's reason
        case AviReadStatus::NotAvi: return "not an AVI file";
        case AviReadStatus::NoVideoStream: return "no video stream";
        case AviReadStatus::BadFormat: return "the video stream's header or format is missing";
    }
    return "";
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
        // A damaged chunk counts as a dropped frame, so the frames after it are still read.
        if (ref.size == 0 || g_reader.chunkDamaged(ref)) {
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
    // A damaged chunk (its header no longer what the index says) repeats the previous picture,
    // as a dropped frame does, and the input goes on at the next one.
    const size_t wanted = g_decoder.prepare(g_reader.chunkDamaged(ref) ? 0 : ref.size);
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
    CloseInputVideo();
    g_info = {};
    // A stream that cannot be decoded is told at once, like one that cannot be found.
    const AviReadStatus status = g_reader.open(settings.InputFile);
    bool ok = status == AviReadStatus::Ok;
    if (ok) {
        const std::vector<uint8_t>& strf = g_reader.format();
        ByteCursor in(strf.data(), strf.size());
        const uint32_t compression = ReadBitmapInfoHeader(in).biCompression;
        PictureFormat format;
        if (DescribePicture(strf.data(), strf.size(), format, failure.reason)) {
            g_decoder.open(std::move(format));
            g_decoder.setBlankAllowed(HoldsAWholePicture());
        } else if (IsRgbCompression(compression)) {
            ok = false;
        } else {
            // Compressed and YUV pictures, and grey ones of depths DibDecoder does not read:
            // the reason is then FFmpeg's.
            ok = g_useFfmpeg = g_ffmpeg.open(strf, failure.reason);
        }
    } else {
        failure.reason =
            status == AviReadStatus::CannotOpen ? g_reader.openReason() : ReadReason(status);
    }
    if (!ok) {
        CloseInputVideo();
        failure.message = kCantOpenInput;
        failure.file = settings.InputFile;
        return false;
    }
    failure.reason.clear();
    g_info = g_reader.streamInfo();
    return true;
}

int32_t ReadNextFrame(const Settings& settings, Failure& failure) {
    failure.clear();
    if (g_readPosition < 0 && !OpenInputVideo(settings, failure)) {
        g_image.width = g_image.height = 0;
        return 0;
    }
    if (g_readPosition == INT32_MAX) return 0;
    // Advanced before the picture is asked for, also when none comes; the stream's length is
    // not consulted: the input ends at the first position without a picture.
    ++g_readPosition;
    if (!DecodePosition(size_t(g_readPosition))) return 0;
    const std::vector<uint8_t>& dib = g_useFfmpeg ? g_ffmpeg.dib() : g_decoder.dib();
    int32_t width = 0, height = 0;
    // The previous picture is given up only with a whole new one: a failure never leaves a
    // partial one.
    const int channels = settings.Colour ? 3 : 1;
    if (!ConvertDibTo24(dib.data(), dib.size(), width, height, g_decodedFrame) ||
        !Bgr24ToImage(g_decodedFrame, width, height, channels, g_image))
        return 0;
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

}  // namespace kestrel
