// Against the reader and writer that nobody here wrote: files that FFmpeg makes are read by the
// frame source and compared pixel for pixel with what FFmpeg decodes from them, and processed
// by kestrel-batch into outputs that ffprobe and ffmpeg read back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/frame_source.h"
#include "support/files.h"
#include "support/process.h"

namespace kestrel {
namespace {

using test::FfmpegDecode;
using test::ShellQuote;
using Bytes = std::vector<uint8_t>;

// Our grey levels of blue-green-red bytes.
Bytes Grey(const Bytes& bgr) {
    Bytes grey;
    for (size_t i = 0; i + 2 < bgr.size(); i += 3)
        grey.push_back(GreyLevel(bgr[i], bgr[i + 1], bgr[i + 2]));
    return grey;
}

struct Case {
    const char* name;
    const char* source;  // testsrc options
    const char* encode;  // ffmpeg output options
    bool colour;         // compare blue-green-red, else grey bytes
    // Grey is compared with FFmpeg's grey bytes only for grey files: for colour ones FFmpeg
    // weighs the channels its own way, so the reference is our grey level of its colours.
    bool greyFile = false;
};

class FfmpegTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        CloseInputVideo();
    }
    void TearDown() override { CloseInputVideo(); }
    test::TempDir dir;
};

class FfmpegRead : public FfmpegTest, public ::testing::WithParamInterface<Case> {};

TEST_P(FfmpegRead, PicturesMatchFfmpegsOwnDecoding) {
    const Case& c = GetParam();
    const std::string path = dir.file(std::string(c.name) + ".avi");
    const auto made = test::MakeFfmpegVideo(path, c.source, std::string(c.encode) + " -frames:v 4");
    ASSERT_EQ(made.status, 0) << made.output;
    Bytes reference = FfmpegDecode(path, c.greyFile ? "gray" : "bgr24");
    ASSERT_FALSE(reference.empty());
    if (!c.colour && !c.greyFile) reference = Grey(reference);

    Settings settings;
    settings.InputFile = path;
    settings.Colour = c.colour ? 1 : 0;
    std::string message;
    size_t at = 0, frames = 0;
    while (ReadNextFrame(settings, message)) {
        const Image& img = ImageBuffer();
        ASSERT_TRUE(img.consistent());
        const size_t n = img.pixels.size();
        ASSERT_LE(at + n, reference.size()) << "more frames than ffmpeg decodes";
        EXPECT_EQ(img.pixels, Bytes(reference.begin() + std::ptrdiff_t(at),
                                    reference.begin() + std::ptrdiff_t(at + n)))
            << "frame " << frames;
        at += n;
        ++frames;
    }
    EXPECT_TRUE(message.empty()) << message;
    EXPECT_EQ(frames, 4u);
    EXPECT_EQ(at, reference.size());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FfmpegRead,
    ::testing::Values(
        Case{"bgr24", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt bgr24", true},
        Case{"bgr24_grey", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt bgr24", false},
        Case{"pal8", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt pal8", true},
        Case{"gray_y800", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt gray -vtag Y800", false,
             true},
        Case{"gray_y800_padded", "size=36x9:rate=5", "-c:v rawvideo -pix_fmt gray -vtag Y800",
             false, true},
        Case{"rgb555", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt rgb555le", true},
        Case{"bgra", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt bgra", true},
        Case{"one_pixel_wide", "size=1x5:rate=5", "-c:v rawvideo -pix_fmt bgr24", true},
        Case{"after_audio", "size=33x17:rate=5:duration=1",
             "-f lavfi -i sine=d=2 -map 1:a -map 0:v -c:v rawvideo -pix_fmt bgr24 -c:a pcm_u8",
             true}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

class FfmpegEndToEnd : public FfmpegTest, public ::testing::WithParamInterface<const char*> {};

// An odd width exercises the row padding, a rate of 30000/1001 the copy of the stream header;
// the input's pixel format is the parameter.
TEST_P(FfmpegEndToEnd, OutputIsRawBgr24WithTheInputsRateAndFramesPixelForPixel) {
    const std::string pixFmt = GetParam();
    const std::string in = dir.file("in.avi");
    const auto made = test::MakeFfmpegVideo(
        in, "size=37x21:rate=30000/1001",
        "-frames:v 5 -c:v rawvideo -pix_fmt " + pixFmt + (pixFmt == "gray" ? " -vtag Y800" : ""));
    ASSERT_EQ(made.status, 0) << made.output;
    const Bytes source = FfmpegDecode(in);
    ASSERT_EQ(source.size(), size_t(37 * 21 * 3 * 5));

    for (bool colour : {false, true}) {
        SCOPED_TRACE(colour ? "colour" : "grey");
        const std::string out = dir.file(colour ? "colour.avi" : "grey.avi");
        const auto run = test::RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -q -y " +
                                          (colour ? "--colour " : "") + ShellQuote(in) + " " +
                                          ShellQuote(out) + " 2>&1");
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(test::Probe(out,
                              "codec_type,codec_name,pix_fmt,width,height,r_frame_rate,"
                              "nb_read_frames"),
                  "codec_name=rawvideo\ncodec_type=video\nwidth=37\nheight=21\npix_fmt=bgr24\n"
                  "r_frame_rate=30000/1001\nnb_read_frames=5");
        Bytes expected = source;
        if (!colour)
            for (size_t i = 0; i < expected.size(); i += 3)
                expected[i] = expected[i + 1] = expected[i + 2] =
                    GreyLevel(expected[i], expected[i + 1], expected[i + 2]);
        EXPECT_TRUE(FfmpegDecode(out) == expected);
    }
}

INSTANTIATE_TEST_SUITE_P(PixelFormats, FfmpegEndToEnd, ::testing::Values("bgr24", "pal8", "gray"));

}  // namespace
}  // namespace kestrel
