// Files of gigabytes, as long captures make them: FFmpeg's OpenDML input, whole and cut short,
// and an output past 4 GiB, each run through kestrel-batch and compared frame by frame with what
// FFmpeg decodes. Minutes of work and about 8 GB of disk, so they are labelled slow.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "io/avi_reader.h"
#include "support/files.h"
#include "support/process.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

// FFmpeg's Adler-32 of every frame of `path`, decoded to packed blue-green-red.
std::vector<std::string> FrameSums(const std::string& path) {
    std::istringstream lines(RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(path) +
                                        " -map 0:v:0 -pix_fmt bgr24 -f framecrc -")
                                 .output);
    std::vector<std::string> sums;
    for (std::string line; std::getline(lines, line);)
        if (line[0] != '#' && line.rfind("0x") != std::string::npos)
            sums.push_back(line.substr(line.rfind("0x")));
    return sums;
}

TEST(LargeFiles, AnOpenDmlInputWholeAndCutShortAndAnOutputPastFourGibibytes) {
    if (!test::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    test::TempDir dir;
    const std::string in = dir.file("in.avi"), out = dir.file("out.avi");
    auto batch = [&] {
        const auto run = RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -q -y " + ShellQuote(in) +
                                    " " + ShellQuote(out) + " 2>&1");
        EXPECT_EQ(run.status, 0) << run.output;
        return FrameSums(out);
    };
    // Grey 1920x1080 frames of FFmpeg's moving test pattern, of 2 MB: two RIFF segments. They
    // come out as colour ones of 6 MB: 700 frames make 4.35 GB.
    const char* grey = "-frames:v 700 -c:v rawvideo -pix_fmt gray -vtag Y800";
    ASSERT_EQ(test::MakeFfmpegVideo(in, "size=1920x1080:rate=25", grey).status, 0);
    std::vector<std::string> sums = FrameSums(in);
    ASSERT_EQ(sums.size(), 700u);
    EXPECT_EQ(batch(), sums);
    EXPECT_GT(fs::file_size(out), uint64_t(4) << 30);
    // A player that knows only AVI 1.0 reads the first RIFF, of at most 1 GiB, by its idx1.
    AviReader reader;
    ASSERT_EQ(reader.open(out), AviReadStatus::Ok);
    const uint32_t firstFrames = reader.mainHeader().dwTotalFrames;
    EXPECT_GT(firstFrames, 100u);
    const std::string first = dir.file("first.avi");
    EXPECT_EQ(test::ProbeFirstSegment(out, first), "nb_read_frames=" + std::to_string(firstFrames));
    EXPECT_LE(fs::file_size(first), uint64_t(1) << 30);

    // A cut in the middle of a picture of the second segment, as a capture that was stopped.
    ASSERT_EQ(reader.open(in), AviReadStatus::Ok);
    EXPECT_EQ(reader.indexSource(), AviIndexSource::OpenDml);
    ASSERT_EQ(reader.frameCount(), 700u);
    fs::resize_file(in, reader.frame(600).offset + reader.frame(600).size + 1000);
    sums.resize(601);
    EXPECT_EQ(batch(), sums);
}

}  // namespace
}  // namespace kestrel
