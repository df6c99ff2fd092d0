// The batch run's conversation with the user and its effect on the files, through the scripted
// windowing layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "run/batch.h"
#include "io/frame_source.h"
#include "settings/settings.h"
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
using test::TempDir;
using test::WriteFileBytes;
using test::WriteTestVideo;
using Log = std::vector<std::string>;

constexpr int kW = 11, kH = 7, kFrames = 4;

// Output frame n read back in colour: grey frames come back with three equal channels.
std::vector<uint8_t> Output(int n, bool colour) {
    if (colour) return ExpectedFrame(kW, kH, n, true).pixels;
    std::vector<uint8_t> out;
    for (uint8_t g : ExpectedFrame(kW, kH, n, false).pixels) out.insert(out.end(), {g, g, g});
    return out;
}

class BatchRun : public ::testing::Test {
protected:
    void SetUp() override {
        AppSettings() = Settings{};
        AppSettings().InputFile = dir.file("in.avi");
        AppSettings().OutputFile = dir.file("out.avi");
        ASSERT_TRUE(WriteTestVideo(AppSettings().InputFile, kW, kH, kFrames));
    }
    void TearDown() override { AppSettings() = Settings{}; }

    std::string out() const { return AppSettings().OutputFile; }
    std::string confirm() const {
        return "box Confirm Overwrite: " + OverwriteQuestion(out()) + " [main]";
    }

    TempDir dir;
    ScriptedWindowing w;
};

TEST_F(BatchRun, PassesEveryFrameThroughUnchanged) {
    for (bool colour : {false, true}) {
        AppSettings().Colour = colour;
        std::filesystem::remove(out());
        ScriptedWindowing win;
        RunBatch(win);
        EXPECT_EQ(win.log,
                  (Log{"setup", "clear", "wait", "show 0", "show 1", "show 2", "show 3", "arrow"}));
        EXPECT_EQ(LastRun().framesWritten, kFrames);
        std::vector<Image> written = ReadAllFrames(out());
        ASSERT_EQ(written.size(), size_t(kFrames));
        for (int n = 0; n < kFrames; ++n) {
            EXPECT_EQ(win.shown[n].pixels, ExpectedFrame(kW, kH, n, colour).pixels) << n;
            EXPECT_EQ(written[n].pixels, Output(n, colour)) << n;
        }
    }
}

TEST_F(BatchRun, CancelInSetupTouchesNothing) {
    w.setupResult = Pressed::Cancel;
    RunBatch(w);
    EXPECT_EQ(w.log, Log{"setup"});
    EXPECT_FALSE(std::filesystem::exists(out()));
    EXPECT_FALSE(LastRun().started);
    EXPECT_EQ(Busy(), 0);
}

