// kestrel-batch as a script sees it: exit statuses, messages on stderr, files on disk.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <thread>

#include "support/files.h"
#include "support/process.h"
#include "support/riff_walk.h"
#include "support/test_video.h"

namespace kestrel::test {
namespace {

struct Batch {
    TempDir dir;
    // Runs kestrel-batch with `args`, where "@name" stands for the quoted path of `name` in dir.
    CommandResult operator()(const std::string& args) {
        std::string line = ShellQuote(KESTREL_BATCH_PATH);
        for (size_t at = 0, end; at < args.size(); at = end + 1) {
            end = std::min(args.find(' ', at), args.size());
            std::string arg = args.substr(at, end - at);
            line += " " + (arg[0] == '@' ? ShellQuote(dir.file(arg.substr(1))) : arg);
        }
        return RunCommand(line + " </dev/null 2>&1");
    }
};

TEST(KestrelBatch, ExitStatusesAndMessages) {
    Batch batch;
    ASSERT_TRUE(WriteTestVideo(batch.dir.file("in.avi"), 8, 6, 3));
    ASSERT_TRUE(WriteFileBytes(batch.dir.file("out.avi"), {7}));
    const struct {
        const char* args;
        int status;
        std::string message;
    } cases[] = {
        {"one.avi", 2, "kestrel-batch: missing INPUT and OUTPUT file names\nTry 'kestrel-batch"},
        {"--border 101 a b", 2, "kestrel-batch: --border takes a whole number from 0 to 100"},
        {"--no-such-flag a b", 2, "kestrel-batch: unknown option --no-such-flag\n"},
        {"--help", 0, "\n      --border N         border for analysis, 0..100 (15)\n"},
        {"--version", 0, "kestrel-batch 1.3\n"},
        {"@missing.avi @new.avi", 1, "Error: Can't open AVI input file\n"},
        {"-q @in.avi @out.avi", 1, "File " + batch.dir.file("out.avi") + " exists. Overwrite?"},
        {"-q --save-settings @no/dir/x.ini a b", 1, "Error: Can't save settings to "},
        {"--settings @none.ini", 2, "kestrel-batch: can't read settings file "},
    };
    for (const auto& c : cases) {
        CommandResult r = batch(c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << ": " << r.output;
    }
    EXPECT_EQ(batch.dir.names(), (std::vector<std::string>{"in.avi", "out.avi"}));
    EXPECT_EQ(ReadFileBytes(batch.dir.file("out.avi")), std::vector<uint8_t>{7});

    CommandResult yes = batch("--yes @in.avi @out.avi");
    EXPECT_EQ(yes.status, 0);
    EXPECT_NE(yes.output.find("Wrote 3 frames to "), std::string::npos) << yes.output;
    EXPECT_EQ(ReadAllFrames(batch.dir.file("out.avi")).size(), 3u);
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
    Batch batch;
    ASSERT_TRUE(WriteTestVideo(batch.dir.file("in.avi"), 9, 5, 2));
    CommandResult r = batch("-q -y --colour --border 33 --save-settings @n.ini @in.avi @a.avi");
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string saved = ReadFileText(batch.dir.file("n.ini"));
    for (const std::string& line : {std::string("Colour=1\n"), std::string("Border=33\n"),
                                   "InputFile=" + batch.dir.file("in.avi")})
        EXPECT_NE(saved.find(line), std::string::npos) << saved;
    // The file names the input and the first output; the second run writes elsewhere.
    ASSERT_EQ(batch("-q -y --settings @n.ini @in.avi @b.avi").status, 0);
    EXPECT_EQ(ReadFileBytes(batch.dir.file("a.avi")), ReadFileBytes(batch.dir.file("b.avi")));
    std::remove(batch.dir.file("a.avi").c_str());
    ASSERT_EQ(batch("-q -y --settings @n.ini").status, 0);
    EXPECT_EQ(ReadFileBytes(batch.dir.file("a.avi")), ReadFileBytes(batch.dir.file("b.avi")));
}

}  // namespace
}  // namespace kestrel::test
