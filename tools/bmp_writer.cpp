#include "tools/bmp_writer.h"

#include "base/byte_cursor.h"
#include "base/replace_file.h"
#include "io/avi_format.h"
#include "io/bitmap.h"
#include "io/frame_sink.h"

namespace kestrel::synth {
namespace {

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

bool WriteBmp24(const std::string& path, const Image& image, std::string& error) {
    // A bitmap's rows are those of a video chunk of Kestrel's output.
    std::vector<uint8_t> rows;
    if (image.width <= 0 || image.height <= 0 || !PackFrameData(image, rows)) {
        error = "no picture to write";
        return false;
    }
    ReplacingFile out;
    if (!out.open(path)) {
        error = "cannot create " + path + ": " + out.reason();
        return false;
    }
    File& file = out.file();
    const std::vector<uint8_t> headers = Bmp24Headers(image.width, image.height);
    const bool ok =
        file.write(headers.data(), headers.size()) && file.write(rows.data(), rows.size());
    if (!ok || !out.commit()) {
        error = "cannot write " + path + ": " + (ok ? out.reason() : file.reason());
        return false;
    }
    return true;
}

}  // namespace kestrel::synth
