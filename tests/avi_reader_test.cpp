#include "io/avi_reader.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "io/avi_writer.h"
#include "base/byte_cursor.h"
#include "support/files.h"
#include "support/riff_builder.h"

namespace kestrel {
namespace {

using test::AudioStream;
using test::BuildAvi;
using test::BuiltAvi;
using test::TempDir;
using test::TestAvi;
using test::TestChunk;
using test::TestIndex;
using test::VideoFormat;
using test::VideoStream;

const uint32_t k00db = FourCC("00db");
const uint32_t k00dc = FourCC("00dc");
const uint32_t k00pc = FourCC("00pc");
const uint32_t k00wb = FourCC("00wb");
const uint32_t k01db = FourCC("01db");
const uint32_t k01dc = FourCC("01dc");

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + 7 * i);
    return v;
}

// Three pictures of odd sizes, so every one is followed by a pad byte.
TestAvi ThreeFrames(TestIndex index, bool junk = false, size_t recGroup = 0) {
    TestAvi avi;
    avi.streams.push_back(VideoStream(VideoFormat(4, 2, 24), "camera"));
    avi.chunks = {{k00db, Bytes(5, 1)}, {k00dc, Bytes(3, 2)}, {k00db, Bytes(7, 3)}};
    avi.index = index;
    avi.junk = junk;
    avi.recGroup = recGroup;
    return avi;
}

class AviReaderTest : public ::testing::Test {
protected:
    AviReadStatus Open(const std::vector<uint8_t>& bytes) {
        path_ = dir_.file("in.avi");
        EXPECT_TRUE(test::WriteFileBytes(path_, bytes));
        return reader_.open(path_);
    }
    std::vector<std::vector<uint8_t>> Frames() {
        std::vector<std::vector<uint8_t>> out;
        for (size_t i = 0; i < reader_.frameCount(); ++i) {
            std::vector<uint8_t> data;
            EXPECT_TRUE(reader_.readChunk(reader_.frame(i), data)) << "frame " << i;
            out.push_back(data);
        }
        return out;
    }
    static std::vector<std::vector<uint8_t>> DataOf(const std::vector<TestChunk>& chunks,
                                                    uint32_t idA, uint32_t idB) {
        std::vector<std::vector<uint8_t>> out;
        for (const TestChunk& c : chunks)
            if (c.id == idA || c.id == idB) out.push_back(c.data);
        return out;
    }

    TempDir dir_;
    std::string path_;
    AviReader reader_;
};

TEST_F(AviReaderTest, EveryLayoutGivesTheSamePictures) {
    struct Case {
        TestIndex index;
        bool junk;
        size_t rec;
        AviIndexSource source;
    };
    const Case cases[] = {
        {TestIndex::Relative, false, 0, AviIndexSource::Idx1Relative},
        {TestIndex::Absolute, false, 0, AviIndexSource::Idx1Absolute},
        {TestIndex::None, false, 0, AviIndexSource::MoviWalk},
        {TestIndex::Relative, true, 0, AviIndexSource::Idx1Relative},
        {TestIndex::Absolute, true, 0, AviIndexSource::Idx1Absolute},
        {TestIndex::None, true, 0, AviIndexSource::MoviWalk},
        {TestIndex::None, true, 2, AviIndexSource::MoviWalk},
        {TestIndex::Relative, true, 2, AviIndexSource::Idx1Relative},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "index " << int(c.index) << " junk " << c.junk << " rec " << c.rec);
        TestAvi avi = ThreeFrames(c.index, c.junk, c.rec);
        BuiltAvi built = BuildAvi(avi);
        ASSERT_EQ(Open(built.bytes), AviReadStatus::Ok);
        EXPECT_EQ(reader_.indexSource(), c.source);
        ASSERT_EQ(reader_.frameCount(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(reader_.frame(i).offset, built.chunkOffsets[i] + 8);
            if (c.index != TestIndex::None) {
                EXPECT_EQ(reader_.frame(i).flags, kAviifKeyframe);
            }
        }
        EXPECT_EQ(Frames(), DataOf(avi.chunks, k00db, k00dc));
        EXPECT_EQ(reader_.streamNumber(), 0u);
        EXPECT_EQ(reader_.format(), avi.streams[0].format);
        EXPECT_EQ(reader_.streamInfo().fccType, kFccVids);
        EXPECT_EQ(reader_.streamInfo().dwRate, 25u);
        EXPECT_STREQ(reader_.streamInfo().szName, "camera");
        EXPECT_EQ(reader_.fileSize(), built.bytes.size());
    }
}

