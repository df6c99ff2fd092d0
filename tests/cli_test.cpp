// kestrel-batch as a script sees it: exit statuses, messages on stderr, files on disk.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include "support/files.h"
#include "support/process.h"
#include "support/riff_walk.h"
#include "support/test_video.h"

namespace kestrel::test {
namespace {

// kestrel-batch run in `dir`, so that `args` can name its files as they are.
CommandResult Batch(const TempDir& dir, const std::string& args) {
    return RunCommand("cd " + ShellQuote(dir.path()) + " && " + ShellQuote(KESTREL_BATCH_PATH) +
                      " " + args + " </dev/null 2>&1");
}

TEST(KestrelBatch, ExitStatusesAndMessages) {
    TempDir dir;
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), 8, 6, 3));
    ASSERT_TRUE(WriteFileBytes(dir.file("out.avi"), {7}));
    const std::tuple<const char*, int, const char*> cases[] = {
        {"one.avi", 2, "kestrel-batch: missing INPUT and OUTPUT file names\nTry 'kestrel-batch"},
        {"--settings none.ini", 2, "kestrel-batch: can't read settings file none.ini\n"},
        {"--help", 0, "Usage: kestrel-batch [options] INPUT OUTPUT\n"},
        {"--version", 0, "kestrel-batch 1.3\n"},
        {"missing.avi new.avi", 1, "Error: Can't open AVI input file\n"},
        {"-q in.avi out.avi", 1, "File out.avi exists. Overwrite?"},
        {"-q --save-settings no/dir/x.ini a b", 1, "Error: Can't save settings to no/dir/x.ini\n"},
        {"--yes in.avi out.avi", 0, "Wrote 3 frames to out.avi in "},
    };
    for (const auto& [args, status, message] : cases) {
        CommandResult r = Batch(dir, args);
        EXPECT_EQ(r.status, status) << args;
        EXPECT_NE(r.output.find(message), std::string::npos) << args << ": " << r.output;
        if (status != 0) {
            EXPECT_EQ(ReadFileBytes(dir.file("out.avi")), std::vector<uint8_t>{7});
        }
    }
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.avi", "out.avi"}));
    EXPECT_EQ(ReadAllFrames(dir.file("out.avi")).size(), 3u);
}

TEST(KestrelBatch, CtrlCOrAKillStopsAtAFrameBoundaryAndCompletesTheOutput) {
    TempDir dir;
    const std::string in = dir.file("in.avi"), out = dir.file("out.avi");
    ASSERT_TRUE(WriteTestVideo(in, 160, 120, 3000));
    for (auto [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        std::remove(out.c_str());
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execl(KESTREL_BATCH_PATH, KESTREL_BATCH_PATH, "-q", in.c_str(), out.c_str(), nullptr);
            _exit(127);
        }
        // The output is built under a temporary name beside it: once that exists, frames flow.
        for (int i = 0; i < 20000 && dir.names().size() < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        kill(pid, signal);
        int exit = 0;
        waitpid(pid, &exit, 0);
        EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == status) << signal << " " << exit;
        AviLayout layout;
        EXPECT_TRUE(ReadAviFile(out, layout));
        EXPECT_EQ(layout.frames.size(), CountFrames(out));
        EXPECT_GT(layout.frames.size(), 0u);
        EXPECT_LT(layout.frames.size(), 3000u);
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.avi", "out.avi"}));
    }
}

TEST(KestrelBatch, SavedSettingsGiveTheSameRunAgain) {
    TempDir dir;
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), 9, 5, 2));
    ASSERT_EQ(Batch(dir, "-q -y --colour --border 33 --save-settings n.ini in.avi a.avi").status,
              0);
    const std::string saved = ReadFileText(dir.file("n.ini"));
    for (const char* line : {"InputFile=in.avi\nOutputFile=a.avi\n", "Colour=1\n", "Border=33\n"})
        EXPECT_NE(saved.find(line), std::string::npos) << saved;
    // The file names the input and the first output; the second run writes elsewhere.
    ASSERT_EQ(Batch(dir, "-q -y --settings n.ini in.avi b.avi").status, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("a.avi")), ReadFileBytes(dir.file("b.avi")));
    std::remove(dir.file("a.avi").c_str());
    ASSERT_EQ(Batch(dir, "-q -y --settings n.ini").status, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("a.avi")), ReadFileBytes(dir.file("b.avi")));
}

}  // namespace
}  // namespace kestrel::test
