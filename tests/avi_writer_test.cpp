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
using Words = std::vector<uint32_t>;

// Chunk i carries its number in every byte, so a misplaced chunk shows; odd ones need a pad.
std::vector<uint8_t> Numbered(int i) { return std::vector<uint8_t>(999 + i % 2, uint8_t(i)); }

// Files of every shape, each walked by the strict reader: one segment or many, a full super
// index, and a disk that fills up (a file size limit) in the first segment or at the first or
// third chunk of the second. The file keeps every chunk written before a refusal, with their
// indexes when there is room for them; an AVIX segment that is empty, or whose index does not
// fit, is dropped, since readers find its chunks only through that index. The headers are as
// stored, and an odd strf, strn and chunk each have a pad byte.
TEST(AviWriter, FilesOfEveryShapeHoldTheChunksWritten) {
    const struct {
        uint64_t segmentLimit;  // 0: 1 GiB
        AviWriteStatus last;    // what the last chunk written gave; Ok: the `kept` ones written
        int refusedAt;          // a disk full at this chunk, with `room` left from its start
        uint64_t room;
        int kept;
        // Segments are full: 12130 bytes take 7 chunks in the first, 11 in the others (12
        // without their indexes); 7770 bytes take 3 to the byte, then 7.
        uint32_t first, segments;
        bool idx1;
    } shapes[] = {{12130, Ok, -1, 0, 52, 7, 6, true},
                  {1, SizeLimit, -1, 0, 272, 1, 272, true},
                  {0, CannotWrite, 2, 500, 2, 2, 1, true},
                  {0, CannotWrite, 2, 20, 2, 2, 1, false},
                  {7770, CannotWrite, 5, 500, 5, 3, 2, true},
                  {7770, CannotWrite, 5, 20, 3, 3, 1, true},
                  {7770, CannotWrite, 3, 500, 3, 3, 1, true}};
    const std::vector<uint8_t> format = test::VideoFormat(5, -3, 24, kBiRgb, 0, {0xEE});
    // A value in nearly every field, a rectangle that does not fit 16 bits, an odd name ("ab"
    // and its terminator). Room in the super index for twice the segments of the 128 frames
    // expected, and some: 272 segments of one chunk, or the least, 256.
    const AviStreamInfo info{
        .fccType = kFccVids, .fccHandler = FourCC("DIB "), .wPriority = 3, .wLanguage = 9,
        .dwScale = 1001, .dwRate = 30000, .dwStart = 2, .dwLength = 128,
        .dwSuggestedBufferSize = 99999, .dwQuality = 7500, .dwSampleSize = 9, .rcFrameLeft = -1,
        .rcFrameRight = 5, .rcFrameBottom = 70000, .szName = "ab"};
    for (const auto& k : shapes) {
        SCOPED_TRACE(testing::Message() << k.segmentLimit << " " << k.refusedAt << " " << k.room);
        test::TempDir dir;
        const std::string path = dir.file("out.avi");
        auto write = [&](int chunks, AviWriteStatus last) {  // 0, or the step that failed
            AviWriter w;
            w.setSegmentLimitForTesting(k.segmentLimit);
            if (w.create(path, info, format, FourCC("00db")) != Ok) return 1;
            AviWriteStatus s = Ok;
            for (int i = 1; i <= chunks && s == Ok; ++i)
                s = w.writeChunk(Numbered(i).data(), Numbered(i).size());
            if (s != last) return 2;
            if (last == CannotWrite && w.reason() != SystemReason(EFBIG)) return 3;
            return w.finish() == Ok ? 0 : 4;
        };
        test::AviLayout avi;
        uint64_t limit = uint64_t(1) << 30;
        if (k.refusedAt >= 0) {
            ASSERT_EQ(write(12, Ok), 0);
            ASSERT_TRUE(test::ReadAviFile(path, avi));
            limit = avi.frames[size_t(k.refusedAt)].data - 8 + k.room;
        }
        const int chunks = k.last == Ok ? k.kept : 1000;  // until one is refused
        ASSERT_EQ(
            test::ExitCodeUnderFileSizeLimit(limit, [&] { return write(chunks, k.last); }), 0);
        ASSERT_TRUE(test::ReadAviFile(path, avi));
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
    }
}

}  // namespace
}  // namespace kestrel
