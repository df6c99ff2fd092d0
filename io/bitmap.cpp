#include "io/bitmap.h"

#include <algorithm>

#include "base/byte_cursor.h"
#include "base/file.h"
#include "io/avi_format.h"
#include "io/decode.h"

namespace kestrel {

namespace {

constexpr const char* kCantOpenDarkFrame = "Can't open dark frame";
// The file header, the 40-byte information header and the 12 bytes after it, where the masks
// of BI_BITFIELDS lie whether the information header holds them or not.
constexpr size_t kMasksOffset = kBitmapFileHeaderSize + kBitmapInfoHeaderSize;
constexpr size_t kHeadBytes = kMasksOffset + 12;

Image g_dark{-1, -1, 1, {}};

// Reads a bitmap file into 24-bit rows: blue, green, red, top row first, Stride24(width) bytes
// each. `height` is the number of rows, whichever way up the file stores them. Every size is
// checked against the file's before the picture is allocated.
bool ReadBitmap(const std::string& fileName, int32_t& width, int32_t& height,
                std::vector<uint8_t>& block, std::string& reason) {
    File file;
    if (!file.open(fileName, File::Mode::Read)) return Refuse(reason, file.reason());
    const int64_t size = file.size();
    if (size < 0) return Refuse(reason, "the file's size cannot be told");
    const uint64_t fileSize = uint64_t(size);
    uint8_t head[kHeadBytes] = {};
    const size_t got = file.read(head, size_t(std::min<uint64_t>(kHeadBytes, fileSize)));
    ByteCursor in(head, got);
    const uint16_t type = in.u16();
    in.skip(8);  // bfSize, bfReserved1, bfReserved2
    const uint32_t offBits = in.u32();
    const BitmapInfoHeader h = ReadBitmapInfoHeader(in);
    if (got < 2 || type != kBitmapFileType) return Refuse(reason, "not a bitmap file");
    if (in.failed() || kBitmapFileHeaderSize + uint64_t(h.biSize) > fileSize)
        return Refuse(reason, "the file ends inside the information header");
    if (h.biSize < kBitmapInfoHeaderSize)
        return Refuse(reason, "the information header is shorter than 40 bytes");
    // Run-length, JPEG and PNG pictures, and the FourCC layouts of video streams.
    if (!IsRgbCompression(h.biCompression))
        return Refuse(reason, "compressed bitmaps are not read");
    PictureFormat f;
    if (!DescribeHeader(h, got == kHeadBytes ? head + kMasksOffset : nullptr, f, reason))
        return false;

    // A table carried by a picture without indices is skipped, not used.
    const uint64_t tableEnd = kBitmapFileHeaderSize + f.tableStart + 4 * f.tableEntries;
    if (tableEnd > fileSize) return Refuse(reason, "the file ends inside the colour table");
    // bfOffBits is trusted only where it can be right; the rows follow the table otherwise.
    const uint64_t rowsStart = offBits >= tableEnd && offBits < fileSize ? offBits : tableEnd;
    const uint64_t rowsBytes = f.paddedRow * uint64_t(f.height);
    if (rowsBytes > fileSize - rowsStart) return Refuse(reason, "the file ends inside the rows");

    // Entries past the 256th are never indexed.
    uint8_t table[4 * kDibColourTableEntries];
    const size_t tableBytes =
        4 * size_t(std::min<uint64_t>(f.tableEntries, kDibColourTableEntries));
    if (!file.seek(kBitmapFileHeaderSize + f.tableStart) ||
        file.read(table, tableBytes) != tableBytes)
        return Refuse(reason, "the file cannot be read");
    SetColourTable(f, table, tableBytes);
    DibDecoder decoder;
    decoder.open(std::move(f));
    const size_t n = decoder.prepare(rowsBytes);
    const bool arrived = file.seek(rowsStart) && file.read(decoder.target(), n) == n;
    std::vector<uint8_t> rows;
    int32_t w = 0, rowCount = 0;
    if (!decoder.finish(arrived) ||
        !ConvertDibTo24(decoder.dib().data(), decoder.dib().size(), w, rowCount, rows))
        return Refuse(reason, "the file cannot be read");
    width = w;
    height = rowCount;
    block = std::move(rows);
    return true;
}

}  // namespace

Image& DarkImage() { return g_dark; }

bool LoadDarkFrame(const Settings& settings, Failure& failure) {
    failure.clear();
    int32_t width = 0, height = 0;
    std::vector<uint8_t> block;
    if (!ReadBitmap(settings.DarkFrame, width, height, block, failure.reason) ||
        !Bgr24ToImage(block, width, height, settings.Colour ? 3 : 1, g_dark)) {
        failure.message = kCantOpenDarkFrame;
        failure.file = settings.DarkFrame;
        if (failure.reason.empty()) failure.reason = "the file cannot be read";
        return false;
    }
    return true;
}

}  // namespace kestrel
