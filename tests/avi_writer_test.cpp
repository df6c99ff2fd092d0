#include "io/avi_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"
#include "support/riff_walk.h"

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

// dwLength and dwSuggestedBufferSize are set from the chunks written; video is one chunk a
// frame, so dwSampleSize is written as 0.
AviStreamInfo Info(uint32_t scale, uint32_t rate, const char* name) {
    AviStreamInfo s{.fccType = kFccVids,
                    .fccHandler = FourCC("DIB "),
                    .wPriority = 3,
                    .wLanguage = 9,
                    .dwScale = scale,
                    .dwRate = rate,
                    .dwLength = 12345,
                    .dwSuggestedBufferSize = 99999,
                    .dwQuality = 7500,
                    .dwSampleSize = 9,
                    .rcFrameRight = 5,
                    .rcFrameBottom = 3};
    std::snprintf(s.szName, sizeof(s.szName), "%s", name);
    return s;
}

// Each chunk carries its number in every byte, so a misplaced chunk shows.
std::vector<uint8_t> Chunk(size_t size, uint8_t tag) { return std::vector<uint8_t>(size, tag); }

AviWriteStatus Write(AviWriter& w, const std::vector<uint8_t>& chunk) {
    return w.writeChunk(chunk.data(), chunk.size());
}

TEST(AviWriter, FileStructureHeadersPaddingAndIndex) {
    TempDir dir;
    const std::string path = dir.file("out.avi");
    // An odd strf (a header with one extra byte), an odd strn ("ab" and its terminator) and odd
    // chunks: every one needs its pad byte.
    std::vector<uint8_t> format = VideoFormat(5, -3, 24);
    format.push_back(0xEE);
    AviStreamInfo info = Info(1001, 30000, "ab");
    info.dwStart = 2;

    AviWriter w;
    ASSERT_EQ(w.create(path, info, format, k00db), AviWriteStatus::Ok);
    const size_t sizes[] = {5, 6, 7};
    for (size_t i = 0; i < 3; ++i)
        ASSERT_EQ(Write(w, Chunk(sizes[i], uint8_t(i + 1))), AviWriteStatus::Ok);
    EXPECT_EQ(w.chunksWritten(), 3u);
    ASSERT_EQ(w.finish(), AviWriteStatus::Ok);
    EXPECT_FALSE(w.isOpen());
    EXPECT_EQ(dir.names(), Names{"out.avi"});

    AviLayout avi;
    ASSERT_TRUE(ReadAviFile(path, avi));
    // Main header: 1000000 x 1001 / 30000 microseconds a frame, 7 bytes at 30000/1001 frames a
    // second, flags, 3 frames, 1 stream, the largest chunk as the buffer, the height unsigned.
    EXPECT_EQ(avi.words(avi.avih), (Words{33366, 209, 0, kAvifHasIndex | kAvifTrustCkType, 3, 0, 1,
                                          7, 5, 3, 0, 0, 0, 0}));
    // Stream header as stored: lengths from the chunks written, no sample size for video, and
    // the rectangle as four 16-bit values.
    EXPECT_EQ(avi.words(avi.strh), (Words{kFccVids, FourCC("DIB "), 0, 3 | 9 << 16, 0, 1001, 30000,
                                          2, 3, 7, 7500, 0, 0, 5 | 3 << 16}));
    EXPECT_EQ(avi.dataOf(avi.strf), format);
    ASSERT_TRUE(avi.strn.present);
    EXPECT_EQ(avi.dataOf(avi.strn), (std::vector<uint8_t>{'a', 'b', 0}));

    ASSERT_EQ(avi.frames.size(), 3u);
    ASSERT_EQ(avi.index.size(), 3u);
    EXPECT_EQ(avi.index[0].offset, 4u);  // the first chunk follows the 'movi' type at once
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(avi.frames[i].id, k00db);
        EXPECT_EQ(avi.index[i].flags, kAviifKeyframe);
        EXPECT_EQ(avi.dataOf(avi.frames[i]), Chunk(sizes[i], uint8_t(i + 1)));
    }
}

TEST(AviWriter, EmptyNameZeroRateAndNoFrames) {
    TempDir dir;
    const std::string path = dir.file("empty.avi");
    AviWriter w;
    ASSERT_EQ(w.create(path, Info(0, 0, ""), VideoFormat(2, 2, 24), k00db), AviWriteStatus::Ok);
    ASSERT_EQ(w.finish(), AviWriteStatus::Ok);

    AviLayout avi;
    ASSERT_TRUE(ReadAviFile(path, avi));
    EXPECT_FALSE(avi.strn.present);
    // No rate: no frame time, not a division by 0.
    EXPECT_EQ(avi.words(avi.avih),
              (Words{0, 0, 0, kAvifHasIndex | kAvifTrustCkType, 0, 0, 1, 0, 2, 2, 0, 0, 0, 0}));
    EXPECT_TRUE(avi.frames.empty());
    ASSERT_TRUE(avi.idx1.present);
    EXPECT_EQ(avi.idx1.size, 0u);
}

TEST(AviWriter, TargetIsReplacedOnlyByAFinishedFile) {
    enum class End { Finish, Abandon, Destroy };
    for (End end : {End::Finish, End::Abandon, End::Destroy}) {
        SCOPED_TRACE(int(end));
        TempDir dir;
        const std::string path = dir.file("movie.avi");
        ASSERT_TRUE(test::WriteFileText(path, "old contents"));
        {
            AviWriter w;
            ASSERT_EQ(w.create(path, Info(1, 25, ""), VideoFormat(2, 2, 24), k00db),
                      AviWriteStatus::Ok);
            ASSERT_EQ(Write(w, Chunk(16, 1)), AviWriteStatus::Ok);
            // Until it is finished the new file lives under a hidden name beside the target.
            const fs::path temp(w.temporaryPath());
            EXPECT_EQ(temp.parent_path(), fs::path(path).parent_path());
            EXPECT_EQ(temp.filename().string().rfind(".movie.avi.", 0), 0u) << temp;
            EXPECT_EQ(temp.extension(), ".tmp");
            EXPECT_EQ(dir.names(), (Names{temp.filename().string(), "movie.avi"}));
            EXPECT_EQ(test::ReadFileText(path), "old contents");
            if (end == End::Finish) {
                ASSERT_EQ(w.finish(), AviWriteStatus::Ok);
            }
            if (end == End::Abandon) {
                w.abandon();
                EXPECT_FALSE(w.isOpen());
                EXPECT_EQ(w.finish(), AviWriteStatus::CannotWrite);  // nothing left to finish
            }
        }
        EXPECT_EQ(dir.names(), Names{"movie.avi"});
        AviLayout avi;
        if (end == End::Finish) {
            ASSERT_TRUE(ReadAviFile(path, avi));
            EXPECT_EQ(avi.frames.size(), 1u);
        } else {
            EXPECT_EQ(test::ReadFileText(path), "old contents");
        }
    }
}

TEST(AviWriter, RefusedCreationLeavesNothingBehind) {
    TempDir dir;
    const std::string path = dir.file("movie.avi");
    ASSERT_TRUE(test::WriteFileText(path, "old contents"));
    const AviStreamInfo info = Info(1, 25, "");
    AviWriter w;

    EXPECT_EQ(w.create(dir.file("missing/movie.avi"), info, VideoFormat(2, 2, 24), k00db),
              AviWriteStatus::CannotCreate);
    fs::create_directory(dir.file("folder.avi"));
    EXPECT_EQ(w.create(dir.file("folder.avi"), info, VideoFormat(2, 2, 24), k00db),
              AviWriteStatus::CannotCreate);
    fs::remove(dir.file("folder.avi"));

    std::vector<uint8_t> shortFormat = VideoFormat(2, 2, 24);
    shortFormat.resize(39);
    std::vector<uint8_t> longHeader = VideoFormat(2, 2, 24);
    longHeader[0] = 44;  // biSize claims more than the format holds
    const std::vector<std::vector<uint8_t>> refused = {
        shortFormat,
        longHeader,
        VideoFormat(0, 2, 24),
        VideoFormat(-4, 2, 24),
        VideoFormat(2, 0, 24),
        VideoFormat(2, 2, 0),
        VideoFormat(40000, 40000, 24),  // 4.8 GB a frame: no 32-bit chunk holds it
    };
    for (const std::vector<uint8_t>& format : refused) {
        EXPECT_EQ(w.create(path, info, format, k00db), AviWriteStatus::BadFormat);
        EXPECT_FALSE(w.isOpen());
    }
    EXPECT_EQ(dir.names(), Names{"movie.avi"});
    EXPECT_EQ(test::ReadFileText(path), "old contents");
}

