// The dark frame: a Windows bitmap file read into an Image in the layout of the coming run. A
// bitmap file is a 14-byte header and a DIB, read by the video streams' DIB decoding: 1, 2, 4
// and 8 bits with a colour table, 16 bits (5-5-5 or BI_BITFIELDS), 24 bits and 32 bits (blue,
// green, red, unused or BI_BITFIELDS), stored either way up, with the 40-byte information
// header or a longer one (V4, V5). Compressed bitmaps and the FourCC layouts are refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/image.h"
#include "settings/settings.h"

namespace kestrel {

constexpr uint16_t kBitmapFileType = 0x4D42;  // "BM"
constexpr uint32_t kBitmapFileHeaderSize = 14;

// The dark frame: width/height -1 while none is usable; channels 1 or 3.
Image& DarkImage();

// Reads a bitmap file into a 24-bit block: blue, green, red per pixel, top row first, rows
// Stride24(width) bytes, padding bytes 0. `height` is the number of rows, positive whichever
// way up the file stores them. On false (a file that cannot be opened or used) the results
// are left as they were and `reason`, when given, tells why.
bool ReadBitmapFile(const std::string& fileName, int32_t& width, int32_t& height,
                    std::vector<uint8_t>& block, std::string* reason = nullptr);

// Replaces the DarkImage with the file named by DarkFrame, as grey when Colour is off, else
// blue-green-red. On failure `failure` is "Can't open dark frame" with the reason beneath it,
// and the DarkImage is left exactly as it was; on success `failure` is empty.
bool LoadDarkFrame(const Settings& settings, Failure& failure);

}  // namespace kestrel
