// DIB decoding, the one path of every uncompressed picture: a video stream's strf and chunks, and
// a bitmap file's header and rows (a bitmap file is a 14-byte header and a DIB). The header is
// described once; each picture's rows become a packed DIB (40-byte header, colour table, rows) of
// 8 bits with a 256-entry table or of 24 bits, always bottom row first, and ConvertDibTo24 turns
// that into 24-bit rows, whatever the file stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/avi_format.h"
#include "io/pixel_masks.h"

namespace kestrel {

constexpr uint32_t kFccY800 = FourCC("Y800");
constexpr uint32_t kFccY8 = FourCC("Y8  ");
constexpr uint32_t kFccGrey = FourCC("GREY");
constexpr uint32_t kFccY16 = FourCC("Y16 ");
constexpr uint32_t kDibColourTableEntries = 256;

// The two codes of pictures stored as plain pixels; any other is a FourCC: a compression, or one
// of the grey layouts above.
constexpr bool IsRgbCompression(uint32_t compression) {
    return compression == kBiRgb || compression == kBiBitfields;
}

enum class PixelLayout {
    Palette8,       // BI_RGB, 8 bits, indices into a colour table
    PackedIndices,  // BI_RGB, 1, 2 or 4 bits into a colour table, leftmost pixel highest
    Grey8,          // Y800, Y8, GREY and the 8-bit Bayer tags (io/bayer.h)
    Grey16,         // Y16, little-endian: the high byte is the level
    Rgb16,          // BI_RGB 5-5-5 or BI_BITFIELDS
    Rgb24,          // BI_RGB, blue, green, red
    Rgb32,          // BI_RGB blue, green, red, unused; or BI_BITFIELDS
};

// What a DIB's header says about its pictures, checked once.
struct PictureFormat {
    PixelLayout layout = PixelLayout::Rgb24;
    int32_t width = 0;
    int32_t height = 0;    // rows, always positive
    bool topDown = false;  // first stored row is the top one
    uint32_t bitsPerPixel = 0;
    uint64_t tightRow = 0;   // bytes of a row without padding
    uint64_t paddedRow = 0;  // bytes of a row raised to 32 bits
    uint32_t masks[3] = {};  // red, green, blue (Rgb16, Rgb32)
    // The colour table, from the start of the DIB, and the entries its header counts: a bitmap
    // file's rows follow it, whether the pixels index it or not.
    uint64_t tableStart = 0;
    uint64_t tableEntries = 0;
    // 256 entries of blue, green, red, 0: the file's table, black past its end (Palette8,
    // PackedIndices), or a grey ramp (Grey8, Grey16).
    std::vector<uint8_t> colourTable;
};

// Checks an information header; `masks` are the 12 bytes after its first 40, where the masks of
// BI_BITFIELDS lie whether the header is longer or not (null when the DIB ends before them).
// False, with `reason`, for a layout that is not read here or a size that is refused. The colour
// table is left to SetColourTable.
bool DescribeHeader(const BitmapInfoHeader& h, const uint8_t* masks, PictureFormat& format,
                    std::string& reason);
// Fills the format's 256 entries: from `table` (as many 4-byte entries as it holds, up to the
// header's count) for the indexed layouts, a grey ramp for the grey ones.
void SetColourTable(PictureFormat& format, const uint8_t* table, size_t size);
// Both over a DIB's head in memory: a stream's strf body.
bool DescribePicture(const uint8_t* strf, size_t size, PictureFormat& format,
                     std::string& reason);

// Decodes the pictures of one described format in order. A zero-length chunk (a dropped frame)
// repeats the picture before it; before any picture it gives a black one, so positions stay in
// step with the stream.
class DibDecoder {
public:
    void open(PictureFormat format);
    void close();
    bool isOpen() const { return open_; }
    const PictureFormat& format() const { return format_; }

    // Applies an AVIPALCHANGE body to the colour table of the pictures that follow (indexed
    // layouts only).
    void applyPaletteChange(const uint8_t* data, size_t size);

    // Decoding `size` bytes of rows goes in three steps, so that they can be read straight into
    // the picture when they are already the DIB's: prepare() returns how many of the first bytes
    // are wanted (0: none), target() is where they go, and finish() makes the picture once they
    // are there (or tells that they could not be read). Rows may be padded to 32 bits, as DIBs
    // are, or packed, as FFmpeg writes some formats: the size tells which. finish() is false
    // when the bytes hold no picture.
    size_t prepare(uint64_t size);
    uint8_t* target() { return target_; }
    bool finish(bool bytesArrived);

    // Whether a zero-length chunk before the first picture gives a black one (the default).
    void setBlankAllowed(bool allowed) { blankAllowed_ = allowed; }
    // The packed DIB of the last picture.
    const std::vector<uint8_t>& dib() const { return dib_; }

private:
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

// The decoders' one output layout: sizes `dib` for a packed DIB of 8 bits (with the 256 entries
// at `table`) or of 24, bottom row first, and writes its header and table. Row bytes already
// there are kept, new ones are 0.
void StartPackedDib(std::vector<uint8_t>& dib, int32_t width, int32_t rows, uint16_t bitCount,
                    const uint8_t* table);

// Turns one packed DIB of 8 bits with a table or of 24 bits (the decoders' output) into 24-bit
// rows, top row first, each Stride24(width) bytes. False, with `frame` empty, for a picture that
// cannot be converted or is shorter than its header claims; nothing outside `dib` is ever read.
bool ConvertDibTo24(const uint8_t* dib, size_t size, int32_t& width, int32_t& height,
                    std::vector<uint8_t>& frame);

}  // namespace kestrel