// Sizes as the top level of the file stores them: each segment's RIFF header and body.
std::vector<uint64_t> SegmentSizes(const AviLayout& avi) {
    std::vector<uint64_t> sizes;
    for (uint64_t at = 0; at + 8 <= avi.bytes.size(); at += 8 + avi.u32(at + 4))
        sizes.push_back(8 + uint64_t(avi.u32(at + 4)));
    return sizes;
}

TEST(AviWriter, SegmentsSplitAtTheirLimitEachWithItsIndexes) {
    TempDir dir;
    const std::string path = dir.file("long.avi");
    const std::vector<uint8_t> format = VideoFormat(5, 7, 8);
    const uint64_t limit = 12000;  // the header and about 18 chunks, then 34 a segment
    const size_t kChunks = 100;
    AviWriter w;
    w.setSegmentLimitForTesting(limit);
    ASSERT_EQ(w.create(path, Info(1, 25, "seg"), format, k00db), AviWriteStatus::Ok);
    for (size_t i = 0; i < kChunks; ++i)
        ASSERT_EQ(Write(w, Chunk(333 + i % 2, uint8_t(i))), AviWriteStatus::Ok) << i;
    ASSERT_EQ(w.finish(), AviWriteStatus::Ok);

    AviLayout avi;
    ASSERT_TRUE(ReadAviFile(path, avi));
    ASSERT_EQ(avi.frames.size(), kChunks);
    for (size_t i = 0; i < kChunks; ++i)
        ASSERT_EQ(avi.dataOf(avi.frames[i]), Chunk(333 + i % 2, uint8_t(i))) << i;
    ASSERT_GE(avi.segments, 3u);
    // Every segment but the last is full: one more chunk, its ix00 entry and (in the first)
    // its idx1 entry would have taken it past the limit.
    const std::vector<uint64_t> sizes = SegmentSizes(avi);
    for (size_t s = 0; s < sizes.size(); ++s) {
        EXPECT_LE(sizes[s], limit) << s;
        if (s + 1 < sizes.size()) {
            EXPECT_GT(sizes[s] + 8 + 334 + 8 + (s == 0 ? 16 : 0), limit) << s;
        }
    }
    // Old players see the first segment; the totals are in strh and dmlh.
    EXPECT_EQ(avi.avihField(test::kAvihTotalFrames), avi.firstSegmentFrames);
    EXPECT_EQ(avi.index.size(), avi.firstSegmentFrames);
    EXPECT_EQ(avi.stream.dwLength, kChunks);
    EXPECT_EQ(avi.u32(avi.dmlh.data), kChunks);
    if (test::HaveTool("ffprobe")) {
        EXPECT_EQ(test::Probe(path, "nb_read_frames"), "nb_read_frames=" + std::to_string(kChunks));
        // A player that knows only AVI 1.0 sees the first RIFF and its idx1.
        const std::string firstOnly = dir.file("first.avi");
        ASSERT_TRUE(test::WriteFileBytes(
            firstOnly, {avi.bytes.begin(), avi.bytes.begin() + std::ptrdiff_t(sizes[0])}));
        const auto first = test::RunCommand(
            "ffprobe -v error -use_odml 0 -count_frames -select_streams v:0 -show_entries "
            "stream=nb_read_frames -of default=nw=1 " + test::ShellQuote(firstOnly));
        EXPECT_EQ(first.output, "nb_read_frames=" + std::to_string(avi.firstSegmentFrames) + "\n");
    }
}

