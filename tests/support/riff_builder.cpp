#include "support/riff_builder.h"

#include "io/byte_io.h"

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
        if (body.size() & 1) PutU8(bytes_, 0);
        return at;
    }
    size_t size() const { return bytes_.size(); }
    std::vector<uint8_t>& bytes() { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    std::vector<size_t> open_;
};

void MoviChunks(RiffBuilder& b, const std::vector<TestChunk>& chunks, size_t recGroup,
                std::vector<size_t>* offsets) {
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (recGroup && i % recGroup == 0) b.begin(kFccList, kFccRec);
        const size_t at = b.chunk(chunks[i].id, chunks[i].data);
        if (offsets) offsets->push_back(at);
        if (recGroup && (i % recGroup == recGroup - 1 || i + 1 == chunks.size())) b.end();
    }
}

}  // namespace

BuiltAvi BuildAvi(const TestAvi& avi) {
    RiffBuilder b;
    BuiltAvi out;
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
        b.end();
    }
    b.end();
    out.headerListEnd = b.size();
    if (avi.junk) b.chunk(kFccJunk, {0, 0, 0});
    b.begin(kFccList, kFccMovi);
    out.moviFourcc = b.size() - 4;
    if (avi.junk) b.chunk(kFccJunk, {7, 7, 7, 7, 7, 7, 7});
    MoviChunks(b, avi.chunks, avi.recGroup, &out.chunkOffsets);
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
        MoviChunks(b, segment, 0, nullptr);
        b.end();
        b.end();
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

std::vector<uint8_t> PackedDib(int32_t width, int32_t height, uint16_t bits,
                               const std::vector<uint8_t>& table, uint32_t clrUsed,
                               const std::vector<uint8_t>& rows) {
    std::vector<uint8_t> out = VideoFormat(width, height, bits, kBiRgb, clrUsed, table);
    PutBytes(out, rows.data(), rows.size());
    return out;
}

}  // namespace kestrel::test
