// kestrel-synth as the user runs it: its videos walked by the strict RIFF reader and read back
// by the frame source and, where installed, by ffmpeg; its dark frame read by our loader and
// compared with what an independent bitmap writer makes of the same pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "base/byte_cursor.h"
#include "io/bitmap.h"
#include "support/bmp_builder.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_walk.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using test::ReadFileBytes;
using test::TempDir;

// Runs kestrel-synth with `args` (shell words) inside `dir`, so that default names land there.
test::CommandResult Synth(const TempDir& dir, const std::string& args,
                          const char* streams = "2>&1") {
    return test::RunCommand("cd " + test::ShellQuote(dir.path()) + " && " +
                            test::ShellQuote(KESTREL_SYNTH_PATH) + " " + args + " " + streams);
}

// Rows bottom row first, padded with zeros; ours also fills biSizeImage and 72 dots per inch.
Image ReadDarkFrame(const std::string& path) {
    Settings settings;
    settings.DarkFrame = path;
    settings.Colour = 1;
    Failure failure;
    EXPECT_TRUE(LoadDarkFrame(settings, failure)) << path;
    const Image& dark = DarkImage();
    test::Bmp bmp(dark.width, dark.height);
    for (size_t i = 0; i + 2 < dark.pixels.size(); i += 3)
        bmp.pixels.push_back(dark.pixels[i] | dark.pixels[i + 1] << 8 | dark.pixels[i + 2] << 16);
    std::vector<uint8_t> expected = test::BuildBmp(bmp);
    PatchU32(expected, 34, uint32_t(expected.size() - 54));
    PatchU32(expected, 38, 2835);
    PatchU32(expected, 42, 2835);
    EXPECT_EQ(ReadFileBytes(path), expected);
    return dark;
}

size_t HotSamples(const Image& dark) {
    return size_t(
        std::count_if(dark.pixels.begin(), dark.pixels.end(), [](uint8_t s) { return s >= 200; }));
}

// Each layout: its headers, its pictures as ffmpeg decodes them, the dark frame's hot pixels in
// every frame, and the same bytes again from the same seed.
TEST(Synth, EveryLayoutIsWholeAndTheSameFromTheSameSeed) {
    const struct {
        const char* args;
        const char* pixFmt;  // as ffprobe names it
        uint32_t compression, stride;
        uint16_t bits;
    } layouts[] = {{"", "bgr24", kBiRgb, 112, 24},
                   {"--colour", "bgr24", kBiRgb, 112, 24},
                   {"--format pal8", "pal8", kBiRgb, 40, 8},
                   {"--format y800", "gray", FourCC("Y800"), 37, 8}};
    for (const auto& l : layouts) {
        SCOPED_TRACE(l.args);
        TempDir dir;
        auto run = [&](const char* seed, const std::string& name) {
            const test::CommandResult r =
                Synth(dir, "--width 37 --height 23 --frames 6 --fps 30 --hot-pixels 40 --seed " +
                               std::string(seed) + " --output " + name + ".avi --dark " + name +
                               ".bmp " + l.args);
            EXPECT_NE(r.output.find(", 6 frames at 30 fps, "), std::string::npos) << r.output;
            return std::pair(ReadFileBytes(dir.file(name + ".avi")),
                             ReadFileBytes(dir.file(name + ".bmp")));
        };
        const auto first = run("5", "sky"), again = run("5", "again"), other = run("6", "other");
        EXPECT_EQ(again, first);
        EXPECT_TRUE(other.first != first.first && other.second != first.second);

        test::AviLayout avi;
        ASSERT_TRUE(test::ReadAviFile(dir.file("sky.avi"), avi));
        for (const test::ChunkRef& c : avi.frames)
            EXPECT_EQ(std::tie(c.id, c.size), std::make_tuple(FourCC("00db"), l.stride * 23));
        const AviStreamInfo& s = avi.stream;
        EXPECT_EQ(std::tie(s.fccType, s.fccHandler, s.dwScale, s.dwRate, s.dwLength, s.dwQuality,
                           s.rcFrameRight, s.rcFrameBottom),
                  std::make_tuple(kFccVids, l.bits == 24 ? 0u : l.compression, 1u, 30u, 6u,
                                  0xFFFFFFFFu, 37, 23));
        ByteCursor strf(avi.bytes.data() + avi.strf.data, avi.strf.size);
        const BitmapInfoHeader f = ReadBitmapInfoHeader(strf);
        EXPECT_EQ(std::tie(f.biWidth, f.biHeight, f.biBitCount, f.biCompression),
                  std::make_tuple(37, 23, l.bits, l.compression));
        // A pal8 stream's palette is a grey ramp.
        for (size_t i = 0; i < strf.remaining(); ++i)
            ASSERT_EQ(strf.here()[i], i % 4 < 3 ? i / 4 : 0);
        EXPECT_EQ(strf.remaining(), l.stride == 40 ? 1024u : 0u);

        const std::vector<Image> frames = test::ReadAllFrames(dir.file("sky.avi"));
        ASSERT_EQ(frames.size(), 6u);
        const Image dark = ReadDarkFrame(dir.file("sky.bmp"));
        ASSERT_EQ(HotSamples(dark), 40u * 3);
        size_t tinted = 0;
        for (size_t s = 0; s < dark.pixels.size(); s += 3)
            tinted += dark.pixels[s] != dark.pixels[s + 1] || dark.pixels[s] != dark.pixels[s + 2];
        EXPECT_EQ(tinted > 0, l.args == std::string("--colour")) << "only a colour sky is tinted";
        for (size_t i = 0; i < frames.size(); ++i) {
            for (size_t s = 0; s < dark.pixels.size(); ++s)
                ASSERT_TRUE(dark.pixels[s] < 200 || frames[i].pixels[s] == dark.pixels[s]) << i;
            EXPECT_TRUE(i == 0 || frames[i].pixels != frames[0].pixels) << "a still frame " << i;
        }
        if (!test::HaveFfmpeg()) continue;
        EXPECT_EQ(
            test::Probe(dir.file("sky.avi"), "codec_name,pix_fmt,r_frame_rate,nb_read_frames"),
            std::string("codec_name=rawvideo\npix_fmt=") + l.pixFmt +
                "\nr_frame_rate=30/1\nnb_read_frames=6");
        std::vector<uint8_t> ours;
        for (const Image& f : frames) ours.insert(ours.end(), f.pixels.begin(), f.pixels.end());
        EXPECT_TRUE(test::FfmpegDecode(dir.file("sky.avi")) == ours);
    }
}

