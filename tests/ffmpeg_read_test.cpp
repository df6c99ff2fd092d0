// Files written by FFmpeg, read by the frame source and compared pixel for pixel with what
// FFmpeg itself decodes from them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/frame_source.h"
#include "support/riff_builder.h"

namespace kestrel {
namespace {

bool HaveFfmpeg() { return std::system("ffmpeg -nostdin -version >/dev/null 2>&1") == 0; }

bool RunCommand(const std::string& command) {
    return std::system((command + " 2>/dev/null").c_str()) == 0;
}

// Everything the command writes to its standard output.
std::vector<uint8_t> Output(const std::string& command) {
    std::vector<uint8_t> out;
    std::FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return out;
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.insert(out.end(), buffer, buffer + n);
    pclose(pipe);
    return out;
}

struct Case {
    const char* name;
    const char* size;
    const char* encode;  // ffmpeg output options
    bool colour;         // compare blue-green-red, else grey bytes
    // Grey is compared with FFmpeg's grey bytes only for grey files: for colour ones FFmpeg
    // weighs the channels its own way, so the reference is our grey level of its colours.
    bool greyFile = false;
};

class FfmpegReadTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { CloseInputVideo(); }
    void TearDown() override { CloseInputVideo(); }
};

TEST_P(FfmpegReadTest, PicturesMatchFfmpegsOwnDecoding) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const Case& c = GetParam();
    test::TempDir dir;
    const std::string path = dir.path(std::string(c.name) + ".avi");
    ASSERT_TRUE(
        RunCommand(std::string("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=") +
                   c.size + ":rate=5 " + c.encode + " " + path));
    std::vector<uint8_t> reference =
        Output("ffmpeg -nostdin -loglevel error -i " + path + " -map 0:v -f rawvideo -pix_fmt " +
               (c.greyFile ? "gray" : "bgr24") + " -");
    ASSERT_FALSE(reference.empty());
    if (!c.colour && !c.greyFile) {
        std::vector<uint8_t> grey;
        for (size_t i = 0; i + 2 < reference.size(); i += 3)
            grey.push_back(GreyLevel(reference[i], reference[i + 1], reference[i + 2]));
        reference = grey;
    }

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
        const std::vector<uint8_t> want(reference.begin() + std::ptrdiff_t(at),
                                        reference.begin() + std::ptrdiff_t(at + n));
        EXPECT_EQ(img.pixels, want) << "frame " << frames;
        at += n;
        ++frames;
    }
    EXPECT_TRUE(message.empty()) << message;
    EXPECT_EQ(frames, 4u);
    EXPECT_EQ(at, reference.size());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FfmpegReadTest,
    ::testing::Values(
        Case{"bgr24", "33x17", "-frames:v 4 -c:v rawvideo -pix_fmt bgr24", true},
        Case{"bgr24_grey", "33x17", "-frames:v 4 -c:v rawvideo -pix_fmt bgr24", false},
        Case{"pal8", "33x17", "-frames:v 4 -c:v rawvideo -pix_fmt pal8", true},
        Case{"gray_y800", "33x17", "-frames:v 4 -c:v rawvideo -pix_fmt gray -vtag Y800", false,
             true},
        Case{"gray_y800_padded", "36x9", "-frames:v 4 -c:v rawvideo -pix_fmt gray -vtag Y800",
             false, true},
        Case{"rgb555", "33x17", "-frames:v 4 -c:v rawvideo -pix_fmt rgb555le", true},
        Case{"bgra", "33x17", "-frames:v 4 -c:v rawvideo -pix_fmt bgra", true},
        Case{"one_pixel_wide", "1x5", "-frames:v 4 -c:v rawvideo -pix_fmt bgr24", true},
        Case{"after_audio", "33x17:duration=1",
             "-f lavfi -i sine=d=2 -map 1:a -map 0:v -frames:v 4 -c:v rawvideo "
             "-pix_fmt bgr24 -c:a pcm_u8",
             true}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel
