// The batch run's conversation with the user, the order of its corrections and its effect on the
// files, through the scripted windowing layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "corrections/gradient.h"
#include "corrections/stretch.h"
#include "io/bitmap.h"
#include "io/frame_source.h"
#include "run/batch.h"
#include "support/bmp_builder.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_walk.h"
#include "support/samples.h"
#include "support/scripted_windowing.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using test::ExpectedFrame;
using test::ReadAllFrames;
using test::ReadFileBytes;
using test::ScriptedWindowing;
using test::WriteFileBytes;
using Log = std::vector<std::string>;

constexpr int kW = 40, kH = 36, kFrames = 4;
const std::string kWriteFailed = "box Error: Can't write AVI output file [none]";

// A 24-bit dark frame, every sample `value`.
test::Bytes FlatBitmap(int width, int height, uint8_t value) {
    return test::BuildBmp(test::Bmp(width, height).Fill(0x010101u * value));
}

// A frame as the output holds it: grey written as three equal bytes.
test::Bytes AsWritten(const Image& frame) {
    test::Bytes bgr;
    for (uint8_t v : frame.pixels) bgr.insert(bgr.end(), frame.channels == 3 ? 1 : 3, v);
    return bgr;
}

// The start of a run's log, its frames shown, its end.
Log RunLog(Log start, int frames, Log end = {"arrow"}) {
    for (int n = 0; n < frames; ++n) start.push_back("show " + std::to_string(n));
    start.insert(start.end(), end.begin(), end.end());
    return start;
}

class BatchRun : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { AppSettings() = Settings{}; }

    // A folder holding only the input video, the settings naming it, the output and the dark
    // frame, and a windowing layer that answers OK and Yes.
    void Reset() {
        std::filesystem::remove_all(dir.path());
        std::filesystem::create_directory(dir.path());
        AppSettings() = Settings{};
        s().InputFile = dir.file("in.avi");
        s().OutputFile = dir.file("out.avi");
        s().DarkFrame = dir.file("dark.bmp");
        ASSERT_TRUE(test::WriteTestVideo(s().InputFile, kW, kH, kFrames));
        w = ScriptedWindowing{};
    }
    Settings& s() { return AppSettings(); }
    std::string out() { return s().OutputFile; }

    test::TempDir dir;
    ScriptedWindowing w;
};