TEST_F(AviReaderTest, BrokenIndexFallsBackToWalkingMovi) {
    TestAvi avi = ThreeFrames(TestIndex::Relative, true);
    const auto expected = DataOf(avi.chunks, k00db, k00dc);
    const BuiltAvi good = BuildAvi(avi);
    const size_t entries = good.idx1Offset + 8;
    struct Damage {
        const char* what;
        size_t at;
        uint32_t value;
    };
    const Damage damages[] = {
        {"first offset points at nothing", entries + 8, 1000},
        {"last offset points elsewhere", entries + 2 * 16 + 8, 4},
        {"middle size wrong", entries + 16 + 12, 4},
        {"size past the file", entries + 2 * 16 + 12, 0xFFFFFFF0u},
        {"offset past the file", entries + 2 * 16 + 8, 0xFFFFFF00u},
        {"ids of another stream", entries, FourCC("01db")},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        std::vector<uint8_t> bytes = good.bytes;
        PatchU32(bytes, d.at, d.value);
        if (d.at == entries)
            for (size_t i = 1; i < 3; ++i) PatchU32(bytes, entries + 16 * i, FourCC("01db"));
        ASSERT_EQ(Open(bytes), AviReadStatus::Ok);
        EXPECT_EQ(reader_.indexSource(), AviIndexSource::MoviWalk);
        EXPECT_EQ(Frames(), expected);
    }
}

TEST_F(AviReaderTest, IndexEntryPointingAtAnotherChunkIsNotRead) {
    TestAvi avi = ThreeFrames(TestIndex::Relative);
    avi.chunks.push_back({k00db, Bytes(9, 4)});
    avi.chunks.push_back({k00db, Bytes(11, 5)});
    BuiltAvi built = BuildAvi(avi);
    // Entry 1 is not among those checked at open (first, middle, last); it now points at the
    // chunk of entry 3, which is larger.
    const size_t entry1 = built.idx1Offset + 8 + 16;
    PatchU32(built.bytes, entry1 + 8, uint32_t(built.chunkOffsets[3] - built.moviFourcc));
    ASSERT_EQ(Open(built.bytes), AviReadStatus::Ok);
    ASSERT_EQ(reader_.indexSource(), AviIndexSource::Idx1Relative);
    std::vector<uint8_t> data;
    EXPECT_TRUE(reader_.readChunk(reader_.frame(0), data));
    EXPECT_FALSE(reader_.readChunk(reader_.frame(1), data));
    EXPECT_TRUE(reader_.readChunk(reader_.frame(3), data));
    EXPECT_EQ(data, Bytes(9, 4));
}

TEST_F(AviReaderTest, IndexedDroppedFrameHasNoData) {
    TestAvi avi = ThreeFrames(TestIndex::Relative);
    avi.chunks[1].data.clear();
    BuiltAvi built = BuildAvi(avi);
    // Some writers list a dropped frame with no offset at all.
    PatchU32(built.bytes, built.idx1Offset + 8 + 16 + 8, 0);
    ASSERT_EQ(Open(built.bytes), AviReadStatus::Ok);
    EXPECT_EQ(reader_.indexSource(), AviIndexSource::Idx1Relative);
    ASSERT_EQ(reader_.frameCount(), 3u);
    EXPECT_EQ(reader_.frame(1).size, 0u);
    EXPECT_EQ(Frames(), DataOf(avi.chunks, k00db, k00dc));
}

