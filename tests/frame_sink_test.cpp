#include "io/frame_sink.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "base/file.h"
#include "io/frame_source.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_walk.h"
#include "support/samples.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::MakeImage;
using test::TempDir;

TEST(FrameSink, OutputFormatAndFrameData) {
    // Rows padded to 4 bytes; 0 for no pixels and for sizes no 32-bit field can describe.
    const struct {
        int32_t w, h;
        uint32_t bytes;
    } sizes[] = {{1, 2, 8},         {5, 1, 16},        {1920, 1080, 1920 * 3 * 1080},
                 {40000, 40000, 0}, {INT32_MAX, 1, 0}, {0, 5, 0}, {5, -1, 0}};
    for (const auto& s : sizes)
        EXPECT_EQ(OutputFrameHeader(s.w, s.h).biSizeImage, s.bytes) << s.w << "x" << s.h;

    // Bottom row first, grey as three equal bytes; a reused buffer's fill bytes are 0 again.
    Bytes data(100, 0xFF);
    ASSERT_TRUE(PackFrameData(MakeImage(2, 2, 1, {1, 2, 3, 4}), data));
    EXPECT_EQ(data, (Bytes{3, 3, 3, 4, 4, 4, 0, 0, 1, 1, 1, 2, 2, 2, 0, 0}));
    ASSERT_TRUE(PackFrameData(MakeImage(1, 2, 3, {1, 2, 3, 4, 5, 6}), data));
    EXPECT_EQ(data, (Bytes{4, 5, 6, 0, 1, 2, 3, 0}));
    EXPECT_FALSE(PackFrameData(MakeImage(3, 3, 3, Bytes(26)), data));
    EXPECT_FALSE(PackFrameData(MakeImage(3, 3, 2, Bytes(18)), data));
    EXPECT_EQ(data, (Bytes{4, 5, 6, 0, 1, 2, 3, 0}));

    // Formats that describe no stored picture are refused, and leave nothing behind.
    TempDir dir;
    Settings settings;
    settings.OutputFile = dir.file("out.avi");
    for (BitmapInfoHeader bad :
         {OutputFrameHeader(0, 2), OutputFrameHeader(2, -2), OutputFrameHeader(40000, 40000)}) {
        Failure failure;
        EXPECT_FALSE(CreateOutputVideo(bad, settings, failure));
        EXPECT_EQ(failure.message, "Can't set AVI stream format");
        EXPECT_FALSE(failure.reason.empty());
        EXPECT_TRUE(CloseVideo(failure));
    }
    EXPECT_TRUE(dir.names().empty());
}

// The run's video side in a child process whose files cannot grow past `limit`: frames read
// are written (frame `otherSizeAt` as one of another size) and, with `folder`, a folder takes
// the output's name before CloseVideo. What the sink told, as the child wrote it down; no words
// for a run without faults, where positions go 0, 1, 2, ... and no output exists before the
// first frame or after CloseVideo.
std::string RunInChild(const Settings& s, uint64_t limit, int otherSizeAt, bool folder) {
    const std::string log = s.InputFile + ".log";
    test::ExitCodeUnderFileSizeLimit(limit, [&] {
        Failure failure, again, closing;
        const Image other = MakeImage(4, 3, 3, Bytes(36));
        std::string told = WriteFrame(other, s, again) || again ? "written early\n" : "";
        for (int n = 0; ReadNextFrame(s, failure); ++n) {
            if (WritePosition() != (n ? n : -1)) told += "at " + std::to_string(WritePosition());
            if (!WriteFrame(n == otherSizeAt ? other : ImageBuffer(), s, failure)) {
                // Told once: neither the output nor its creation is tried again.
                fs::create_directories(fs::path(s.OutputFile).parent_path());
                const bool retried = WriteFrame(ImageBuffer(), s, again) || again;
                told += failure.message + ": " + failure.reason + (retried ? " again" : "") + "\n";
                break;
            }
        }
        if (folder && fs::remove(s.OutputFile)) fs::create_directories(s.OutputFile + "/keep");
        told += CloseVideo(closing) ? "closed" : closing.message + ": " + closing.reason;
        if (WritePosition() != -1 || WriteFrame(ImageBuffer(), s, again) || again) told += " late";
        return test::WriteFileText(log, told) ? 0 : 1;
    });
    return test::ReadFileText(log);
}

