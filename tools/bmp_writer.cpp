#include "tools/bmp_writer.h"

#include "io/avi_format.h"
#include "base/byte_cursor.h"
#include "base/replace_file.h"

namespace kestrel::synth {

std::vector<uint8_t> Bmp24Headers(int32_t width, int32_t height) {
    const uint64_t rows = uint64_t(Stride24(uint32_t(width))) * uint64_t(height);
    const uint32_t offBits = kBmpFileHeaderSize + kBitmapInfoHeaderSize;
    std::vector<uint8_t> out;
    PutU8(out, 'B');
    PutU8(out, 'M');
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

bool WriteBmp24(const std::string& path, const Image& image, std::string& error) {
    if (!image.consistent() || image.width <= 0 || image.height <= 0) {
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
    bool ok = file.write(headers.data(), headers.size());
    const size_t w = size_t(image.width);
    const size_t ch = size_t(image.channels);
    std::vector<uint8_t> row(Stride24(uint32_t(image.width)), 0);
    for (int32_t y = image.height - 1; ok && y >= 0; --y) {
        const uint8_t* in = image.pixels.data() + size_t(y) * w * ch;
        for (size_t x = 0; x < w; ++x)
            for (size_t c = 0; c < 3; ++c) row[3 * x + c] = in[x * ch + (ch == 3 ? c : 0)];
        ok = file.write(row.data(), row.size());
    }
    if (!ok || !out.commit()) {
        error = "cannot write " + path + ": " + (ok ? out.reason() : file.reason());
        return false;
    }
    return true;
}

}  // namespace kestrel::synth
