// How kestrel-synth stores its frames: in the AVI, the stream format (strf) and the packing of
// one top-down Image into the bytes of a video chunk; in the SER, the header, the samples of a
// frame and the timestamps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/image.h"
#include "io/avi_format.h"
#include "io/bayer.h"
#include "io/decode.h"
#include "io/ser_format.h"

namespace kestrel::synth {

enum class StoredLayout {
    Bgr24,  // AVI: BI_RGB, 24 bits, rows bottom-up, each padded to 4 bytes; SER: BGR
    Pal8,   // BI_RGB, 8 bits with a 256-entry grey ramp, rows bottom-up, padded to 4 bytes
    Y800,   // AVI: FourCC Y800, 8-bit grey, rows top-down with no padding; SER: mono
    Rgb24,  // SER only: red, green, blue
    // One sample a pixel, the channel the mosaic keeps there; rows as Y800. In the order of the
    // SER colour ids, the AVI's FourCC is the pattern's name.
    BayerRggb,
    BayerGrbg,
    BayerGbrg,
    BayerBggr,
};

constexpr uint32_t kPal8Colours = 256;

const char* LayoutName(StoredLayout layout);
bool IsBayer(StoredLayout layout);
// The pattern of a Bayer layout (None for the others), and the layout of a pattern.
Bayer PatternOf(StoredLayout layout);
StoredLayout LayoutOf(Bayer pattern);

// Bytes of one stored AVI frame.
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

// The mosaic of a colour (or grey) image, one byte a pixel, rows top-down: at (x, y) the
// pattern's letter at (x % 2, y % 2) names the channel kept; RGGB keeps red top-left, blue
// bottom-right. `out` is resized to width x height.
void Mosaic(const Image& image, StoredLayout bayer, std::vector<uint8_t>& out);

// How a SER stores its samples: `bits` per sample (8..16), two bytes each above 8, in the
// order `bigEndian` says; `leFlag` is what the header claims, true or not.
struct SerSamples {
    int32_t bits = 8;
    bool bigEndian = false;
    int32_t leFlag = 0;
};

SerHeader MakeSerHeader(StoredLayout layout, int32_t width, int32_t height, const SerSamples& s);

// One SER frame of `image` in `out`. Above 8 bits a sample is the 8-bit level shifted up, its
// low bits a dither drawn from `ditherKey`, so that they vary like a camera's.
void PackSerFrame(const Image& image, StoredLayout layout, const SerSamples& s, uint64_t ditherKey,
                  std::vector<uint8_t>& out);

// The UTC capture times of `frames` frames at `fps`, in 100 ns ticks since year 1.
std::vector<int64_t> SerTimestamps(uint32_t frames, uint32_t fps);

}  // namespace kestrel::synth
