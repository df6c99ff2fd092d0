// End to end against the reader and writer that nobody here wrote: FFmpeg makes the inputs,
// kestrel-batch processes them, ffprobe and ffmpeg read the outputs back.
#include <gtest/gtest.h>

#include "io/image.h"
#include "support/process.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using testing::HaveTool;
using testing::ReadFileBytes;
using testing::RunCommand;
using testing::ShellQuote;
using testing::TempDir;

constexpr int kW = 37, kH = 21, kFrames = 5;  // an odd width exercises the row padding

class FfmpegEndToEnd : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg is not installed";
    }
    // Decodes `avi` to packed bgr24 with ffmpeg.
    std::vector<uint8_t> Decode(const std::string& avi) {
        std::string raw = avi + ".raw";
        auto r = RunCommand("ffmpeg -v error -y -i " + ShellQuote(avi) +
                            " -f rawvideo -pix_fmt bgr24 " + ShellQuote(raw) + " 2>&1");
        EXPECT_EQ(r.status, 0) << r.output;
        return ReadFileBytes(raw);
    }
    TempDir dir;
};

TEST_P(FfmpegEndToEnd, OutputIsRawBgr24WithTheInputsRateAndFramesPixelForPixel) {
    const std::string pixFmt = GetParam();
    const std::string in = dir.file("in.avi");
    std::string make = "ffmpeg -v error -y -f lavfi -i testsrc=size=" + std::to_string(kW) + "x" +
                       std::to_string(kH) + ":rate=7 -frames:v " + std::to_string(kFrames) +
                       " -c:v rawvideo -pix_fmt " + pixFmt +
                       (pixFmt == "gray" ? " -vtag Y800 " : " ") + ShellQuote(in) + " 2>&1";
    auto made = RunCommand(make);
    ASSERT_EQ(made.status, 0) << made.output;
    const std::vector<uint8_t> source = Decode(in);
    ASSERT_EQ(source.size(), size_t(kW) * kH * 3 * kFrames);

    for (bool colour : {false, true}) {
        SCOPED_TRACE(colour ? "colour" : "grey");
        const std::string out = dir.file(colour ? "colour.avi" : "grey.avi");
        auto run = RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -q -y " +
                              (colour ? "--colour " : "") + ShellQuote(in) + " " +
                              ShellQuote(out) + " 2>&1");
        ASSERT_EQ(run.status, 0) << run.output;

        auto probe = RunCommand(
            "ffprobe -v error -count_frames -show_entries "
            "stream=codec_type,codec_name,pix_fmt,width,height,r_frame_rate,nb_read_frames "
            "-of default=nw=1 " + ShellQuote(out));
        ASSERT_EQ(probe.status, 0);
        EXPECT_EQ(probe.output, "codec_name=rawvideo\ncodec_type=video\nwidth=37\nheight=21\n"
                                "pix_fmt=bgr24\nr_frame_rate=7/1\nnb_read_frames=5\n");

        std::vector<uint8_t> written = Decode(out);
        ASSERT_EQ(written.size(), source.size());
        std::vector<uint8_t> expected = source;
        if (!colour)
            for (size_t i = 0; i < expected.size(); i += 3) {
                uint8_t g = GreyLevel(expected[i], expected[i + 1], expected[i + 2]);
                expected[i] = expected[i + 1] = expected[i + 2] = g;
            }
        EXPECT_TRUE(written == expected);
    }
}

INSTANTIATE_TEST_SUITE_P(PixelFormats, FfmpegEndToEnd, ::testing::Values("bgr24", "pal8", "gray"));

}  // namespace
}  // namespace kestrel
