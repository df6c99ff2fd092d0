#include "io/decode.h"

#include <algorithm>
#include <cstring>

#include "base/byte_cursor.h"
#include "base/failure.h"
#include "base/image.h"
#include "io/bayer.h"
#include "io/pixel_masks.h"

namespace kestrel {

namespace {

constexpr size_t kColourTableBytes = 4 * kDibColourTableEntries;
// From BITMAPV2INFOHEADER on, the three channel masks are part of the information header; after
// the 40-byte one they follow it as three DWORDs.
constexpr uint32_t kMasksInHeaderSize = 52;
constexpr size_t kMasksBytes = 12;

bool IsGrey8(uint32_t compression) {
    return compression == kFccY800 || compression == kFccY8 || compression == kFccGrey ||
           FindBayerTag(compression);
}

bool Indexed(PixelLayout layout) {
    return layout == PixelLayout::Palette8 || layout == PixelLayout::PackedIndices;
}

bool EightBitDib(PixelLayout layout) {
    return Indexed(layout) || layout == PixelLayout::Grey8 || layout == PixelLayout::Grey16;
}

}  // namespace

bool DescribeHeader(const BitmapInfoHeader& h, const uint8_t* masks, PictureFormat& format,
                    std::string& reason) {
    if (const char* why = PictureSizeRefusal(h.biWidth, h.biHeight, kStoredPictures))
        return Refuse(reason, why);
    PictureFormat f;
    f.width = h.biWidth;
    f.height = int32_t(PictureRows(h.biHeight));
    f.topDown = h.biHeight < 0;
    f.bitsPerPixel = h.biBitCount;
    const uint32_t compression = h.biCompression;
    if (compression == kBiRgb) {
        switch (h.biBitCount) {
            case 1:
            case 2:
            case 4: f.layout = PixelLayout::PackedIndices; break;
            case 8: f.layout = PixelLayout::Palette8; break;
            case 16:
                f.layout = PixelLayout::Rgb16;
                std::copy(std::begin(kMask555), std::end(kMask555), f.masks);
                break;
            case 24: f.layout = PixelLayout::Rgb24; break;
            case 32:
                f.layout = PixelLayout::Rgb32;
                std::copy(std::begin(kMask888), std::end(kMask888), f.masks);
                break;
            default: return Refuse(reason, "pixels of this depth are not read");
        }
    } else if (compression == kBiBitfields) {
        if (h.biBitCount != 16 && h.biBitCount != 32)
            return Refuse(reason, "bitfields need 16 or 32 bits a pixel");
        if (!masks) return Refuse(reason, "the colour masks are missing");
        ByteCursor in(masks, kMasksBytes);
        for (uint32_t& m : f.masks) m = in.u32();
        for (uint32_t m : f.masks)
            if (!UsableMask(m, h.biBitCount))
                return Refuse(reason, "a colour mask is not one run of bits");
        f.layout = h.biBitCount == 16 ? PixelLayout::Rgb16 : PixelLayout::Rgb32;
    } else if (IsGrey8(compression) || compression == kFccY16) {
        const bool wide = compression == kFccY16;
        if (h.biBitCount != 0 && h.biBitCount != (wide ? 16 : 8))
            return Refuse(reason, "grey pictures of this depth are not read");
        f.layout = wide ? PixelLayout::Grey16 : PixelLayout::Grey8;
        f.bitsPerPixel = wide ? 16 : 8;
        // Rows of the FourCC formats are stored top row first whatever the sign of the height;
        // FFmpeg reads them so too.
        f.topDown = true;
    } else {
        return Refuse(reason, "the compression is not an uncompressed layout");
    }
    const uint64_t width = uint64_t(f.width);
    f.tightRow = (width * f.bitsPerPixel + 7) / 8;
    f.paddedRow = DibStride(width, f.bitsPerPixel);
    f.tableStart = std::max<uint64_t>(h.biSize, kBitmapInfoHeaderSize);
    if (compression == kBiBitfields && h.biSize < kMasksInHeaderSize)
        f.tableStart = kMasksInHeaderSize;
    f.tableEntries = h.biClrUsed         ? h.biClrUsed
                     : Indexed(f.layout) ? uint64_t(1) << f.bitsPerPixel
                                         : 0;
    format = std::move(f);
    return true;
}

void SetColourTable(PictureFormat& f, const uint8_t* table, size_t size) {
    f.colourTable.clear();
    if (Indexed(f.layout)) {
        // Entries past the file's table or past biClrUsed stay black, so that any index finds
        // a colour.
        f.colourTable.assign(kColourTableBytes, 0);
        const size_t n = size_t(
            std::min({f.tableEntries, uint64_t(size / 4), uint64_t(kDibColourTableEntries)}));
        for (size_t i = 0; i < n; ++i) std::memcpy(&f.colourTable[4 * i], table + 4 * i, 3);
    } else if (f.layout == PixelLayout::Grey8 || f.layout == PixelLayout::Grey16) {
        f.colourTable.resize(kColourTableBytes);
        for (size_t i = 0; i < kDibColourTableEntries; ++i) {
            std::memset(&f.colourTable[4 * i], int(i), 3);
            f.colourTable[4 * i + 3] = 0;
        }
    }
}

bool DescribePicture(const uint8_t* strf, size_t size, PictureFormat& format, std::string& reason) {
    ByteCursor in(strf, size);
    const BitmapInfoHeader h = ReadBitmapInfoHeader(in);
    if (in.failed()) return Refuse(reason, "the format is shorter than 40 bytes");
    const bool haveMasks = size >= kBitmapInfoHeaderSize + kMasksBytes;
    if (!DescribeHeader(h, haveMasks ? strf + kBitmapInfoHeaderSize : nullptr, format, reason))
        return false;
    const uint64_t start = format.tableStart;
    if (start < size)
        SetColourTable(format, strf + start, size - size_t(start));
    else
        SetColourTable(format, nullptr, 0);
    return true;
}

void DibDecoder::open(PictureFormat format) {
    close();
    format_ = std::move(format);
    // A format described without its table gets the default one, so that every index, and every
    // palette change, finds its entry.
    if (format_.colourTable.size() != kColourTableBytes) SetColourTable(format_, nullptr, 0);
    for (int c = 0; c < 3; ++c) channels_[c] = MaskedChannel::From(format_.masks[c]);
    open_ = true;
}

void DibDecoder::close() {
    open_ = false;
    format_ = {};
    dib_.clear();
    chunk_.clear();
    target_ = nullptr;
    hasPicture_ = false;
    pending_ = Pending::None;
}

void DibDecoder::applyPaletteChange(const uint8_t* data, size_t size) {
    if (!open_ || !Indexed(format_.layout)) return;
    // AVIPALCHANGE: first entry, entry count (0 means 256), flags, then red, green, blue, flags.
    ByteCursor in(data, size);
    const uint32_t first = in.u8();
    uint32_t count = in.u8();
    in.u16();
    if (count == 0) count = kDibColourTableEntries;
    for (uint32_t i = 0; i < count && first + i < kDibColourTableEntries; ++i) {
        uint8_t rgbx[4];
        if (!in.bytes(rgbx, 4)) break;
        uint8_t* e = &format_.colourTable[4 * (first + i)];
        e[0] = rgbx[2];
        e[1] = rgbx[1];
        e[2] = rgbx[0];
        e[3] = 0;
    }
}

size_t DibDecoder::prepare(uint64_t chunkSize) {
    target_ = nullptr;
    if (!open_) {
        pending_ = Pending::Short;
        return 0;
    }
    if (chunkSize == 0) {
        pending_ = Pending::Repeat;
        return 0;
    }
    const uint64_t rows = uint64_t(format_.height);
    const uint64_t perRow = chunkSize / rows;
    uint64_t row;
    if (perRow == format_.tightRow || (perRow > format_.tightRow && perRow < format_.paddedRow))
        row = format_.tightRow;
    else if (perRow >= format_.paddedRow)
        row = format_.paddedRow;
    else {
        pending_ = Pending::Short;
        return 0;
    }
    rowBytes_ = size_t(row);
    const size_t n = size_t(row * rows);
    const bool sameRows =
        format_.layout == PixelLayout::Palette8 || format_.layout == PixelLayout::Rgb24;
    if (sameRows && row == format_.paddedRow) {
        hasPicture_ = false;
        StartPackedDib(dib_, format_.width, format_.height,
                       format_.layout == PixelLayout::Palette8 ? 8 : 24,
                       format_.colourTable.data());
        target_ = dib_.data() + (dib_.size() - n);
        pending_ = Pending::Direct;
    } else {
        chunk_.resize(n);
        target_ = chunk_.data();
        pending_ = Pending::Convert;
    }
    return n;
}

bool DibDecoder::finish(bool bytesArrived) {
    const Pending p = pending_;
    pending_ = Pending::None;
    target_ = nullptr;
    switch (p) {
        case Pending::Repeat:
            if (!hasPicture_) {
                if (!blankAllowed_) return false;
                makeBlank();
            }
            hasPicture_ = true;
            return true;
        case Pending::Direct:
            if (bytesArrived && format_.topDown) flipRows();
            hasPicture_ = bytesArrived;
            return bytesArrived;
        case Pending::Convert:
            if (!bytesArrived) return false;
            convertRows(chunk_.data(), rowBytes_);
            hasPicture_ = true;
            return true;
        case Pending::None:
        case Pending::Short: break;
    }
    return false;
}

// Puts rows that were read top row first into the DIB's order, where they lie.
void DibDecoder::flipRows() {
    const size_t rows = size_t(format_.height);
    const size_t stride = size_t(format_.paddedRow);
    uint8_t* pixels = dib_.data() + (dib_.size() - stride * rows);
    chunk_.resize(stride);
    for (size_t top = 0, bottom = rows - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = pixels + top * stride;
        uint8_t* b = pixels + bottom * stride;
        std::memcpy(chunk_.data(), a, stride);
        std::memcpy(a, b, stride);
        std::memcpy(b, chunk_.data(), stride);
    }
}

void DibDecoder::makeBlank() {
    StartPackedDib(dib_, format_.width, format_.height, 24, nullptr);
    std::fill(dib_.begin() + kBitmapInfoHeaderSize, dib_.end(), uint8_t(0));
}

void DibDecoder::convertRows(const uint8_t* src, size_t rowBytes) {
    const PixelLayout layout = format_.layout;
    const bool eightBit = EightBitDib(layout);
    StartPackedDib(dib_, format_.width, format_.height, eightBit ? 8 : 24,
                   format_.colourTable.data());
    const size_t w = size_t(format_.width);
    const size_t rows = size_t(format_.height);
    const size_t stride = size_t(DibStride(w, eightBit ? 8 : 24));
    const size_t used = eightBit ? w : 3 * w;
    uint8_t* pixels = dib_.data() + (dib_.size() - stride * rows);
    const bool plain32 = layout == PixelLayout::Rgb32 &&
                         std::equal(std::begin(kMask888), std::end(kMask888), format_.masks);
    auto channel = [this](int c, uint32_t v) { return channels_[c](v); };
    for (size_t r = 0; r < rows; ++r) {
        const uint8_t* s = src + r * rowBytes;
        uint8_t* d = pixels + (format_.topDown ? rows - 1 - r : r) * stride;
        switch (layout) {
            case PixelLayout::Palette8:
            case PixelLayout::Grey8:
            case PixelLayout::Rgb24: std::memcpy(d, s, used); break;
            case PixelLayout::PackedIndices: {
                const uint32_t bits = format_.bitsPerPixel;
                const uint32_t valueMask = (1u << bits) - 1;
                for (size_t x = 0; x < w; ++x) {
                    const size_t bit = x * bits;
                    const uint32_t shift = 8 - bits - uint32_t(bit & 7);
                    d[x] = uint8_t((s[bit >> 3] >> shift) & valueMask);
                }
                break;
            }
            case PixelLayout::Grey16:
                for (size_t x = 0; x < w; ++x) d[x] = s[2 * x + 1];
                break;
            case PixelLayout::Rgb16:
                for (size_t x = 0; x < w; ++x) {
                    const uint32_t v = uint32_t(s[2 * x]) | uint32_t(s[2 * x + 1]) << 8;
                    d[3 * x] = channel(2, v);
                    d[3 * x + 1] = channel(1, v);
                    d[3 * x + 2] = channel(0, v);
                }
                break;
            case PixelLayout::Rgb32:
                for (size_t x = 0; x < w; ++x) {
                    const uint8_t* p = s + 4 * x;
                    if (plain32) {
                        std::memcpy(d + 3 * x, p, 3);
                        continue;
                    }
                    const uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                                       uint32_t(p[3]) << 24;
                    d[3 * x] = channel(2, v);
                    d[3 * x + 1] = channel(1, v);
                    d[3 * x + 2] = channel(0, v);
                }
                break;
        }
        std::memset(d + used, 0, stride - used);
    }
}

void StartPackedDib(std::vector<uint8_t>& dib, int32_t width, int32_t rows, uint16_t bitCount,
                    const uint8_t* table) {
    const size_t tableBytes = bitCount == 8 ? kColourTableBytes : 0;
    const size_t imageBytes = size_t(DibStride(uint64_t(width), bitCount)) * size_t(rows);
    dib.resize(kBitmapInfoHeaderSize + tableBytes + imageBytes);
    BitmapInfoHeader info;
    info.biWidth = width;
    info.biHeight = rows;  // positive: bottom row first
    info.biBitCount = bitCount;
    info.biSizeImage = uint32_t(imageBytes);
    info.biClrUsed = tableBytes ? kDibColourTableEntries : 0;
    std::vector<uint8_t> head;
    AppendBitmapInfoHeader(head, info);
    std::memcpy(dib.data(), head.data(), head.size());
    if (tableBytes) std::memcpy(dib.data() + kBitmapInfoHeaderSize, table, tableBytes);
}

bool ConvertDibTo24(const uint8_t* dib, size_t size, int32_t& width, int32_t& height,
                    std::vector<uint8_t>& frame) {
    frame.clear();
    // Only width, height, depth and table size are read; the header counts as 40 bytes.
    ByteCursor in(dib, size);
    const BitmapInfoHeader header = ReadBitmapInfoHeader(in);
    const int32_t w = header.biWidth, h = header.biHeight;
    const uint16_t bits = header.biBitCount;
    const uint32_t clrUsed = header.biClrUsed;
    if (in.failed() || (bits != 8 && bits != 24) || PictureSizeRefusal(w, h, kStoredPictures))
        return false;
    const uint64_t rows = PictureRows(h);
    const uint64_t entries = clrUsed ? clrUsed : (bits == 8 ? kDibColourTableEntries : 0);
    const uint64_t rowsStart = kBitmapInfoHeaderSize + 4 * entries;
    const uint64_t srcStride = DibStride(uint64_t(w), bits);
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
