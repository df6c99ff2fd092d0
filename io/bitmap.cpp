#include "io/bitmap.h"

#include <algorithm>
#include <cstring>

#include "io/avi_format.h"
#include "base/byte_cursor.h"
#include "io/decode.h"
#include "base/file.h"
#include "io/pixel_masks.h"

namespace kestrel {

namespace {

constexpr const char* kCantOpenDarkFrame = "Can't open dark frame";

// From BITMAPV2INFOHEADER on, the three channel masks are part of the information header; after
// the 40-byte one they follow it as three DWORDs. Either way they sit at the same file offset.
constexpr uint32_t kMasksInHeaderSize = 52;
constexpr uint64_t kMasksOffset = kBitmapFileHeaderSize + kBitmapInfoHeaderSize;
constexpr uint64_t kMasksBytes = 12;
constexpr uint64_t kHeadBytes = kMasksOffset + kMasksBytes;
constexpr uint32_t kPaletteEntryBytes = 4;  // RGBQUAD: blue, green, red, unused

Image g_dark{-1, -1, 1, {}};

// Where the picture's parts are in the file and how its rows are turned into pixels.
struct BitmapLayout {
    uint32_t width = 0;
    uint32_t rows = 0;
    bool topDown = false;
    uint32_t bits = 0;
    bool indexed = false;    // 1, 2, 4 or 8 bits into the colour table
    uint32_t masks[3] = {};  // red, green, blue (16 and 32 bits)
    uint64_t tableStart = 0;
    uint64_t tableEntries = 0;  // entries in the file
    uint64_t rowsStart = 0;
    uint64_t fileStride = 0;
};

// Checks the headers against each other and against the file's size, so that nothing later
// can read past the end or allocate for a picture the file cannot hold.
bool ReadLayout(File& file, uint64_t fileSize, BitmapLayout& out) {
    uint8_t head[kHeadBytes] = {};
    const size_t got = file.read(head, size_t(std::min(kHeadBytes, fileSize)));
    ByteCursor in(head, got);
    const uint16_t type = in.u16();
    in.skip(8);  // bfSize, bfReserved1, bfReserved2
    const uint32_t offBits = in.u32();
    const BitmapInfoHeader h = ReadBitmapInfoHeader(in);
    if (in.failed() || type != kBitmapFileType || h.biSize < kBitmapInfoHeaderSize) return false;
    const uint64_t headerEnd = kBitmapFileHeaderSize + uint64_t(h.biSize);
    if (headerEnd > fileSize) return false;

    if (h.biWidth <= 0 || h.biHeight == 0) return false;
    const uint64_t width = uint64_t(h.biWidth);
    const uint64_t rows = h.biHeight < 0 ? uint64_t(-int64_t(h.biHeight)) : uint64_t(h.biHeight);
    if (width * rows * 3 > kMaxPictureBytes) return false;

    BitmapLayout f;
    f.width = uint32_t(width);
    f.rows = uint32_t(rows);
    f.topDown = h.biHeight < 0;
    f.bits = h.biBitCount;
    f.tableStart = headerEnd;
    switch (h.biBitCount) {
        case 1:
        case 2:
        case 4:
        case 8:
            if (h.biCompression != kBiRgb) return false;
            f.indexed = true;
            break;
        case 24:
            if (h.biCompression != kBiRgb) return false;
            break;
        case 16:
        case 32:
            if (h.biCompression == kBiRgb) {
                std::copy_n(h.biBitCount == 16 ? kMask555 : kMask888, 3, f.masks);
            } else if (h.biCompression == kBiBitfields) {
                ByteCursor masks(head, got);
                masks.seek(kMasksOffset);
                for (uint32_t& m : f.masks) m = masks.u32();
                if (masks.failed()) return false;
                for (uint32_t m : f.masks)
                    if (!UsableMask(m, h.biBitCount)) return false;
                if (h.biSize < kMasksInHeaderSize)
                    f.tableStart = std::max(headerEnd, kMasksOffset + kMasksBytes);
            } else {
                return false;
            }
            break;
        default: return false;
    }

    // A table carried by a picture without indices is skipped, not used.
    f.tableEntries = h.biClrUsed ? h.biClrUsed : f.indexed ? uint64_t(1) << f.bits : 0;
    const uint64_t tableEnd = f.tableStart + kPaletteEntryBytes * f.tableEntries;
    if (tableEnd > fileSize) return false;
    // bfOffBits is trusted only where it can be right; the rows follow the table otherwise.
    f.rowsStart = offBits >= tableEnd && offBits < fileSize ? offBits : tableEnd;
    f.fileStride = DibStride(width, f.bits);
    if (f.fileStride * rows > fileSize - f.rowsStart) return false;
    out = f;
    return true;
}

void ConvertRow(const BitmapLayout& f, const uint8_t (*lut)[3], const MaskedChannel* channels,
                const uint8_t* src, uint8_t* dst) {
    const size_t width = f.width;
    if (f.indexed) {
        const uint32_t valueMask = (1u << f.bits) - 1;
        for (size_t j = 0; j < width; ++j) {
            // The leftmost pixel is in the highest bits of its byte.
            const size_t bit = j * f.bits;
            const uint32_t shift = 8 - f.bits - uint32_t(bit & 7);
            std::memcpy(dst + 3 * j, lut[(src[bit >> 3] >> shift) & valueMask], 3);
        }
    } else if (f.bits == 24) {
        std::memcpy(dst, src, 3 * width);
    } else {
        const size_t bytes = f.bits / 8;
        for (size_t j = 0; j < width; ++j, src += bytes) {
            uint32_t v = 0;
            for (size_t b = 0; b < bytes; ++b) v |= uint32_t(src[b]) << (8 * b);
            dst[3 * j] = channels[2](v);
            dst[3 * j + 1] = channels[1](v);
            dst[3 * j + 2] = channels[0](v);
        }
    }
}

}  // namespace

Image& DarkImage() { return g_dark; }

bool ReadBitmapFile(const std::string& fileName, int32_t& width, int32_t& height,
                    std::vector<uint8_t>& block) {
    File file;
    if (!file.open(fileName, File::Mode::Read)) return false;
    const int64_t size = file.size();
    BitmapLayout f;
    if (size < 0 || !ReadLayout(file, uint64_t(size), f)) return false;

    // Indices past the file's table give black.
    uint8_t lut[256][3] = {};
    if (f.indexed) {
        const size_t entries = size_t(std::min<uint64_t>(f.tableEntries, uint64_t(1) << f.bits));
        std::vector<uint8_t> table(entries * kPaletteEntryBytes);
        if (!file.seek(f.tableStart) || file.read(table.data(), table.size()) != table.size())
            return false;
        for (size_t i = 0; i < entries; ++i) std::memcpy(lut[i], &table[kPaletteEntryBytes * i], 3);
    }
    MaskedChannel channels[3];
    if (f.bits == 16 || f.bits == 32)
        for (int c = 0; c < 3; ++c) channels[c] = MaskedChannel::From(f.masks[c]);

    const size_t stride = Stride24(f.width);
    std::vector<uint8_t> out(stride * f.rows);
    std::vector<uint8_t> row(size_t(f.fileStride));
    if (!file.seek(f.rowsStart)) return false;
    for (size_t r = 0; r < f.rows; ++r) {
        if (file.read(row.data(), row.size()) != row.size()) return false;
        const size_t to = f.topDown ? r : f.rows - 1 - r;
        ConvertRow(f, lut, channels, row.data(), out.data() + to * stride);
    }
    width = int32_t(f.width);
    height = int32_t(f.rows);
    block = std::move(out);
    return true;
}

bool LoadDarkFrame(const Settings& settings, Failure& failure) {
    failure.clear();
    int32_t width = 0, height = 0;
    std::vector<uint8_t> block;
    if (!ReadBitmapFile(settings.DarkFrame, width, height, block)) {
        failure.message = kCantOpenDarkFrame;
        return false;
    }
    Image dark;
    dark.width = width;
    dark.height = height;
    dark.channels = settings.Colour ? 3 : 1;
    const size_t w = size_t(width), h = size_t(height), stride = Stride24(uint32_t(width));
    dark.pixels.resize(w * h * size_t(dark.channels));
    const uint8_t* src = block.data();
    uint8_t* dst = dark.pixels.data();
    for (size_t i = 0; i < h; ++i, src += stride) {
        if (dark.channels == 3) {
            std::memcpy(dst, src, 3 * w);
            dst += 3 * w;
        } else {
            for (size_t k = 0; k < w; ++k)
                *dst++ = GreyLevel(src[3 * k], src[3 * k + 1], src[3 * k + 2]);
        }
    }
    g_dark = std::move(dark);
    return true;
}

}  // namespace kestrel
