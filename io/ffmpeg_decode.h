// Decodes the chunks of one compressed or YUV video stream with FFmpeg into the packed DIBs that
// DibDecoder makes (40-byte header, 24-bit rows, bottom row first), so that the frame source
// converts one layout whatever the file stored; and demosaics raw Bayer pictures. FFmpeg's own
// headers stay in the .cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/image.h"
#include "io/bayer.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace kestrel {

struct FfmpegFree {
    void operator()(AVCodecContext* p) const;
    void operator()(AVFrame* p) const;
    void operator()(AVPacket* p) const;
    void operator()(SwsContext* p) const;
    void operator()(uint8_t* p) const;  // av_malloc'd
};
template <class T>
using FfmpegPtr = std::unique_ptr<T, FfmpegFree>;

// Pictures come out in the order of the stream, one per chunk, whatever delay the codec has:
// chunks go in until nextPicture() has one, and finishInput() after the last chunk lets the
// codec give up the pictures it still holds.
class FfmpegDecoder {
public:
    // Picks the codec from the strf's biCompression and opens it; false, with `reason`, when
    // FFmpeg has no decoder for it, it will not open, or the header's size is refused
    // (kCodedPictures).
    bool open(const uint8_t* strf, size_t size, std::string& reason);
    bool open(const std::vector<uint8_t>& strf, std::string& reason) {
        return open(strf.data(), strf.size(), reason);
    }
    void close();
    bool isOpen() const { return codec_ != nullptr; }

    // A zero-length chunk: a dropped frame, which repeats the picture before it. Before any
    // picture it gives a black one, but only once the codec has made a picture of the header's
    // size: dropped frames alone make no pictures.
    void dropFrame();
    // Where the next chunk's `size` bytes go (padded as FFmpeg wants); null for a chunk too
    // large to take. sendChunk() then decodes them.
    uint8_t* chunkBuffer(size_t size);
    void sendChunk();
    void finishInput();

    // Makes the next picture in order the current one (dib()); false when it needs more input
    // first, or when none follows.
    bool nextPicture();
    // Whether nextPicture() can still be helped by another chunk or by finishInput().
    bool wantsInput() const { return isOpen() && !finished_ && !stopped_; }
    const std::vector<uint8_t>& dib() const { return dib_; }

private:
    void receiveFrames();
    bool convert(AVFrame& frame);
    void startDib();

    FfmpegPtr<AVCodecContext> codec_;
    FfmpegPtr<AVPacket> packet_;
    FfmpegPtr<SwsContext> sws_;
    int swsFormat_ = -1;
    int swsColorspace_ = -1;
    int swsRange_ = -1;
    FfmpegPtr<uint8_t> scratch_;  // one top-down bgr24 picture at an aligned stride
    size_t scratchStride_ = 0;
    int32_t width_ = 0;
    int32_t height_ = 0;

    std::deque<FfmpegPtr<AVFrame>> frames_;  // decoded, in order, not yet delivered
    std::vector<FfmpegPtr<AVFrame>> spare_;
    // Each dropped frame waits for the number of codec pictures that come before it.
    std::deque<uint64_t> drops_;
    uint64_t sent_ = 0;       // chunks the codec took
    uint64_t delivered_ = 0;  // codec pictures made current
    bool hasPicture_ = false;
    bool finished_ = false;  // no more chunks; the codec has been drained
    bool stopped_ = false;   // a picture of another size, or one that cannot be converted
    std::vector<uint8_t> dib_;
};

// Raw Bayer mosaics into blue, green and red by libswscale: the same pixels as
// `ffmpeg -pix_fmt bayer_xxxx8 ... -pix_fmt bgr24`.
class Demosaic {
public:
    // Turns `height` rows of `width` 8-bit mosaic samples, `srcStride` bytes apart (negative
    // for rows stored bottom row first), into 24-bit rows, top row first, Stride24(width)
    // bytes each, at `out`. False when libswscale refuses the picture (a single row, no memory).
    bool run(Bayer pattern, const uint8_t* src, ptrdiff_t srcStride, int32_t width, int32_t height,
             uint8_t* out);

private:
    FfmpegPtr<SwsContext> sws_;
    Bayer pattern_ = Bayer::None;
    int32_t width_ = 0;
    int32_t height_ = 0;
    std::vector<uint8_t> mosaic_;  // the samples as libswscale reads them, padded
    FfmpegPtr<uint8_t> scratch_;   // libswscale's vector code may write past a row's width
    size_t scratchStride_ = 0;
};

}  // namespace kestrel
