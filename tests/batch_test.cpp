// The batch run's conversation with the user, the order of its corrections and its effect on the
// files, through the scripted windowing layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include <sys/stat.h>

#include "corrections/dark.h"
#include "corrections/gradient.h"
#include "corrections/stretch.h"
#include "io/bitmap.h"
#include "io/dark_frame.h"
#include "run/batch.h"
#include "support/bmp_builder.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_walk.h"
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
    const std::vector<uint8_t> old = {4, 2};
    // A failure's box, with the file and the reason beneath it.
    auto error = [&](const std::string& text, const std::string& file, const std::string& why) {
        return "box Error: " + text + " [none] (" + dir.file(file) + ": " + why + ")";
    };
    const std::string cantOpen = "Can't open AVI output file";
    struct Case {
        const char* what;
        std::function<void()> arrange;
        Log log;
        int written;  // frames in the output; -1: none made, and what was there kept as it was
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
         {"setup", "clear", "wait",
          error("Can't open AVI input file", "missing.avi", "No such file or directory"), "arrow"},
         -1},
        // What must never be replaced is refused before any frame, without a question.
        {"an output in a missing folder", [&] { s().OutputFile = dir.file("no/out.avi"); },
         {"setup", error(cantOpen, "no/out.avi", "No such file or directory")}, -1},
        {"a folder", [&] { s().OutputFile = dir.path() + "/."; },
         {"setup", error(cantOpen, ".", "it is a folder")}, -1},
        {"a FIFO", [&] { mkfifo(out().c_str(), 0600); },
         {"setup", error(cantOpen, "out.avi", "it is a FIFO")}, -1},
        {"the input by another name", [&] { s().OutputFile = dir.file("./in.avi"); },
         {"setup", error(cantOpen, "./in.avi", "it is the input file")}, -1},
        {"the dark frame, through a link",
         [&] {
             std::filesystem::create_symlink(s().DarkFrame, out());
             WriteFileBytes(s().DarkFrame, test::BuildBmp(test::Bmp(kW, kH).Fill(0))), s().Hot = 1;
         },
         {"setup", error(cantOpen, "out.avi", "it is the dark frame")}, -1},
        {"commands during the run, each answered once", [&] { w.commands = {false, true, true}; },
         RunLog({"setup", "clear", "wait", "show 0", info, info, "show 1", "show 2", "show 3"}, 0),
         kFrames},
        // Busy from the first frame on: a run asked for meanwhile does nothing.
        {"Process while a frame shows", [&] { w.onShow = [&] { RunBatch(w); }; },
         RunLog({"setup", "clear", "wait"}, 4), kFrames},
        {"an unreadable dark frame starts no run",
         [&] { test::WriteFileText(s().DarkFrame, "not a bitmap"), s().Hot = 1; },
         {"setup", "clear", error("Can't open dark frame", "dark.bmp", "not a bitmap file")}, -1},
        {"a dark frame of another size is told once, the chain goes on",
         [&] {
             WriteFileBytes(s().DarkFrame, test::BuildBmp(test::Bmp(kW, 2 * kH).Fill(0)));
             s().SubDark = s().Hot = 1;
         },
         RunLog({"setup", "clear", "wait",
                 error("Darkframe must be same size as image!", "dark.bmp",
                       "the dark frame is 40x72, the video's frames 40x36")},
                4),
         kFrames},
    };
    for (const Case& c : cases) {
        Reset();
        c.arrange();
        const bool file = std::filesystem::is_regular_file(out());
        const std::vector<uint8_t> before = file ? ReadFileBytes(out()) : old;
        RunBatch(w);
        EXPECT_EQ(w.log, c.log) << c.what;
        EXPECT_EQ(Busy(), 0);
        EXPECT_EQ(LastRun().started, std::count(c.log.begin(), c.log.end(), "wait") == 1) << c.what;
        EXPECT_EQ(LastRun().framesWritten, std::max(c.written, 0)) << c.what;
        EXPECT_EQ(LastRun().outputComplete, c.written > 0) << c.what;
        if (c.written >= 0) {
            EXPECT_EQ(ReadAllFrames(out()).size(), size_t(c.written)) << c.what;
        } else if (file) {
            EXPECT_EQ(ReadFileBytes(out()), before) << c.what;
        }
    }
    // A file that appears at the name during the run, where there was none to ask about, stays:
    // before the output is made, nothing is written; after, the run's output is kept beside it
    // under the temporary name the message gives.
    for (size_t shown : {1, 2}) {
        Reset();
        w.onShow = [&] { w.shown.size() == shown && WriteFileBytes(out(), old); };
        RunBatch(w);
        EXPECT_EQ(ReadFileBytes(out()), old);
        const std::vector<std::string> names = dir.names();
        ASSERT_EQ(names.size(), shown + 1);
        EXPECT_EQ(w.log.end()[-2],
                  shown == 1 ? error(cantOpen, "out.avi",
                                     "a file appeared at the name after the run began")
                             : error("Can't write AVI output file", "out.avi",
                                     "a file appeared at the name during the run; the new one "
                                     "is " + dir.file(names[0])));
        EXPECT_TRUE(shown == 1 || ReadAllFrames(dir.file(names[0])).size() == size_t(kFrames));
    }
    // A name near the system's limit is written; a second run asks about it, the name whole,
    // before it writes it afresh.
    Reset();
    s().OutputFile = dir.file(std::string(250, 'n') + ".avi");
    RunBatch(w);
    ScriptedWindowing second;
    RunBatch(second);
    const std::string question = "File " + out() + " exists. Overwrite?";
    EXPECT_EQ(
        second.log,
        RunLog({"setup", "box Confirm Overwrite: " + question + " [main]", "clear", "wait"}, 4));
    EXPECT_EQ(ReadAllFrames(out()).size(), size_t(kFrames));
}

