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
    uint32_t id = 0;
    std::string name;     // the id, and for a list its type: "avih", "LIST:hdrl", "RIFF:AVIX"
    uint64_t offset = 0;  // of the chunk header
    uint32_t size = 0;    // the size field as stored
    std::vector<RiffNode> children;
};

std::vector<RiffNode> WalkList(const std::vector<uint8_t>& bytes, uint64_t at, uint64_t end) {
    std::vector<RiffNode> out;
    while (at < end) {
        const std::string where = " at " + std::to_string(at);
        Require(end - at >= 8, "truncated chunk header" + where);
        RiffNode node{Le32(bytes, at), Text(Le32(bytes, at)), at, Le32(bytes, at + 4), {}};
        const uint64_t dataEnd = at + 8 + node.size, next = dataEnd + (node.size & 1);
        Require(next <= end, node.name + where + " runs past its list");
        Require(!(node.size & 1) || bytes[dataEnd] == 0, "pad byte of " + node.name + where);
        if (node.name == "LIST" || node.name == "RIFF") {
            Require(node.size >= 4, node.name + where + " has no type");
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

ChunkRef Ref(const RiffNode& n) { return {n.id, n.offset + 8, n.size}; }

// Checks that the ix00 at the end of a movi list names its chunks one for one, and returns the
// chunks without it.
std::vector<ChunkRef> CheckStandardIndex(const AviLayout& layout,
                                         const std::vector<RiffNode>& movi) {
    const RiffNode& ix = movi.back();
    const std::vector<uint32_t> w = layout.words(Ref(ix));
    const size_t n = movi.size() - 1;
    // Two words an entry, an index of chunks, named after the stream: "ix00" of "00db" chunks.
    Require(ix.size == 24 + 8 * n && w[0] == (2 | 1u << 24) && w[1] == n &&
                ix.id >> 16 == (w[2] & 0xFFFF) && w[5] == 0,
            "ix00 header is wrong");
    const uint64_t base = w[3] | uint64_t(w[4]) << 32;
    std::vector<ChunkRef> chunks;
    for (size_t i = 0; i < n; ++i) {
        const RiffNode& c = movi[i];
        Require(c.id == w[2] && base + w[6 + 2 * i] == c.offset + 8 &&
                    (w[7 + 2 * i] & 0x7FFFFFFF) == c.size,
                "ix00 entry " + std::to_string(i) + " does not match its chunk");
        chunks.push_back(Ref(c));
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
    Require((names == "strh strf indx" || names == "strh strf strn indx") && strl[0].size >= 48,
            "strl holds " + names);
    Require(Names(odml) == "dmlh" && odml[0].size == 248, "odml does not hold a 248-byte dmlh");
    layout.avih = Ref(hdrl[0]);
    layout.strh = Ref(strl[0]);
    layout.indx = Ref(strl.back());
    layout.dmlh = Ref(odml[0]);

    // Every segment holds one movi list of chunks ending with its ix00; the first one may be
    // followed by idx1. A file of one segment may lack its ix00.
    std::vector<const RiffNode*> indexes;
    for (size_t s = 0; s < top.size(); ++s) {
        const std::vector<RiffNode>& seg = top[s].children;
        const RiffNode& movi = seg[s ? 0 : 1];
        std::vector<ChunkRef> chunks;
        if (!movi.children.empty() && movi.children.back().name.starts_with("ix")) {
            chunks = CheckStandardIndex(layout, movi.children);
            indexes.push_back(&movi.children.back());
        } else {
            Require(top.size() == 1, "segment " + std::to_string(s) + " has no ix00");
            for (const RiffNode& c : movi.children) chunks.push_back(Ref(c));
        }
        if (s == 0) layout.firstSegmentFrames = chunks.size();
        if (seg.size() == 3) {  // idx1 names the chunks one for one, offsets counted from 'movi'
            const std::vector<uint32_t> w = layout.words(Ref(seg[2]));
            Require(seg[2].size == 16 * chunks.size(), "idx1 does not have one entry a chunk");
            for (size_t i = 0; i < chunks.size(); ++i) {
                const IndexRecord e{w[4 * i], w[4 * i + 1], w[4 * i + 2], w[4 * i + 3]};
                Require(e.id == chunks[i].id && e.size == chunks[i].size &&
                            movi.offset + 8 + e.offset == chunks[i].data - 8,
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
        const RiffNode& ix = *indexes[i];
        Require((w[6 + 4 * i] | uint64_t(w[7 + 4 * i]) << 32) == ix.offset &&
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