TEST_F(BatchRun, WhatTheUserSeesAndWhatIsLeftOnDisk) {
    const std::string confirm = "box Confirm Overwrite: " + OverwriteQuestion(out()) + " [main]";
    const std::string info = "box Info: Press ESC to stop processing [main]";
    const test::Bytes old = {4, 2};
    struct Case {
        const char* what;
        std::function<void()> arrange;
        Log log;
        int written;  // frames in the output; -1: none made, and an old file kept as it was
    };
    const Case cases[] = {
        {"every frame", [] {}, RunLog({"setup", "clear", "wait"}, 4), kFrames},
        {"cancel in Setup", [&] { w.setupResult = Pressed::Cancel; }, {"setup"}, -1},
        {"No to the overwrite question",
         [&] { WriteFileBytes(out(), old), w.overwriteAnswer = Pressed::No; }, {"setup", confirm},
         -1},
        {"Escape at the first frame", [&] { WriteFileBytes(out(), old), w.escapeAtCheck = 0; },
         {"setup", confirm, "clear", "wait", "arrow"}, -1},
        {"Escape at the third frame", [&] { w.escapeAtCheck = 2; },
         RunLog({"setup", "clear", "wait"}, 2), 2},
        {"a missing input", [&] { s().InputFile = dir.file("missing.avi"); },
         {"setup", "clear", "wait", "box Error: Can't open AVI input file [none]", "arrow"}, -1},
        {"an output that cannot be made", [&] { s().OutputFile = dir.file("no/dir/out.avi"); },
         {"setup", "clear", "wait", "show 0", "box Error: Can't open AVI output file [none]",
          "arrow"},
         -1},
        {"commands during the run, each answered once", [&] { w.commandsAtDrain = {{1, 2}}; },
         RunLog({"setup", "clear", "wait", "show 0", info, info, "show 1", "show 2", "show 3"}, 0),
         kFrames},
        {"an unreadable dark frame starts no run",
         [&] { test::WriteFileText(s().DarkFrame, "not a bitmap"), s().Hot = 1; },
         {"setup", "clear", "box Error: Can't open dark frame [none]"}, -1},
        {"a dark frame of another size is told once, the chain goes on",
         [&] {
             WriteFileBytes(s().DarkFrame, FlatBitmap(2 * kW, 2 * kH, 30));
             s().SubDark = s().Hot = 1;
         },
         RunLog({"setup", "clear", "wait", "box Error: Darkframe must be same size as image! [none]"},
                4),
         kFrames},
        {"a name near the system's limit",
         [&] { s().OutputFile = dir.file(std::string(250, 'n') + ".avi"); },
         RunLog({"setup", "clear", "wait"}, 4), kFrames},
    };
    for (const Case& c : cases) {
        Reset();
        c.arrange();
        RunBatch(w);
        EXPECT_EQ(w.log, c.log) << c.what;
        EXPECT_EQ(Busy(), 0);
        EXPECT_EQ(LastRun().started, std::count(c.log.begin(), c.log.end(), "wait") == 1) << c.what;
        EXPECT_EQ(LastRun().framesWritten, std::max(c.written, 0)) << c.what;
        EXPECT_EQ(LastRun().outputComplete, c.written > 0) << c.what;
        if (c.written >= 0) {
            EXPECT_EQ(ReadAllFrames(out()).size(), size_t(c.written)) << c.what;
        } else if (std::filesystem::exists(out())) {
            EXPECT_EQ(ReadFileBytes(out()), old) << c.what;
        }
    }
    // A second run asks before it replaces the first one's output, and writes it afresh.
    Reset();
    RunBatch(w);
    ScriptedWindowing second;
    RunBatch(second);
    EXPECT_EQ(second.log, RunLog({"setup", confirm, "clear", "wait"}, 4));
    EXPECT_EQ(ReadAllFrames(out()).size(), size_t(kFrames));
}

// The frame shown is the frame written, grey written as three equal bytes; the corrections run
// in their fixed order, the dark frame first.
TEST_F(BatchRun, ShownAndWrittenFramesAreTheCorrectedOnes) {
    struct Case {
        bool colour, subtract, chain;
    };
    for (const Case c : {Case{false, false, false}, Case{true, false, false}, Case{false, true, false},
                         Case{true, false, true}}) {
        Reset();
        ASSERT_TRUE(WriteFileBytes(s().DarkFrame, FlatBitmap(kW, kH, 30)));
        s().Colour = c.colour;
        s().SubDark = c.subtract;
        s().Vert = s().Horiz = s().Stretch = c.chain;
        s().Border = 2, s().GradSmooth = 1, s().StretchLow = 5, s().StretchHigh = 95;
        RunBatch(w);
        const std::vector<Image> written = ReadAllFrames(out());
        ASSERT_EQ(written.size(), size_t(kFrames));
        for (int n = 0; n < kFrames; ++n) {
            Image expected = ExpectedFrame(kW, kH, n, c.colour);
            if (c.subtract)
                for (uint8_t& v : expected.pixels) v = uint8_t(std::max(0, v - 30));
            if (c.chain) {
                Image stretchedFirst = expected;
                CorrectVerticalGradient(expected, s());
                CorrectHorizontalGradient(expected, s());
                StretchHistogram(expected, s());
                StretchHistogram(stretchedFirst, s());
                CorrectVerticalGradient(stretchedFirst, s());
                CorrectHorizontalGradient(stretchedFirst, s());
                ASSERT_NE(expected.pixels, stretchedFirst.pixels) << "the order must matter here";
            }
            EXPECT_EQ(w.shown[n].pixels, expected.pixels) << "frame " << n;
            EXPECT_EQ(written[n].pixels, AsWritten(expected)) << "frame " << n;
        }
    }
}