TEST_F(BatchRun, ExistingOutputAndNoLeavesItIntact) {
    ASSERT_TRUE(WriteFileBytes(out(), {1, 2, 3}));
    w.overwriteAnswer = Pressed::No;
    RunBatch(w);
    EXPECT_EQ(w.log, (Log{"setup", confirm()}));
    EXPECT_EQ(ReadFileBytes(out()), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(BatchRun, EscapeAtTheFirstFrameLeavesAnExistingOutputUntouched) {
    ASSERT_TRUE(WriteFileBytes(out(), {9, 9}));
    w.escapeAtCheck = 0;
    RunBatch(w);
    EXPECT_EQ(w.log, (Log{"setup", confirm(), "clear", "wait", "arrow"}));
    EXPECT_EQ(ReadFileBytes(out()), (std::vector<uint8_t>{9, 9}));
    // The frame read before Escape was noticed stays in the buffer, uncorrected.
    EXPECT_EQ(ImageBuffer().pixels, ExpectedFrame(kW, kH, 0, false).pixels);
}

TEST_F(BatchRun, EscapeLaterKeepsTheFramesWritten) {
    w.escapeAtCheck = 2;
    RunBatch(w);
    EXPECT_EQ(w.log, (Log{"setup", "clear", "wait", "show 0", "show 1", "arrow"}));
    EXPECT_EQ(ReadAllFrames(out()).size(), 2u);
}

TEST_F(BatchRun, MissingInputIsReportedOnceAndCreatesNoOutput) {
    AppSettings().InputFile = dir.file("missing.avi");
    RunBatch(w);
    EXPECT_EQ(w.log, (Log{"setup", "clear", "wait", "box Error: Can't open AVI input file [none]",
                          "arrow"}));
    EXPECT_FALSE(std::filesystem::exists(out()));
    EXPECT_EQ(ImageBuffer().width, 0);
    EXPECT_EQ(ImageBuffer().height, 0);
}

TEST_F(BatchRun, OutputThatCannotBeCreatedEndsTheRunAfterTheFirstFrameIsShown) {
    AppSettings().OutputFile = dir.file("no/such/folder/out.avi");
    RunBatch(w);
    EXPECT_EQ(w.log, (Log{"setup", "clear", "wait", "show 0",
                          "box Error: Can't open AVI output file [none]", "arrow"}));
    EXPECT_EQ(LastRun().framesWritten, 0);
}

TEST_F(BatchRun, CommandsDuringARunAreAnsweredOnceEachAndForgotten) {
    w.commandsAtDrain = {{1, 2}};
    RunBatch(w);
    const std::string info = "box Info: Press ESC to stop processing [main]";
    EXPECT_EQ(w.log, (Log{"setup", "clear", "wait", "show 0", info, info, "show 1", "show 2",
                          "show 3", "arrow"}));
    EXPECT_EQ(ReadAllFrames(out()).size(), size_t(kFrames));
}

TEST_F(BatchRun, BusyKeepsASecondRunOut) {
    int busySeen = 0;
    w.onShow = [&] {
        busySeen += Busy();
        RunBatch(w);  // a command that reaches the window during the run does nothing
    };
    RunBatch(w);
    EXPECT_EQ(busySeen, kFrames);
    EXPECT_EQ(Busy(), 0);
    EXPECT_EQ(std::count(w.log.begin(), w.log.end(), "setup"), 1);
}

TEST_F(BatchRun, TwoRunsInARowEachWriteAFreshFileFromTheFirstFrame) {
    RunBatch(w);
    ScriptedWindowing second;
    RunBatch(second);
    EXPECT_EQ(second.log, (Log{"setup", confirm(), "clear", "wait", "show 0", "show 1", "show 2",
                               "show 3", "arrow"}));
    EXPECT_EQ(ReadAllFrames(out()).size(), size_t(kFrames));
}

TEST_F(BatchRun, AFailedWriteIsReportedAndTheFramesBeforeItStayInAValidFile) {
    // A complete output tells where each frame ends; the child's file size limit then lets
    // three frames and their index in, and makes the disk "fill up" at the fourth.
    RunBatch(w);
    const uint64_t complete = std::filesystem::file_size(out());
    const uint64_t frameChunk = 8 + 3 * 12 * kH;  // header and 7 rows of 36 bytes (33 + fill)
    const uint64_t limit = complete - frameChunk - 16 + 40;
    std::filesystem::remove(out());
    const auto child = [] {
        ScriptedWindowing win;
        RunBatch(win);
        const std::string box = "box Error: Can't write AVI output file [none]";
        return std::count(win.log.begin(), win.log.end(), box) == 1 ? LastRun().framesWritten : 100;
    };
    ASSERT_EQ(test::ExitCodeUnderFileSizeLimit(limit, child), kFrames - 1);
    test::AviLayout avi;
    ASSERT_TRUE(test::ReadAviFile(out(), avi));
    EXPECT_TRUE(avi.idx1.present);
    EXPECT_EQ(avi.avihField(test::kAvihTotalFrames), uint32_t(kFrames - 1));
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.avi", "out.avi"}));
    if (test::HaveTool("ffprobe")) {
        EXPECT_EQ(test::Probe(out(), "nb_read_frames"),
                  "nb_read_frames=" + std::to_string(kFrames - 1));
    }
    const std::vector<Image> written = ReadAllFrames(out());
    ASSERT_EQ(written.size(), size_t(kFrames - 1));
    for (int n = 0; n < kFrames - 1; ++n) EXPECT_EQ(written[n].pixels, Output(n, false)) << n;
}

TEST_F(BatchRun, AFirstFrameThatCannotBeStoredLeavesAnExistingOutputAlone) {
    // Room for the headers a finished run writes, none for a frame.
    RunBatch(w);
    test::AviLayout finished;
    ASSERT_TRUE(test::ReadAviFile(out(), finished));
    const uint64_t headers = finished.frames.at(0).data - 8;
    ASSERT_TRUE(WriteFileBytes(out(), {4, 2}));
    const auto child = [] {
        ScriptedWindowing win;
        RunBatch(win);
        const std::string box = "box Error: Can't write AVI output file [none]";
        const bool reported = std::count(win.log.begin(), win.log.end(), box) == 1;
        return reported && LastRun().framesWritten == 0 && !LastRun().outputComplete ? 0 : 1;
    };
    ASSERT_EQ(test::ExitCodeUnderFileSizeLimit(headers + 4, child), 0);
    EXPECT_EQ(ReadFileBytes(out()), (std::vector<uint8_t>{4, 2}));
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.avi", "out.avi"}));
}

TEST_F(BatchRun, OutputNamesNearTheSystemsLimitWork) {
    AppSettings().OutputFile = dir.file(std::string(250, 'n') + ".avi");
    RunBatch(w);
    EXPECT_TRUE(LastRun().outputComplete);
    EXPECT_EQ(ReadAllFrames(out()).size(), size_t(kFrames));
}

TEST(OverwriteQuestion, HoldsTheWholeLongestName) {
    std::string name(kMaxNameChars, 'x');
    EXPECT_EQ(OverwriteQuestion(name), "File " + name + " exists. Overwrite?");
}

}  // namespace
}  // namespace kestrel