// The first failure ends the output's part of the run, told once with its reason; the frames
// before it replace the old output as a whole file, and no temporary file stays behind. A run
// without faults copies the input's stream header, its compressor code cleared.
TEST(FrameSinkRun, OutputsAndFailures) {
    TempDir dir;
    Settings s;
    s.InputFile = dir.file("in.avi");
    s.Colour = 1;
    ASSERT_TRUE(test::WriteTestVideo(s.InputFile, 64, 48, 3));  // 9224-byte chunks
    SetOutputSegmentLimitForTesting(20000);  // a frame in the first segment, then two
    const std::string kWrite = "Can't write AVI output file: ";
    const struct {
        const char* output;
        uint64_t limit;  // a disk full before the headers, after the first frame, or not
        int otherSizeAt;
        bool folder;
        std::string told;
        size_t kept;
    } cases[] = {
        {"out.avi", 1 << 30, -1, false, "closed", 3},
        {"no/out.avi", 1 << 30, -1, false,
         "Can't open AVI output file: " + SystemReason(ENOENT) + "\nclosed", 0},
        {"out.avi", 1 << 30, 1, false,
         kWrite + "the frame's size differs from the first frame's\nclosed", 1},
        {"out.avi", 16000, -1, false, kWrite + SystemReason(EFBIG) + "\nclosed", 1},
        {"out.avi", 1000, -1, false,
         "Can't create AVI output stream: " + SystemReason(EFBIG) + "\nclosed", 0},
        {"out.avi", 1 << 30, -1, true, kWrite + SystemReason(EISDIR), 0},
    };
    for (const auto& k : cases) {
        ASSERT_TRUE(test::WriteFileText(dir.file("out.avi"), "old"));
        s.OutputFile = dir.file(k.output);
        EXPECT_EQ(RunInChild(s, k.limit, k.otherSizeAt, k.folder), k.told);
        const std::vector<Image> frames = test::ReadAllFrames(s.OutputFile);
        ASSERT_EQ(frames.size(), k.kept) << k.told;
        for (int n = 0; n < int(k.kept); ++n)
            EXPECT_EQ(frames[n].pixels, test::ExpectedFrame(64, 48, n, true).pixels);
        EXPECT_EQ(fs::exists(s.OutputFile + "/keep"), k.folder);
        // The old output is replaced by a whole file or not at all.
        EXPECT_EQ(test::ReadFileText(dir.file("out.avi")) == "old", k.kept == 0 && !k.folder);
        for (const std::string& name : dir.names()) EXPECT_EQ(name.find(".tmp"), std::string::npos);
        if (k.kept == 3) {
            test::AviLayout in, out;
            ASSERT_TRUE(test::ReadAviFile(s.InputFile, in));
            ASSERT_TRUE(test::ReadAviFile(s.OutputFile, out));
            EXPECT_EQ(out.segments, 2u);
            Bytes strh = in.dataOf(in.strh);
            std::fill(strh.begin() + 4, strh.begin() + 8, 0);
            EXPECT_EQ(out.dataOf(out.strh), strh);
            Bytes format;
            AppendBitmapInfoHeader(format, OutputFrameHeader(64, 48));
            EXPECT_EQ(out.dataOf(out.strf), format);
        }
        fs::remove_all(dir.file("out.avi"));
        fs::remove_all(dir.file("no"));
    }
    SetOutputSegmentLimitForTesting(0);
}

}  // namespace
}  // namespace kestrel
