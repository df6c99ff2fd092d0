// The SER video layout of planetary-imaging capture programs: a 178-byte header, the frames one
// after the other from offset 178, rows top row first, and optionally one 64-bit UTC timestamp
// a frame after the last one. Every header field is little-endian; the samples' own byte order
// is another matter (io/raw_samples.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kestrel {

constexpr std::string_view kSerFileId = "LUCAM-RECORDER";
constexpr size_t kSerHeaderSize = 178;
constexpr size_t kSerTextSize = 40;
static_assert(kSerFileId.size() + 7 * 4 + 3 * kSerTextSize + 2 * 8 == kSerHeaderSize);

// ColorID: how the samples of a pixel are laid out.
enum SerColour : int32_t {
    kSerMono = 0,
    kSerBayerRggb = 8,
    kSerBayerGrbg = 9,
    kSerBayerGbrg = 10,
    kSerBayerBggr = 11,
    kSerBayerCyym = 16,  // 16..19: cyan-yellow-magenta mosaics, not read here
    kSerBayerMcyy = 19,
    kSerRgb = 100,
    kSerBgr = 101,
};

struct SerHeader {
    int32_t luId = 0;
    int32_t colorId = kSerMono;
    int32_t littleEndian = 0;  // writers disagree on what it means; the samples decide
    int32_t width = 0;
    int32_t height = 0;
    int32_t depth = 8;  // bits per sample: 1..8 in a byte, 9..16 in two
    int32_t frameCount = 0;
    char observer[kSerTextSize] = {};
    char instrument[kSerTextSize] = {};
    char telescope[kSerTextSize] = {};
    int64_t dateTime = 0;  // 100 ns ticks since the start of year 1, local and UTC
    int64_t dateTimeUtc = 0;
};

// Reads the first kSerHeaderSize bytes; false when they are fewer or not a SER header.
bool ParseSerHeader(const uint8_t* data, size_t size, SerHeader& header);
void AppendSerHeader(std::vector<uint8_t>& out, const SerHeader& header);

// Samples a pixel has: 3 for the interleaved RGB and BGR layouts, 1 otherwise.
inline int SerPlanes(int32_t colorId) { return colorId == kSerRgb || colorId == kSerBgr ? 3 : 1; }
inline int SerSampleBytes(int32_t depth) { return depth > 8 ? 2 : 1; }
// Bytes of one frame; 64-bit, so that no header value can overflow it.
inline uint64_t SerFrameBytes(const SerHeader& h) {
    return uint64_t(uint32_t(h.width)) * uint32_t(h.height) * uint64_t(SerPlanes(h.colorId)) *
           uint64_t(SerSampleBytes(h.depth));
}

}  // namespace kestrel
