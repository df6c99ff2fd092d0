#include "support/riff_walk.h"

#include "support/files.h"

namespace kestrel::test {

namespace {

// Spelled out here rather than taken from the code under test.
constexpr uint32_t Fcc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

uint32_t Load32(const std::vector<uint8_t>& b, uint64_t at) {
    if (at + 4 > b.size()) return 0;
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
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
        node.id = Load32(bytes, at);
        node.size = Load32(bytes, at + 4);
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
            node.listType = Load32(bytes, at + 8);
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

uint32_t AviLayout::u32(uint64_t at) const { return Load32(bytes, at); }

uint16_t AviLayout::u16(uint64_t at) const {
    return at + 2 > bytes.size() ? 0 : uint16_t(bytes[at] | bytes[at + 1] << 8);
}

std::vector<uint32_t> AviLayout::words(const ChunkRef& c) const {
    std::vector<uint32_t> out;
    for (uint64_t at = c.data; at + 4 <= c.data + c.size; at += 4) out.push_back(u32(at));
    return out;
}

bool ReadAviLayout(std::vector<uint8_t> bytes, AviLayout& out, std::string& error) {
    if (bytes.size() < 12 || Load32(bytes, 0) != Fcc("RIFF")) return Fail(error, "no RIFF header");
    if (uint64_t(Load32(bytes, 4)) + 8 != bytes.size())
        return Fail(error, "RIFF size " + std::to_string(Load32(bytes, 4)) +
                               " does not match file size " + std::to_string(bytes.size()));
    std::vector<RiffNode> top;
    if (!WalkList(bytes, 0, bytes.size(), top, error)) return false;
    if (top.size() != 1 || top[0].id != Fcc("RIFF") || top[0].listType != Fcc("AVI "))
        return Fail(error, "not one RIFF 'AVI '");
    const std::vector<RiffNode>& parts = top[0].children;
    AviLayout layout;
    if (parts.empty() || parts[0].id != Fcc("LIST") || parts[0].listType != Fcc("hdrl"))
        return Fail(error, "hdrl is not the first chunk");
    const RiffNode& hdrl = parts[0];
    if (hdrl.children.size() != 2 || hdrl.children[0].id != Fcc("avih") ||
        hdrl.children[1].listType != Fcc("strl"))
        return Fail(error, "hdrl does not hold avih and one strl");
    layout.avih = Ref(&hdrl.children[0]);
    const std::vector<RiffNode>& strl = hdrl.children[1].children;
    const size_t n = strl.size();
    if (n < 2 || n > 3 || strl[0].id != Fcc("strh") || strl[1].id != Fcc("strf") ||
        (n == 3 && strl[2].id != Fcc("strn")))
        return Fail(error, "strl is not strh, strf [, strn]");
    layout.strh = Ref(&strl[0]);
    layout.strf = Ref(&strl[1]);
    layout.strn = Ref(n == 3 ? &strl[2] : nullptr);
    if (!ParseStreamHeader(bytes.data() + layout.strh.data, layout.strh.size, layout.stream))
        return Fail(error, "strh is too short");

    if (parts.size() < 2 || parts[1].id != Fcc("LIST") || parts[1].listType != Fcc("movi"))
        return Fail(error, "no movi list after hdrl");
    const uint64_t moviFourcc = parts[1].offset + 8;  // what idx1 offsets count from
    for (const RiffNode& c : parts[1].children) layout.frames.push_back(Ref(&c));
    if (parts.size() > 3 || (parts.size() == 3 && parts[2].id != Fcc("idx1")))
        return Fail(error, "unexpected chunk after movi");
    if (parts.size() == 3) {
        layout.idx1 = Ref(&parts[2]);
        if (layout.idx1.size % 16 != 0) return Fail(error, "idx1 size is not a multiple of 16");
        const size_t entries = layout.idx1.size / 16;
        if (entries != layout.frames.size())
            return Fail(error, "idx1 has " + std::to_string(entries) + " entries for " +
                                   std::to_string(layout.frames.size()) + " chunks");
        for (size_t i = 0; i < entries; ++i) {
            const uint64_t at = layout.idx1.data + 16 * i;
            const IndexRecord e{Load32(bytes, at), Load32(bytes, at + 4), Load32(bytes, at + 8),
                                Load32(bytes, at + 12)};
            const ChunkRef& f = layout.frames[i];
            if (e.id != f.id || e.size != f.size || moviFourcc + e.offset != f.data - 8)
                return Fail(error, "idx1 entry " + std::to_string(i) + " does not match its chunk");
            layout.index.push_back(e);
        }
    }
    layout.bytes = std::move(bytes);
    out = std::move(layout);
    return true;
}

::testing::AssertionResult ReadAviFile(const std::string& path, AviLayout& out) {
    std::string error;
    if (ReadAviLayout(ReadFileBytes(path), out, error)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << ": " << error;
}

}  // namespace kestrel::test
