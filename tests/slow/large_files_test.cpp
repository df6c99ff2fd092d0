// Files of gigabytes, as long captures make them: OpenDML inputs that FFmpeg writes, outputs past
// 4 GiB, and a capture cut short. Minutes of work and about 12 GB of disk, so they run with
// `./test.sh --slow` only.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "io/avi_reader.h"
#include "io/frame_source.h"
#include "support/files.h"
#include "support/process.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

constexpr int kW = 1920, kH = 1080;

// Adler-32 as FFmpeg's framecrc sums a frame.
uint32_t Adler32(const std::vector<uint8_t>& bytes) {
    uint32_t a = 0, b = 0;  // where FFmpeg starts; Adler-32 proper starts a at 1
    for (uint8_t v : bytes) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

// FFmpeg's own Adler-32 of every frame of `path` decoded to packed blue-green-red.
std::vector<uint32_t> FfmpegFrameSums(const std::string& path) {
    const auto run = RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(path) +
                                " -map 0:v:0 -c:v rawvideo -pix_fmt bgr24 -f framecrc -");
    std::vector<uint32_t> sums;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t hex = line.rfind("0x");
        if (hex != std::string::npos) sums.push_back(uint32_t(std::stoul(line.substr(hex), nullptr, 16)));
    }
    return sums;
}

// Our Adler-32 of every frame the frame source reads from `path`, in colour.
std::vector<uint32_t> OurFrameSums(const std::string& path, Failure& failure) {
    Settings settings;
    settings.InputFile = path;
    settings.Colour = 1;
    std::vector<uint32_t> sums;
    CloseInputVideo();
    while (ReadNextFrame(settings, failure)) sums.push_back(Adler32(ImageBuffer().pixels));
    CloseInputVideo();
    return sums;
}

uint64_t FileSize(const std::string& path) { return uint64_t(fs::file_size(path)); }

std::string FfprobeFrames(const std::string& path, const std::string& options = "") {
    return RunCommand("ffprobe -v error " + options +
                      " -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                      "-of default=nw=1 " + ShellQuote(path))
        .output;
}

// A 1920x1080 video of FFmpeg's moving test pattern.
test::CommandResult MakeLargeVideo(const std::string& path, int frames, const std::string& encode) {
    return RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" +
                      std::to_string(kW) + "x" + std::to_string(kH) + ":rate=25 -frames:v " +
                      std::to_string(frames) + " " + encode + " " + ShellQuote(path) + " 2>&1");
}

class LargeFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    }
    test::TempDir dir;
};

TEST_F(LargeFiles, FfmpegsOpenDmlInputIsReadWholeAndCutShort) {
    const std::string in = dir.file("ffmpeg.avi");
    const auto made = MakeLargeVideo(in, 400, "-c:v rawvideo -pix_fmt bgr24");
    ASSERT_EQ(made.status, 0) << made.output;
    std::printf("[ figures  ] FFmpeg input: %llu bytes\n", (unsigned long long)FileSize(in));

    AviReader reader;
    ASSERT_EQ(reader.open(in), AviReadStatus::Ok);
    EXPECT_EQ(reader.indexSource(), AviIndexSource::OpenDml);
    ASSERT_EQ(reader.frameCount(), 400u);
    std::vector<uint64_t> ends;
    for (size_t i = 0; i < reader.frameCount(); ++i)
        ends.push_back(reader.frame(i).offset + reader.frame(i).size);
    reader.close();

    const std::vector<uint32_t> reference = FfmpegFrameSums(in);
    ASSERT_EQ(reference.size(), 400u);
    Failure failure;
    EXPECT_EQ(OurFrameSums(in, failure), reference);
    EXPECT_EQ(failure.message, "");

    // Cut in the middle of a picture of the third segment, as a capture that was stopped.
    const uint64_t cut = ends[350] + 1000;
    const std::string cutPath = dir.file("cut.avi");
    const auto headed = RunCommand("head -c " + std::to_string(cut) + " " + ShellQuote(in) + " > " +
                                   ShellQuote(cutPath));
    ASSERT_EQ(headed.status, 0);
    fs::remove(in);
    const std::vector<uint32_t> got = OurFrameSums(cutPath, failure);
    EXPECT_EQ(failure.message, "");
    ASSERT_EQ(got.size(), 351u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), reference.begin()));
}

TEST_F(LargeFiles, OutputPastFourGibibytesReadsWholeInFfmpeg) {
    // Grey pictures of 2 MB come out as colour ones of 6 MB: 700 frames make 4.35 GB.
    const std::string in = dir.file("grey.avi");
    const auto made = MakeLargeVideo(in, 700, "-c:v rawvideo -pix_fmt gray -vtag Y800");
    ASSERT_EQ(made.status, 0) << made.output;
    const std::string out = dir.file("out.avi");
    const auto run = RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -q -y " + ShellQuote(in) + " " +
                                ShellQuote(out) + " 2>&1");
    ASSERT_EQ(run.status, 0) << run.output;
    const uint64_t size = FileSize(out);
    std::printf("[ figures  ] Kestrel output: %llu bytes\n", (unsigned long long)size);
    EXPECT_GT(size, uint64_t(4) << 30);

    EXPECT_EQ(FfprobeFrames(out), "nb_read_frames=700\n");
    const std::vector<uint32_t> expected = FfmpegFrameSums(in);
    ASSERT_EQ(expected.size(), 700u);
    fs::remove(in);
    EXPECT_EQ(FfmpegFrameSums(out), expected);

    // An AVI 1.0 player sees the first RIFF alone, with its idx1 and avih count.
    AviReader reader;
    ASSERT_EQ(reader.open(out), AviReadStatus::Ok);
    EXPECT_EQ(reader.indexSource(), AviIndexSource::OpenDml);
    EXPECT_EQ(reader.frameCount(), 700u);
    EXPECT_EQ(reader.streamInfo().dwLength, 700u);
    const uint32_t firstFrames = reader.mainHeader().dwTotalFrames;
    reader.close();
    std::FILE* f = std::fopen(out.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    uint8_t head[8] = {};
    ASSERT_EQ(std::fread(head, 1, 8, f), 8u);
    std::fclose(f);
    const uint64_t firstRiff = 8 + (uint64_t(head[4]) | uint64_t(head[5]) << 8 |
                                    uint64_t(head[6]) << 16 | uint64_t(head[7]) << 24);
    EXPECT_LE(firstRiff, uint64_t(1) << 30);
    std::printf("[ figures  ] first segment: %llu bytes, %u frames\n",
                (unsigned long long)firstRiff, firstFrames);
    EXPECT_GT(firstFrames, 100u);
    const std::string first = dir.file("first.avi");
    ASSERT_EQ(RunCommand("head -c " + std::to_string(firstRiff) + " " + ShellQuote(out) + " > " +
                         ShellQuote(first))
                  .status,
              0);
    fs::remove(out);
    EXPECT_EQ(FfprobeFrames(first, "-use_odml 0"),
              "nb_read_frames=" + std::to_string(firstFrames) + "\n");
}

}  // namespace
}  // namespace kestrel
