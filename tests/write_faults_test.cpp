// Files replaced by the programs as the user runs them: through a link, on a disk that fills
// up, in a folder taken away during the run, by a process killed outright. Whatever happens,
// the file under the target's name is the old one untouched or a complete new one.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/files.h"
#include "support/process.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::ReadFileText;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;
using test::WriteTestVideo;

constexpr int kWidth = 64, kHeight = 48;

std::string Batch(const std::string& args) {
    return ShellQuote(KESTREL_BATCH_PATH) + " -q --colour " + args;
}

TEST(WriteFaults, OutputsThroughALinkToAPrivateFileKeepTheLinkAndTheMode) {
    TempDir dir;
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), kWidth, kHeight, 3));
    fs::create_directory(dir.file("private"));
    fs::create_directory(dir.file("links"));
    const struct {
        const char* name;
        std::string command;
        const char* contents;  // a part of the new file
    } cases[] = {
        {"out.avi", Batch("-y in.avi links/out.avi"), "AVI LIST"},
        {"Kestrel.ini", Batch("--save-settings links/Kestrel.ini -y in.avi x.avi"), "[Values]"},
        {"dark.bmp", ShellQuote(KESTREL_SYNTH_PATH) + " --frames 1 --dark links/dark.bmp", "BM"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A link relative to its own folder, not to where the program runs.
        const std::string target = dir.file("private/") + c.name,
                          link = "../private/" + std::string(c.name);
        ASSERT_TRUE(test::WriteFileText(target, "old"));
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
        fs::create_symlink(link, dir.file("links/") + c.name);
        const auto ran = RunCommand("cd " + ShellQuote(dir.path()) + " && " + c.command + " 2>&1");
        EXPECT_EQ(ran.status, 0) << ran.output;
        EXPECT_EQ(fs::read_symlink(dir.file("links/") + c.name), link);
        EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_NE(ReadFileText(target).find(c.contents), std::string::npos);
    }
    EXPECT_EQ(test::CountFrames(dir.file("links/out.avi")), 3u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("private")), {}), 3);
}

// Settings saved on a disk that is full (a file size limit on kestrel-batch): the old file
// stays, and no temporary file is left to fill the disk further.
TEST(WriteFaults, SettingsThatCannotBeSavedLeaveTheOldFile) {
    TempDir dir;
    const std::string ini = "[Values]\nBorder=7\n; the user's own note\n";
    ASSERT_TRUE(test::WriteFileText(dir.file("s.ini"), ini));
    const int status = test::ExitCodeUnderFileSizeLimit(100, [&] {
        return RunCommand("cd " + ShellQuote(dir.path()) + " && " +
                          Batch("--save-settings s.ini in.avi out.avi >log 2>&1"))
            .status;
    });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(ReadFileText(dir.file("log")), "Error: Can't save settings to s.ini\n");
    EXPECT_EQ(ReadFileText(dir.file("s.ini")), ini);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"log", "s.ini"}));
}

// Runs kestrel-batch into `folder`/out.avi and, once its temporary file is there, does `fault`
// to the shell; the log, then the exit status.
std::string RunAndThen(const TempDir& dir, const std::string& folder, const std::string& fault) {
    const std::string script =
        "exec 2>/dev/null\nF=" + ShellQuote(folder) + "\n" +
        Batch("-y " + ShellQuote(dir.file("in.avi")) + " \"$F/out.avi\"") + " >" +
        ShellQuote(dir.file("log")) +
        " 2>&1 </dev/null & pid=$!\n"
        "n=0; while [ $n -lt 2000 ] && ! ls -A \"$F\" | grep -q '[.]tmp$'; do sleep 0.01; "
        "n=$((n+1)); done\n" +
        fault + "\nwait $pid; echo $?\n";
    const auto ran = RunCommand(script);
    return ReadFileText(dir.file("log")) + "status " + ran.output;
}

TEST(WriteFaults, AFolderTakenAwayIsReportedAndAKilledRunLeavesTheOldFile) {
    TempDir dir;
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), 320, 240, 2000));
    const std::string folder = dir.file("night"), failed = "Error: Can't write AVI output file\n";
    const struct {
        std::string fault, result;
        bool old;  // an old output in the folder
    } cases[] = {{"rm -rf \"$F\"", failed + "status 1\n", false},
                 {"rm -rf \"$F\" && mkdir \"$F\"", failed + "status 1\n", false},
                 {"mv \"$F\" \"$F.moved\"", failed + "status 1\n", false},
                 {"kill -KILL $pid", "status 137\n", false},
                 {"kill -KILL $pid", "status 137\n", true}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.fault);
        fs::remove_all(folder);
        fs::remove_all(folder + ".moved");
        fs::create_directory(folder);
        ASSERT_TRUE(!k.old || WriteTestVideo(folder + "/out.avi", kWidth, kHeight, 2, 50));
        const std::vector<uint8_t> old = ReadFileBytes(folder + "/out.avi");
        EXPECT_EQ(RunAndThen(dir, folder, k.fault), k.result);
        EXPECT_EQ(ReadFileBytes(folder + "/out.avi"), old);
        EXPECT_EQ(fs::exists(folder + "/out.avi"), k.old);
    }
}

}  // namespace
}  // namespace kestrel
