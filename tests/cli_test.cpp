// kestrel-batch as a script sees it: exit statuses, messages on stderr, files on disk.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "support/files.h"
#include "support/process.h"
#include "support/riff_walk.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using test::CountFrames;
using test::ReadAllFrames;
using test::ReadFileBytes;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;
using test::WriteFileBytes;
using test::WriteTestVideo;

std::string Batch(const std::string& args) {
    return ShellQuote(KESTREL_BATCH_PATH) + " " + args + " </dev/null 2>&1";
}

TEST(KestrelBatch, UsageErrorsExitWithTwo) {
    for (const char* args : {"", "one.avi", "--border 101 a b", "--no-such-flag a b"}) {
        auto r = RunCommand(Batch(args));
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.output.find("kestrel-batch: "), std::string::npos) << r.output;
    }
    EXPECT_EQ(RunCommand(Batch("--help")).status, 0);
    EXPECT_NE(RunCommand(Batch("--version")).output.find("kestrel-batch 1.3"), std::string::npos);
}

TEST(KestrelBatch, ReportsErrorsInTheSystemsWords) {
    TempDir dir;
    auto r = RunCommand(
        Batch(ShellQuote(dir.file("missing.avi")) + " " + ShellQuote(dir.file("out.avi"))));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("Error: Can't open AVI input file\n"), std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.avi")));
}

TEST(KestrelBatch, AnExistingOutputIsKeptUnlessTheUserSaysYes) {
    TempDir dir;
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), 8, 6, 3));
    ASSERT_TRUE(WriteFileBytes(dir.file("out.avi"), {7}));
    std::string names = ShellQuote(dir.file("in.avi")) + " " + ShellQuote(dir.file("out.avi"));
    auto refused = RunCommand(Batch("-q " + names));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("File " + dir.file("out.avi") + " exists. Overwrite?"),
              std::string::npos)
        << refused.output;
    EXPECT_EQ(ReadFileBytes(dir.file("out.avi")), std::vector<uint8_t>{7});

    auto accepted = RunCommand(Batch("--yes " + names));
    EXPECT_EQ(accepted.status, 0) << accepted.output;
    EXPECT_NE(accepted.output.find("Wrote 3 frames to "), std::string::npos) << accepted.output;
    EXPECT_EQ(ReadAllFrames(dir.file("out.avi")).size(), 3u);
}

TEST(KestrelBatch, CtrlCOrAKillStopsAtAFrameBoundaryAndCompletesTheOutput) {
    TempDir dir;
    const int frames = 3000;
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), 160, 120, frames));
    for (auto [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        std::filesystem::remove(dir.file("out.avi"));
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execl(KESTREL_BATCH_PATH, KESTREL_BATCH_PATH, "-q", dir.file("in.avi").c_str(),
                  dir.file("out.avi").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // The output is built under a temporary name beside it: once that exists, frames flow.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < until && dir.names().size() < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        kill(pid, signal);
        int exit = 0;
        waitpid(pid, &exit, 0);
        ASSERT_TRUE(WIFEXITED(exit)) << signal;
        EXPECT_EQ(WEXITSTATUS(exit), status);
        size_t written = CountFrames(dir.file("out.avi"));
        test::AviLayout layout;
        EXPECT_TRUE(test::ReadAviFile(dir.file("out.avi"), layout));
        EXPECT_EQ(layout.frames.size(), written);
        EXPECT_GT(written, 0u);
        EXPECT_LT(written, size_t(frames));
        // Nothing is left behind but the input and the completed output.
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.avi", "out.avi"}));
    }
}

TEST(KestrelBatch, SavedSettingsGiveTheSameRunAgain) {
    TempDir dir;
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), 9, 5, 2));
    const std::string ini = dir.file("night.ini");
    auto first = RunCommand(Batch("-q -y --colour --border 33 --noise-level 4 --save-settings " +
                                  ShellQuote(ini) + " " + ShellQuote(dir.file("in.avi")) + " " +
                                  ShellQuote(dir.file("a.avi"))));
    ASSERT_EQ(first.status, 0) << first.output;
    const std::string saved = test::ReadFileText(ini);
    EXPECT_NE(saved.find("Colour=1"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Border=33"), std::string::npos) << saved;
    EXPECT_NE(saved.find("InputFile=" + dir.file("in.avi")), std::string::npos) << saved;

    // The file names the input and the first output; the second run writes elsewhere.
    auto again =
        RunCommand(Batch("-q -y --settings " + ShellQuote(ini) + " " +
                         ShellQuote(dir.file("in.avi")) + " " + ShellQuote(dir.file("b.avi"))));
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(ReadFileBytes(dir.file("a.avi")), ReadFileBytes(dir.file("b.avi")));
    auto fromFileAlone = RunCommand(Batch("-q -y --settings " + ShellQuote(ini)));
    ASSERT_EQ(fromFileAlone.status, 0) << fromFileAlone.output;
    EXPECT_EQ(ReadAllFrames(dir.file("a.avi")).size(), 2u);

    auto unwritable = RunCommand(
        Batch("-q --save-settings " + ShellQuote(dir.file("no/such/dir/x.ini")) + " a b"));
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.output.find("Error: Can't save settings to "), std::string::npos);
}

}  // namespace
}  // namespace kestrel