TEST_F(AviReaderTest, IndexedDroppedLastFrameIsReadOnce) {
    for (uint32_t stdIndexId : {0u, FourCC("ix00")}) {
        SCOPED_TRACE(stdIndexId);
        TestAvi avi = ThreeFrames(TestIndex::Relative);
        avi.stdIndexId = stdIndexId;
        avi.chunks.push_back({k00db, {}});
        avi.chunks.push_back({k00db, {}});
        ASSERT_EQ(Open(BuildAvi(avi).bytes), AviReadStatus::Ok);
        EXPECT_EQ(reader_.indexSource(),
                  stdIndexId ? AviIndexSource::OpenDml : AviIndexSource::Idx1Relative);
        EXPECT_EQ(Frames(), DataOf(avi.chunks, k00db, k00dc));
    }
}

TEST_F(AviReaderTest, VideoAfterAnAudioStreamUsesItsOwnNumber) {
    for (TestIndex index : {TestIndex::Relative, TestIndex::None}) {
        TestAvi avi;
        avi.streams = {AudioStream(), VideoStream(VideoFormat(2, 2, 24), "video")};
        avi.chunks = {{k00wb, Bytes(9, 1)},
                      {k01db, Bytes(16, 2)},
                      {k00wb, Bytes(4, 3)},
                      {k01dc, Bytes(16, 4)},
                      {k00db, Bytes(16, 5)}};
        avi.index = index;
        ASSERT_EQ(Open(BuildAvi(avi).bytes), AviReadStatus::Ok);
        EXPECT_EQ(reader_.streamNumber(), 1u);
        EXPECT_EQ(reader_.streamCount(), 2u);
        EXPECT_EQ(reader_.streamInfo().fccType, kFccVids);
        EXPECT_STREQ(reader_.streamInfo().szName, "video");
        EXPECT_EQ(Frames(), DataOf(avi.chunks, k01db, k01dc));
    }
}

TEST_F(AviReaderTest, PaletteChangesAreNotFrames) {
    for (TestIndex index : {TestIndex::Relative, TestIndex::None}) {
        TestAvi avi = ThreeFrames(index);
        avi.chunks.insert(avi.chunks.begin() + 1, {k00pc, Bytes(8, 9)});
        ASSERT_EQ(Open(BuildAvi(avi).bytes), AviReadStatus::Ok);
        ASSERT_EQ(reader_.frameCount(), 3u);
        ASSERT_EQ(reader_.paletteChanges().size(), 1u);
        EXPECT_EQ(reader_.paletteChanges()[0].beforeFrame, 1u);
        std::vector<uint8_t> data;
        ASSERT_TRUE(reader_.readChunk(reader_.paletteChanges()[0].chunk, data));
        EXPECT_EQ(data, Bytes(8, 9));
    }
}

TEST_F(AviReaderTest, StreamNameIsCutAndTerminated) {
    TestAvi avi = ThreeFrames(TestIndex::Relative);
    avi.streams[0].name = std::string(100, 'n');
    ASSERT_EQ(Open(BuildAvi(avi).bytes), AviReadStatus::Ok);
    EXPECT_EQ(std::string(reader_.streamInfo().szName), std::string(63, 'n'));

    // A name chunk without its NUL ends with the chunk: "abc\0" stored as 3 bytes and a pad.
    avi.streams[0].name = "abc";
    BuiltAvi built = BuildAvi(avi);
    const uint8_t strn[] = {'s', 't', 'r', 'n', 4, 0, 0, 0};
    const auto at = std::search(built.bytes.begin(), built.bytes.end(), strn, strn + 8);
    ASSERT_NE(at, built.bytes.end());
    PatchU32(built.bytes, size_t(at - built.bytes.begin()) + 4, 3);
    ASSERT_EQ(Open(built.bytes), AviReadStatus::Ok);
    EXPECT_STREQ(reader_.streamInfo().szName, "abc");
}