TEST(Synth, CommandLine) {
    TempDir dir;
    for (const char* bad :
         {"--bogus", "stray", "--width", "--width 0", "--width 12x", "--height -5", "--frames 1e3",
          "--fps 0", "--seed ''", "--format rgb", "--colour --format pal8", "--color --format y800",
          "--help=yes", "--width 10 --height 10 --hot-pixels 101",
          "--output same.x --dark same.x"}) {
        const test::CommandResult r = Synth(dir, bad, "2>&1 >/dev/null");  // stderr only
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_EQ(r.output.rfind("kestrel-synth: ", 0), 0u) << r.output;
        EXPECT_TRUE(dir.names().empty());
    }
    EXPECT_NE(Synth(dir, "--help").output.find("--hot-pixels"), std::string::npos);

    // Defaults: 320 x 240, 50 frames at 25 per second, one hot pixel per 2000, dark.bmp.
    ASSERT_EQ(Synth(dir, "").status, 0);
    test::AviLayout avi;
    ASSERT_TRUE(test::ReadAviFile(dir.file("sky.avi"), avi));
    EXPECT_EQ(std::make_tuple(avi.frames.size(), avi.avihField(test::kAvihWidth),
                              avi.avihField(test::kAvihHeight), avi.stream.dwRate),
              std::make_tuple(size_t(50), 320u, 240u, 25u));
    EXPECT_EQ(HotSamples(ReadDarkFrame(dir.file("dark.bmp"))), 320u * 240 / 2000 * 3);
    // At least one hot pixel; --no-dark writes no bitmap; a file that cannot be made fails.
    ASSERT_EQ(Synth(dir, "--width 9 --height 9 --dark tiny.bmp").status, 0);
    EXPECT_EQ(HotSamples(ReadDarkFrame(dir.file("tiny.bmp"))), 3u);
    ASSERT_EQ(Synth(dir, "--no-dark --frames 1 --dark none.bmp").status, 0);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"dark.bmp", "sky.avi", "tiny.bmp"}));
    EXPECT_EQ(Synth(dir, "--output no/x.avi --no-dark").status, 1);
    EXPECT_EQ(Synth(dir, "--frames 1 --dark no/x.bmp").status, 1);
}

}  // namespace
}  // namespace kestrel
