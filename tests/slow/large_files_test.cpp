// Files of gigabytes, as long captures make them: FFmpeg's OpenDML input, whole and cut short,
// and an output past 4 GiB, each run through kestrel-batch and compared frame by frame with what
// FFmpeg decodes. Minutes of work and about 12 GB of disk, so they are labelled slow.
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

TEST(LargeFiles, OpenDmlInputsWholeAndCutShortAndAnOutputPastFourGibibytes) {
    if (!test::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    test::TempDir dir;
    const std::string in = dir.file("in.avi"), out = dir.file("out.avi");
    // 1920x1080 frames of FFmpeg's moving test pattern.
    auto make = [&](int frames, const std::string& encode) {
        const auto made = RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size="
                                     "1920x1080:rate=25 -frames:v " + std::to_string(frames) +
                                     " " + encode + " " + ShellQuote(in) + " 2>&1");
        ASSERT_EQ(made.status, 0) << made.output;
    };
    auto batch = [&](const std::string& from, const char* options) {
        const auto run = RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -q -y " + options + " " +
                                    ShellQuote(from) + " " + ShellQuote(out) + " 2>&1");
        EXPECT_EQ(run.status, 0) << run.output;
        return FrameSums(out);
    };

    make(400, "-c:v rawvideo -pix_fmt bgr24");
    AviReader reader;
    ASSERT_EQ(reader.open(in), AviReadStatus::Ok);
    EXPECT_EQ(reader.indexSource(), AviIndexSource::OpenDml);
    ASSERT_EQ(reader.frameCount(), 400u);
    // A cut in the middle of a picture of the third segment, as a capture that was stopped.
    const uint64_t cut = reader.frame(350).offset + reader.frame(350).size + 1000;
    reader.close();
    std::vector<std::string> sums = FrameSums(in);
    ASSERT_EQ(sums.size(), 400u);
    EXPECT_EQ(batch(in, "--colour"), sums);
    ASSERT_EQ(RunCommand("truncate -s " + std::to_string(cut) + " " + ShellQuote(in)).status, 0);
    sums.resize(351);
    EXPECT_EQ(batch(in, "--colour"), sums);

    // Grey pictures of 2 MB come out as colour ones of 6 MB: 700 frames make 4.35 GB.
    make(700, "-c:v rawvideo -pix_fmt gray -vtag Y800");
    sums = FrameSums(in);
    ASSERT_EQ(sums.size(), 700u);
    EXPECT_EQ(batch(in, ""), sums);
    EXPECT_GT(fs::file_size(out), uint64_t(4) << 30);
    // A player that knows only AVI 1.0 reads the first RIFF, of at most 1 GiB, by its idx1.
    ASSERT_EQ(reader.open(out), AviReadStatus::Ok);
    const uint32_t firstFrames = reader.mainHeader().dwTotalFrames;
    reader.close();
    EXPECT_GT(firstFrames, 100u);
    EXPECT_EQ(test::ProbeFirstSegment(out, in), "nb_read_frames=" + std::to_string(firstFrames));
    EXPECT_LE(fs::file_size(in), uint64_t(1) << 30);
}

}  // namespace
}  // namespace kestrel