TEST(AviWriter, FullSuperIndexKeepsEveryWholeChunk) {
    TempDir dir;
    const std::string path = dir.file("full.avi");
    AviWriter w;
    w.setSegmentLimitForTesting(1);  // one chunk a segment
    AviStreamInfo info = Info(1, 25, "");
    info.dwLength = 0;  // the smallest super index
    ASSERT_EQ(w.create(path, info, VideoFormat(2, 2, 24), k00db), AviWriteStatus::Ok);
    const std::vector<uint8_t> c = Chunk(16, 7);
    for (uint32_t i = 0; i < AviWriter::kMinSuperIndexEntries; ++i)
        ASSERT_EQ(Write(w, c), AviWriteStatus::Ok) << i;
    EXPECT_EQ(Write(w, c), AviWriteStatus::SizeLimit);
    EXPECT_EQ(Write(w, c), AviWriteStatus::SizeLimit);
    ASSERT_EQ(w.finish(), AviWriteStatus::Ok);

    AviLayout avi;
    ASSERT_TRUE(ReadAviFile(path, avi));
    EXPECT_EQ(avi.segments, AviWriter::kMinSuperIndexEntries);
    EXPECT_EQ(avi.frames.size(), AviWriter::kMinSuperIndexEntries);
}

TEST(AviWriter, SuperIndexRoomFollowsTheExpectedLength) {
    TempDir dir;
    const std::vector<uint8_t> format = VideoFormat(100, 100, 24);  // 30000 bytes a frame
    for (uint32_t length : {0u, 1000u, 100000u, 10000000u}) {
        SCOPED_TRACE(length);
        AviStreamInfo info = Info(1, 25, "");
        info.dwLength = length;
        AviWriter w;
        ASSERT_EQ(w.create(dir.file("room.avi"), info, format, k00db), AviWriteStatus::Ok);
        ASSERT_EQ(w.finish(), AviWriteStatus::Ok);
        AviLayout avi;
        ASSERT_TRUE(ReadAviFile(dir.file("room.avi"), avi));
        const uint64_t entries = (avi.indx.size - 24) / 16;
        const uint64_t segments = uint64_t(length) * 30000 / AviWriter::kSegmentLimit + 1;
        EXPECT_GE(entries, std::max<uint64_t>(2 * segments, AviWriter::kMinSuperIndexEntries));
    }
}

TEST(AviWriter, RefusedWriteKeepsEarlierChunksAsAValidFile) {
    TempDir dir;
    const AviStreamInfo info = Info(1, 10, "");
    const std::vector<uint8_t> format = VideoFormat(10, 10, 8, FourCC("Y800"));
    struct Case {
        const char* name;
        uint64_t extra;  // room left after two chunks: enough for the index, or not
        bool indexed;
    };
    for (const Case& k : {Case{"indexed.avi", 500, true}, Case{"unindexed.avi", 20, false}}) {
        SCOPED_TRACE(k.name);
        const std::string path = dir.file(k.name);
        uint64_t headers = 0;
        {
            AviWriter probe;
            ASSERT_EQ(probe.create(path, info, format, FourCC("00dc")), AviWriteStatus::Ok);
            headers = probe.bytesWritten();
        }
        // The child reports the chunks it kept, or 100 and up on a wrong result.
        const int kept = test::ExitCodeUnderFileSizeLimit(headers + 2 * (8 + 1000) + k.extra, [&] {
            AviWriter w;
            if (w.create(path, info, format, FourCC("00dc")) != AviWriteStatus::Ok) return 102;
            AviWriteStatus status = AviWriteStatus::Ok;
            for (uint8_t i = 1; i < 50 && status == AviWriteStatus::Ok; ++i)
                status = Write(w, Chunk(1000, i));
            if (status != AviWriteStatus::CannotWrite) return 103;
            const int chunks = int(w.chunksWritten());
            return w.finish() == AviWriteStatus::Ok ? chunks : 104;
        });
        ASSERT_EQ(kept, 2);

        AviLayout avi;
        ASSERT_TRUE(ReadAviFile(path, avi));
        ASSERT_EQ(avi.frames.size(), 2u);
        for (size_t i = 0; i < 2; ++i)
            EXPECT_EQ(avi.dataOf(avi.frames[i]), Chunk(1000, uint8_t(i + 1)));
        EXPECT_EQ(avi.idx1.present, k.indexed);
        EXPECT_EQ(avi.avihField(test::kAvihFlags) & kAvifHasIndex, k.indexed ? kAvifHasIndex : 0u);
        EXPECT_EQ(avi.avihField(test::kAvihTotalFrames), 2u);
        EXPECT_EQ(avi.stream.dwLength, 2u);
        if (test::HaveTool("ffprobe")) {
            EXPECT_EQ(test::Probe(path, "nb_read_frames"), "nb_read_frames=2");
        }
    }
    EXPECT_EQ(dir.names().size(), 2u);  // no temporary file left
}

