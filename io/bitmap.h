// Windows bitmap files, read for the dark frame and written for a saved one. A bitmap file is a
// 14-byte header and a DIB, read by the video streams' DIB decoding: 1, 2, 4 and 8 bits with a
// colour table, 16 bits (5-5-5 or BI_BITFIELDS), 24 bits and 32 bits (blue, green, red, unused or
// BI_BITFIELDS), stored either way up, with the 40-byte information header or a longer one (V4,
// V5). Compressed bitmaps and the FourCC layouts are refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/image.h"

namespace kestrel {

constexpr uint16_t kBitmapFileType = 0x4D42;  // "BM"
constexpr uint32_t kBitmapFileHeaderSize = 14;

// Reads a bitmap file into 24-bit rows: blue, green, red, top row first, Stride24(width) bytes
// each. `height` is the number of rows, whichever way up the file stores them. Every size is
// checked against the file's before the picture is allocated.
bool ReadBitmap(const std::string& fileName, int32_t& width, int32_t& height,
                std::vector<uint8_t>& block, std::string& reason);

// Writes `image` as a 24-bit bitmap file: 14-byte file header, 40-byte information header, rows
// bottom row first, padded to 4 bytes; grey as three equal bytes. The file replaces the target
// only when complete (base/replace_file.h). False, with `reason`, when it cannot be written.
bool WriteBmp24(const std::string& path, const Image& image, std::string& reason);

}  // namespace kestrel
