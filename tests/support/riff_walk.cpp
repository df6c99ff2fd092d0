#include "support/riff_walk.h"

#include <fstream>
#include <iterator>

namespace kestrel::test {

namespace {

bool WalkList(const std::vector<uint8_t>& bytes, uint64_t begin, uint64_t end,
              std::vector<RiffNode>& out, std::string& error) {
    uint64_t at = begin;
    while (at < end) {
        if (end - at < 8) {
            error = "truncated chunk header at " + std::to_string(at);
            return false;
        }
        RiffNode node;
        node.offset = at;
        node.id = LoadU32(bytes, at);
        node.size = LoadU32(bytes, at + 4);
        const uint64_t dataEnd = at + 8 + node.size;
        const uint64_t next = dataEnd + (node.size & 1);
        if (next > end) {
            error = "chunk " + FccText(node.id) + " at " + std::to_string(at) +
                    " runs past its list";
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
            node.listType = LoadU32(bytes, at + 8);
            if (!WalkList(bytes, at + 12, dataEnd, node.children, error)) return false;
        }
        out.push_back(std::move(node));
        at = next;
    }
    return true;
}

}  // namespace

const RiffNode* RiffNode::child(uint32_t wanted, uint32_t wantedType) const {
    for (const RiffNode& c : children)
        if (c.id == wanted && (wantedType == 0 || c.listType == wantedType)) return &c;
    return nullptr;
}

std::vector<const RiffNode*> RiffNode::childrenWithId(uint32_t wanted) const {
    std::vector<const RiffNode*> found;
    for (const RiffNode& c : children)
        if (c.id == wanted) found.push_back(&c);
    return found;
}

std::string FccText(uint32_t fcc) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = char(fcc >> (8 * i));
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return "'" + s + "'";
}

bool WalkRiff(const std::vector<uint8_t>& bytes, RiffNode& root, std::string& error) {
    if (bytes.size() < 12 || LoadU32(bytes, 0) != Fcc("RIFF")) {
        error = "no RIFF header";
        return false;
    }
    if (uint64_t(LoadU32(bytes, 4)) + 8 != bytes.size()) {
        error = "RIFF size " + std::to_string(LoadU32(bytes, 4)) + " does not match file size " +
                std::to_string(bytes.size());
        return false;
    }
    std::vector<RiffNode> top;
    if (!WalkList(bytes, 0, bytes.size(), top, error)) return false;
    if (top.size() != 1) {
        error = "more than one top-level chunk";
        return false;
    }
    root = std::move(top[0]);
    return true;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

namespace {

ChunkRef Ref(const RiffNode* n) {
    ChunkRef r;
    if (n) {
        r.id = n->id;
        r.data = n->dataOffset();
        r.size = n->size;
        r.present = true;
    }
    return r;
}

bool Fail(std::string& error, const std::string& what) {
    error = what;
    return false;
}

}  // namespace

bool ReadAviLayout(const std::vector<uint8_t>& bytes, AviLayout& out, std::string& error) {
    RiffNode root;
    if (!WalkRiff(bytes, root, error)) return false;
    if (root.listType != Fcc("AVI ")) return Fail(error, "not an AVI file");
    AviLayout layout;
    layout.riffSize = root.size;
    const std::vector<RiffNode>& top = root.children;
    if (top.empty() || top[0].id != Fcc("LIST") || top[0].listType != Fcc("hdrl"))
        return Fail(error, "hdrl is not the first chunk");
    const RiffNode& hdrl = top[0];
    if (hdrl.children.size() != 2 || hdrl.children[0].id != Fcc("avih") ||
        hdrl.children[1].listType != Fcc("strl"))
        return Fail(error, "hdrl does not hold avih and one strl");
    layout.avih = Ref(&hdrl.children[0]);
    const RiffNode& strl = hdrl.children[1];
    const size_t n = strl.children.size();
    if (n < 2 || n > 3 || strl.children[0].id != Fcc("strh") || strl.children[1].id != Fcc("strf") ||
        (n == 3 && strl.children[2].id != Fcc("strn")))
        return Fail(error, "strl is not strh, strf [, strn]");
    layout.strh = Ref(&strl.children[0]);
    layout.strf = Ref(&strl.children[1]);
    layout.strn = Ref(n == 3 ? &strl.children[2] : nullptr);

    if (top.size() < 2 || top[1].listType != Fcc("movi")) return Fail(error, "no movi list after hdrl");
    const RiffNode& movi = top[1];
    layout.moviFourcc = movi.offset + 8;
    for (const RiffNode& c : movi.children) layout.frames.push_back(Ref(&c));
    if (top.size() > 3 || (top.size() == 3 && top[2].id != Fcc("idx1")))
        return Fail(error, "unexpected chunk after movi");
    if (top.size() == 3) {
        layout.idx1 = Ref(&top[2]);
        if (layout.idx1.size % 16 != 0) return Fail(error, "idx1 size is not a multiple of 16");
        const size_t entries = layout.idx1.size / 16;
        if (entries != layout.frames.size())
            return Fail(error, "idx1 has " + std::to_string(entries) + " entries for " +
                                   std::to_string(layout.frames.size()) + " chunks");
        for (size_t i = 0; i < entries; ++i) {
            const uint64_t at = layout.idx1.data + 16 * i;
            IndexRecord e{LoadU32(bytes, at), LoadU32(bytes, at + 4), LoadU32(bytes, at + 8),
                          LoadU32(bytes, at + 12)};
            const ChunkRef& f = layout.frames[i];
            if (e.id != f.id || e.size != f.size || layout.moviFourcc + e.offset != f.data - 8)
                return Fail(error, "idx1 entry " + std::to_string(i) + " does not match its chunk");
            layout.index.push_back(e);
        }
    }
    out = std::move(layout);
    return true;
}

uint32_t LoadU32(const std::vector<uint8_t>& b, uint64_t at) {
    if (at + 4 > b.size()) return 0;
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

uint16_t LoadU16(const std::vector<uint8_t>& b, uint64_t at) {
    if (at + 2 > b.size()) return 0;
    return uint16_t(b[at] | b[at + 1] << 8);
}

}  // namespace kestrel::test
