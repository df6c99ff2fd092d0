// A strict reader of the RIFF files the code under test writes: it trusts nothing the writer
// says and refuses any tree whose sizes do not add up exactly (lists filled to the byte, odd
// chunks followed by one zero pad byte, the RIFF size matching the file).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "io/avi_format.h"
#include "support/samples.h"

namespace kestrel::test {

// Where one chunk's data lies in the file.
struct ChunkRef {
    uint32_t id = 0;
    uint64_t data = 0;  // offset of the data, after the 8-byte header
    uint32_t size = 0;
};

struct IndexRecord {
    uint32_t id, flags, offset, size;
};

// Offsets of AVIMAINHEADER fields in avih.
enum AvihField : uint64_t { kAvihTotalFrames = 16 };

// The parts of a one-stream AVI file, found by the walk.
struct AviLayout {
    std::vector<uint8_t> bytes;  // the whole file
    ChunkRef avih, strh, indx, dmlh;
    std::vector<ChunkRef> frames;    // the movi lists' chunks, in order, without their ix00
    std::vector<IndexRecord> index;  // idx1, of the first segment
    size_t segments = 0;
    size_t firstSegmentFrames = 0;

    // Little-endian loads that give 0 outside the file.
    uint32_t u32(uint64_t at) const { return Le32(bytes, at); }
    uint32_t avihField(AvihField field) const { return u32(avih.data + field); }
    // A chunk's data as little-endian 32-bit words (a final partial word is left out).
    std::vector<uint32_t> words(const ChunkRef& c) const {
        std::vector<uint32_t> out;
        for (uint64_t at = c.data; at + 4 <= c.data + c.size; at += 4) out.push_back(u32(at));
        return out;
    }
    std::vector<uint8_t> dataOf(const ChunkRef& c) const {
        return {bytes.begin() + std::ptrdiff_t(c.data),
                bytes.begin() + std::ptrdiff_t(c.data + c.size)};
    }
};

// Walks the file at `path` and checks the tree RIFF 'AVI ' { LIST hdrl { avih, LIST strl { strh,
// strf, [strn], indx }, LIST odml { dmlh } }, LIST movi { chunks, ix00 }, [idx1] } followed by
// any number of RIFF 'AVIX' { LIST movi { chunks, ix00 } }. Each segment's RIFF size must end
// where the next begins; each ix00 must name its movi chunks one for one, idx1 those of the
// first segment (id, size, offset of the header from 'movi'), and indx every ix00. A file of
// one segment may lack its ix00 and idx1 (a writer that had no room left for them).
::testing::AssertionResult ReadAviFile(const std::string& path, AviLayout& out);

}  // namespace kestrel::test
