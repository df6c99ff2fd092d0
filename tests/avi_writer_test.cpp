#include "io/avi_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <tuple>

#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"
#include "support/riff_walk.h"

namespace kestrel {
namespace {

using enum AviWriteStatus;
using test::AviLayout;
using test::ReadAviFile;
using test::TempDir;
using test::VideoFormat;
using Words = std::vector<uint32_t>;

const uint32_t k00db = FourCC("00db");

// A value in nearly every field, a rectangle that does not fit 16 bits, an odd name ("ab" and
// its terminator); 10 million frames expected, about 280 segments of pictures of 30000 bytes.
AviStreamInfo Info(uint32_t rate) {
    return {.fccType = kFccVids, .fccHandler = FourCC("DIB "), .wPriority = 3, .wLanguage = 9,
            .dwScale = 1001, .dwRate = rate, .dwStart = 2, .dwLength = 10000000,
            .dwSuggestedBufferSize = 99999, .dwQuality = 7500, .dwSampleSize = 9,
            .rcFrameLeft = -1, .rcFrameRight = 5, .rcFrameBottom = 70000, .szName = "ab"};
}

// Chunk i carries its number in every byte, so a misplaced chunk shows; odd ones need a pad.
std::vector<uint8_t> Numbered(int i) { return std::vector<uint8_t>(999 + i % 2, uint8_t(i)); }

// No frame rate, as a damaged input may give: no frame time, not a division by 0. The super
// index has room for twice the segments that the frames expected would fill.
TEST(AviWriter, NoFrameRateAndRoomForTheSegmentsExpected) {
    TempDir dir;
    AviStreamInfo info = Info(0);
    info.dwScale = 0;
    AviWriter w;
    ASSERT_EQ(w.create(dir.file("out.avi"), info, VideoFormat(100, 100, 24), k00db), Ok);
    ASSERT_EQ(w.finish(), Ok);
    AviLayout avi;
    ASSERT_TRUE(ReadAviFile(dir.file("out.avi"), avi));
    EXPECT_GE((avi.indx.size - 24) / 16, 2 * 10000000ull * 30008 / AviWriter::kSegmentLimit);
}

// Files of every shape, each walked by the strict reader and read by ffprobe, whole and as a
// player that knows only AVI 1.0 reads it: one segment or many, a full super index, and a disk
// that fills up (a file size limit) in the first segment or at the first or third chunk of the
// second. The file keeps every chunk written before a refusal, with their indexes when there is
// room for them; an AVIX segment that is empty, or whose index does not fit, is dropped, since
// readers find its chunks only through that index. The headers are as stored, and an odd strf,
// strn and chunk each have a pad byte.
TEST(AviWriter, FilesOfEveryShapeHoldTheChunksWritten) {
    const struct {
        uint64_t segmentLimit;  // 0: 1 GiB
        int chunks;             // written until one is refused
        AviWriteStatus last;    // what the last one written gave
        int refusedAt;          // a disk full at this chunk, with `room` left from its start
        uint64_t room;
        int kept;
        // Segments are full: 12130 bytes take 7 chunks in the first, 11 in the others (12
        // without their indexes); 8000 bytes take 3, then 7.
        uint32_t first, segments;
        bool idx1;
    } shapes[] = {{12130, 52, Ok, -1, 0, 52, 7, 6, true},
                  {1, 258, SizeLimit, -1, 0, 256, 1, 256, true},
                  {0, 30, CannotWrite, 2, 500, 2, 2, 1, true},
                  {0, 30, CannotWrite, 2, 20, 2, 2, 1, false},
                  {8000, 30, CannotWrite, 5, 500, 5, 3, 2, true},
                  {8000, 30, CannotWrite, 5, 20, 3, 3, 1, true},
                  {8000, 30, CannotWrite, 3, 500, 3, 3, 1, true}};
    std::vector<uint8_t> format = VideoFormat(5, -3, 24);
    format.push_back(0xEE);
    AviStreamInfo info = Info(30000);
    info.dwLength = 0;  // the smallest super index
    for (const auto& k : shapes) {
        SCOPED_TRACE(testing::Message() << k.segmentLimit << " " << k.refusedAt << " " << k.room);
        TempDir dir;
        const std::string path = dir.file("out.avi");
        auto write = [&](int chunks, AviWriteStatus last) {  // the chunks kept, or 100 and up
            AviWriter w;
            w.setSegmentLimitForTesting(k.segmentLimit);
            if (w.create(path, info, format, k00db) != Ok) return 101;
            AviWriteStatus s = Ok;
            for (int i = 1; i <= chunks && s == Ok; ++i)
                s = w.writeChunk(Numbered(i).data(), Numbered(i).size());
            if (s != last) return 102;
            if (last == CannotWrite && w.reason() != SystemReason(EFBIG)) return 103;
            return w.finish() == Ok ? int(w.chunksWritten()) : 104;
        };
        AviLayout avi;
        if (k.refusedAt < 0) {
            ASSERT_EQ(write(k.chunks, k.last), k.kept);
        } else {
            ASSERT_EQ(write(12, Ok), 12);
            ASSERT_TRUE(ReadAviFile(path, avi));
            const uint64_t limit = avi.frames[size_t(k.refusedAt)].data - 8 + k.room;
            ASSERT_EQ(
                test::ExitCodeUnderFileSizeLimit(limit, [&] { return write(k.chunks, k.last); }),
                k.kept);
        }
        ASSERT_TRUE(ReadAviFile(path, avi));
        ASSERT_EQ(avi.frames.size(), size_t(k.kept));
        for (int i = 1; i <= k.kept; ++i)
            ASSERT_EQ(avi.dataOf(avi.frames[size_t(i - 1)]), Numbered(i));
        // 1001/30000 s a frame, 1000 bytes at 30000/1001 a second, the height unsigned; old
        // players see the first segment, the totals are in strh and dmlh.
        EXPECT_EQ(std::tie(avi.firstSegmentFrames, avi.segments), std::tie(k.first, k.segments));
        EXPECT_EQ(avi.words(avi.avih),
                  (Words{33366, 29970, 0, (k.idx1 ? kAvifHasIndex : 0) | kAvifTrustCkType, k.first,
                         0, 1, 1000, 5, 3, 0, 0, 0, 0}));
        // The rectangle clamped, no sample size for video.
        EXPECT_EQ(avi.words(avi.strh),
                  (Words{kFccVids, FourCC("DIB "), 0, 3 | 9 << 16, 0, 1001, 30000, 2,
                         uint32_t(k.kept), 1000, 7500, 0, 0xFFFF, 5 | 32767u << 16}));
        EXPECT_EQ(avi.u32(avi.dmlh.data), uint32_t(k.kept));
        EXPECT_EQ(avi.index.size(), k.idx1 ? k.first : 0u);
        for (const test::IndexRecord& e : avi.index) EXPECT_EQ(e.flags, kAviifKeyframe);
        if (!test::HaveTool("ffprobe")) continue;
        EXPECT_EQ(test::Probe(path, "nb_read_frames"), "nb_read_frames=" + std::to_string(k.kept));
        EXPECT_EQ(test::ProbeFirstSegment(path, dir.file("first.avi")),
                  "nb_read_frames=" + std::to_string(k.first));
    }
}

}  // namespace
}  // namespace kestrel
