// kestrel-synth as the user runs it: its videos read back by the frame source and compared with
// ffmpeg's decoding; its dark frame read by our loader and compared with what an independent
// bitmap writer makes of the same pixels.
#include <gtest/gtest.h>

#include <algorithm>

#include "io/bitmap.h"
#include "io/dark_frame.h"
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
          "--format rgb", "--color --format y800", "--help=yes",
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

}  // namespace
}  // namespace kestrel
