#include "io/avi_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"
#include "support/riff_walk.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::AviLayout;
using test::ReadAviFile;
using test::TempDir;
using test::VideoFormat;
using Names = std::vector<std::string>;
using Words = std::vector<uint32_t>;

const uint32_t k00db = FourCC("00db");

// A value in nearly every field, a rectangle that does not fit 16 bits.
AviStreamInfo Info(uint32_t rate, const char* name = "") {
    AviStreamInfo s{.fccType = kFccVids, .fccHandler = FourCC("DIB "), .wPriority = 3,
                    .wLanguage = 9, .dwScale = 1001, .dwRate = rate, .dwStart = 2,
                    .dwLength = 12345, .dwSuggestedBufferSize = 99999, .dwQuality = 7500,
                    .dwSampleSize = 9, .rcFrameLeft = -1, .rcFrameRight = 5, .rcFrameBottom = 70000};
    std::snprintf(s.szName, sizeof(s.szName), "%s", name);
    return s;
}

// Chunk i carries its number in every byte, so a misplaced chunk shows; odd ones need a pad.
std::vector<uint8_t> Numbered(int i) { return std::vector<uint8_t>(999 + i % 2, uint8_t(i)); }

// Writes chunks numbered from 1 until one is refused or `most` are written.
AviWriteStatus WriteChunks(AviWriter& w, int most) {
    AviWriteStatus s = AviWriteStatus::Ok;
    for (int i = 1; i <= most && s == AviWriteStatus::Ok; ++i) {
        const std::vector<uint8_t> c = Numbered(i);
        s = w.writeChunk(c.data(), c.size());
    }
    return s;
}

TEST(AviWriter, HeadersPaddingAndIndexAsStored) {
    TempDir dir;
    const std::string path = dir.file("out.avi");
    // An odd strf, an odd strn ("ab" and its terminator) and odd chunks each need a pad byte.
    std::vector<uint8_t> format = VideoFormat(5, -3, 24);
    format.push_back(0xEE);
    AviWriter w;
    ASSERT_EQ(w.create(path, Info(30000, "ab"), format, k00db), AviWriteStatus::Ok);
    ASSERT_EQ(WriteChunks(w, 3), AviWriteStatus::Ok);
    ASSERT_EQ(w.finish(), AviWriteStatus::Ok);
    EXPECT_EQ(dir.names(), Names{"out.avi"});

    AviLayout avi;
    ASSERT_TRUE(ReadAviFile(path, avi));
    // 1001/30000 s a frame, 1000 bytes at 30000/1001 a second, 3 frames, the height unsigned.
    EXPECT_EQ(avi.words(avi.avih), (Words{33366, 29970, 0, kAvifHasIndex | kAvifTrustCkType, 3, 0,
                                          1, 1000, 5, 3, 0, 0, 0, 0}));
    // Lengths from the chunks written, no sample size for video, the rectangle clamped.
    EXPECT_EQ(avi.words(avi.strh), (Words{kFccVids, FourCC("DIB "), 0, 3 | 9 << 16, 0, 1001, 30000,
                                          2, 3, 1000, 7500, 0, 0xFFFF, 5 | 32767u << 16}));
    EXPECT_EQ(avi.stream.rcFrameLeft, -1);
    const std::vector<uint8_t> strh = avi.dataOf(avi.strh);
    EXPECT_TRUE(ParseStreamHeader(strh.data(), 48, avi.stream));  // some writers stop there
    EXPECT_FALSE(ParseStreamHeader(strh.data(), 47, avi.stream));
    EXPECT_EQ(avi.dataOf(avi.strf), format);
    EXPECT_EQ(avi.dataOf(avi.strn), (std::vector<uint8_t>{'a', 'b', 0}));
    ASSERT_EQ(avi.frames.size(), 3u);
    EXPECT_EQ(avi.index.at(0).offset, 4u);  // the first chunk follows the 'movi' type at once
    for (uint8_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(avi.dataOf(avi.frames[i - 1]), Numbered(i));
        EXPECT_EQ(avi.index[i - 1].flags, kAviifKeyframe);
    }
}

