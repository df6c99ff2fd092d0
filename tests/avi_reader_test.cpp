// The AVI reader on files built byte by byte: every layout and index gives the same pictures, and
// an index, a size or a file that lies is passed over for what is really there.
#include "io/avi_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "io/avi_writer.h"
#include "support/files.h"
#include "support/riff_builder.h"
#include "support/samples.h"

namespace kestrel {
namespace {

using namespace test;
using Pictures = std::vector<Bytes>;
using Source = AviIndexSource;

const uint32_t k00db = FourCC("00db"), k00dc = FourCC("00dc"), kIx00 = FourCC("ix00");
constexpr AviReadStatus kOk = AviReadStatus::Ok;

// Three pictures of odd sizes, so that each is followed by a pad byte; a name longer than the
// 63 characters kept.
TestAvi ThreeFrames(TestIndex index, bool junk = false, size_t rec = 0) {
    TestAvi avi;
    avi.streams = {VideoStream(VideoFormat(4, 2, 24), std::string(100, 'n'))};
    avi.chunks = {{k00db, Ramp(5, 1)}, {k00dc, Ramp(3, 2)}, {k00db, Ramp(7, 3)}};
    std::tie(avi.index, avi.junk, avi.recGroup) = std::tuple(index, junk, rec);
    return avi;
}

// The same and two AVIX segments, each movi list ending with a standard index when `stdIndexId`.
TestAvi Segments(uint32_t stdIndexId, TestIndex idx1 = TestIndex::Relative) {
    TestAvi avi = ThreeFrames(idx1, true);
    avi.stdIndexId = stdIndexId;
    avi.extensions = {{{k00db, Ramp(6, 20)}, {kFccJunk, Ramp(3, 0)}, {k00dc, Ramp(5, 21)}},
                      {{k00db, Ramp(1, 22)}, {k00db, {}}, {k00db, Ramp(4, 23)}}};
    return avi;
}

// The pictures of the first video stream, in file order.
Pictures PicturesOf(const TestAvi& avi) {
    uint32_t n = 0;
    while (n < avi.streams.size() && avi.streams[n].info.fccType != kFccVids) ++n;
    Pictures out;
    for (size_t s = 0; s <= avi.extensions.size(); ++s)
        for (const TestChunk& c : s ? avi.extensions[s - 1] : avi.chunks)
            if (c.id == StreamChunkId(n, kTwoccDb) || c.id == StreamChunkId(n, kTwoccDc))
                out.push_back(c.data);
    return out;
}

class AviReaderTest : public ::testing::Test {
protected:
    // Removed first: ext4 flushes a file that is truncated and written again when it is closed.
    AviReadStatus Open(const Bytes& bytes) {
        std::filesystem::remove(dir_.file("in.avi"));
        EXPECT_TRUE(WriteFileBytes(dir_.file("in.avi"), bytes));
        return reader_.open(dir_.file("in.avi"));
    }
    Pictures Frames() {
        Pictures out(reader_.frameCount());
        for (size_t i = 0; i < out.size(); ++i)
            EXPECT_TRUE(reader_.readChunk(reader_.frame(i), out[i])) << "frame " << i;
        return out;
    }
    TempDir dir_;
    AviReader reader_;
};

TEST_F(AviReaderTest, EveryLayoutGivesTheSamePictures) {
    for (TestIndex index : {TestIndex::None, TestIndex::Relative, TestIndex::Absolute}) {
        // JUNK chunks; rec lists; no pad bytes after odd chunks, as some writers leave them out.
        for (auto [junk, rec, pads] : {std::tuple(false, 0, true), std::tuple(true, 0, true),
                                       std::tuple(true, 2, true), std::tuple(true, 2, false)}) {
            SCOPED_TRACE(testing::Message()
                         << int(index) << " junk " << junk << " rec " << rec << " pads " << pads);
            TestAvi avi = ThreeFrames(index, junk, size_t(rec));
            avi.padBytes = pads;
            // A segment after the first is walked.
            avi.extensions = {{{k00db, Ramp(3, 30)}, {k00db, Ramp(5, 31)}}};
            const BuiltAvi built = BuildAvi(avi);
            ASSERT_EQ(Open(built.bytes), kOk);
            EXPECT_EQ(reader_.indexSource(), index == TestIndex::None       ? Source::MoviWalk
                                             : index == TestIndex::Relative ? Source::Idx1Relative
                                                                            : Source::Idx1Absolute);
            EXPECT_EQ(Frames(), PicturesOf(avi));
            for (size_t i = 0; i < 3; ++i)
                EXPECT_EQ(std::tuple(reader_.frame(i).offset, reader_.frame(i).flags),
                          std::tuple(uint64_t(built.chunkOffsets[i] + 8),
                                     index == TestIndex::None ? 0 : kAviifKeyframe));
            EXPECT_EQ(reader_.format(), avi.streams[0].format);
            EXPECT_EQ(std::tuple(reader_.streamInfo().fccType, reader_.streamInfo().dwRate,
                                 std::string(reader_.streamInfo().szName), reader_.fileSize()),
                      std::tuple(kFccVids, 25u, std::string(63, 'n'), built.bytes.size()));
        }
    }
}

// Each case sets 32-bit fields of a built file (and may cut it short): the reader must refuse it
// (source None) or read its first `frames` pictures, found where `source` says.
TEST_F(AviReaderTest, IndexesAndSizesThatLieArePassedOverForWhatIsReallyThere) {
    struct File {
        TestAvi avi;
        BuiltAvi built;
    };
    auto file = [](const TestAvi& avi) { return File{avi, BuildAvi(avi)}; };
    TestAvi audioOnly, shortFormat = ThreeFrames(TestIndex::None), audio;
    TestAvi dropped = ThreeFrames(TestIndex::Relative);
    audioOnly.streams = {AudioStream()};
    audioOnly.chunks = {{FourCC("00wb"), Ramp(10, 1)}};
    shortFormat.streams[0].format.resize(20);
    // Dropped frames listed in an index have no data, and the walk after it must not find them
    // again; the one in the middle has no offset at all, as some writers list them.
    dropped.chunks[1].data.clear();
    dropped.chunks.resize(5, {k00db, {}});
    TestAvi droppedDml = dropped;
    droppedDml.stdIndexId = kIx00;
    // A video stream after an audio one has chunks of its own number.
    audio.streams = {AudioStream(), VideoStream(VideoFormat(2, 2, 24))};
    audio.chunks = {{FourCC("00wb"), Ramp(9, 1)}, {FourCC("01db"), Ramp(16, 2)},
                    {FourCC("00wb"), Ramp(4, 3)}, {FourCC("01dc"), Ramp(16, 4)},
                    {k00db, Ramp(16, 5)}};
    TestAvi audioWalked = audio;
    audioWalked.index = TestIndex::None;
    const File P = file(ThreeFrames(TestIndex::None)),
               I = file(ThreeFrames(TestIndex::Relative, true)), O = file(Segments(kIx00)),
               C = file(Segments(kIx00, TestIndex::None)),
               D = file(dropped), DD = file(droppedDml), A = file(audio), AW = file(audioWalked),
               AO = file(audioOnly), SF = file(shortFormat);
    const size_t e = I.built.idx1Offset + 8, super = O.built.superIndexOffset + 8;
    const size_t ix = O.built.stdIndexOffsets[0], entry = super + kSuperIndexHeaderSize;
    const size_t ixEntry = ix + 8 + kStdIndexHeaderSize, indx = C.built.superIndexOffset;
    // Size fields of a capture's first movi and of its first AVIX segment, after its ix00.
    const size_t movi = C.built.moviFourcc - 4, avix = C.built.stdIndexOffsets[0] + 8 + 24 + 24 + 4;
    ASSERT_EQ(Le32(C.built.bytes, avix - 4), kFccRiff);
    const size_t halfLast = 8 + kStdIndexHeaderSize + 3 * 8 + 2;  // into the last picture
    const Source none = Source::None, walk = Source::MoviWalk, idx1 = Source::Idx1Relative,
                 dml = Source::OpenDml;
    const uint32_t k01db = FourCC("01db");
    const struct {
        const char* what;
        const File& f;
        std::vector<std::pair<size_t, uint32_t>> patches;
        Source source;
        size_t frames;
        size_t cutBy = 0;
    } cases[] = {
        {"idx1: first offset points at nothing", I, {{e + 8, 1000}}, walk, 3},
        {"idx1: last offset points elsewhere", I, {{e + 40, 4}}, walk, 3},
        {"idx1: middle size wrong", I, {{e + 28, 4}}, walk, 3},
        {"idx1: size past the file", I, {{e + 44, 0xFFFFFFF0u}}, walk, 3},
        {"idx1: offset past the file", I, {{e + 40, 0xFFFFFF00u}}, walk, 3},
        {"idx1: ids of another stream", I, {{e, k01db}, {e + 16, k01db}, {e + 32, k01db}}, walk, 3},
        {"idx1: dropped frames", D, {{D.built.idx1Offset + 32, 0}}, idx1, 5},
        {"ix00: dropped frames", DD, {}, dml, 5},
        {"video after audio, idx1", A, {}, idx1, 2},
        {"video after audio, walked", AW, {}, walk, 2},
        {"RIFF larger than the file", P, {{4, 0xFFFFFFFFu}}, walk, 3},
        {"RIFF size never written", P, {{4, 0}}, walk, 3},
        {"movi larger than the file", P, {{P.built.moviFourcc - 4, 0xFFFFFFF0u}}, walk, 3},
        {"a chunk larger than the file", P, {{P.built.chunkOffsets[1] + 4, ~0u}}, walk, 1},
        {"hdrl larger than the file", P, {{16, 0x7FFFFFF0u}}, none, 0},
        // A strh that claims the rest of its list swallows the strf behind it.
        {"strh too large", P, {{12 + 12 + 8 + 56 + 12 + 4, 0xFFFF}}, none, 0},
        {"WAVE", P, {{8, FourCC("WAVE")}}, none, 0},
        {"no RIFF", P, {{0, 0x05050505}}, none, 0},
        {"empty", P, {}, none, 0, P.built.bytes.size()},
        {"audio only", AO, {}, none, 0},
        {"short strf", SF, {}, none, 0},
        {"indx of chunks", O, {{super, 4 | uint32_t(kAviIndexOfChunks) << 24}}, idx1, 8},
        {"ix00 elsewhere", O, {{entry, uint32_t(ix + 2)}}, idx1, 8},
        {"ix00 past the file", O, {{entry, 0xFFFFFF00u}}, idx1, 8},
        {"another stream's ix00", O, {{ix, FourCC("ix01")}}, idx1, 8},
        {"ix00 with more entries than it holds", O, {{ix + 12, 1000}}, idx1, 8},
        {"ix00 entry at the wrong place", O, {{ixEntry, 3}}, idx1, 8},
        {"ix00 entry of the wrong size", O, {{ixEntry + 4, 6}}, idx1, 8},
        {"ix00 base past the file", O, {{ix + 24, 0x7FFFFFFF}}, idx1, 8},
        // Only the first segment's standard index listed: the rest is walked.
        {"indx of the first segment only", O, {{super + 4, 1}}, dml, 8},
        // An overlapping second index ends the list there.
        {"ix00s out of order", O, {{entry + kSuperIndexEntrySize, uint32_t(ix)}}, dml, 8},
        // What a capture program leaves when it stops without closing the file: sizes of 0 or
        // past the end, no index, no super index (written when the file is closed).
        {"capture: sizes of 0", C, {{4, 0}, {movi, 0}}, dml, 8},
        {"capture: sizes past the end", C, {{4, ~0u}, {movi, 0x7FFFFFF0u}}, dml, 8},
        {"capture: only movi past the end", C, {{movi, 0x7FFFFFF0u}}, dml, 8},
        {"capture: segment of 0", C, {{avix, 0}}, dml, 8},
        {"capture: everything 0", C, {{4, 0}, {movi, 0}, {avix, 0}}, dml, 8},
        {"capture: no indx", C, {{4, 0}, {movi, 0}, {indx, kFccJunk}}, walk, 8},
        {"capture: cut", C, {{4, 0}, {movi, 0}}, dml, 7, halfLast},
        {"capture: no indx, cut", C, {{movi, 0}, {indx, kFccJunk}}, walk, 7, halfLast},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes(c.f.built.bytes.begin(), c.f.built.bytes.end() - std::ptrdiff_t(c.cutBy));
        for (const auto& [at, value] : c.patches) PatchU32(bytes, at, value);
        ASSERT_EQ(Open(bytes) == kOk, c.source != none);
        EXPECT_EQ(reader_.indexSource(), c.source);
        const Pictures all = PicturesOf(c.f.avi);
        EXPECT_EQ(Frames(), Pictures(all.begin(), all.begin() + std::ptrdiff_t(c.frames)));
    }
    EXPECT_EQ(reader_.open(dir_.file("missing.avi")), AviReadStatus::CannotOpen);
}

// An index entry that names a real chunk of the stream outside movi, hidden in a JUNK chunk
// (before movi, for an index of file offsets; after idx1, for one counted from movi).
TEST_F(AviReaderTest, AnIdx1ThatListsAChunkOutsideMoviIsPassedOver) {
    const Bytes hidden = {'J', 'U', 'N', 'K', 12, 0,  0,  0,  '0', '0',
                          'd', 'c', 3,   0,   0,  0, 9, 9, 9,   0};
    for (TestIndex index : {TestIndex::Absolute, TestIndex::Relative}) {
        const TestAvi avi = ThreeFrames(index);
        const BuiltAvi built = BuildAvi(avi);
        Bytes bytes = built.bytes;
        const bool before = index == TestIndex::Absolute;
        const size_t at = before ? built.headerListEnd : bytes.size();
        bytes.insert(bytes.begin() + std::ptrdiff_t(at), hidden.begin(), hidden.end());
        PatchU32(bytes, 4, uint32_t(bytes.size() - 8));
        const size_t entries = built.idx1Offset + 8 + (before ? hidden.size() : 0);
        for (size_t i = 0; i < 3 && before; ++i)
            PatchU32(bytes, entries + 16 * i + 8, Le32(bytes, entries + 16 * i + 8) + 20);
        // The middle entry, one of those whose chunk header is checked at open.
        PatchU32(bytes, entries + 16 + 8, uint32_t(at + 8 - (before ? 0 : built.moviFourcc)));
        ASSERT_EQ(Open(bytes), kOk);
        EXPECT_EQ(reader_.indexSource(), Source::MoviWalk);
        EXPECT_EQ(Frames(), PicturesOf(avi));
    }
}

TEST_F(AviReaderTest, ReadsStayInsideTheChunkTheirEntryNames) {
    TestAvi avi = ThreeFrames(TestIndex::Relative);
    avi.chunks.push_back({k00db, Ramp(9, 4)});
    avi.chunks.push_back({k00db, Ramp(11, 5)});
    BuiltAvi built = BuildAvi(avi);
    // Entry 1 is not among those checked at open (first, middle, last); it now points at the
    // chunk of entry 3, which is larger.
    PatchU32(built.bytes, built.idx1Offset + 8 + 16 + 8,
             uint32_t(built.chunkOffsets[3] - built.moviFourcc));
    ASSERT_EQ(Open(built.bytes), kOk);
    ASSERT_EQ(reader_.indexSource(), Source::Idx1Relative);
    Bytes data(16, 0xEE);
    EXPECT_FALSE(reader_.readChunk(reader_.frame(1), data));
    EXPECT_TRUE(reader_.readChunk(reader_.frame(3), data));
    EXPECT_EQ(data, Ramp(9, 4));
    AviChunkRef ref = reader_.frame(0);
    data.assign(16, 0xEE);
    EXPECT_FALSE(reader_.readChunk(ref, data.data(), ref.size + 1));
    EXPECT_TRUE(reader_.readChunk(ref, data.data(), 2));
    EXPECT_EQ(data[2], 0xEE);
    ref.offset = reader_.fileSize() - 1;
    EXPECT_FALSE(reader_.readChunk(ref, data.data(), ref.size));
}

TEST_F(AviReaderTest, OpenDmlIndexesComeFirstInBothSpellingsButNotForPalettes) {
    for (uint32_t id : {kIx00, FourCC("00ix")}) {
        for (TestIndex idx1 : {TestIndex::Relative, TestIndex::None}) {
            SCOPED_TRACE(testing::Message() << id << " idx1 " << int(idx1));
            TestAvi avi = Segments(id, idx1);
            ASSERT_EQ(Open(BuildAvi(avi).bytes), kOk);
            EXPECT_EQ(reader_.indexSource(), Source::OpenDml);
            EXPECT_EQ(Frames(), PicturesOf(avi));
            // A standard index lists palette changes without their ids; idx1 and movi name them.
            avi.streams[0] = VideoStream(VideoFormat(1, 1, 8, kBiRgb, 1, {1, 2, 3, 0}));
            avi.chunks.insert(avi.chunks.begin() + 1, {FourCC("00pc"), Ramp(8, 9)});
            ASSERT_EQ(Open(BuildAvi(avi).bytes), kOk);
            EXPECT_EQ(reader_.indexSource(),
                      idx1 == TestIndex::None ? Source::MoviWalk : Source::Idx1Relative);
            EXPECT_EQ(Frames(), PicturesOf(avi));
            ASSERT_EQ(reader_.paletteChanges().size(), 1u);
            EXPECT_EQ(reader_.paletteChanges()[0].beforeFrame, 1u);
        }
    }
}

// A file cut anywhere, as a capture that stopped mid-write leaves it, keeps the pictures whose
// chunks are whole: files of several layouts, and our own OpenDML output with a dropped frame.
TEST_F(AviReaderTest, EveryCutKeepsThePicturesWhoseChunksAreWhole) {
    const std::string path = dir_.file("own.avi");
    AviWriter w;
    w.setSegmentLimitForTesting(6000);
    ASSERT_EQ(w.create(path, VideoStream({}).info, VideoFormat(7, 5, 8, FourCC("Y800")), k00db),
              AviWriteStatus::Ok);
    for (uint8_t i = 0; i < 60; ++i) {
        const Bytes picture = Ramp(i == 4 ? 0 : 201 + i % 2, i);
        ASSERT_EQ(w.writeChunk(picture.data(), picture.size(), kAviifKeyframe), AviWriteStatus::Ok);
    }
    ASSERT_EQ(w.finish(), AviWriteStatus::Ok);
    ASSERT_GE(w.segmentCount(), 3u);
    std::vector<std::pair<Bytes, size_t>> files = {{ReadFileBytes(path), 5}};  // and cut steps
    for (TestIndex index : {TestIndex::None, TestIndex::Relative})
        for (size_t rec : {0, 2})
            files.push_back({BuildAvi(ThreeFrames(index, true, rec)).bytes, 1});
    for (const auto& [whole, step] : files) {
        ASSERT_EQ(Open(whole), kOk);
        const Pictures all = Frames();
        std::vector<uint64_t> ends;  // of each picture's chunk; a dropped one's 8 bytes on
        for (size_t i = 0; i < all.size(); ++i)
            ends.push_back(all[i].empty() ? ends.back() + 8
                                          : reader_.frame(i).offset + reader_.frame(i).size);
        for (size_t cut = 0; cut < whole.size(); cut += step) {
            SCOPED_TRACE(testing::Message() << whole.size() << " bytes cut at " << cut);
            const AviReadStatus status = Open(Bytes(whole.begin(), whole.begin() + ptrdiff_t(cut)));
            ASSERT_TRUE(status == kOk || cut < ends[0] - all[0].size() - 8);
            const auto n = std::upper_bound(ends.begin(), ends.end(), uint64_t(cut)) - ends.begin();
            if (status == kOk) {
                ASSERT_EQ(Frames(), Pictures(all.begin(), all.begin() + n));
            }
        }
    }
}

}  // namespace
}  // namespace kestrel
