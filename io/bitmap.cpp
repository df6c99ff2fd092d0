#include "io/bitmap.h"

#include <algorithm>

#include "base/byte_cursor.h"
#include "base/file.h"
#include "base/replace_file.h"
#include "io/avi_format.h"
#include "io/decode.h"
#include "io/frame_sink.h"

namespace kestrel {

namespace {

// The file header, the 40-byte information header and the 12 bytes after it, where the masks
// of BI_BITFIELDS lie whether the information header holds them or not.
constexpr size_t kMasksOffset = kBitmapFileHeaderSize + kBitmapInfoHeaderSize;
constexpr size_t kHeadBytes = kMasksOffset + 12;

std::vector<uint8_t> Bmp24Headers(int32_t width, int32_t height) {
    const uint64_t rows = uint64_t(Stride24(uint32_t(width))) * uint64_t(height);
    const uint32_t offBits = kBitmapFileHeaderSize + kBitmapInfoHeaderSize;
    std::vector<uint8_t> out;
    PutU16(out, kBitmapFileType);
    PutU32(out, uint32_t(offBits + rows));  // bfSize
    PutU16(out, 0);                         // bfReserved1
    PutU16(out, 0);                         // bfReserved2
    PutU32(out, offBits);
    BitmapInfoHeader h;
    h.biWidth = width;
    h.biHeight = height;  // positive: bottom row first
    h.biBitCount = 24;
    h.biSizeImage = uint32_t(rows);
    h.biXPelsPerMeter = 2835;  // 72 dots per inch, what most writers put
    h.biYPelsPerMeter = 2835;
    AppendBitmapInfoHeader(out, h);
    return out;
}

}  // namespace

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

bool WriteBmp24(const std::string& path, const Image& image, std::string& reason) {
    // A bitmap's rows are those of a video chunk of Kestrel's output.
    std::vector<uint8_t> rows;
    if (image.width <= 0 || image.height <= 0 || !PackFrameData(image, rows))
        return Refuse(reason, "no picture to write");
    ReplacingFile out;
    if (!out.open(path)) return Refuse(reason, out.reason());
    File& file = out.file();
    const std::vector<uint8_t> headers = Bmp24Headers(image.width, image.height);
    const bool ok =
        file.write(headers.data(), headers.size()) && file.write(rows.data(), rows.size());
    if (!ok || !out.commit()) return Refuse(reason, ok ? out.reason() : file.reason());
    return true;
}

}  // namespace kestrel
