// Turns the chunks of an uncompressed video stream into packed DIBs (40-byte header, colour
// table, rows) of 8 bits with a 256-entry table or of 24 bits, always bottom row first, so the
// frame source converts one layout whatever the file stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "io/avi_format.h"
#include "io/pixel_masks.h"

namespace kestrel {

// The largest decoded picture accepted, as 24-bit pixels; larger headers are refused before
// anything is allocated.
constexpr uint64_t kMaxPictureBytes = uint64_t(1) << 30;

constexpr uint32_t kFccY800 = FourCC("Y800");
constexpr uint32_t kFccY8 = FourCC("Y8  ");
constexpr uint32_t kFccGrey = FourCC("GREY");
constexpr uint32_t kFccY16 = FourCC("Y16 ");
// Raw 8-bit Bayer mosaics, read as grey without demosaicing: The Imaging Source's BY8, the
// V4L2 codes and FFmpeg's own raw tags (0xBA, first two colours, 8).
constexpr uint32_t kFccBayer8[] = {FourCC("BY8 "),
                                   FourCC("BA81"),
                                   FourCC("GBRG"),
                                   FourCC("GRBG"),
                                   FourCC("RGGB"),
                                   FourCC(char(0xBA), 'B', 'G', char(8)),
                                   FourCC(char(0xBA), 'G', 'B', char(8)),
                                   FourCC(char(0xBA), 'G', 'R', char(8)),
                                   FourCC(char(0xBA), 'R', 'G', char(8))};
constexpr uint32_t kDibColourTableEntries = 256;

enum class PixelLayout {
    Palette8,       // BI_RGB, 8 bits, indices into a colour table
    PackedIndices,  // BI_RGB, 1, 2 or 4 bits into a colour table, leftmost pixel highest
    Grey8,          // Y800, Y8, GREY and the 8-bit Bayer tags
    Grey16,         // Y16, little-endian: the high byte is the level
    Rgb16,          // BI_RGB 5-5-5 or BI_BITFIELDS
    Rgb24,          // BI_RGB, blue, green, red
    Rgb32,          // BI_RGB blue, green, red, unused; or BI_BITFIELDS
};

// What a stream's strf says about its pictures, checked once when the stream opens.
struct PictureFormat {
    PixelLayout layout = PixelLayout::Rgb24;
    int32_t width = 0;
    int32_t height = 0;    // rows, always positive
    bool topDown = false;  // first stored row is the top one
    uint32_t bitsPerPixel = 0;
    uint64_t tightRow = 0;   // bytes of a row without padding
    uint64_t paddedRow = 0;  // bytes of a row raised to 32 bits
    uint32_t masks[3] = {};  // red, green, blue (Rgb16, Rgb32)
    // 256 entries of blue, green, red, 0: the file's table, black past its end (Palette8,
    // PackedIndices), or a grey ramp (Grey8, Grey16).
    std::vector<uint8_t> colourTable;
};

// Checks a strf body; false for a compression that cannot be decoded or a size that is refused.
bool DescribePicture(const uint8_t* strf, size_t size, PictureFormat& format);

// Decodes the chunks of one stream in order. A zero-length chunk (a dropped frame) repeats the
// picture before it; before any picture it gives a black one, so positions stay in step with
// the stream.
class DibDecoder {
public:
    bool open(const uint8_t* strf, size_t size);
    bool open(const std::vector<uint8_t>& strf) { return open(strf.data(), strf.size()); }
    void close();
    bool isOpen() const { return open_; }
    const PictureFormat& format() const { return format_; }

    // Applies an AVIPALCHANGE body to the colour table of the pictures that follow (indexed
    // layouts only).
    void applyPaletteChange(const uint8_t* data, size_t size);

    // Decoding one chunk of `chunkSize` bytes goes in three steps, so that the chunk can be read
    // straight into the picture when its rows are already the DIB's:
    // prepare() returns how many of the chunk's first bytes are wanted (0: none), target()
    // is where they go, and finish() makes the picture once they are there (or tells that they
    // could not be read). finish() is false when the chunk holds no picture.
    size_t prepare(uint32_t chunkSize);
    uint8_t* target() { return target_; }
    bool finish(bool bytesArrived);

    // The three steps over bytes in memory.
    bool decode(const uint8_t* data, size_t size);

    bool hasPicture() const { return hasPicture_; }
    // Whether a zero-length chunk before the first picture gives a black one (the default).
    void setBlankAllowed(bool allowed) { blankAllowed_ = allowed; }
    // The packed DIB of the last picture.
    const std::vector<uint8_t>& dib() const { return dib_; }

private:
    void startDib(uint16_t bitCount);
    void convertRows(const uint8_t* src, size_t rowBytes);
    void makeBlank();
    void flipRows();

    bool open_ = false;
    PictureFormat format_;
    std::vector<uint8_t> dib_;
    std::vector<uint8_t> chunk_;
    uint8_t* target_ = nullptr;
    bool hasPicture_ = false;
    bool blankAllowed_ = true;
    // The chunk being decoded.
    enum class Pending { None, Repeat, Short, Direct, Convert } pending_ = Pending::None;
    size_t rowBytes_ = 0;
    MaskedChannel channels_[3];  // red, green, blue (Rgb16, Rgb32)
};

}  // namespace kestrel