TEST_F(AviReaderTest, FilesWithoutAUsableVideoStream) {
    TestAvi audioOnly;
    audioOnly.streams = {AudioStream()};
    audioOnly.chunks = {{k00wb, Bytes(10, 1)}};
    EXPECT_EQ(Open(BuildAvi(audioOnly).bytes), AviReadStatus::NoVideoStream);
    EXPECT_FALSE(reader_.isOpen());

    TestAvi shortFormat = ThreeFrames(TestIndex::None);
    shortFormat.streams[0].format.resize(20);
    EXPECT_EQ(Open(BuildAvi(shortFormat).bytes), AviReadStatus::BadFormat);

    EXPECT_EQ(Open({}), AviReadStatus::NotAvi);
    EXPECT_EQ(Open(Bytes(300, 5)), AviReadStatus::NotAvi);
    std::vector<uint8_t> wave = BuildAvi(ThreeFrames(TestIndex::None)).bytes;
    PatchU32(wave, 8, FourCC("WAVE"));
    EXPECT_EQ(Open(wave), AviReadStatus::NotAvi);
    EXPECT_EQ(reader_.open(dir_.file("missing.avi")), AviReadStatus::CannotOpen);
}

TEST_F(AviReaderTest, AbsurdSizesAreNotTrusted) {
    const TestAvi avi = ThreeFrames(TestIndex::None);
    const auto expected = DataOf(avi.chunks, k00db, k00dc);
    const BuiltAvi built = BuildAvi(avi);

    const struct {
        const char* what;
        size_t at;
        uint32_t value;
        AviReadStatus status;
        size_t frames;
    } cases[] = {
        {"RIFF larger than the file", 4, 0xFFFFFFFFu, AviReadStatus::Ok, 3},
        {"RIFF size never patched by its writer", 4, 0, AviReadStatus::Ok, 3},
        {"hdrl larger than the file", 16, 0x7FFFFFF0u, AviReadStatus::NotAvi, 0},
        {"movi larger than the file", built.moviFourcc - 4, 0xFFFFFFF0u, AviReadStatus::Ok, 3},
        {"a chunk larger than the file", built.chunkOffsets[1] + 4, 0xFFFFFFF0u,
         AviReadStatus::Ok, 1},
        // A strh that claims the rest of its list swallows the strf behind it.
        {"strh too large", 12 + 12 + 8 + 56 + 12 + 4, 0xFFFF, AviReadStatus::BadFormat, 0},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes = built.bytes;
        PatchU32(bytes, c.at, c.value);
        ASSERT_EQ(Open(bytes), c.status) << c.what;
        if (c.status != AviReadStatus::Ok) continue;
        EXPECT_EQ(Frames(), std::vector(expected.begin(), expected.begin() + ptrdiff_t(c.frames)))
            << c.what;
    }
}

TEST_F(AviReaderTest, EveryCutOfAFileKeepsItsWholeChunks) {
    for (TestIndex index : {TestIndex::None, TestIndex::Relative}) {
        for (size_t rec : {size_t(0), size_t(2)}) {
            const TestAvi avi = ThreeFrames(index, true, rec);
            const BuiltAvi built = BuildAvi(avi);
            for (size_t cut = 0; cut <= built.bytes.size(); ++cut) {
                SCOPED_TRACE(testing::Message()
                             << "index " << int(index) << " rec " << rec << " cut " << cut);
                std::vector<uint8_t> bytes(built.bytes.begin(),
                                           built.bytes.begin() + std::ptrdiff_t(cut));
                const AviReadStatus status = Open(bytes);
                if (cut < built.headerListEnd) {
                    EXPECT_NE(status, AviReadStatus::Ok);
                    continue;
                }
                ASSERT_EQ(status, AviReadStatus::Ok);
                size_t whole = 0;
                while (whole < 3 &&
                       built.chunkOffsets[whole] + 8 + avi.chunks[whole].data.size() <= cut)
                    ++whole;
                ASSERT_EQ(reader_.frameCount(), whole);
                const auto frames = Frames();
                for (size_t i = 0; i < whole; ++i) EXPECT_EQ(frames[i], avi.chunks[i].data);
            }
        }
    }
}

