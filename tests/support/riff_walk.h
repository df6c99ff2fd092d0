// A strict reader of RIFF chunk trees for tests: it trusts nothing the writer under test says
// and refuses any tree whose sizes do not add up exactly (lists filled to the byte, odd chunks
// followed by one zero pad byte, the RIFF size matching the file).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::test {

struct RiffNode {
    uint32_t id = 0;        // chunk id; "RIFF" or "LIST" for lists
    uint32_t listType = 0;  // "AVI ", "hdrl", ... for lists, 0 otherwise
    uint64_t offset = 0;    // of the chunk header, from the start of the file
    uint32_t size = 0;      // the size field as stored
    std::vector<RiffNode> children;

    bool isList() const { return listType != 0; }
    uint64_t dataOffset() const { return offset + 8; }
    // First child with this id (and list type, for lists), or null.
    const RiffNode* child(uint32_t id, uint32_t listType = 0) const;
    std::vector<const RiffNode*> childrenWithId(uint32_t id) const;
};

constexpr uint32_t Fcc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}
std::string FccText(uint32_t fcc);

// Parses the whole file. False with `error` naming the first inconsistency.
bool WalkRiff(const std::vector<uint8_t>& bytes, RiffNode& root, std::string& error);

// Where one chunk's data lies in the file.
struct ChunkRef {
    uint32_t id = 0;
    uint64_t data = 0;  // offset of the data, after the 8-byte header
    uint32_t size = 0;
    bool present = false;
};

struct IndexRecord {
    uint32_t id, flags, offset, size;
};

// The parts of a one-stream AVI file, found by the walk.
struct AviLayout {
    ChunkRef avih, strh, strf, strn, idx1;
    uint32_t riffSize = 0;
    uint64_t moviFourcc = 0;  // offset of the 'movi' list type, what idx1 offsets count from
    std::vector<ChunkRef> frames;  // the movi list's chunks, in order
    std::vector<IndexRecord> index;
};

// Walks `bytes` and checks the tree RIFF 'AVI ' { LIST hdrl { avih, LIST strl { strh, strf,
// [strn] } }, LIST movi { chunks }, [idx1] }; when idx1 is there, its entries must name the
// movi chunks one for one (id, size, offset of the header from 'movi').
bool ReadAviLayout(const std::vector<uint8_t>& bytes, AviLayout& out, std::string& error);

std::vector<uint8_t> ReadWholeFile(const std::string& path);

// Little-endian loads that return 0 outside the buffer (the walk has checked the ranges).
uint32_t LoadU32(const std::vector<uint8_t>& bytes, uint64_t at);
uint16_t LoadU16(const std::vector<uint8_t>& bytes, uint64_t at);

}  // namespace kestrel::test
