#include "io/avi_reader.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "io/byte_io.h"
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

}  // namespace
}  // namespace kestrel
