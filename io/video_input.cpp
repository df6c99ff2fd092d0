#include "io/video_input.h"

#include <algorithm>
#include <cstring>

#include "base/byte_cursor.h"
#include "base/failure.h"
#include "base/file.h"
#include "base/image.h"

namespace kestrel {

namespace {

// AVIPALCHANGE header and 256 entries: all that a palette change can say.
constexpr size_t kMaxPaletteChangeBytes = 4 + 4 * 256;
constexpr uint32_t kDefaultRate = 25;  // frames per second when a SER file does not tell
// Colours are interpolated from the row above or below; libswscale refuses a single row.
constexpr const char* kOneRowMosaic = "a Bayer mosaic of one row cannot be demosaiced";
constexpr const char* kNotAMosaic =
    "a Bayer pattern applies only to grey 8-bit pictures and mono SER files";

// The user named a pattern: the picture must be one that can be a mosaic.
bool PatternGiven(const InputOptions& options) {
    return options.bayer.value_or(Bayer::None) != Bayer::None;
}

const char* ReadReason(AviReadStatus status) {
    switch (status) {
        case AviReadStatus::Ok: break;
        case AviReadStatus::CannotOpen: break;  // the system's reason
        case AviReadStatus::NotAvi: return "neither an AVI nor a SER file";
        case AviReadStatus::NoVideoStream: return "no video stream";
        case AviReadStatus::BadFormat: return "the video stream's header or format is missing";
    }
    return "";
}

// Grey samples as 24-bit rows, or blue, green and red from three interleaved planes.
void SamplesToRows(const uint8_t* s, int planes, bool rgb, int32_t width, int32_t height,
                   uint8_t* out) {
    const size_t stride = Stride24(uint32_t(width));
    for (size_t r = 0; r < size_t(height); ++r) {
        uint8_t* row = out + r * stride;
        for (size_t x = 0; x < size_t(width); ++x, s += planes) {
            if (planes == 1) {
                row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = s[0];
            } else {
                row[3 * x] = s[rgb ? 2 : 0];
                row[3 * x + 1] = s[1];
                row[3 * x + 2] = s[rgb ? 0 : 2];
            }
        }
        std::memset(row + 3 * size_t(width), 0, stride - 3 * size_t(width));
    }
}

}  // namespace

Container ContainerOf(const std::string& path) {
    File f;
    char head[kSerFileId.size()] = {};
    const size_t got = f.open(path, File::Mode::Read) ? f.read(head, sizeof head) : 0;
    if (got == sizeof head && std::string_view(head, got) == kSerFileId) return Container::Ser;
    return got >= 4 && std::memcmp(head, "RIFF", 4) == 0 ? Container::Avi : Container::Other;
}

bool VideoInput::open(const std::string& path, const InputOptions& options, std::string& reason) {
    close();
    // Anything but a SER file is tried as AVI, whose reader says what else it may be.
    const bool ok = ContainerOf(path) == Container::Ser ? openSer(path, options, reason)
                                                        : openAvi(path, options, reason);
    if (!ok) {
        close();
        return false;
    }
    if (options.fpsRate && options.fpsScale) {
        info_.dwRate = options.fpsRate;
        info_.dwScale = options.fpsScale;
    }
    return true;
}

bool VideoInput::openAvi(const std::string& path, const InputOptions& options,
                         std::string& reason) {
    // A stream that cannot be decoded is told at once, like one that cannot be found.
    const AviReadStatus status = reader_.open(path);
    if (status != AviReadStatus::Ok)
        return Refuse(reason, status == AviReadStatus::CannotOpen ? reader_.openReason()
                                                                  : ReadReason(status));
    const std::vector<uint8_t>& strf = reader_.format();
    ByteCursor in(strf.data(), strf.size());
    const uint32_t compression = ReadBitmapInfoHeader(in).biCompression;
    PictureFormat format;
    if (DescribePicture(strf.data(), strf.size(), format, reason)) {
        // Only grey 8-bit pictures can be mosaics.
        if (format.layout == PixelLayout::Grey8)
            bayer_ = options.bayer.value_or(BayerOfFourCC(compression));
        else if (PatternGiven(options))
            return Refuse(reason, kNotAMosaic);
        if (bayer_ != Bayer::None && format.height < 2) return Refuse(reason, kOneRowMosaic);
        decoder_.open(std::move(format));
        decoder_.setBlankAllowed(holdsAWholePicture());
    } else if (IsRgbCompression(compression)) {
        return false;
    } else if (PatternGiven(options)) {
        return Refuse(reason, kNotAMosaic);
    } else {
        // Compressed and YUV pictures, and grey ones of depths DibDecoder does not read: the
        // reason is then FFmpeg's.
        if (!ffmpeg_.open(strf, reason)) return false;
        useFfmpeg_ = true;
    }
    info_ = reader_.streamInfo();
    return true;
}

bool VideoInput::openSer(const std::string& path, const InputOptions& options,
                         std::string& reason) {
    if (!serReader_.open(path, options.bitDepth, reason)) return false;
    const SerHeader& h = serReader_.header();
    ser_ = true;
    if (h.colorId == kSerMono || BayerOfSerColour(h.colorId) != Bayer::None)
        bayer_ = options.bayer.value_or(BayerOfSerColour(h.colorId));
    else if (PatternGiven(options))
        return Refuse(reason, kNotAMosaic);
    if (bayer_ != Bayer::None && h.height < 2) return Refuse(reason, kOneRowMosaic);
    byteOrder_ = options.byteOrder;
    info_.fccType = kFccVids;
    info_.dwRate = kDefaultRate;
    info_.dwScale = 1;
    FrameRateOfTimestamps(serReader_.timestamps(), info_.dwRate, info_.dwScale);
    info_.dwLength = uint32_t(std::min<size_t>(serReader_.frameCount(), UINT32_MAX));
    info_.rcFrameRight = h.width;
    info_.rcFrameBottom = h.height;
    return true;
}

void VideoInput::close() {
    info_ = {};
    ser_ = false;
    bayer_ = Bayer::None;
    reader_.close();
    decoder_.close();
    ffmpeg_.close();
    useFfmpeg_ = false;
    nextChunk_ = 0;
    nextPaletteChange_ = 0;
    serReader_.close();
    byteOrder_ = ByteOrder::Auto;
}

// The codec may hold pictures back: chunks go in until the next picture comes out, and after
// the last one the codec gives up the rest. Palette changes do not apply to these streams.
bool VideoInput::decodeWithFfmpeg() {
    while (!ffmpeg_.nextPicture()) {
        if (!ffmpeg_.wantsInput()) return false;
        if (nextChunk_ >= reader_.frameCount()) {
            ffmpeg_.finishInput();
            continue;
        }
        const AviChunkRef& ref = reader_.frame(nextChunk_++);
        // A damaged chunk counts as a dropped frame, so the frames after it are still read.
        if (ref.size == 0 || reader_.chunkDamaged(ref)) {
            ffmpeg_.dropFrame();
            continue;
        }
        uint8_t* to = ffmpeg_.chunkBuffer(ref.size);
        // A chunk that cannot be read ends the input after the pictures the codec holds.
        if (!to || !reader_.readChunk(ref, to, ref.size)) {
            ffmpeg_.finishInput();
            continue;
        }
        ffmpeg_.sendChunk();
    }
    return true;
}

// Decodes the picture at `position` into the decoder's DIB; false when there is none.
bool VideoInput::decodeAvi(size_t position) {
    if (position >= reader_.frameCount()) return false;
    if (useFfmpeg_) return decodeWithFfmpeg();
    // Palette changes take effect from the picture they precede; positions only ever advance.
    const auto& changes = reader_.paletteChanges();
    for (;
         nextPaletteChange_ < changes.size() && changes[nextPaletteChange_].beforeFrame <= position;
         ++nextPaletteChange_) {
        const AviChunkRef& ref = changes[nextPaletteChange_].chunk;
        paletteChange_.resize(std::min<size_t>(ref.size, kMaxPaletteChangeBytes));
        if (reader_.readChunk(ref, paletteChange_.data(), paletteChange_.size()))
            decoder_.applyPaletteChange(paletteChange_.data(), paletteChange_.size());
    }
    const AviChunkRef& ref = reader_.frame(position);
    // A damaged chunk (its header no longer what the index says) repeats the previous picture,
    // as a dropped frame does, and the input goes on at the next one.
    const size_t wanted = decoder_.prepare(reader_.chunkDamaged(ref) ? 0 : ref.size);
    const bool arrived = wanted == 0 || reader_.readChunk(ref, decoder_.target(), wanted);
    return decoder_.finish(arrived);
}

// A dropped first frame is shown black only when the file holds a picture of that size
// somewhere: zero-length chunks alone must not make pictures of any size out of nothing.
bool VideoInput::holdsAWholePicture() const {
    const PictureFormat& f = decoder_.format();
    const uint64_t picture = f.tightRow * uint64_t(f.height);
    for (size_t i = 0; i < reader_.frameCount(); ++i)
        if (reader_.frame(i).size >= picture) return true;
    return false;
}

bool VideoInput::decodeSer(size_t position, std::vector<uint8_t>& rows) {
    const SerHeader& h = serReader_.header();
    // Nothing is allocated for a frame the file does not hold: the header's size is a claim.
    if (position >= serReader_.frameCount()) return false;
    raw_.resize(size_t(serReader_.frameBytes()));
    if (!serReader_.readFrame(position, raw_.data())) return false;
    const int planes = SerPlanes(h.colorId);
    const size_t samples = size_t(h.width) * size_t(h.height) * size_t(planes);
    const uint8_t* s = raw_.data();
    if (SerSampleBytes(h.depth) == 2) {
        // Decided once, from the first frame, so that a darker picture later cannot flip it.
        if (byteOrder_ == ByteOrder::Auto)
            byteOrder_ = DetectByteOrder(s, samples, size_t(h.width) * size_t(planes),
                                         bayer_ != Bayer::None ? 2 : size_t(planes));
        samples_.resize(samples);
        NarrowSamples(s, samples, byteOrder_, h.depth, samples_.data());
        s = samples_.data();
    }
    rows.resize(size_t(Stride24(uint32_t(h.width))) * size_t(h.height));
    if (bayer_ != Bayer::None)
        return demosaic_.run(bayer_, s, h.width, h.width, h.height, rows.data());
    SamplesToRows(s, planes, h.colorId == kSerRgb, h.width, h.height, rows.data());
    return true;
}

bool VideoInput::decode(size_t position, std::vector<uint8_t>& rows, int32_t& width,
                        int32_t& height) {
    if (ser_) {
        if (!decodeSer(position, rows)) return false;
        width = serReader_.header().width;
        height = serReader_.header().height;
        return true;
    }
    if (!decodeAvi(position)) return false;
    const std::vector<uint8_t>& dib = useFfmpeg_ ? ffmpeg_.dib() : decoder_.dib();
    // The black picture of a dropped first frame is already 24-bit.
    ByteCursor in(dib.data(), dib.size());
    if (bayer_ == Bayer::None || ReadBitmapInfoHeader(in).biBitCount != 8)
        return ConvertDibTo24(dib.data(), dib.size(), width, height, rows);
    // The grey DIB's rows are bottom row first: the mosaic is read upwards from its last row.
    const PictureFormat& f = decoder_.format();
    const size_t stride = size_t(DibStride(uint64_t(f.width), 8));
    const size_t start = kBitmapInfoHeaderSize + 4 * kDibColourTableEntries;
    if (dib.size() < start + stride * size_t(f.height)) return false;
    rows.resize(size_t(Stride24(uint32_t(f.width))) * size_t(f.height));
    if (!demosaic_.run(bayer_, dib.data() + start + stride * size_t(f.height - 1),
                       -ptrdiff_t(stride), f.width, f.height, rows.data()))
        return false;
    width = f.width;
    height = f.height;
    return true;
}

}  // namespace kestrel
