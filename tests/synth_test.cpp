// kestrel-synth as the user runs it: its videos read back by the frame source and compared with
// ffmpeg's decoding; its dark frame read by our loader and compared with what an independent
// bitmap writer makes of the same pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "io/bitmap.h"
#include "io/dark_frame.h"
#include "io/frame_source.h"
#include "support/bmp_builder.h"
#include "support/files.h"
#include "support/process.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using test::ReadFileBytes;

// Runs kestrel-synth with `args` (shell words) inside `dir`, so that default names land there;
// what it wrote to stderr.
test::CommandResult Synth(const test::TempDir& dir, const std::string& args) {
    return test::RunCommand("cd " + test::ShellQuote(dir.path()) + " && " +
                            test::ShellQuote(KESTREL_SYNTH_PATH) + " " + args + " 2>&1 >/dev/null");
}

// The dark frame's samples of 200 and up, loaded in colour as DarkImage(). Its rows are stored
// bottom row first, padded with zeros; ours also fills biSizeImage and 72 dots per inch.
size_t HotSamples(const std::string& path) {
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
    return size_t(std::ranges::count_if(dark.pixels, [](uint8_t s) { return s >= 200; }));
}

// Refusals write nothing; one hot pixel at least; no bitmap with --no-dark; unmakeable files
// fail. Each layout (and ffprobe's name of its pixels) gives the pictures ffmpeg decodes, another
// seed other ones; the grey layouts, each run on its own, give the same pictures and dark frame
// from the same seed, a colour sky other ones.
TEST(Synth, CommandLineAndEveryLayout) {
    test::TempDir dir;
    for (const char* bad :
         {"--bogus", "stray", "--width", "--width 0", "--frames 1e3", "--fps 0", "--seed ''",
          "--format rgb", "--color --format y800", "--help=yes", "--bits 12", "--pattern GRBG",
          "--width 10 --height 10 --hot-pixels 101", "--output same.x --dark same.x"}) {
        const test::CommandResult r = Synth(dir, bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_EQ(r.output.rfind("kestrel-synth: ", 0), 0u) << r.output;
    }
    EXPECT_TRUE(dir.names().empty());
    ASSERT_EQ(Synth(dir, "--width 9 --height 9").status, 0);
    EXPECT_EQ(HotSamples(dir.file("dark.bmp")), 3u);
    ASSERT_EQ(Synth(dir, "--no-dark --frames 1 --output none.avi --dark none.bmp").status, 0);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"dark.bmp", "none.avi", "sky.avi"}));
    EXPECT_EQ(Synth(dir, "--output no/x.avi --no-dark").status, 1);
    EXPECT_EQ(Synth(dir, "--frames 1 --dark no/x.bmp").status, 1);

    const std::pair<const char*, const char*> layouts[] = {
        {"", "bgr24"}, {"--format pal8", "pal8"}, {"--format y800", "gray"}, {"--colour", "bgr24"}};
    std::vector<uint8_t> greyFrames, greyDark;
    for (const auto& [args, pixFmt] : layouts) {
        SCOPED_TRACE(args);
        for (const std::string seed : {"5", "6"})  // files named after the seed
            Synth(dir, "--width 37 --height 23 --frames 6 --fps 30 --hot-pixels 40 --seed " + seed +
                           " --output " + seed + ".avi --dark " + seed + ".bmp " + args);
        for (const std::string ext : {".avi", ".bmp"})
            EXPECT_TRUE(ReadFileBytes(dir.file("5" + ext)) != ReadFileBytes(dir.file("6" + ext)));
        const std::string sky = dir.file("5.avi");
        std::vector<uint8_t> frames;
        for (const Image& f : test::ReadAllFrames(sky))
            frames.insert(frames.end(), f.pixels.begin(), f.pixels.end());
        ASSERT_EQ(frames.size(), 6u * 37 * 23 * 3);
        EXPECT_EQ(HotSamples(dir.file("5.bmp")), 40u * 3);
        const std::vector<uint8_t>& dark = DarkImage().pixels;
        for (size_t i = 0; i < frames.size(); ++i)  // the dark frame's hot pixels in every frame
            ASSERT_TRUE(dark[i % dark.size()] < 200 || frames[i] == dark[i % dark.size()]) << i;
        if (greyFrames.empty()) std::tie(greyFrames, greyDark) = std::tie(frames, dark);
        EXPECT_EQ(frames == greyFrames && dark == greyDark, std::string(args) != "--colour");
        if (!test::HaveFfmpeg()) continue;
        EXPECT_EQ(test::Probe(sky, "codec_name,pix_fmt,r_frame_rate"),
                  std::string("codec_name=rawvideo\npix_fmt=") + pixFmt + "\nr_frame_rate=30/1");
        EXPECT_TRUE(test::FfmpegDecode(sky) == frames);
    }
}

