// The corrections and the dark frame inside a whole batch run: their order, the dark frame's
// messages, and the synthetic hot pixels that a dark frame removes.
#include <gtest/gtest.h>

#include <algorithm>

#include "run/batch.h"
#include "corrections/dark.h"
#include "corrections/gradient.h"
#include "corrections/stretch.h"
#include "io/avi_format.h"
#include "io/bitmap.h"
#include "settings/settings.h"
#include "support/bmp_builder.h"
#include "support/files.h"
#include "support/process.h"
#include "support/scripted_windowing.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using test::ExpectedFrame;
using test::ReadAllFrames;
using test::ScriptedWindowing;
using test::TempDir;
using Log = std::vector<std::string>;

constexpr int kW = 40, kH = 36, kFrames = 3;

// A 24-bit bitmap, every sample `value`.
std::vector<uint8_t> FlatBitmap(int width, int height, uint8_t value) {
    return test::BuildBmp(test::Bmp(width, height).Fill(0x010101u * value));
}

class BatchCorrections : public ::testing::Test {
protected:
    void SetUp() override {
        AppSettings() = Settings{};
        AppSettings().InputFile = dir.file("in.avi");
        AppSettings().OutputFile = dir.file("out.avi");
        AppSettings().DarkFrame = dir.file("dark.bmp");
        ASSERT_TRUE(test::WriteTestVideo(AppSettings().InputFile, kW, kH, kFrames));
    }
    void TearDown() override { AppSettings() = Settings{}; }

    TempDir dir;
    ScriptedWindowing w;
};

TEST_F(BatchCorrections, RunInTheirFixedOrderAndWhatIsShownIsWhatIsWritten) {
    Settings& s = AppSettings();
    s.Colour = s.Vert = s.Horiz = s.Stretch = 1;
    s.Border = 2;
    s.GradSmooth = 1;
    s.StretchLow = 5;
    s.StretchHigh = 95;
    RunBatch(w);
    std::vector<Image> written = ReadAllFrames(s.OutputFile);
    ASSERT_EQ(written.size(), size_t(kFrames));
    for (int n = 0; n < kFrames; ++n) {
        Image expected = ExpectedFrame(kW, kH, n, true);
        Image stretchedFirst = expected;
        CorrectVerticalGradient(expected, s);
        CorrectHorizontalGradient(expected, s);
        StretchHistogram(expected, s);
        StretchHistogram(stretchedFirst, s);
        CorrectVerticalGradient(stretchedFirst, s);
        CorrectHorizontalGradient(stretchedFirst, s);
        ASSERT_NE(expected.pixels, stretchedFirst.pixels) << "the order must matter here";
        EXPECT_EQ(w.shown[n].pixels, expected.pixels) << "frame " << n;
        EXPECT_EQ(written[n].pixels, expected.pixels) << "frame " << n;
    }
}

TEST_F(BatchCorrections, DarkFrameIsSubtractedFromEveryFrame) {
    ASSERT_TRUE(test::WriteFileBytes(AppSettings().DarkFrame, FlatBitmap(kW, kH, 30)));
    AppSettings().SubDark = 1;
    RunBatch(w);
    EXPECT_EQ(w.log, (Log{"setup", "clear", "wait", "show 0", "show 1", "show 2", "arrow"}));
    for (int n = 0; n < kFrames; ++n) {
        Image expected = ExpectedFrame(kW, kH, n, false);
        for (uint8_t& v : expected.pixels) v = uint8_t(std::max(0, v - 30));
        EXPECT_EQ(w.shown[n].pixels, expected.pixels) << "frame " << n;
    }
}

TEST_F(BatchCorrections, ADarkFrameOfAnotherSizeIsReportedOnceAndTheRestOfTheChainGoesOn) {
    ASSERT_TRUE(test::WriteFileBytes(AppSettings().DarkFrame, FlatBitmap(2 * kW, 2 * kH, 30)));
    AppSettings().SubDark = AppSettings().Hot = AppSettings().Stretch = 1;
    RunBatch(w);
    EXPECT_EQ(w.log, (Log{"setup", "clear", "wait",
                          "box Error: Darkframe must be same size as image! [none]", "show 0",
                          "show 1", "show 2", "arrow"}));
    for (int n = 0; n < kFrames; ++n) {
        Image expected = ExpectedFrame(kW, kH, n, false);
        StretchHistogram(expected, AppSettings());
        EXPECT_EQ(w.shown[n].pixels, expected.pixels) << "frame " << n;
    }
    EXPECT_EQ(DarkImage().width, -1);
}

TEST_F(BatchCorrections, ADarkFrameThatCannotBeReadStartsNoRun) {
    ASSERT_TRUE(test::WriteFileText(AppSettings().DarkFrame, "not a bitmap"));
    AppSettings().Hot = 1;
    RunBatch(w);
    EXPECT_EQ(w.log, (Log{"setup", "clear", "box Error: Can't open dark frame [none]"}));
    EXPECT_EQ(Busy(), 0);
    EXPECT_FALSE(LastRun().started);
    EXPECT_TRUE(dir.names() == (std::vector<std::string>{"dark.bmp", "in.avi"}));
}

// End to end: the hot pixels that kestrel-synth puts into its video and dark frame are gone
// after kestrel-batch subtracts the dark frame and repairs them.
TEST(HotPixels, SyntheticHotPixelsAreRemoved) {
    TempDir dir;
    using test::RunCommand;
    using test::ShellQuote;
    auto made = RunCommand(ShellQuote(KESTREL_SYNTH_PATH) + " --width 96 --height 64 --frames 4 " +
                           "--hot-pixels 40 --output " + ShellQuote(dir.file("sky.avi")) +
                           " --dark " + ShellQuote(dir.file("dark.bmp")) + " >/dev/null 2>&1");
    ASSERT_EQ(made.status, 0);
    auto run = RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -q -d " +
                          ShellQuote(dir.file("dark.bmp")) + " --subtract-dark --hot-pixels " +
                          ShellQuote(dir.file("sky.avi")) + " " + ShellQuote(dir.file("out.avi")) +
                          " 2>&1");
    ASSERT_EQ(run.status, 0) << run.output;

    int32_t w = 0, h = 0;
    std::vector<uint8_t> dark;
    ASSERT_TRUE(ReadBitmapFile(dir.file("dark.bmp"), w, h, dark));
    std::vector<size_t> hot;  // pixel indexes where the dark frame is at the threshold or above
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (dark[size_t(y) * Stride24(uint32_t(w)) + 3 * size_t(x)] >= 200)
                hot.push_back(size_t(y) * size_t(w) + size_t(x));
    ASSERT_EQ(hot.size(), 40u);

    auto countHot = [&](const std::string& avi) {
        size_t n = 0;
        for (const Image& f : ReadAllFrames(avi))
            for (size_t p : hot) n += f.pixels[3 * p] >= 200;
        return n;
    };
    EXPECT_EQ(countHot(dir.file("sky.avi")), 4 * hot.size());
    EXPECT_EQ(countHot(dir.file("out.avi")), 0u);
}

}  // namespace
}  // namespace kestrel
