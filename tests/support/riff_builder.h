// Composes AVI files byte by byte, so that tests can make valid, odd and broken inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/avi_format.h"

namespace kestrel::test {

struct TestStream {
    AviStreamInfo info;
    std::vector<uint8_t> format;  // strf body
    std::string name;             // strn body (with its NUL) when not empty
};

struct TestChunk {
    uint32_t id = 0;
    std::vector<uint8_t> data;
};

enum class TestIndex { None, Relative, Absolute };

struct TestAvi {
    std::vector<TestStream> streams;
    std::vector<TestChunk> chunks;  // the movi list, in file order
    TestIndex index = TestIndex::Relative;
    size_t recGroup = 0;  // when set, movi chunks go in "rec " lists of this many
    bool junk = false;    // odd-sized JUNK chunks in hdrl, before movi and inside it
    // Further "RIFF AVIX" segments, each with a movi list of these chunks.
    std::vector<std::vector<TestChunk>> extensions;
    // OpenDML indexes of stream 00's pictures when set ("ix00", or "00ix" as some write it):
    // each movi list ends with a standard index, the strl holds their super index.
    uint32_t stdIndexId = 0;
    bool padBytes = true;  // false: odd-sized chunks are not followed by a pad byte
};

struct BuiltAvi {
    std::vector<uint8_t> bytes;
    size_t moviFourcc = 0;                // offset of "movi"
    std::vector<size_t> chunkOffsets;     // header offset of each TestAvi chunk
    size_t idx1Offset = 0;                // header of idx1, 0 when none
    std::vector<size_t> stdIndexOffsets;  // header of each standard index
    size_t superIndexOffset = 0;          // header of indx, 0 when none
};

BuiltAvi BuildAvi(const TestAvi& avi);

// A strf body: BITMAPINFOHEADER followed by `extra` (colour table or masks).
std::vector<uint8_t> VideoFormat(int32_t width, int32_t height, uint16_t bits,
                                 uint32_t compression = kBiRgb, uint32_t clrUsed = 0,
                                 const std::vector<uint8_t>& extra = {});
TestStream VideoStream(const std::vector<uint8_t>& format, const std::string& name = "");

}  // namespace kestrel::test
