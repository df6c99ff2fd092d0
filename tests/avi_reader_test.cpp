// The AVI reader on files built byte by byte: every layout and index gives the same pictures, and
// an index, a size or a file that lies is passed over for what is really there.
#include "io/avi_reader.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/files.h"
#include "support/riff_builder.h"
#include "support/samples.h"

namespace kestrel {
namespace {

using namespace test;
using Pictures = std::vector<Bytes>;
using enum AviIndexSource;

const uint32_t k00db = FourCC("00db"), kIx00 = FourCC("ix00");

// Three pictures of odd sizes, each followed by a pad byte unless `pads` is false (some writers
// leave them out); a name longer than the 63 characters kept.
TestAvi ThreeFrames(TestIndex index, bool junk = false, bool pads = true) {
    TestAvi avi;
    avi.streams = {VideoStream(VideoFormat(4, 2, 24), std::string(100, 'n'))};
    avi.chunks = {{k00db, Ramp(5, 1)}, {FourCC("00dc"), Ramp(3, 2)}, {k00db, Ramp(7, 3)}};
    std::tie(avi.index, avi.junk, avi.padBytes) = std::tuple(index, junk, pads);
    return avi;
}

// The same with JUNK chunks, in rec lists, and two AVIX segments, each movi list ending with a
// standard index when `stdIndexId`; with `palette`, of 8 bits with a palette change before the
// second picture.
TestAvi Segments(uint32_t stdIndexId, TestIndex idx1 = TestIndex::Relative, bool palette = false) {
    TestAvi avi = ThreeFrames(idx1, true);
    std::tie(avi.stdIndexId, avi.recGroup) = std::tuple(stdIndexId, 2);
    avi.extensions = {{{k00db, Ramp(6, 20)}, {kFccJunk, Ramp(3, 0)}, {FourCC("00dc"), Ramp(5, 21)}},
                      {{k00db, Ramp(1, 22)}, {k00db, {}}, {k00db, Ramp(4, 23)}}};
    if (palette) {
        avi.streams[0] = VideoStream(VideoFormat(1, 1, 8, kBiRgb, 1, {1, 2, 3, 0}));
        avi.chunks.insert(avi.chunks.begin() + 1, {FourCC("00pc"), Ramp(8, 9)});
    }
    return avi;
}

// The pictures of the video stream, the last one, in file order.
Pictures PicturesOf(const TestAvi& avi) {
    const uint32_t n = uint32_t(avi.streams.size() - 1);
    Pictures out;
    for (size_t s = 0; s <= avi.extensions.size(); ++s)
        for (const TestChunk& c : s ? avi.extensions[s - 1] : avi.chunks)
            if (c.id == StreamChunkId(n, kTwoccDb) || c.id == StreamChunkId(n, kTwoccDc))
                out.push_back(c.data);
    return out;
}

// Each case sets 32-bit fields of a built file (and may cut it short): the reader must refuse it
// (source None) or read its first `frames` pictures, found where `source` says, and the video
// stream's format and name.
TEST(AviReader, EveryIndexAndLayoutAndWhatLiesIsReadForWhatIsReallyThere) {
    struct File {
        TestAvi avi;
        BuiltAvi built;
    };
    auto file = [](const TestAvi& avi) { return File{avi, BuildAvi(avi)}; };
    // Dropped frames listed in an index have no data, and the walk after it must not find them
    // again; the one in the middle has no offset at all, as some writers list them.
    TestAvi dropped = ThreeFrames(TestIndex::Relative), audio;
    dropped.chunks[1].data.clear();
    dropped.chunks.resize(5, {k00db, {}});
    TestAvi droppedDml = dropped;
    droppedDml.stdIndexId = kIx00;
    // A video stream after an audio one has chunks of its own number.
    audio.streams = {{{.fccType = FourCC("auds")}, {}, ""}, VideoStream(VideoFormat(2, 2, 24))};
    audio.chunks = {{FourCC("00wb"), Ramp(9, 1)}, {FourCC("01db"), Ramp(16, 2)},
                    {FourCC("00wb"), Ramp(4, 3)}, {FourCC("01dc"), Ramp(16, 4)},
                    {k00db, Ramp(16, 5)}};
    // Only a sample of idx1 is checked at open (first, middle, last entry): a read checks that
    // the chunk its entry names is still there, of that size.
    TestAvi five = ThreeFrames(TestIndex::Relative);
    five.chunks.insert(five.chunks.end(), {{k00db, Ramp(9, 4)}, {k00db, Ramp(11, 5)}});
    const File P = file(ThreeFrames(TestIndex::None)),
               I = file(ThreeFrames(TestIndex::Relative, false, false)),
               J = file(ThreeFrames(TestIndex::Absolute, true)), O = file(Segments(kIx00)),
               C = file(Segments(kIx00, TestIndex::None)), D = file(dropped), DD = file(droppedDml),
               A = file(audio), O2 = file(Segments(FourCC("00ix"))),
               PI = file(Segments(kIx00, TestIndex::Relative, true)),
               PW = file(Segments(kIx00, TestIndex::None, true)), F = file(five);
    const size_t e = I.built.idx1Offset + 8, super = O.built.superIndexOffset + 8;
    const size_t ix = O.built.stdIndexOffsets[0], entry = super + kSuperIndexHeaderSize;
    const size_t ixEntry = ix + 8 + kStdIndexHeaderSize, indx = C.built.superIndexOffset;
    // Size fields of a capture's first movi and of its first AVIX segment, after its ix00.
    const size_t movi = C.built.moviFourcc - 4, avix = C.built.stdIndexOffsets[0] + 8 + 24 + 24 + 4;
    ASSERT_EQ(Le32(C.built.bytes, avix - 4), kFccRiff);
    const uint32_t junk = uint32_t(J.built.moviFourcc - 20);        // the JUNK chunk before movi
    const uint32_t itself = uint32_t(e + 16 - I.built.moviFourcc);  // idx1's middle entry
    const size_t halfLast = 8 + kStdIndexHeaderSize + 3 * 8 + 2;    // into the last picture
    const uint32_t k01db = FourCC("01db");
    const struct {
        const char* what;
        const File& f;
        std::vector<std::pair<size_t, uint32_t>> patches;
        AviIndexSource source;
        size_t frames;
        size_t cutBy = 0;
        size_t unreadable = SIZE_MAX;  // a picture whose read is refused (a damaged chunk)
        size_t dropped = SIZE_MAX;     // a picture read as a dropped frame
    } cases[] = {
        {"idx1, no pad bytes", I, {}, Idx1Relative, 3},
        {"idx1 of file offsets", J, {}, Idx1Absolute, 3},
        // The chunks after those an index lists are walked, as a capture cut short leaves them.
        {"idx1 of the first two pictures", I, {{I.built.idx1Offset + 4, 32}}, Idx1Relative, 3},
        {"idx1: first offset points at nothing", I, {{e + 8, 1000}}, MoviWalk, 3},
        // One damaged entry: its chunk is refused, and read as a dropped frame; an entry that
        // lists a chunk again is passed over.
        {"idx1: last offset points at the first chunk", I, {{e + 40, 4}}, Idx1Relative, 3},
        {"idx1: middle size wrong", I, {{e + 28, 4}}, Idx1Relative, 3, 0, 1},
        {"idx1: middle and last sizes wrong", I, {{e + 28, 4}, {e + 44, 9}}, MoviWalk, 3},
        {"idx1: ids of another stream", I, {{e, k01db}, {e + 16, k01db}, {e + 32, k01db}},
         MoviWalk, 3},
        // The middle entry names a chunk of the stream outside movi: before it, a JUNK chunk
        // renamed, for an index of file offsets; after it, the entry itself, given the flags of
        // the size it lists, for one counted from movi.
        {"idx1: chunk before movi", J, {{junk, FourCC("00dc")}, {J.built.idx1Offset + 32, junk}},
         MoviWalk, 3},
        {"idx1: chunk after movi", I, {{e + 20, 3}, {e + 24, itself}}, MoviWalk, 3},
        {"idx1: an unchecked entry names a larger chunk", F,
         {{F.built.idx1Offset + 8 + 24, uint32_t(F.built.chunkOffsets[3] - F.built.moviFourcc)}},
         Idx1Relative, 5, 0, SIZE_MAX, 1},
        {"idx1: dropped frames", D, {{D.built.idx1Offset + 32, 0}}, Idx1Relative, 5},
        {"ix00: dropped frames", DD, {}, OpenDml, 5},
        {"video after audio", A, {}, Idx1Relative, 2},
        {"RIFF size never written", P, {{4, 0}}, MoviWalk, 3},
        {"a chunk larger than the file", P, {{P.built.chunkOffsets[1] + 4, ~0u}}, MoviWalk, 1},
        // Cut into the last picture: the RIFF and movi sizes claim what is no longer there.
        {"cut", P, {}, MoviWalk, 2, 2},
        {"hdrl larger than the file", P, {{16, 0x7FFFFFF0u}}, None, 0},
        // A strh that claims the rest of its list swallows the strf behind it.
        {"strh too large", P, {{12 + 12 + 8 + 56 + 12 + 4, 0xFFFF}}, None, 0},
        {"WAVE", P, {{8, FourCC("WAVE")}}, None, 0},
        {"no RIFF", P, {{0, 0x05050505}}, None, 0},
        // Standard indexes come first, in both spellings of their id, but they list palette
        // changes without their ids: idx1 and movi name them.
        {"ix00", O, {}, OpenDml, 8},
        {"00ix", O2, {}, OpenDml, 8},
        {"ix00, palette changes", PI, {}, Idx1Relative, 8},
        {"ix00, palette changes, walked", PW, {}, MoviWalk, 8},
        {"indx of chunks", O, {{super, 4 | uint32_t(kAviIndexOfChunks) << 24}}, Idx1Relative, 8},
        {"another stream's ix00", O, {{ix, FourCC("ix01")}}, Idx1Relative, 8},
        {"ix00 entry at the wrong place", O, {{ixEntry, 3}}, OpenDml, 8, 0, 0},
        {"ix00 entry of the wrong size", O, {{ixEntry + 4, 6}}, OpenDml, 8, 0, 0},
        {"ix00 base past the file", O, {{ix + 24, 0x7FFFFFFF}}, Idx1Relative, 8},
        // Only the first segment's standard index listed: the rest is walked.
        {"indx of the first segment only", O, {{super + 4, 1}}, OpenDml, 8},
        // An overlapping second index ends the list there.
        {"ix00s out of order", O, {{entry + kSuperIndexEntrySize, uint32_t(ix)}}, OpenDml, 8},
        // What a capture program leaves when it stops without closing the file: sizes of 0 or
        // past the end, no index, no super index (written when the file is closed).
        {"capture: sizes past the end", C, {{4, ~0u}, {movi, 0x7FFFFFF0u}}, OpenDml, 8},
        {"capture: only movi past the end", C, {{movi, 0x7FFFFFF0u}}, OpenDml, 8},
        {"capture: segment of 0", C, {{avix, 0}}, OpenDml, 8},
        {"capture: everything 0", C, {{4, 0}, {movi, 0}, {avix, 0}}, OpenDml, 8},
        {"capture: no indx", C, {{4, 0}, {movi, 0}, {indx, kFccJunk}}, MoviWalk, 8},
        {"capture: cut", C, {{4, 0}, {movi, 0}}, OpenDml, 7, halfLast},
        {"capture: no indx, cut", C, {{movi, 0}, {indx, kFccJunk}}, MoviWalk, 7, halfLast},
    };
    TempDir dir;
    AviReader reader;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes(c.f.built.bytes.begin(), c.f.built.bytes.end() - std::ptrdiff_t(c.cutBy));
        for (const auto& [at, value] : c.patches) PatchU32(bytes, at, value);
        // Removed first: ext4 flushes a file that is truncated and written again when it is closed.
        std::filesystem::remove(dir.file("in.avi"));
        ASSERT_TRUE(WriteFileBytes(dir.file("in.avi"), bytes));
        ASSERT_EQ(reader.open(dir.file("in.avi")) == AviReadStatus::Ok, c.source != None);
        EXPECT_EQ(reader.indexSource(), c.source);
        // Every picture, each read whole; a read of one byte more is refused.
        Pictures got(reader.frameCount()), want = PicturesOf(c.f.avi);
        for (size_t i = 0; i < got.size(); ++i) {
            const AviChunkRef ref = reader.frame(i);
            got[i].resize(ref.size + 1);
            EXPECT_EQ(reader.readChunk(ref, got[i].data(), ref.size), i != c.unreadable) << i;
            EXPECT_FALSE(reader.readChunk(ref, got[i].data(), ref.size + 1)) << i;
            got[i].resize(i == c.unreadable ? 0 : ref.size);
        }
        want.resize(c.frames);
        for (size_t i : {c.unreadable, c.dropped})
            if (i < c.frames) want[i].clear();
        EXPECT_EQ(got, want);
        if (c.source == None) continue;
        const TestStream& video = c.f.avi.streams.back();
        EXPECT_EQ(reader.format(), video.format);
        EXPECT_EQ(reader.streamInfo().szName, video.name.substr(0, 63));
    }
}

}  // namespace
}  // namespace kestrel