TEST_F(AviReaderTest, ExtensionSegmentsFollowTheIndexedPictures) {
    TestAvi avi = ThreeFrames(TestIndex::Relative);
    avi.extensions = {{{k00db, Bytes(6, 20)}, {FourCC("JUNK"), Bytes(3, 0)}, {k00dc, Bytes(5, 21)}},
                      {{k00db, Bytes(1, 22)}}};
    ASSERT_EQ(Open(BuildAvi(avi).bytes), AviReadStatus::Ok);
    auto expected = DataOf(avi.chunks, k00db, k00dc);
    expected.push_back(Bytes(6, 20));
    expected.push_back(Bytes(5, 21));
    expected.push_back(Bytes(1, 22));
    EXPECT_EQ(Frames(), expected);
}

TEST_F(AviReaderTest, ReadsStayInsideTheChunk) {
    ASSERT_EQ(Open(BuildAvi(ThreeFrames(TestIndex::Relative)).bytes), AviReadStatus::Ok);
    std::vector<uint8_t> out(16, 0xEE);
    const AviChunkRef& ref = reader_.frame(0);
    EXPECT_FALSE(reader_.readChunk(ref, out.data(), ref.size + 1));
    EXPECT_TRUE(reader_.readChunk(ref, out.data(), 2));
    EXPECT_EQ(out[2], 0xEE);
    AviChunkRef past = ref;
    past.offset = reader_.fileSize() - 1;
    EXPECT_FALSE(reader_.readChunk(past, out.data(), past.size));
}

// Pictures in three segments, each movi list ending with its standard index.
TestAvi OpenDml(uint32_t stdIndexId, TestIndex idx1 = TestIndex::Relative) {
    TestAvi avi = ThreeFrames(idx1, true);
    avi.stdIndexId = stdIndexId;
    avi.extensions = {{{k00db, Bytes(6, 20)}, {FourCC("JUNK"), Bytes(3, 0)}, {k00dc, Bytes(5, 21)}},
                      {{k00db, Bytes(1, 22)}, {k00db, {}}, {k00db, Bytes(4, 23)}}};
    return avi;
}

std::vector<std::vector<uint8_t>> PicturesOf(const TestAvi& avi) {
    std::vector<std::vector<uint8_t>> out;
    auto add = [&](const std::vector<TestChunk>& chunks) {
        for (const TestChunk& c : chunks)
            if (c.id == k00db || c.id == k00dc) out.push_back(c.data);
    };
    add(avi.chunks);
    for (const auto& segment : avi.extensions) add(segment);
    return out;
}

void PatchLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) { PatchU32(bytes, at, v); }

TEST_F(AviReaderTest, OpenDmlIndexesComeFirstInBothSpellings) {
    for (uint32_t id : {FourCC("ix00"), FourCC("00ix")}) {
        for (TestIndex idx1 : {TestIndex::Relative, TestIndex::None}) {
            SCOPED_TRACE(testing::Message() << std::string(reinterpret_cast<char*>(&id), 4)
                                            << " idx1 " << int(idx1));
            const TestAvi avi = OpenDml(id, idx1);
            ASSERT_EQ(Open(BuildAvi(avi).bytes), AviReadStatus::Ok);
            EXPECT_EQ(reader_.indexSource(), AviIndexSource::OpenDml);
            EXPECT_EQ(Frames(), PicturesOf(avi));
        }
    }
}