TEST(AviWriter, RefusedWriteInALaterSegmentKeepsAValidFile) {
    TempDir dir;
    const AviStreamInfo info = Info(1, 10, "");
    const std::vector<uint8_t> format = VideoFormat(10, 10, 8, FourCC("Y800"));
    // The first segment holds three chunks of 1000 after its headers; later ones hold more.
    uint64_t headers = 0;
    {
        AviWriter probe;
        ASSERT_EQ(probe.create(dir.file("probe.avi"), info, format, FourCC("00dc")),
                  AviWriteStatus::Ok);
        headers = probe.bytesWritten();
    }
    const uint64_t limit = headers + 3 * (8 + 1000 + 8 + 16) + 100;
    auto writeAll = [&](const std::string& path, AviWriter& w) {
        w.setSegmentLimitForTesting(limit);
        if (w.create(path, info, format, FourCC("00dc")) != AviWriteStatus::Ok) return false;
        AviWriteStatus status = AviWriteStatus::Ok;
        for (uint8_t i = 1; i < 30 && status == AviWriteStatus::Ok; ++i)
            status = Write(w, Chunk(1000, i));
        return status == AviWriteStatus::CannotWrite;
    };
    // Where the eighth chunk starts, in the second segment, in a file that is not cut short.
    uint64_t eighth = 0;
    {
        AviWriter w;
        w.setSegmentLimitForTesting(limit);
        ASSERT_EQ(w.create(dir.file("probe.avi"), info, format, FourCC("00dc")), AviWriteStatus::Ok);
        for (uint8_t i = 1; i <= 12; ++i) ASSERT_EQ(Write(w, Chunk(1000, i)), AviWriteStatus::Ok);
        ASSERT_EQ(w.finish(), AviWriteStatus::Ok);
        AviLayout avi;
        ASSERT_TRUE(ReadAviFile(dir.file("probe.avi"), avi));
        ASSERT_GE(avi.segments, 2u);
        ASSERT_EQ(avi.firstSegmentFrames, 3u);
        const std::vector<uint64_t> sizes = SegmentSizes(avi);
        eighth = avi.frames[7].data - 8;
        ASSERT_LT(eighth, sizes[0] + sizes[1]);
        fs::remove(dir.file("probe.avi"));
    }
    struct Case {
        const char* name;
        uint64_t room;  // after the seventh chunk: enough for its segment's ix00, or not
        int kept;
    };
    for (const Case& k : {Case{"indexed.avi", 500, 7}, Case{"dropped.avi", 20, 3}}) {
        SCOPED_TRACE(k.name);
        const std::string path = dir.file(k.name);
        const int kept = test::ExitCodeUnderFileSizeLimit(eighth + k.room, [&] {
            AviWriter w;
            if (!writeAll(path, w)) return 103;
            return w.finish() == AviWriteStatus::Ok ? int(w.chunksWritten()) : 104;
        });
        ASSERT_EQ(kept, k.kept);
        AviLayout avi;
        ASSERT_TRUE(ReadAviFile(path, avi));
        ASSERT_EQ(avi.frames.size(), size_t(k.kept));
        for (int i = 0; i < k.kept; ++i)
            EXPECT_EQ(avi.dataOf(avi.frames[size_t(i)]), Chunk(1000, uint8_t(i + 1)));
        EXPECT_EQ(avi.stream.dwLength, uint32_t(k.kept));
        if (test::HaveTool("ffprobe")) {
            EXPECT_EQ(test::Probe(path, "nb_read_frames"),
                      "nb_read_frames=" + std::to_string(k.kept));
        }
    }
    EXPECT_EQ(dir.names().size(), 2u);
}

}  // namespace
}  // namespace kestrel
