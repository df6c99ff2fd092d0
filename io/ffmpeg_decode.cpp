#include "io/ffmpeg_decode.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "base/byte_cursor.h"
#include "base/failure.h"
#include "base/image.h"
#include "io/avi_format.h"
#include "io/decode.h"

namespace kestrel {

namespace {

// Exact for the lossless codecs' RGB pictures; nearest-neighbour chroma, as FFmpeg's own fast
// YUV path, but with proper rounding.
constexpr int kSwsFlags = SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT;
// Scratch rows start on this boundary, so that the scaler's vector code may run.
constexpr size_t kScratchAlign = 64;
// libswscale reads a sample past the last row of a mosaic of odd width and height; FFmpeg's
// packets end in this many zero bytes, so ours do too, and the edge comes out as FFmpeg's.
constexpr size_t kMosaicPadding = 64;

// The core never prints: FFmpeg's messages go nowhere.
void DropMessage(void*, int, const char*, va_list) {}

void SilenceFfmpeg() {
    static const bool installed = (av_log_set_callback(DropMessage), true);
    (void)installed;
}

// A FourCC as the file spells it, between quotes; bytes that are not printable as '?'.
std::string FourCCText(uint32_t fcc) {
    std::string s = "'";
    for (int i = 0; i < 4; ++i) {
        const char c = char(fcc >> (8 * i));
        s += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return s + "'";
}

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

void FfmpegFree::operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
void FfmpegFree::operator()(AVFrame* p) const { av_frame_free(&p); }
void FfmpegFree::operator()(AVPacket* p) const { av_packet_free(&p); }
void FfmpegFree::operator()(SwsContext* p) const { sws_freeContext(p); }
void FfmpegFree::operator()(uint8_t* p) const { av_free(p); }

bool FfmpegDecoder::open(const uint8_t* strf, size_t size, std::string& reason) {
    close();
    SilenceFfmpeg();
    ByteCursor in(strf, size);
    const BitmapInfoHeader h = ReadBitmapInfoHeader(in);
    if (in.failed()) return Refuse(reason, "the format is shorter than 40 bytes");
    // Uncompressed DIBs are DibDecoder's.
    if (IsRgbCompression(h.biCompression)) return Refuse(reason, "the picture is not compressed");
    if (const char* why = PictureSizeRefusal(h.biWidth, h.biHeight, kCodedPictures))
        return Refuse(reason, why);
    const int32_t rows = int32_t(PictureRows(h.biHeight));

    const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
    const AVCodecID id = av_codec_get_id(tags, h.biCompression);
    const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
    if (!codec) return Refuse(reason, "FFmpeg has no decoder for " + FourCCText(h.biCompression));
    FfmpegPtr<AVCodecContext> ctx(avcodec_alloc_context3(codec));
    FfmpegPtr<AVPacket> packet(av_packet_alloc());
    if (!ctx || !packet) return Refuse(reason, "no memory for the decoder");
    ctx->width = h.biWidth;
    ctx->height = rows;
    ctx->codec_tag = h.biCompression;
    ctx->bits_per_coded_sample = h.biBitCount;
    ctx->thread_count = 1;
    // What follows the 40-byte header is the codec's own setup (Huffman tables, Ut Video's
    // flags...), as FFmpeg's demuxer hands it on.
    if (size > kBitmapInfoHeaderSize) {
        const size_t n = size - kBitmapInfoHeaderSize;
        if (n > size_t(INT_MAX) - AV_INPUT_BUFFER_PADDING_SIZE)
            return Refuse(reason, "the codec's setup is too long");
        ctx->extradata = static_cast<uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!ctx->extradata) return Refuse(reason, "no memory for the decoder");
        std::memcpy(ctx->extradata, strf + kBitmapInfoHeaderSize, n);
        ctx->extradata_size = int(n);
    }
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return Refuse(reason, "FFmpeg's decoder for " + FourCCText(h.biCompression) +
                                  " does not open");
    codec_ = std::move(ctx);
    packet_ = std::move(packet);
    width_ = h.biWidth;
    height_ = rows;
    return true;
}

void FfmpegDecoder::close() {
    codec_.reset();
    packet_.reset();
    sws_.reset();
    swsFormat_ = swsColorspace_ = swsRange_ = -1;
    scratch_.reset();
    scratchStride_ = 0;
    width_ = height_ = 0;
    frames_.clear();
    spare_.clear();
    drops_.clear();
    sent_ = delivered_ = 0;
    hasPicture_ = finished_ = stopped_ = false;
    dib_.clear();
}

void FfmpegDecoder::dropFrame() {
    if (wantsInput()) drops_.push_back(sent_);
}

uint8_t* FfmpegDecoder::chunkBuffer(size_t size) {
    if (!wantsInput()) return nullptr;
    av_packet_unref(packet_.get());
    // No real chunk of a picture within the size bound comes near this.
    if (size == 0 || size > kMaxPictureBytes) return nullptr;
    if (av_new_packet(packet_.get(), int(size)) < 0) return nullptr;
    return packet_->data;
}

void FfmpegDecoder::sendChunk() {
    if (!wantsInput() || !packet_->data) return;
    int ret = avcodec_send_packet(codec_.get(), packet_.get());
    if (ret == AVERROR(EAGAIN)) {
        receiveFrames();
        ret = avcodec_send_packet(codec_.get(), packet_.get());
    }
    av_packet_unref(packet_.get());
    // A chunk that fails to decode counts as a dropped frame: the picture before it repeats,
    // so that one damaged chunk neither ends a long video nor shifts the pictures after it.
    if (ret < 0) {
        drops_.push_back(sent_);
        return;
    }
    const size_t before = frames_.size();
    receiveFrames();
    // A codec without delay that makes nothing of a chunk has failed on it just the same.
    if (frames_.size() == before && !stopped_ &&
        !(codec_->codec->capabilities & AV_CODEC_CAP_DELAY))
        drops_.push_back(sent_);
    else
        ++sent_;
}

void FfmpegDecoder::finishInput() {
    if (!wantsInput()) return;
    finished_ = true;
    av_packet_unref(packet_.get());
    if (avcodec_send_packet(codec_.get(), nullptr) == 0) receiveFrames();
}

void FfmpegDecoder::receiveFrames() {
    while (!stopped_) {
        FfmpegPtr<AVFrame> frame;
        if (!spare_.empty()) {
            frame = std::move(spare_.back());
            spare_.pop_back();
        } else {
            frame.reset(av_frame_alloc());
            if (!frame) {
                stopped_ = true;
                return;
            }
        }
        if (avcodec_receive_frame(codec_.get(), frame.get()) < 0) {
            spare_.push_back(std::move(frame));
            return;
        }
        // Pictures of another size than the header's are refused: the input ends before them.
        if (frame->width != width_ || frame->height != height_) {
            stopped_ = true;
            return;
        }
        frames_.push_back(std::move(frame));
    }
}

bool FfmpegDecoder::nextPicture() {
    if (!isOpen()) return false;
    // After the last chunk, dropped frames still waiting for codec pictures that never came
    // follow the last one.
    const bool drained = finished_ && !stopped_ && frames_.empty();
    if (!drops_.empty() && (drops_.front() <= delivered_ || drained)) {
        if (!hasPicture_) {
            if (frames_.empty()) {
                if (!wantsInput()) drops_.clear();
                return false;
            }
            startDib();  // black, at the size of the picture to come
            hasPicture_ = true;
        }
        drops_.pop_front();
        return true;
    }
    if (frames_.empty()) return false;
    FfmpegPtr<AVFrame> frame = std::move(frames_.front());
    frames_.pop_front();
    const bool converted = convert(*frame);
    av_frame_unref(frame.get());
    spare_.push_back(std::move(frame));
    if (!converted) {
        stopped_ = true;
        frames_.clear();
        drops_.clear();
        return false;
    }
    ++delivered_;
    hasPicture_ = true;
    return true;
}

void FfmpegDecoder::startDib() {
    const size_t stride = Stride24(uint32_t(width_));
    const size_t imageBytes = stride * size_t(height_);
    // Made once, black; later pictures overwrite the rows and leave the fill bytes 0.
    if (dib_.size() == kBitmapInfoHeaderSize + imageBytes) return;
    dib_.clear();
    StartPackedDib(dib_, width_, height_, 24, nullptr);
}

bool FfmpegDecoder::convert(AVFrame& frame) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(frame.format));
    // Palette pictures would need the file's colour table handed to the codec, which this
    // path does not do: their colours would be wrong.
    if (!desc || (desc->flags & AV_PIX_FMT_FLAG_PAL)) return false;
    // As FFmpeg's own scaler: the frame's matrix when it names a known one, else BT.601.
    int colorspace = frame.colorspace;
    if (colorspace < 1 || colorspace > 10 || colorspace == AVCOL_SPC_YCGCO)
        colorspace = AVCOL_SPC_BT470BG;
    const int range = frame.color_range;
    if (!sws_ || frame.format != swsFormat_ || colorspace != swsColorspace_ || range != swsRange_) {
        sws_.reset(sws_getContext(width_, height_, AVPixelFormat(frame.format), width_, height_,
                                  AV_PIX_FMT_BGR24, kSwsFlags, nullptr, nullptr, nullptr));
        if (!sws_) return false;
        if (!(desc->flags & AV_PIX_FMT_FLAG_RGB)) {
            int *inv, *table, srcFull, dstFull, brightness, contrast, saturation;
            if (sws_getColorspaceDetails(sws_.get(), &inv, &srcFull, &table, &dstFull, &brightness,
                                         &contrast, &saturation) < 0)
                return false;
            if (range != AVCOL_RANGE_UNSPECIFIED) srcFull = range == AVCOL_RANGE_JPEG;
            if (sws_setColorspaceDetails(sws_.get(), sws_getCoefficients(colorspace), srcFull,
                                         table, dstFull, brightness, contrast, saturation) < 0)
                return false;
        }
        swsFormat_ = frame.format;
        swsColorspace_ = colorspace;
        swsRange_ = range;
    }
    if (!scratch_) {
        scratchStride_ = (3 * size_t(width_) + kScratchAlign - 1) / kScratchAlign * kScratchAlign;
        // With room past the last row, which vector code may write up to its width.
        scratch_.reset(
            static_cast<uint8_t*>(av_malloc(scratchStride_ * size_t(height_) + kScratchAlign)));
        if (!scratch_) return false;
    }
    uint8_t* dst[4] = {scratch_.get(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {int(scratchStride_), 0, 0, 0};
    if (sws_scale(sws_.get(), frame.data, frame.linesize, 0, height_, dst, dstStride) != height_)
        return false;

    startDib();
    const size_t rows = size_t(height_);
    const size_t stride = Stride24(uint32_t(width_));
    const size_t used = 3 * size_t(width_);
    uint8_t* pixels = dib_.data() + kBitmapInfoHeaderSize;
    for (size_t r = 0; r < rows; ++r)
        std::memcpy(pixels + (rows - 1 - r) * stride, scratch_.get() + r * scratchStride_, used);
    return true;
}

bool Demosaic::run(Bayer pattern, const uint8_t* src, ptrdiff_t srcStride, int32_t width,
                   int32_t height, uint8_t* out) {
    SilenceFfmpeg();
    if (!sws_ || pattern != pattern_ || width != width_ || height != height_) {
        scratch_.reset();
        sws_.reset(sws_getContext(width, height, PixelFormatOf(pattern), width, height,
                                  AV_PIX_FMT_BGR24, kSwsFlags, nullptr, nullptr, nullptr));
        if (!sws_) return false;
        scratchStride_ = (3 * size_t(width) + kScratchAlign - 1) / kScratchAlign * kScratchAlign;
        scratch_.reset(
            static_cast<uint8_t*>(av_malloc(scratchStride_ * size_t(height) + kScratchAlign)));
        if (!scratch_) return false;
        pattern_ = pattern;
        width_ = width;
        height_ = height;
    }
    // Rows laid out tight and top row first, as FFmpeg's raw packets are.
    const size_t rowBytes = size_t(width);
    mosaic_.resize(rowBytes * size_t(height) + kMosaicPadding);
    for (size_t r = 0; r < size_t(height); ++r)
        std::memcpy(mosaic_.data() + r * rowBytes, src + ptrdiff_t(r) * srcStride, rowBytes);
    std::fill(mosaic_.end() - kMosaicPadding, mosaic_.end(), 0);
    const uint8_t* srcPlanes[4] = {mosaic_.data(), nullptr, nullptr, nullptr};
    const int srcStrides[4] = {width, 0, 0, 0};
    uint8_t* dst[4] = {scratch_.get(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {int(scratchStride_), 0, 0, 0};
    if (sws_scale(sws_.get(), srcPlanes, srcStrides, 0, height, dst, dstStride) != height)
        return false;
    const size_t stride = Stride24(uint32_t(width));
    const size_t used = 3 * size_t(width);
    for (size_t r = 0; r < size_t(height); ++r) {
        std::memcpy(out + r * stride, scratch_.get() + r * scratchStride_, used);
        std::memset(out + r * stride + used, 0, stride - used);
    }
    return true;
}

}  // namespace kestrel