// Broken OpenDML indexes are passed over for idx1 or the chunks themselves, never trusted.
TEST_F(AviReaderTest, BrokenOpenDmlIndexesAreNotTrusted) {
    const TestAvi avi = OpenDml(FourCC("ix00"));
    const BuiltAvi built = BuildAvi(avi);
    const size_t super = built.superIndexOffset + 8;
    const size_t firstIx = built.stdIndexOffsets[0];
    struct Case {
        const char* name;
        size_t at;
        uint32_t value;
        AviIndexSource source;
    };
    const Case cases[] = {
        {"super index of chunks", super, 4 | uint32_t(kAviIndexOfChunks) << 24,
         AviIndexSource::Idx1Relative},
        {"standard index elsewhere", super + kSuperIndexHeaderSize, uint32_t(firstIx + 2),
         AviIndexSource::Idx1Relative},
        {"standard index past the file", super + kSuperIndexHeaderSize, 0xFFFFFF00u,
         AviIndexSource::Idx1Relative},
        {"another stream's index", firstIx, FourCC("ix01"), AviIndexSource::Idx1Relative},
        {"more entries than it holds", firstIx + 12, 1000, AviIndexSource::Idx1Relative},
        {"entry at the wrong place", firstIx + 8 + kStdIndexHeaderSize, 3,
         AviIndexSource::Idx1Relative},
        {"entry of the wrong size", firstIx + 8 + kStdIndexHeaderSize + 4, 6,
         AviIndexSource::Idx1Relative},
        {"base past the file", firstIx + 24, 0x7FFFFFFF, AviIndexSource::Idx1Relative},
        // Only the first segment's standard index is listed: the rest is walked.
        {"first segment only", super + 4, 1, AviIndexSource::OpenDml},
        // An overlapping second index ends the list there.
        {"indexes out of order", super + kSuperIndexHeaderSize + kSuperIndexEntrySize,
         uint32_t(firstIx), AviIndexSource::OpenDml},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = built.bytes;
        PatchLe32(bytes, c.at, c.value);
        ASSERT_EQ(Open(bytes), AviReadStatus::Ok);
        EXPECT_EQ(reader_.indexSource(), c.source);
        EXPECT_EQ(Frames(), PicturesOf(avi));
    }
}

TEST_F(AviReaderTest, PalettisedStreamsAreNotReadFromTheStandardIndex) {
    // The standard index lists palette changes without their ids; idx1 names them.
    TestAvi avi = OpenDml(FourCC("ix00"));
    avi.streams[0] = VideoStream(VideoFormat(1, 1, 8, kBiRgb, 1, {1, 2, 3, 0}));
    ASSERT_EQ(Open(BuildAvi(avi).bytes), AviReadStatus::Ok);
    EXPECT_EQ(reader_.indexSource(), AviIndexSource::Idx1Relative);
    EXPECT_EQ(Frames(), PicturesOf(avi));
}

// What a capture program leaves when it stops without closing the file: sizes of 0 or sizes
// that run past the end, and no index.
TEST_F(AviReaderTest, UnfinishedCapturesAreReadToTheirLastWholeChunk) {
    TestAvi avi = OpenDml(FourCC("ix00"), TestIndex::None);
    const BuiltAvi built = BuildAvi(avi);
    const size_t moviSize = built.moviFourcc - 4;
    const size_t secondRiff = [&] {
        for (size_t at = 12; at + 12 <= built.bytes.size(); ++at)
            if (std::equal(built.bytes.begin() + std::ptrdiff_t(at),
                           built.bytes.begin() + std::ptrdiff_t(at + 4), "RIFF"))
                return at;
        return size_t(0);
    }();
    ASSERT_NE(secondRiff, 0u);
    struct Case {
        const char* name;
        std::vector<size_t> sizes;  // size fields set to `value`
        uint32_t value;
    };
    for (const Case& c : {Case{"sizes of 0", {4, moviSize}, 0},
                          Case{"sizes past the end", {4, moviSize}, 0x7FFFFFF0u},
                          Case{"only movi past the end", {moviSize}, 0x7FFFFFF0u},
                          Case{"segment of 0", {secondRiff + 4}, 0},
                          Case{"everything 0", {4, moviSize, secondRiff + 4}, 0}}) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = built.bytes;
        for (size_t at : c.sizes) PatchLe32(bytes, at, c.value);
        // And with no super index either, as it is only filled when the file is closed.
        for (bool superIndex : {true, false}) {
            std::vector<uint8_t> b = bytes;
            if (!superIndex) PatchLe32(b, built.superIndexOffset, kFccJunk);
            ASSERT_EQ(Open(b), AviReadStatus::Ok);
            EXPECT_EQ(Frames(), PicturesOf(avi));
        }
        // The last picture cut in half is dropped.
        const size_t lastData = built.bytes.size() - 8 - kStdIndexHeaderSize - 3 * 8 - 4;
        bytes.resize(lastData + 2);
        ASSERT_EQ(Open(bytes), AviReadStatus::Ok);
        auto expected = PicturesOf(avi);
        expected.pop_back();
        EXPECT_EQ(Frames(), expected);
    }
}

