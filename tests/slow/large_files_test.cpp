// Files of gigabytes, as long captures make them: FFmpeg's OpenDML input run through
// kestrel-batch into an output past 4 GiB, compared with what FFmpeg decodes of the input.
// Minutes of work and about 7 GB of disk, so it is labelled slow.
#include <gtest/gtest.h>

#include <filesystem>

#include "io/avi_reader.h"
#include "support/files.h"
#include "support/process.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

TEST(LargeFiles, AnOpenDmlInputAndAnOutputPastFourGibibytes) {
    if (!test::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    test::TempDir dir;
    const std::string in = dir.file("in.avi"), out = dir.file("out.avi");
    // Grey 1920x1080 frames of FFmpeg's moving test pattern, of 2 MB: two RIFF segments. They
    // come out as colour ones of 6 MB: 700 frames make 4.35 GB.
    const char* grey = "-frames:v 700 -c:v rawvideo -pix_fmt gray -vtag Y800";
    ASSERT_EQ(test::MakeFfmpegVideo(in, "size=1920x1080:rate=25", grey).status, 0);
    const auto run = test::RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -q -y " + ShellQuote(in) +
                                      " " + ShellQuote(out) + " 2>&1");
    ASSERT_EQ(run.status, 0) << run.output;
    // FFmpeg's MD5 of every frame, decoded to packed blue-green-red.
    auto md5 = [](const std::string& path) {
        return test::RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(path) +
                                " -pix_fmt bgr24 -f md5 -")
            .output;
    };
    const std::string frames = md5(in);
    ASSERT_EQ(frames.rfind("MD5=", 0), 0u) << frames;
    EXPECT_EQ(md5(out), frames);
    EXPECT_GT(fs::file_size(out), uint64_t(4) << 30);
    // A player that knows only AVI 1.0 reads the first RIFF, of at most 1 GiB, by its idx1.
    AviReader reader;
    ASSERT_EQ(reader.open(out), AviReadStatus::Ok);
    const uint32_t firstFrames = reader.mainHeader().dwTotalFrames;
    EXPECT_GT(firstFrames, 100u);
    const std::string first = dir.file("first.avi");
    EXPECT_EQ(test::ProbeFirstSegment(out, first), "nb_read_frames=" + std::to_string(firstFrames));
    EXPECT_LE(fs::file_size(first), uint64_t(1) << 30);
}

}  // namespace
}  // namespace kestrel