TEST(AviWriter, TheTargetIsReplacedOnlyByAFinishedFile) {
    TempDir dir;
    const std::string path = dir.file("movie.avi");
    ASSERT_TRUE(test::WriteFileText(path, "old contents"));
    fs::create_directory(dir.file("folder.avi"));
    // Creations refused with their reason, or for a format that describes no picture (the last:
    // 4.8 GB a frame, which no 32-bit chunk holds), leave nothing behind.
    AviWriter refused;
    const std::vector<uint8_t> format = VideoFormat(2, 2, 24);
    EXPECT_EQ(refused.create(dir.file("no/movie.avi"), Info(25), format, k00db),
              AviWriteStatus::CannotCreate);
    EXPECT_EQ(refused.reason(), SystemReason(ENOENT));
    EXPECT_EQ(refused.create(dir.file("folder.avi"), Info(25), format, k00db),
              AviWriteStatus::CannotCreate);
    EXPECT_EQ(refused.reason(), SystemReason(EISDIR));
    std::vector<uint8_t> shortFormat = format, longHeader = format;
    shortFormat.resize(39);
    longHeader[0] = 44;  // biSize claims more than the format holds
    for (const auto& bad :
         {shortFormat, longHeader, VideoFormat(0, 2, 24), VideoFormat(-4, 2, 24),
          VideoFormat(2, 0, 24), VideoFormat(2, 2, 0), VideoFormat(40000, 40000, 24)}) {
        EXPECT_EQ(refused.create(path, Info(25), bad, k00db), AviWriteStatus::BadFormat);
        EXPECT_FALSE(refused.isOpen());
    }
    EXPECT_TRUE(fs::is_empty(dir.file("folder.avi")));

    enum class End { Finish, Abandon, Destroy };
    for (End end : {End::Abandon, End::Destroy, End::Finish}) {
        SCOPED_TRACE(int(end));
        EXPECT_EQ(test::ReadFileText(path), "old contents");
        {
            AviWriter w;
            ASSERT_EQ(w.create(path, Info(25), format, k00db), AviWriteStatus::Ok);
            ASSERT_EQ(WriteChunks(w, 1), AviWriteStatus::Ok);
            // Until then the new file has a hidden name beside the target.
            const fs::path temp(w.temporaryPath());
            EXPECT_EQ(temp.parent_path(), fs::path(dir.path()));
            EXPECT_EQ(temp.filename().string().rfind(".movie.avi.", 0), 0u) << temp;
            EXPECT_EQ(temp.extension(), ".tmp");
            EXPECT_EQ(dir.names(), (Names{temp.filename().string(), "folder.avi", "movie.avi"}));
            EXPECT_EQ(test::ReadFileText(path), "old contents");
            if (end == End::Abandon) w.abandon();
            EXPECT_EQ(end == End::Finish ? w.finish() : AviWriteStatus::Ok, AviWriteStatus::Ok);
            // Nothing is left to finish.
            EXPECT_TRUE(end == End::Destroy || w.finish() == AviWriteStatus::CannotWrite);
        }
        EXPECT_EQ(dir.names(), (Names{"folder.avi", "movie.avi"}));
    }
    EXPECT_EQ(test::CountFrames(path), 1u);
}