TEST_F(AviReaderTest, ChunksWithoutPadBytesAreFound) {
    for (TestIndex index : {TestIndex::None, TestIndex::Relative}) {
        for (size_t rec : {size_t(0), size_t(2)}) {
            SCOPED_TRACE(testing::Message() << "index " << int(index) << " rec " << rec);
            TestAvi avi = ThreeFrames(index, true, rec);
            avi.padBytes = false;
            avi.extensions = {{{k00db, Bytes(3, 30)}, {k00db, Bytes(5, 31)}}};
            ASSERT_EQ(Open(BuildAvi(avi).bytes), AviReadStatus::Ok);
            EXPECT_EQ(Frames(), PicturesOf(avi));
        }
    }
}

// Our own OpenDML output, whole and cut anywhere, as a capture that stopped mid-write leaves it.
TEST_F(AviReaderTest, OwnSegmentedOutputReadsBackAtEveryCut) {
    const std::string path = dir_.file("segments.avi");
    std::vector<std::vector<uint8_t>> pictures;
    {
        AviWriter w;
        w.setSegmentLimitForTesting(6000);
        AviStreamInfo info = VideoStream({}).info;
        ASSERT_EQ(w.create(path, info, VideoFormat(7, 5, 8, FourCC("Y800")), k00db),
                  AviWriteStatus::Ok);
        for (uint8_t i = 0; i < 60; ++i) {
            pictures.push_back(Bytes(i == 4 ? 0 : 201 + i % 2, i));
            ASSERT_EQ(w.writeChunk(pictures.back().data(), pictures.back().size(), kAviifKeyframe),
                      AviWriteStatus::Ok);
        }
        ASSERT_EQ(w.finish(), AviWriteStatus::Ok);
        ASSERT_GE(w.segmentCount(), 3u);
    }
    const std::vector<uint8_t> whole = test::ReadFileBytes(path);
    ASSERT_EQ(reader_.open(path), AviReadStatus::Ok);
    EXPECT_EQ(reader_.indexSource(), AviIndexSource::OpenDml);
    EXPECT_EQ(reader_.streamInfo().dwLength, 60u);
    EXPECT_EQ(Frames(), pictures);
    std::vector<uint64_t> ends;  // where each picture's chunk ends
    for (size_t i = 0; i < reader_.frameCount(); ++i)
        ends.push_back(reader_.frame(i).size ? reader_.frame(i).offset + reader_.frame(i).size : 0);
    for (size_t i = 1; i < ends.size(); ++i)
        if (ends[i] == 0) ends[i] = ends[i - 1] + 8;  // the dropped frame's empty chunk
    const size_t headers = size_t(ends[0] - pictures[0].size() - 8);
    for (size_t cut = headers; cut < whole.size(); cut += 5) {
        SCOPED_TRACE(cut);
        ASSERT_EQ(Open({whole.begin(), whole.begin() + std::ptrdiff_t(cut)}), AviReadStatus::Ok);
        const size_t expected =
            size_t(std::upper_bound(ends.begin(), ends.end(), uint64_t(cut)) - ends.begin());
        const auto got = Frames();
        ASSERT_EQ(got.size(), expected);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), pictures.begin()));
    }
}

}  // namespace
}  // namespace kestrel