// SER files as ffmpeg reads them: the pixel format their colour id, depth and LittleEndian flag
// name, every frame, and a timestamp a frame after them. Samples above 8 bits keep the 8-bit
// levels in their high bits in either byte order, and not only zeros below; the mosaic keeps the
// RGGB channel of the colour sky. The Bayer AVI names its pattern and holds the same samples, the
// dark video is in the output's format.
TEST(Synth, SerFilesAndBayerAvi) {
    if (!test::HaveFfmpeg()) GTEST_SKIP() << "no ffmpeg";
    test::TempDir dir;
    const std::string size = "--width 37 --height 23 --frames 3 ";
    const std::tuple<const char*, const char*, size_t, int> rows[] = {
        // arguments, ffprobe's pixel format, bytes a pixel, bits of a wide grey file
        {"--format y800", "gray", 1, 0},
        {"--format y800 --bits 16 --le-flag 1", "gray16le", 2, 16},
        {"--format y800 --bits 12 --byte-order be", "gray16be", 2, 12},
        {"--format bayer", "bayer_rggb8", 1, 0},
        {"--format bayer --pattern BGGR --bits 9 --le-flag 1", "bayer_bggr16le", 2, 0},
        {"--format rgb --colour --no-timestamps", "rgb24", 3, 0}};
    std::map<std::string, std::vector<uint8_t>> got;  // by pixel format
    for (const auto& [args, pixFmt, bytes, bits] : rows) {
        SCOPED_TRACE(args);
        const std::string ser = dir.file("sky.ser");
        ASSERT_EQ(Synth(dir, size + "--no-dark --output sky.ser " + args).status, 0);
        EXPECT_EQ(test::Probe(ser, "width,height,pix_fmt,nb_read_frames"),
                  "width=37\nheight=23\npix_fmt=" + std::string(pixFmt) + "\nnb_read_frames=3");
        const size_t stamps = std::string_view(args).ends_with("timestamps") ? 0 : 8;
        EXPECT_EQ(ReadFileBytes(ser).size(), 178 + 3 * (37 * 23 * bytes + stamps));
        const std::vector<uint8_t>& wide = got[pixFmt] = test::FfmpegDecode(ser, pixFmt);
        const std::vector<uint8_t>& grey = got["gray"];
        int low = 0, big = std::string_view(pixFmt).ends_with("be");
        for (size_t i = 0; bits != 0 && i < grey.size(); ++i) {
            const int v = wide[2 * i + big] | wide[2 * i + 1 - big] << 8;
            ASSERT_EQ(v >> (bits - 8), grey[i]) << i;
            low |= v & ((1 << (bits - 8)) - 1);
        }
        EXPECT_TRUE(bits == 0 || low != 0);
    }
    const std::vector<uint8_t>& bayer = got["bayer_rggb8"];
    for (size_t i = 0; i < bayer.size(); ++i)
        ASSERT_EQ(bayer[i], got["rgb24"][3 * i + i % 37 % 2 + i / 37 % 23 % 2]) << i;

    ASSERT_EQ(
        Synth(dir, size + "--format bayer --output b.avi --dark d.ser --dark-frames 2").status, 0);
    EXPECT_EQ(test::Probe(dir.file("b.avi"), "codec_tag_string"), "codec_tag_string=RGGB");
    EXPECT_EQ(test::Probe(dir.file("d.ser"), "pix_fmt,nb_read_frames"),
              "pix_fmt=bayer_rggb8\nnb_read_frames=2");
    SetInputOptions({.bayer = Bayer::None});  // the mosaic's own samples
    const std::vector<Image> frames = test::ReadAllFrames(dir.file("b.avi"));
    SetInputOptions({});
    ASSERT_EQ(frames.size() * 37 * 23, bayer.size());
    for (size_t i = 0; i < bayer.size(); ++i)
        ASSERT_EQ(frames[i / (37 * 23)].pixels[i % (37 * 23) * 3], bayer[i]) << i;
}

}  // namespace
}  // namespace kestrel