// Files of every shape, each walked by the strict reader and read by ffprobe, whole and as a
// player that knows only AVI 1.0 reads it: one segment or many, a full super index, and a disk
// that fills up (a file size limit) in the first segment or at the first or third chunk of the
// second. The file keeps every chunk written before a refusal, with their indexes when there is
// room for them; an AVIX segment that is empty, or whose index does not fit, is dropped, since
// readers find its chunks only through that index.
TEST(AviWriter, FilesOfEveryShapeHoldTheChunksWritten) {
    using enum AviWriteStatus;
    const struct {
        uint64_t segmentLimit;  // 0: 1 GiB; 8000: 3 chunks in the first segment, then 7;
                                // 12130: 7, then 11, and one more chunk without its indexes
        int chunks;             // written until one is refused
        AviWriteStatus last;    // what the last one written gave
        int refusedAt;          // a disk full at this chunk, with `room` left from its start
        uint64_t room;
        int kept;
        bool idx1;
    } shapes[] = {
        {12130, 50, Ok, -1, 0, 50, true},         {1, 258, SizeLimit, -1, 0, 256, true},
        {0, 30, CannotWrite, 2, 500, 2, true},    {0, 30, CannotWrite, 2, 20, 2, false},
        {8000, 30, CannotWrite, 5, 500, 5, true}, {8000, 30, CannotWrite, 5, 20, 3, true},
        {8000, 30, CannotWrite, 3, 500, 3, true}};
    for (const auto& k : shapes) {
        SCOPED_TRACE(testing::Message() << k.segmentLimit << " " << k.refusedAt << " " << k.room);
        TempDir dir;
        const std::string path = dir.file("out.avi");
        AviStreamInfo info = Info(25);
        info.dwLength = 0;                                   // the smallest super index
        auto write = [&](int chunks, AviWriteStatus last) {  // the chunks kept, or 100 and up
            AviWriter w;
            w.setSegmentLimitForTesting(k.segmentLimit);
            if (w.create(path, info, VideoFormat(10, 10, 8, FourCC("Y800")), k00db) != Ok)
                return 101;
            if (WriteChunks(w, chunks) != last) return 102;
            if (last == CannotWrite && w.reason() != SystemReason(EFBIG)) return 103;
            return w.finish() == Ok ? int(w.chunksWritten()) : 104;
        };
        AviLayout avi;
        size_t segments = 0;  // of a file cut short
        if (k.refusedAt < 0) {
            ASSERT_EQ(write(k.chunks, k.last), k.kept);
        } else {
            ASSERT_EQ(write(12, Ok), 12);
            ASSERT_TRUE(ReadAviFile(path, avi));
            ASSERT_EQ(avi.firstSegmentFrames, k.segmentLimit ? 3u : 12u);
            segments = avi.firstSegmentFrames < size_t(k.kept) ? 2 : 1;
            const uint64_t limit = avi.frames[size_t(k.refusedAt)].data - 8 + k.room;
            ASSERT_EQ(
                test::ExitCodeUnderFileSizeLimit(limit, [&] { return write(k.chunks, k.last); }),
                k.kept);
        }
        ASSERT_TRUE(ReadAviFile(path, avi));
        ASSERT_EQ(avi.frames.size(), size_t(k.kept));
        for (int i = 1; i <= k.kept; ++i)
            ASSERT_EQ(avi.dataOf(avi.frames[size_t(i - 1)]), Numbered(i));
        // Old players see the first segment; the totals are in strh and dmlh.
        EXPECT_EQ(avi.idx1.present, k.idx1);
        EXPECT_EQ(avi.avihField(test::kAvihFlags) & kAvifHasIndex, k.idx1 ? kAvifHasIndex : 0u);
        EXPECT_EQ(avi.avihField(test::kAvihTotalFrames), avi.firstSegmentFrames);
        EXPECT_EQ(avi.index.size(), k.idx1 ? avi.firstSegmentFrames : 0u);
        EXPECT_EQ(std::make_tuple(avi.stream.dwLength, avi.u32(avi.dmlh.data)),
                  std::make_tuple(uint32_t(k.kept), uint32_t(k.kept)));
        // Every segment but the last is full: one more chunk, its ix00 entry and (in the first)
        // its idx1 entry would have taken it past the limit.
        std::vector<uint64_t> sizes;  // of each RIFF, its header included
        for (uint64_t at = 0; at < avi.bytes.size(); at += sizes.back())
            sizes.push_back(8 + avi.u32(at + 4));
        EXPECT_EQ(sizes.size(), avi.segments);
        EXPECT_TRUE(segments == 0 || avi.segments == segments);
        for (size_t s = 0; k.segmentLimit > 1 && s < sizes.size(); ++s) {
            EXPECT_LE(sizes[s], k.segmentLimit) << s;
            EXPECT_TRUE(s + 1 == sizes.size() || sizes[s] + 1016 + (s ? 0 : 16) > k.segmentLimit);
        }
        EXPECT_EQ(dir.names(), Names{"out.avi"});
        if (!test::HaveTool("ffprobe")) continue;
        EXPECT_EQ(test::Probe(path, "nb_read_frames"), "nb_read_frames=" + std::to_string(k.kept));
        EXPECT_EQ(test::ProbeFirstSegment(path, dir.file("first.avi")),
                  "nb_read_frames=" + std::to_string(avi.firstSegmentFrames));
    }
}

TEST(AviWriter, SuperIndexRoomFollowsTheExpectedLength) {
    TempDir dir;
    const std::string path = dir.file("room.avi");
    // 30000 bytes a frame; no frames, no name and no rate (no frame time, not a division by 0).
    for (uint32_t length : {0u, 10000000u}) {
        AviStreamInfo info = Info(0);
        info.dwLength = length;
        AviWriter w;
        ASSERT_EQ(w.create(path, info, VideoFormat(100, 100, 24), k00db), AviWriteStatus::Ok);
        ASSERT_EQ(w.finish(), AviWriteStatus::Ok);
        AviLayout avi;
        ASSERT_TRUE(ReadAviFile(path, avi));
        EXPECT_EQ(std::make_tuple(avi.u32(avi.avih.data), avi.strn.present, avi.idx1.size),
                  std::make_tuple(0u, false, 0u));
        const uint64_t segments = uint64_t(length) * 30000 / AviWriter::kSegmentLimit + 1;
        EXPECT_GE((avi.indx.size - 24) / 16, std::max<uint64_t>(2 * segments, 256)) << length;
    }
}

}  // namespace
}  // namespace kestrel
