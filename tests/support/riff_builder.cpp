#include "support/riff_builder.h"

#include "base/byte_cursor.h"

namespace kestrel::test {

namespace {

class RiffBuilder {
public:
    // Opens a RIFF or LIST of form `type`; end() closes it and sets its size.
    void begin(uint32_t id, uint32_t type) {
        PutU32(bytes_, id);
        open_.push_back(bytes_.size());
        PutU32(bytes_, 0);
        PutU32(bytes_, type);
    }
    void end() {
        PatchU32(bytes_, open_.back(), uint32_t(bytes_.size() - open_.back() - 4));
        open_.pop_back();
    }
    // Writes a chunk and its pad byte when the size is odd; returns the header's offset.
    size_t chunk(uint32_t id, const std::vector<uint8_t>& body) {
        const size_t at = bytes_.size();
        PutU32(bytes_, id);
        PutU32(bytes_, uint32_t(body.size()));
        PutBytes(bytes_, body.data(), body.size());
        if ((body.size() & 1) && pad) PutU8(bytes_, 0);
        return at;
    }
    bool pad = true;
    size_t size() const { return bytes_.size(); }
    std::vector<uint8_t>& bytes() { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    std::vector<size_t> open_;
};

struct Segment {
    std::vector<size_t> offsets;  // chunk headers
    size_t indexAt = 0;           // standard index header
};

void MoviChunks(RiffBuilder& b, const std::vector<TestChunk>& chunks, size_t recGroup,
                std::vector<size_t>& offsets) {
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (recGroup && i % recGroup == 0) b.begin(kFccList, kFccRec);
        offsets.push_back(b.chunk(chunks[i].id, chunks[i].data));
        if (recGroup && (i % recGroup == recGroup - 1 || i + 1 == chunks.size())) b.end();
    }
}

// Ends a movi list with the standard index of the chunks of `stream`'s pictures in it.
size_t StandardIndex(RiffBuilder& b, uint32_t indexId, uint32_t stream,
                     const std::vector<TestChunk>& chunks, const std::vector<size_t>& offsets) {
    std::vector<uint8_t> body;
    std::vector<size_t> listed;
    for (size_t i = 0; i < chunks.size(); ++i)
        if ((chunks[i].id & 0xFFFF) == (stream & 0xFFFF) &&
            (chunks[i].id >> 16 == ('d' | 'b' << 8) || chunks[i].id >> 16 == ('d' | 'c' << 8)))
            listed.push_back(i);
    const uint64_t base = listed.empty() ? 0 : offsets[listed[0]];
    PutU16(body, 2);
    PutU8(body, 0);
    PutU8(body, kAviIndexOfChunks);
    PutU32(body, uint32_t(listed.size()));
    PutU32(body, listed.empty() ? stream : chunks[listed[0]].id);
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
    // The stream the OpenDML indexes are for: the first video stream, as "NN" of its chunk ids.
    uint32_t odmlStream = 0;
    for (size_t i = 0; i < avi.streams.size(); ++i) {
        if (avi.streams[i].info.fccType == kFccVids) {
            odmlStream = uint32_t('0' + i / 10) | uint32_t('0' + i % 10) << 8;
            break;
        }
    }
    const bool odml = avi.stdIndexId != 0;
    const size_t segments = 1 + avi.extensions.size();
    b.begin(kFccRiff, kFccAvi);
    b.begin(kFccList, kFccHdrl);
    AviMainHeader main;
    main.dwStreams = uint32_t(avi.streams.size());
    main.dwTotalFrames = uint32_t(avi.chunks.size());
    main.dwFlags = avi.index != TestIndex::None ? kAvifHasIndex : 0;
    std::vector<uint8_t> body;
    AppendMainHeader(body, main);
    b.chunk(kFccAvih, body);
    if (avi.junk) b.chunk(kFccJunk, {1, 2, 3, 4, 5});
    bool superIndexWritten = false;
    for (const TestStream& s : avi.streams) {
        b.begin(kFccList, kFccStrl);
        body.clear();
        AppendStreamHeader(body, s.info);
        b.chunk(kFccStrh, body);
        b.chunk(kFccStrf, s.format);
        if (avi.junk) b.chunk(kFccJunk, {9});
        if (!s.name.empty()) {
            std::vector<uint8_t> name(s.name.begin(), s.name.end());
            name.push_back(0);
            b.chunk(kFccStrn, name);
        }
        if (odml && s.info.fccType == kFccVids && !superIndexWritten) {
            // Entries are filled in once the standard indexes are placed.
            out.superIndexOffset =
                b.chunk(kFccIndx, std::vector<uint8_t>(kSuperIndexHeaderSize +
                                                       kSuperIndexEntrySize * segments));
            superIndexWritten = true;
        }
        b.end();
    }
    b.end();
    out.headerListEnd = b.size();
    if (avi.junk) b.chunk(kFccJunk, {0, 0, 0});
    b.begin(kFccList, kFccMovi);
    out.moviFourcc = b.size() - 4;
    if (avi.junk) b.chunk(kFccJunk, {7, 7, 7, 7, 7, 7, 7});
    MoviChunks(b, avi.chunks, avi.recGroup, out.chunkOffsets);
    if (odml)
        out.stdIndexOffsets.push_back(
            StandardIndex(b, avi.stdIndexId, odmlStream, avi.chunks, out.chunkOffsets));
    b.end();
    if (avi.index != TestIndex::None) {
        body.clear();
        for (size_t i = 0; i < avi.chunks.size(); ++i) {
            const size_t at = out.chunkOffsets[i];
            PutU32(body, avi.chunks[i].id);
            PutU32(body, kAviifKeyframe);
            PutU32(body, uint32_t(avi.index == TestIndex::Relative ? at - out.moviFourcc : at));
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
        if (odml)
            out.stdIndexOffsets.push_back(
                StandardIndex(b, avi.stdIndexId, odmlStream, segment, offsets));
        b.end();
        b.end();
    }
    if (odml) {
        std::vector<uint8_t>& bytes = b.bytes();
        const size_t at = out.superIndexOffset + 8;
        PatchU32(bytes, at, 4 | uint32_t(kAviIndexOfIndexes) << 24);
        PatchU32(bytes, at + 4, uint32_t(segments));
        PatchU32(bytes, at + 8, odmlStream | uint32_t('d' | 'b' << 8) << 16);
        for (size_t i = 0; i < segments; ++i) {
            const size_t e = at + kSuperIndexHeaderSize + kSuperIndexEntrySize * i;
            const uint64_t ix = out.stdIndexOffsets[i];
            PatchU32(bytes, e, uint32_t(ix));
            PatchU32(bytes, e + 4, uint32_t(ix >> 32));
            ByteCursor size(bytes.data() + ix + 4, 4);
            PatchU32(bytes, e + 8, size.u32() + 8);
            PatchU32(bytes, e + 12, 1);
        }
    }
    out.bytes = std::move(b.bytes());
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

TestStream AudioStream() {
    // WAVEFORMATEX: PCM, mono, 8000 Hz, 8000 bytes a second, 1-byte blocks of 8 bits.
    return {{.fccType = FourCC("auds"), .dwScale = 1, .dwRate = 8000, .dwSampleSize = 1},
            {1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0, 0, 0},
            ""};
}

}  // namespace kestrel::test
