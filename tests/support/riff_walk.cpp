#include "support/riff_walk.h"

#include <stdexcept>

#include "support/files.h"

namespace kestrel::test {
namespace {

// The first check a file fails ends the walk, with what it says.
void Require(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

// A FourCC's characters, spelled out here rather than taken from the code under test.
std::string Text(uint32_t fcc) {
    return {char(fcc), char(fcc >> 8), char(fcc >> 16), char(fcc >> 24)};
}

struct RiffNode {
    ChunkRef chunk;    // id, data and size as stored
    std::string name;  // the id, and for a list its type: "avih", "LIST:hdrl", "RIFF:AVIX"
    std::vector<RiffNode> children;
};

std::vector<RiffNode> WalkList(const std::vector<uint8_t>& bytes, uint64_t at, uint64_t end) {
    std::vector<RiffNode> out;
    while (at < end) {
        const std::string where = " at " + std::to_string(at);
        Require(end - at >= 8, "truncated chunk header" + where);
        const uint32_t size = Le32(bytes, at + 4);
        RiffNode node{{Le32(bytes, at), at + 8, size}, Text(Le32(bytes, at)), {}};
        const uint64_t dataEnd = at + 8 + size, next = dataEnd + (size & 1);
        Require(next <= end, node.name + where + " runs past its list");
        Require(!(size & 1) || bytes[dataEnd] == 0, "pad byte of " + node.name + where);
        if (node.name == "LIST" || node.name == "RIFF") {
            Require(size >= 4, node.name + where + " has no type");
            node.name += ":" + Text(Le32(bytes, at + 8));
            node.children = WalkList(bytes, at + 12, dataEnd);
        }
        out.push_back(std::move(node));
        at = next;
    }
    return out;
}

// The names of a list's chunks, so that its make-up is checked, and told, at once.
std::string Names(const std::vector<RiffNode>& nodes) {
    std::string s;
    for (const RiffNode& n : nodes) s += (s.empty() ? "" : " ") + n.name;
    return s;
}

// Checks that the ix00 at the end of a movi list names its chunks one for one, and returns the
// chunks without it.
std::vector<ChunkRef> CheckStandardIndex(const AviLayout& layout,
                                         const std::vector<RiffNode>& movi) {
    const RiffNode& ix = movi.back();
    const std::vector<uint32_t> w = layout.words(ix.chunk);
    const size_t n = movi.size() - 1;
    // Two words an entry, an index of chunks, named after the stream: "ix00" of "00db" chunks.
    Require(ix.chunk.size == 24 + 8 * n && w[0] == (2 | 1u << 24) && w[1] == n &&
                ix.chunk.id >> 16 == (w[2] & 0xFFFF) && w[5] == 0,
            "ix00 header is wrong");
    const uint64_t base = w[3] | uint64_t(w[4]) << 32;
    std::vector<ChunkRef> chunks;
    for (size_t i = 0; i < n; ++i) {
        const RiffNode& c = movi[i];
        Require(c.chunk.id == w[2] && base + w[6 + 2 * i] == c.chunk.data &&
                    (w[7 + 2 * i] & 0x7FFFFFFF) == c.chunk.size,
                "ix00 entry " + std::to_string(i) + " does not match its chunk");
        chunks.push_back(c.chunk);
    }
    return chunks;
}

AviLayout ReadAviLayout(std::vector<uint8_t> bytes) {
    Require(bytes.size() >= 12 && Text(Le32(bytes, 0)) == "RIFF", "no RIFF header");
    const std::vector<RiffNode> top = WalkList(bytes, 0, bytes.size());
    const std::string first = Names(top[0].children);
    Require(top[0].name == "RIFF:AVI " &&
                (first == "LIST:hdrl LIST:movi" || first == "LIST:hdrl LIST:movi idx1"),
            "the file starts with " + top[0].name + " of " + first);
    for (size_t s = 1; s < top.size(); ++s)
        Require(top[s].name == "RIFF:AVIX" && Names(top[s].children) == "LIST:movi",
                "segment " + std::to_string(s) + " is " + top[s].name);
    AviLayout layout;
    layout.bytes = std::move(bytes);
    const std::vector<RiffNode>& hdrl = top[0].children[0].children;
    Require(Names(hdrl) == "avih LIST:strl LIST:odml", "hdrl holds " + Names(hdrl));
    const std::vector<RiffNode>& strl = hdrl[1].children;
    const std::vector<RiffNode>& odml = hdrl[2].children;
    const std::string names = Names(strl);
    Require(
        (names == "strh strf indx" || names == "strh strf strn indx") && strl[0].chunk.size >= 48,
        "strl holds " + names);
    Require(Names(odml) == "dmlh" && odml[0].chunk.size == 248, "odml holds no 248-byte dmlh");
    layout.avih = hdrl[0].chunk;
    layout.strh = strl[0].chunk;
    layout.indx = strl.back().chunk;
    layout.dmlh = odml[0].chunk;

    // Every segment holds one movi list of chunks ending with its ix00; the first one may be
    // followed by idx1. A file of one segment may lack its ix00.
    std::vector<ChunkRef> indexes;
    for (size_t s = 0; s < top.size(); ++s) {
        const std::vector<RiffNode>& seg = top[s].children;
        const RiffNode& movi = seg[s ? 0 : 1];
        std::vector<ChunkRef> chunks;
        if (!movi.children.empty() && movi.children.back().name.starts_with("ix")) {
            chunks = CheckStandardIndex(layout, movi.children);
            indexes.push_back(movi.children.back().chunk);
        } else {
            Require(top.size() == 1, "segment " + std::to_string(s) + " has no ix00");
            for (const RiffNode& c : movi.children) chunks.push_back(c.chunk);
        }
        if (s == 0) layout.firstSegmentFrames = chunks.size();
        if (seg.size() == 3) {  // idx1 names the chunks one for one, offsets counted from 'movi'
            const std::vector<uint32_t> w = layout.words(seg[2].chunk);
            Require(seg[2].chunk.size == 16 * chunks.size(),
                    "idx1 does not have one entry a chunk");
            for (size_t i = 0; i < chunks.size(); ++i) {
                const IndexRecord e{w[4 * i], w[4 * i + 1], w[4 * i + 2], w[4 * i + 3]};
                Require(e.id == chunks[i].id && e.size == chunks[i].size &&
                            movi.chunk.data + e.offset == chunks[i].data - 8,
                        "idx1 entry " + std::to_string(i) + " does not match its chunk");
                layout.index.push_back(e);
            }
        }
        layout.frames.insert(layout.frames.end(), chunks.begin(), chunks.end());
    }
    layout.segments = top.size();

    // The super index names every ix00, with its size and its number of chunks.
    const std::vector<uint32_t> w = layout.words(layout.indx);
    const size_t n = indexes.size();
    Require(w.size() >= 6 + 4 * n && w[0] == 4 && w[1] == n &&
                (layout.frames.empty() || w[2] == layout.frames[0].id),
            "indx header does not list every ix00");
    for (size_t i = 0; i < n; ++i) {
        const ChunkRef& ix = indexes[i];
        Require((w[6 + 4 * i] | uint64_t(w[7 + 4 * i]) << 32) == ix.data - 8 &&
                    w[8 + 4 * i] == ix.size + 8 && w[9 + 4 * i] == (ix.size - 24) / 8,
                "indx entry " + std::to_string(i) + " does not match its ix00");
    }
    return layout;
}

}  // namespace

::testing::AssertionResult ReadAviFile(const std::string& path, AviLayout& out) {
    try {
        out = ReadAviLayout(ReadFileBytes(path));
        return ::testing::AssertionSuccess();
    } catch (const std::runtime_error& e) {
        return ::testing::AssertionFailure() << path << ": " << e.what();
    }
}

}  // namespace kestrel::test
