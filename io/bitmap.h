// The dark frame: a Windows bitmap file read into an Image in the layout of the coming run. A
// bitmap file is a 14-byte header and a DIB, read by the video streams' DIB decoding: 1, 2, 4
// and 8 bits with a colour table, 16 bits (5-5-5 or BI_BITFIELDS), 24 bits and 32 bits (blue,
// green, red, unused or BI_BITFIELDS), stored either way up, with the 40-byte information
// header or a longer one (V4, V5). Compressed bitmaps and the FourCC layouts are refused.
#pragma once

#include <cstdint>
#include <string>

#include "base/failure.h"
#include "base/image.h"
#include "settings/settings.h"

namespace kestrel {

constexpr uint16_t kBitmapFileType = 0x4D42;  // "BM"
constexpr uint32_t kBitmapFileHeaderSize = 14;

// The dark frame: width/height -1 while none is usable; channels 1 or 3.
Image& DarkImage();

// Replaces the DarkImage with the file named by DarkFrame, as grey when Colour is off, else
// blue-green-red. On failure `failure` is "Can't open dark frame" with the reason beneath it,
// and the DarkImage is left exactly as it was; on success `failure` is empty.
bool LoadDarkFrame(const Settings& settings, Failure& failure);

}  // namespace kestrel
