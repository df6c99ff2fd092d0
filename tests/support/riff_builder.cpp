#include "support/riff_builder.h"

#include <algorithm>

#include "base/byte_cursor.h"
#include "support/samples.h"

namespace kestrel::test {
namespace {

// Appends chunks and lists to `bytes`, each list's size set when it ends.
struct RiffBuilder {
    std::vector<uint8_t> bytes;
    std::vector<size_t> open;  // size fields of the lists not yet ended
    bool pad = true;           // odd-sized chunks are followed by a pad byte

    void begin(uint32_t id, uint32_t type) {
        PutU32(bytes, id);
        open.push_back(bytes.size());
        PutU32(bytes, 0);
        PutU32(bytes, type);
    }
    void end() {
        PatchU32(bytes, open.back(), uint32_t(bytes.size() - open.back() - 4));
        open.pop_back();
    }
    // Returns the header's offset.
    size_t chunk(uint32_t id, const std::vector<uint8_t>& body) {
        const size_t at = bytes.size();
        PutU32(bytes, id);
        PutU32(bytes, uint32_t(body.size()));
        PutBytes(bytes, body.data(), body.size());
        if ((body.size() & 1) && pad) PutU8(bytes, 0);
        return at;
    }
};

void MoviChunks(RiffBuilder& b, const std::vector<TestChunk>& chunks, size_t recGroup,
                std::vector<size_t>& offsets) {
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (recGroup && i % recGroup == 0) b.begin(kFccList, kFccRec);
        offsets.push_back(b.chunk(chunks[i].id, chunks[i].data));
        if (recGroup && (i % recGroup == recGroup - 1 || i + 1 == chunks.size())) b.end();
    }
}

// Ends a movi list with the standard index of the pictures of stream 00 in it.
size_t StandardIndex(RiffBuilder& b, uint32_t indexId, const std::vector<TestChunk>& chunks,
                     const std::vector<size_t>& offsets) {
    std::vector<uint8_t> body;
    std::vector<size_t> listed;
    for (size_t i = 0; i < chunks.size(); ++i)
        if (chunks[i].id == FourCC("00db") || chunks[i].id == FourCC("00dc")) listed.push_back(i);
    const uint64_t base = listed.empty() ? 0 : offsets[listed[0]];
    PutU32(body, 2 | uint32_t(kAviIndexOfChunks) << 24);  // two 32-bit words an entry
    PutU32(body, uint32_t(listed.size()));
    PutU32(body, listed.empty() ? FourCC("00db") : chunks[listed[0]].id);
    PutU64(body, base);
    PutU32(body, 0);
    for (size_t i : listed) {
        PutU32(body, uint32_t(offsets[i] + 8 - base));
        PutU32(body, uint32_t(chunks[i].data.size()));
    }
    return b.chunk(indexId, body);
}

}  // namespace

BuiltAvi BuildAvi(const TestAvi& avi) {
    RiffBuilder b;
    b.pad = avi.padBytes;
    BuiltAvi out;
    const bool odml = avi.stdIndexId != 0;
    const size_t segments = 1 + avi.extensions.size();
    const size_t indxSize = kSuperIndexHeaderSize + kSuperIndexEntrySize * segments;
    b.begin(kFccRiff, kFccAvi);
    b.begin(kFccList, kFccHdrl);
    std::vector<uint8_t> body;
    AppendMainHeader(body, {.dwFlags = avi.index != TestIndex::None ? kAvifHasIndex : 0,
                            .dwTotalFrames = uint32_t(avi.chunks.size()),
                            .dwStreams = uint32_t(avi.streams.size())});
    b.chunk(kFccAvih, body);
    if (avi.junk) b.chunk(kFccJunk, {1, 2, 3, 4, 5});
    for (const TestStream& s : avi.streams) {
        b.begin(kFccList, kFccStrl);
        body.clear();
        AppendStreamHeader(body, s.info);
        b.chunk(kFccStrh, body);
        b.chunk(kFccStrf, s.format);
        if (avi.junk) b.chunk(kFccJunk, {9});
        const char* name = s.name.c_str();  // with its NUL
        if (*name) b.chunk(kFccStrn, std::vector<uint8_t>(name, name + s.name.size() + 1));
        // Entries are filled in once the standard indexes are placed.
        if (odml && &s == &avi.streams[0])
            out.superIndexOffset = b.chunk(kFccIndx, std::vector<uint8_t>(indxSize));
        b.end();
    }
    b.end();
    if (avi.junk) b.chunk(kFccJunk, {0, 0, 0});
    b.begin(kFccList, kFccMovi);
    out.moviFourcc = b.bytes.size() - 4;
    if (avi.junk) b.chunk(kFccJunk, {7, 7, 7, 7, 7, 7, 7});
    MoviChunks(b, avi.chunks, avi.recGroup, out.chunkOffsets);
    if (odml)
        out.stdIndexOffsets.push_back(
            StandardIndex(b, avi.stdIndexId, avi.chunks, out.chunkOffsets));
    b.end();
    if (avi.index != TestIndex::None) {
        body.clear();
        const size_t from = avi.index == TestIndex::Relative ? out.moviFourcc : 0;
        for (size_t i = 0; i < avi.chunks.size(); ++i) {
            PutU32(body, avi.chunks[i].id);
            PutU32(body, kAviifKeyframe);
            PutU32(body, uint32_t(out.chunkOffsets[i] - from));
            PutU32(body, uint32_t(avi.chunks[i].data.size()));
        }
        out.idx1Offset = b.chunk(kFccIdx1, body);
    }
    b.end();
    for (const std::vector<TestChunk>& segment : avi.extensions) {
        b.begin(kFccRiff, kFccAvix);
        b.begin(kFccList, kFccMovi);
        std::vector<size_t> offsets;
        MoviChunks(b, segment, 0, offsets);
        if (odml) out.stdIndexOffsets.push_back(StandardIndex(b, avi.stdIndexId, segment, offsets));
        b.end();
        b.end();
    }
    if (odml) {
        std::vector<uint8_t> super;
        PutU32(super, 4 | uint32_t(kAviIndexOfIndexes) << 24);  // four words an entry
        PutU32(super, uint32_t(segments));
        PutU32(super, FourCC("00db"));
        super.resize(kSuperIndexHeaderSize);
        for (const size_t ix : out.stdIndexOffsets) {
            PutU64(super, ix);
            PutU32(super, Le32(b.bytes, ix + 4) + 8);
            PutU32(super, 1);
        }
        std::ranges::copy(super, b.bytes.begin() + std::ptrdiff_t(out.superIndexOffset + 8));
    }
    out.bytes = std::move(b.bytes);
    return out;
}

std::vector<uint8_t> VideoFormat(int32_t width, int32_t height, uint16_t bits, uint32_t compression,
                                 uint32_t clrUsed, const std::vector<uint8_t>& extra) {
    std::vector<uint8_t> out;
    AppendBitmapInfoHeader(out, {.biWidth = width,
                                 .biHeight = height,
                                 .biBitCount = bits,
                                 .biCompression = compression,
                                 .biClrUsed = clrUsed});
    PutBytes(out, extra.data(), extra.size());
    return out;
}

TestStream VideoStream(const std::vector<uint8_t>& format, const std::string& name) {
    return {{.fccType = kFccVids, .fccHandler = FourCC("DIB "), .dwScale = 1, .dwRate = 25},
            format,
            name};
}

}  // namespace kestrel::test