TEST_F(BatchRun, BusyKeepsASecondRunOut) {
    int busySeen = 0;
    w.onShow = [&] {
        busySeen += Busy();
        RunBatch(w);  // a command that reaches the window during the run does nothing
    };
    RunBatch(w);
    EXPECT_EQ(busySeen, kFrames);
    EXPECT_EQ(std::count(w.log.begin(), w.log.end(), "setup"), 1);
}

// A full disk, as a file size limit: at the fourth frame the frames before it stay in a valid
// file; at the first an existing output stays as it was. Both are told once.
TEST_F(BatchRun, AFailedWriteKeepsWhatWasWrittenOrWhatWasThere) {
    RunBatch(w);
    test::AviLayout complete;
    ASSERT_TRUE(test::ReadAviFile(out(), complete));
    const uint64_t frameChunk = 8 + 3 * 12 * kH, bytes = complete.bytes.size();
    const uint64_t headers = complete.frames.at(0).data - 8;
    for (const auto& [limit, written] : {std::pair{bytes - frameChunk - 16 + 40, kFrames - 1},
                                         std::pair{headers + 4, 0}}) {
        ASSERT_TRUE(WriteFileBytes(out(), {4, 2}));
        const auto child = [] {
            ScriptedWindowing win;
            RunBatch(win);
            const bool told = std::count(win.log.begin(), win.log.end(), kWriteFailed) == 1;
            return told ? LastRun().framesWritten : 100;
        };
        ASSERT_EQ(test::ExitCodeUnderFileSizeLimit(limit, child), written);
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.avi", "out.avi"}));
        if (written == 0) {
            EXPECT_EQ(ReadFileBytes(out()), (test::Bytes{4, 2}));
            continue;
        }
        test::AviLayout avi;
        ASSERT_TRUE(test::ReadAviFile(out(), avi));
        EXPECT_EQ(avi.avihField(test::kAvihTotalFrames), uint32_t(written));
        const std::vector<Image> frames = ReadAllFrames(out());
        ASSERT_EQ(frames.size(), size_t(written));
        for (int n = 0; n < written; ++n)
            EXPECT_EQ(frames[n].pixels, AsWritten(ExpectedFrame(kW, kH, n, false))) << n;
        if (test::HaveTool("ffprobe")) {
            EXPECT_EQ(test::Probe(out(), "nb_read_frames"), "nb_read_frames=3");
        }
    }
}

// End to end: the hot pixels that kestrel-synth puts into its video and dark frame are gone
// after kestrel-batch subtracts the dark frame and repairs them.
TEST(HotPixels, SyntheticHotPixelsAreRemoved) {
    test::TempDir dir;
    using test::ShellQuote;
    const std::string sky = ShellQuote(dir.file("sky.avi")), dark = ShellQuote(dir.file("dark.bmp"));
    ASSERT_EQ(test::RunCommand(ShellQuote(KESTREL_SYNTH_PATH) + " --width 96 --height 64 --frames 4" +
                               " --hot-pixels 40 --output " + sky + " --dark " + dark + " >/dev/null")
                  .status,
              0);
    const auto run = test::RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -q -d " + dark +
                                      " --subtract-dark --hot-pixels " + sky + " " +
                                      ShellQuote(dir.file("out.avi")) + " 2>&1");
    ASSERT_EQ(run.status, 0) << run.output;

    Settings grey;
    grey.DarkFrame = dir.file("dark.bmp");
    Failure failure;
    ASSERT_TRUE(LoadDarkFrame(grey, failure));
    std::vector<size_t> hot;  // pixels where the dark frame reaches the threshold
    for (size_t p = 0; p < DarkImage().pixels.size(); ++p)
        if (DarkImage().pixels[p] >= 200) hot.push_back(p);
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

TEST(OverwriteQuestion, HoldsTheWholeLongestName) {
    const std::string name(kMaxNameChars, 'x');
    EXPECT_EQ(OverwriteQuestion(name), "File " + name + " exists. Overwrite?");
}

}  // namespace
}  // namespace kestrel
