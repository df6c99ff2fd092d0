// The batch run's conversation with the user and its effect on the files, through the scripted
// windowing layer.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/batch.h"
#include "io/frame_source.h"
#include "settings/settings.h"
#include "support/scripted_windowing.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using testing::ExpectedFrame;
using testing::ReadAllFrames;
using testing::ReadFileBytes;
using testing::ScriptedWindowing;
using testing::TempDir;
using testing::WriteFileBytes;
using testing::WriteTestVideo;
using Log = std::vector<std::string>;

constexpr int kW = 11, kH = 7, kFrames = 4;

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
        EXPECT_EQ(win.log, (Log{"setup", "clear", "wait", "show 0", "show 1", "show 2", "show 3",
                                "arrow"}));
        EXPECT_EQ(LastRun().framesWritten, kFrames);
        std::vector<Image> written = ReadAllFrames(out());
        ASSERT_EQ(written.size(), size_t(kFrames));
        for (int n = 0; n < kFrames; ++n) {
            Image expected = ExpectedFrame(kW, kH, n, colour);
            EXPECT_EQ(win.shown[n].pixels, expected.pixels) << "frame " << n;
            // Grey frames come back with three equal channels.
            Image expectedOut = ExpectedFrame(kW, kH, n, true);
            if (!colour)
                for (size_t i = 0; i < expected.pixels.size(); ++i)
                    for (int c = 0; c < 3; ++c) expectedOut.pixels[3 * i + c] = expected.pixels[i];
            EXPECT_EQ(written[n].pixels, expectedOut.pixels) << "frame " << n;
        }
    }
}

TEST_F(BatchRun, CancelInSetupTouchesNothing) {
    w.setupResult = kIdCancel;
    RunBatch(w);
    EXPECT_EQ(w.log, Log{"setup"});
    EXPECT_FALSE(std::filesystem::exists(out()));
    EXPECT_FALSE(LastRun().started);
    EXPECT_EQ(Busy(), 0);
}

TEST_F(BatchRun, ExistingOutputAndNoLeavesItIntact) {
    ASSERT_TRUE(WriteFileBytes(out(), {1, 2, 3}));
    w.overwriteAnswer = kIdNo;
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
    // three frames and a short index in, and makes the disk "fill up" at the fourth.
    RunBatch(w);
    const off_t complete = off_t(std::filesystem::file_size(out()));
    const off_t frameChunk = 8 + 3 * 12 * kH;  // header and 7 rows of 36 bytes (33 + fill)
    const off_t indexTail = 8 + 16 * kFrames;
    const off_t limit = complete - indexTail - frameChunk + 8 + 16 * 3 + 40;
    std::filesystem::remove(out());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit rl{rlim_t(limit), rlim_t(limit)};
        setrlimit(RLIMIT_FSIZE, &rl);
        ScriptedWindowing child;
        RunBatch(child);
        bool reported = std::find(child.log.begin(), child.log.end(),
                                  "box Error: Can't write AVI output file [none]") != child.log.end();
        _exit(reported && LastRun().framesWritten > 0 && LastRun().framesWritten < kFrames ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::vector<Image> written = ReadAllFrames(out());
    ASSERT_FALSE(written.empty());
    EXPECT_LT(written.size(), size_t(kFrames));
    for (size_t n = 0; n < written.size(); ++n) EXPECT_EQ(written[n].width, kW);
}

TEST(OverwriteQuestion, HoldsTheWholeLongestName) {
    std::string name(kMaxNameChars, 'x');
    std::string q = OverwriteQuestion(name);
    EXPECT_EQ(q.size(), 283u);
    EXPECT_EQ(q, "File " + name + " exists. Overwrite?");
}

}  // namespace
}  // namespace kestrel
