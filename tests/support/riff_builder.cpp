#include "support/riff_builder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "io/byte_io.h"

namespace kestrel::test {

void RiffBuilder::begin(uint32_t id, uint32_t type) {
    PutU32(bytes_, id);
    open_.push_back(bytes_.size());
    PutU32(bytes_, 0);
    PutU32(bytes_, type);
}

void RiffBuilder::end() {
    const size_t at = open_.back();
    open_.pop_back();
    PatchU32(bytes_, at, uint32_t(bytes_.size() - at - 4));
}

size_t RiffBuilder::chunk(uint32_t id, const std::vector<uint8_t>& body) {
    const size_t at = bytes_.size();
    PutU32(bytes_, id);
    PutU32(bytes_, uint32_t(body.size()));
    PutBytes(bytes_, body.data(), body.size());
    if (body.size() & 1) PutU8(bytes_, 0);
    return at;
}

void RiffBuilder::raw(const std::vector<uint8_t>& bytes) {
    PutBytes(bytes_, bytes.data(), bytes.size());
}

namespace {

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
    BitmapInfoHeader h;
    h.biWidth = width;
    h.biHeight = height;
    h.biBitCount = bits;
    h.biCompression = compression;
    h.biClrUsed = clrUsed;
    std::vector<uint8_t> out;
    AppendBitmapInfoHeader(out, h);
    PutBytes(out, extra.data(), extra.size());
    return out;
}

TestStream VideoStream(const std::vector<uint8_t>& format, const std::string& name) {
    TestStream s;
    s.info.fccType = kFccVids;
    s.info.fccHandler = FourCC("DIB ");
    s.info.dwScale = 1;
    s.info.dwRate = 25;
    s.format = format;
    s.name = name;
    return s;
}

TestStream AudioStream() {
    TestStream s;
    s.info.fccType = FourCC("auds");
    s.info.dwScale = 1;
    s.info.dwRate = 8000;
    s.info.dwSampleSize = 1;
    // WAVEFORMATEX: PCM, mono, 8000 Hz, 8 bits.
    std::vector<uint8_t>& f = s.format;
    PutU16(f, 1);
    PutU16(f, 1);
    PutU32(f, 8000);
    PutU32(f, 8000);
    PutU16(f, 1);
    PutU16(f, 8);
    PutU16(f, 0);
    return s;
}

std::vector<uint8_t> PackedDib(int32_t width, int32_t height, uint16_t bits,
                               const std::vector<uint8_t>& table, uint32_t clrUsed,
                               const std::vector<uint8_t>& rows) {
    std::vector<uint8_t> out = VideoFormat(width, height, bits, kBiRgb, clrUsed, table);
    PutBytes(out, rows.data(), rows.size());
    return out;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-test-XXXXXX").string();
    if (char* made = mkdtemp(pattern.data())) dir_ = made;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

}  // namespace kestrel::test
