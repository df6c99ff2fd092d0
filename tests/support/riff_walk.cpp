#include "support/riff_walk.h"

#include "support/files.h"
#include "support/samples.h"

namespace kestrel::test {

namespace {

// Spelled out here rather than taken from the code under test.
constexpr uint32_t Fcc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

std::string FccText(uint32_t fcc) {
    std::string s = "'";
    for (int i = 0; i < 4; ++i) {
        const char c = char(fcc >> (8 * i));
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s + "'";
}

struct RiffNode {
    uint32_t id = 0;        // chunk id; "RIFF" or "LIST" for lists
    uint32_t listType = 0;  // "AVI ", "hdrl", ... for lists, 0 otherwise
    uint64_t offset = 0;    // of the chunk header
    uint32_t size = 0;      // the size field as stored
    std::vector<RiffNode> children;
};

bool WalkList(const std::vector<uint8_t>& bytes, uint64_t at, uint64_t end,
              std::vector<RiffNode>& out, std::string& error) {
    while (at < end) {
        if (end - at < 8) {
            error = "truncated chunk header at " + std::to_string(at);
            return false;
        }
        RiffNode node;
        node.offset = at;
        node.id = Le32(bytes, at);
        node.size = Le32(bytes, at + 4);
        const uint64_t dataEnd = at + 8 + node.size;
        const uint64_t next = dataEnd + (node.size & 1);
        if (next > end) {
            error =
                "chunk " + FccText(node.id) + " at " + std::to_string(at) + " runs past its list";
            return false;
        }
        if ((node.size & 1) && bytes[dataEnd] != 0) {
            error = "pad byte after " + FccText(node.id) + " is not 0";
            return false;
        }
        if (node.id == Fcc("LIST") || node.id == Fcc("RIFF")) {
            if (node.size < 4) {
                error = "list at " + std::to_string(at) + " has no type";
                return false;
            }
            node.listType = Le32(bytes, at + 8);
            if (!WalkList(bytes, at + 12, dataEnd, node.children, error)) return false;
        }
        out.push_back(std::move(node));
        at = next;
    }
    return true;
}

ChunkRef Ref(const RiffNode* n) {
    if (!n) return {};
    return {n->id, n->offset + 8, n->size, true};
}

bool Fail(std::string& error, const std::string& what) {
    error = what;
    return false;
}

}  // namespace

uint32_t AviLayout::u32(uint64_t at) const { return Le32(bytes, at); }

uint16_t AviLayout::u16(uint64_t at) const { return Le16(bytes, at); }

std::vector<uint32_t> AviLayout::words(const ChunkRef& c) const {
    std::vector<uint32_t> out;
    for (uint64_t at = c.data; at + 4 <= c.data + c.size; at += 4) out.push_back(u32(at));
    return out;
}

namespace {

// Checks that the ix00 at the end of a movi list names its chunks one for one, and returns the
// chunks without it.
bool CheckStandardIndex(const AviLayout& layout, const std::vector<RiffNode>& movi,
                        std::vector<ChunkRef>& chunks, std::string& error) {
    if (movi.empty() || (movi.back().id & 0xFFFF) != (Fcc("ix00") & 0xFFFF))
        return Fail(error, "movi list does not end with ix00");
    const RiffNode& ix = movi.back();
    const uint64_t at = ix.offset + 8;
    const size_t n = movi.size() - 1;
    if (ix.size != 24 + 8 * n) return Fail(error, "ix00 size does not fit its chunks");
    if (layout.u16(at) != 2 || layout.bytes[at + 2] != 0 || layout.bytes[at + 3] != 1 ||
        layout.u32(at + 4) != n || layout.u32(at + 20) != 0)
        return Fail(error, "ix00 header is wrong");
    // Named after the stream: "ix00" indexes "00db" or "00dc" chunks.
    const uint32_t chunkId = layout.u32(at + 8);
    if (ix.id >> 16 != (chunkId & 0xFFFF)) return Fail(error, "ix00 is not its stream's");
    const uint64_t base = uint64_t(layout.u32(at + 12)) | uint64_t(layout.u32(at + 16)) << 32;
    for (size_t i = 0; i < n; ++i) {
        const RiffNode& c = movi[i];
        const uint32_t offset = layout.u32(at + 24 + 8 * i);
        const uint32_t size = layout.u32(at + 28 + 8 * i);
        if (c.id != chunkId || base + offset != c.offset + 8 || (size & 0x7FFFFFFF) != c.size)
            return Fail(error, "ix00 entry " + std::to_string(i) + " does not match its chunk");
        chunks.push_back(Ref(&c));
    }
    return true;
}

}  // namespace

namespace {

bool ReadAviLayout(std::vector<uint8_t> bytes, AviLayout& out, std::string& error) {
    if (bytes.size() < 12 || Le32(bytes, 0) != Fcc("RIFF")) return Fail(error, "no RIFF header");
    std::vector<RiffNode> top;
    if (!WalkList(bytes, 0, bytes.size(), top, error)) return false;
    if (top.empty() || top[0].id != Fcc("RIFF") || top[0].listType != Fcc("AVI "))
        return Fail(error, "the file does not start with RIFF 'AVI '");
    for (size_t i = 1; i < top.size(); ++i)
        if (top[i].id != Fcc("RIFF") || top[i].listType != Fcc("AVIX"))
            return Fail(error, "segment " + std::to_string(i) + " is not RIFF 'AVIX'");
    AviLayout layout;
    layout.bytes = std::move(bytes);
    const std::vector<RiffNode>& parts = top[0].children;
    if (parts.empty() || parts[0].id != Fcc("LIST") || parts[0].listType != Fcc("hdrl"))
        return Fail(error, "hdrl is not the first chunk");
    const RiffNode& hdrl = parts[0];
    if (hdrl.children.size() != 3 || hdrl.children[0].id != Fcc("avih") ||
        hdrl.children[1].listType != Fcc("strl") || hdrl.children[2].listType != Fcc("odml"))
        return Fail(error, "hdrl does not hold avih, one strl and odml");
    layout.avih = Ref(&hdrl.children[0]);
    const std::vector<RiffNode>& odml = hdrl.children[2].children;
    if (odml.size() != 1 || odml[0].id != Fcc("dmlh") || odml[0].size != 248)
        return Fail(error, "odml does not hold a 248-byte dmlh");
    layout.dmlh = Ref(&odml[0]);
    const std::vector<RiffNode>& strl = hdrl.children[1].children;
    const size_t n = strl.size();
    if (n < 3 || n > 4 || strl[0].id != Fcc("strh") || strl[1].id != Fcc("strf") ||
        (n == 4 && strl[2].id != Fcc("strn")) || strl[n - 1].id != Fcc("indx"))
        return Fail(error, "strl is not strh, strf [, strn], indx");
    layout.strh = Ref(&strl[0]);
    layout.strf = Ref(&strl[1]);
    layout.strn = Ref(n == 4 ? &strl[2] : nullptr);
    layout.indx = Ref(&strl[n - 1]);
    if (!ParseStreamHeader(layout.bytes.data() + layout.strh.data, layout.strh.size, layout.stream))
        return Fail(error, "strh is too short");

    // Every segment holds one movi list of chunks ending with its ix00; the first one may be
    // followed by idx1.
    std::vector<const RiffNode*> indexes;
    for (size_t s = 0; s < top.size(); ++s) {
        const std::vector<RiffNode>& seg = top[s].children;
        const size_t moviAt = s == 0 ? 1 : 0;
        if (seg.size() <= moviAt || seg[moviAt].id != Fcc("LIST") ||
            seg[moviAt].listType != Fcc("movi"))
            return Fail(error, "no movi list in segment " + std::to_string(s));
        const RiffNode& movi = seg[moviAt];
        const bool hasIndex = !movi.children.empty() &&
                              (movi.children.back().id & 0xFFFF) == (Fcc("ix00") & 0xFFFF);
        std::vector<ChunkRef> chunks;
        if (hasIndex) {
            if (!CheckStandardIndex(layout, movi.children, chunks, error)) return false;
            indexes.push_back(&movi.children.back());
        } else if (top.size() > 1) {
            return Fail(error, "segment " + std::to_string(s) + " has no ix00");
        } else {
            for (const RiffNode& c : movi.children) chunks.push_back(Ref(&c));
        }
        if (s == 0) layout.firstSegmentFrames = chunks.size();
        layout.frames.insert(layout.frames.end(), chunks.begin(), chunks.end());
        const size_t extra = seg.size() - moviAt - 1;
        if (s > 0 && extra != 0) return Fail(error, "unexpected chunk after an AVIX movi list");
        if (s == 0 && (extra > 1 || (extra == 1 && seg[2].id != Fcc("idx1"))))
            return Fail(error, "unexpected chunk after movi");
        if (s == 0 && extra == 1) {
            layout.idx1 = Ref(&seg[2]);
            if (layout.idx1.size % 16 != 0) return Fail(error, "idx1 size is not a multiple of 16");
            const size_t entries = layout.idx1.size / 16;
            if (entries != chunks.size())
                return Fail(error, "idx1 has " + std::to_string(entries) + " entries for " +
                                       std::to_string(chunks.size()) + " chunks");
            const uint64_t moviFourcc = movi.offset + 8;  // what idx1 offsets count from
            for (size_t i = 0; i < entries; ++i) {
                const uint64_t at = layout.idx1.data + 16 * i;
                const IndexRecord e{layout.u32(at), layout.u32(at + 4), layout.u32(at + 8),
                                    layout.u32(at + 12)};
                const ChunkRef& f = chunks[i];
                if (e.id != f.id || e.size != f.size || moviFourcc + e.offset != f.data - 8)
                    return Fail(error,
                                "idx1 entry " + std::to_string(i) + " does not match its chunk");
                layout.index.push_back(e);
            }
        }
    }
    layout.segments = top.size();

    // The super index names every ix00, with its size and its number of chunks.
    const uint64_t at = layout.indx.data;
    const size_t used = layout.u32(at + 4);
    if (layout.u16(at) != 4 || layout.bytes[at + 3] != 0 ||
        (!layout.frames.empty() && layout.u32(at + 8) != layout.frames[0].id))
        return Fail(error, "indx header is wrong");
    if (used != indexes.size() || layout.indx.size < 24 + 16 * used)
        return Fail(error, "indx lists " + std::to_string(used) + " of " +
                               std::to_string(indexes.size()) + " ix00 chunks");
    for (size_t i = 0; i < used; ++i) {
        const uint64_t e = at + 24 + 16 * i;
        const uint64_t offset = uint64_t(layout.u32(e)) | uint64_t(layout.u32(e + 4)) << 32;
        const RiffNode& ix = *indexes[i];
        if (offset != ix.offset || layout.u32(e + 8) != ix.size + 8 ||
            layout.u32(e + 12) != (ix.size - 24) / 8)
            return Fail(error, "indx entry " + std::to_string(i) + " does not match its ix00");
    }
    out = std::move(layout);
    return true;
}

}  // namespace

::testing::AssertionResult ReadAviFile(const std::string& path, AviLayout& out) {
    std::string error;
    if (ReadAviLayout(ReadFileBytes(path), out, error)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << ": " << error;
}

}  // namespace kestrel::test
