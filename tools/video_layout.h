// How kestrel-synth stores its frames in the AVI: the stream format (strf) and the packing of
// one top-down Image into the bytes of a video chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/image.h"
#include "io/avi_format.h"
#include "io/decode.h"

namespace kestrel::synth {

enum class StoredLayout {
    Bgr24,  // BI_RGB, 24 bits, rows bottom-up, each padded to 4 bytes
    Pal8,   // BI_RGB, 8 bits with a 256-entry grey ramp, rows bottom-up, padded to 4 bytes
    Y800,   // FourCC Y800, 8-bit grey, rows top-down with no padding
};

constexpr uint32_t kPal8Colours = 256;

const char* LayoutName(StoredLayout layout);

// Bytes of one stored frame.
uint64_t FrameBytes(StoredLayout layout, int32_t width, int32_t height);

// The whole strf body: BITMAPINFOHEADER and, for Pal8, the colour table.
std::vector<uint8_t> StreamFormat(StoredLayout layout, int32_t width, int32_t height);

// The stream header for `frames` frames at `fps` frames per second.
AviStreamInfo StreamInfo(StoredLayout layout, int32_t width, int32_t height, uint32_t fps,
                         uint32_t frames);

// Packs `image` (grey or blue-green-red; grey is spread to three equal bytes for Bgr24) into
// `out`, which is resized to FrameBytes and keeps its storage between frames. Pal8 and Y800
// take grey images only.
void PackFrame(const Image& image, StoredLayout layout, std::vector<uint8_t>& out);

}  // namespace kestrel::synth