// The frame shown is the frame written, grey written as three equal bytes; the corrections run
// in their fixed order, the dark frame first.
TEST_F(BatchRun, ShownAndWrittenFramesAreTheCorrectedOnes) {
    struct Case {
        bool colour, subtract, hot, chain;
    };
    for (const Case c : {Case{false, false, false, false}, Case{true, false, false, false},
                         Case{false, true, false, false}, Case{true, false, true, true}}) {
        Reset();
        // Samples of 30, and a few hot ones to repair.
        test::Bmp dark = test::Bmp(kW, kH).Fill(0x1e1e1e);
        for (size_t p = 7; p < dark.pixels.size(); p += 97) dark.pixels[p] = 0xf0f0f0;
        ASSERT_TRUE(WriteFileBytes(s().DarkFrame, test::BuildBmp(dark)));
        s().Colour = c.colour;
        s().SubDark = c.subtract;
        s().Hot = c.hot;
        s().Vert = s().Horiz = s().Stretch = c.chain;
        s().Border = 2, s().GradSmooth = 1, s().StretchLow = 5, s().StretchHigh = 95;
        RunBatch(w);
        const std::vector<Image> written = ReadAllFrames(out());
        ASSERT_EQ(written.size(), size_t(kFrames));
        for (int n = 0; n < kFrames; ++n) {
            Image expected = ExpectedFrame(kW, kH, n, c.colour);
            Failure failure;
            if (c.subtract || c.hot) ApplyDarkFrame(expected, DarkImage(), s(), failure);
            if (c.chain) {
                CorrectVerticalGradient(expected, s());
                CorrectHorizontalGradient(expected, s());
                StretchHistogram(expected, s());
            }
            EXPECT_EQ(w.shown[n].pixels, expected.pixels) << "frame " << n;
            std::vector<uint8_t> bgr;  // as the output holds it
            for (uint8_t v : expected.pixels) bgr.insert(bgr.end(), c.colour ? 1 : 3, v);
            EXPECT_EQ(written[n].pixels, bgr) << "frame " << n;
        }
    }
}

// A full disk, as a file size limit, at the last frame: told once, with no temporary file left.
// A whole earlier output stays as it was; with none there, the frames before it take the name.
TEST_F(BatchRun, AFailedWriteNeverReplacesAWholeOutput) {
    RunBatch(w);
    const std::vector<uint8_t> whole = ReadFileBytes(out());
    // Room for the headers written at the end, not for the last frame's chunk and index entry.
    const uint64_t limit = whole.size() - (8 + 3 * 12 * kH) - 16 + 40;
    for (const char* kept : {"; the file that was there is kept and the new one removed", ""}) {
        if (!*kept) std::filesystem::remove(out());
        const auto child = [&] {
            ScriptedWindowing win;
            RunBatch(win);
            const std::string told = "box Error: Can't write AVI output file [none] (" + out() +
                                     ": File too large" + kept + ")";
            return std::count(win.log.begin(), win.log.end(), told) == 1
                       ? LastRun().framesWritten + (LastRun().outputComplete ? 10 : 0)
                       : 100;
        };
        EXPECT_EQ(test::ExitCodeUnderFileSizeLimit(limit, child), kFrames - 1 + (*kept ? 0 : 10));
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.avi", "out.avi"}));
        EXPECT_TRUE(!*kept || ReadFileBytes(out()) == whole);
        EXPECT_EQ(ReadAllFrames(out()).size(), size_t(*kept ? kFrames : kFrames - 1));
    }
}

}  // namespace
}  // namespace kestrel
