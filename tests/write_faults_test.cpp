// Faults while kestrel-batch writes its output: a disk that fills up, the output folder taken
// away during the run, the process killed outright. Whatever happens, the file under the
// output's name is the old one untouched or a complete AVI of the frames written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"
#include "support/riff_walk.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using test::ReadFileBytes;
using test::ReadFileText;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;
using test::WriteTestVideo;

constexpr int kWidth = 64, kHeight = 48, kFrames = 120;

// A mount namespace of our own, where a small tmpfs is a disk that really fills up.
bool CanMountSmallDisks() {
    return RunCommand("unshare -rm sh -c 'mount -t tmpfs -o size=64k tmpfs /mnt' 2>/dev/null")
               .status == 0;
}

// The output is the old file, or a valid AVI whose frames are the input's first ones.
::testing::AssertionResult OldOrWhole(const std::string& path,
                                      const std::vector<uint8_t>& old) {
    const std::vector<uint8_t> now = ReadFileBytes(path);
    if (!old.empty() && now == old) return ::testing::AssertionSuccess() << "old";
    test::AviLayout layout;
    if (auto valid = test::ReadAviFile(path, layout); !valid) return valid;
    const std::vector<Image> frames = test::ReadAllFrames(path);
    if (frames.size() != layout.frames.size())
        return ::testing::AssertionFailure() << frames.size() << " of " << layout.frames.size()
                                             << " frames read";
    for (size_t n = 0; n < frames.size(); ++n)
        if (frames[n].pixels != test::ExpectedFrame(kWidth, kHeight, int(n), true).pixels)
            return ::testing::AssertionFailure() << "frame " << n << " differs";
    return ::testing::AssertionSuccess() << frames.size() << " frames";
}

std::string Batch(const std::string& args) {
    return ShellQuote(KESTREL_BATCH_PATH) + " -q --colour " + args;
}

TEST(WriteFaults, AFullDiskLeavesTheOldOutputOrAWholeOne) {
    if (!CanMountSmallDisks()) GTEST_SKIP() << "no mount namespace for a small tmpfs";
    TempDir dir;
    const std::string in = dir.file("in.avi"), disk = dir.file("disk");
    ASSERT_TRUE(WriteTestVideo(in, kWidth, kHeight, kFrames));
    ASSERT_TRUE(WriteTestVideo(dir.file("old.avi"), kWidth, kHeight, 2, 50));
    const std::vector<uint8_t> old = ReadFileBytes(dir.file("old.avi"));
    std::filesystem::create_directory(disk);

    // From a disk too small for the new file's headers to one that nearly holds it all; each
    // with and without an old output in the way.
    const std::vector<int> sizesKb = {36, 44, 64, 200, 700, 1000};
    std::string script = "set -u\n";
    for (int kb : sizesKb) {
        for (int withOld : {0, 1}) {
            const std::string run = dir.file(std::to_string(kb) + "-" + std::to_string(withOld));
            script += "mount -t tmpfs -o size=" + std::to_string(kb) + "k tmpfs " +
                      ShellQuote(disk) + " || exit 9\n";
            if (withOld) script += "cp " + ShellQuote(dir.file("old.avi")) + " disk/out.avi\n";
            script += Batch("-y " + ShellQuote(in) + " disk/out.avi") + " >" + run +
                      ".log 2>&1 </dev/null; echo $? >" + run + ".status\n";
            script += "cp disk/out.avi " + run + ".avi 2>/dev/null\n";
            script += "ls -A disk >" + run + ".left\n";
            script += "umount " + ShellQuote(disk) + "\n";
        }
    }
    // Saved settings on a disk with no room left at all.
    const std::string oldIni = "[Values]\nBorder=7\n; the user's own note\n";
    ASSERT_TRUE(test::WriteFileText(dir.file("old.ini"), oldIni));
    script += "mount -t tmpfs -o size=16k tmpfs " + ShellQuote(disk) + " || exit 9\n" +
              "cp old.ini disk/Kestrel.ini\n" +
              "dd if=/dev/zero of=disk/filler bs=1k 2>/dev/null\n" +
              Batch("--border 20 --save-settings disk/Kestrel.ini " + ShellQuote(in) +
                    " out.avi") +
              " >ini.log 2>&1 </dev/null; echo $? >ini.status\n" +
              "cp disk/Kestrel.ini ini.kept; ls -A disk >ini.left; umount " + ShellQuote(disk) +
              "\n";
    ASSERT_TRUE(test::WriteFileText(dir.file("script.sh"), script));
    const auto ran = RunCommand("cd " + ShellQuote(dir.path()) + " && unshare -rm sh script.sh 2>&1");
    ASSERT_EQ(ran.status, 0) << ran.output;

    for (int kb : sizesKb) {
        for (int withOld : {0, 1}) {
            SCOPED_TRACE(testing::Message() << kb << " KB disk, old output " << withOld);
            const std::string run = dir.file(std::to_string(kb) + "-" + std::to_string(withOld));
            const std::string log = ReadFileText(run + ".log");
            EXPECT_EQ(ReadFileText(run + ".status"), "1\n") << log;
            EXPECT_NE(log.find("Error: Can't write AVI output file"), std::string::npos) << log;
            EXPECT_EQ(log.find("Wrote "), std::string::npos) << log;
            // No temporary file stays behind to fill the disk further.
            const std::string left = ReadFileText(run + ".left");
            if (left.empty()) {
                EXPECT_FALSE(withOld) << "the old output is gone";
            } else {
                EXPECT_EQ(left, "out.avi\n");
                EXPECT_TRUE(OldOrWhole(run + ".avi", withOld ? old : std::vector<uint8_t>{}));
            }
        }
    }
    EXPECT_EQ(ReadFileText(dir.file("ini.status")), "1\n");
    EXPECT_EQ(ReadFileText(dir.file("ini.log")), "Error: Can't save settings to disk/Kestrel.ini\n");
    EXPECT_EQ(ReadFileText(dir.file("ini.kept")), oldIni);
    EXPECT_EQ(ReadFileText(dir.file("ini.left")), "Kestrel.ini\nfiller\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.avi")));
}

// Runs kestrel-batch on `in` into `folder`/out.avi and, once its temporary file is there, does
// `fault` to the shell; the log, then the exit status.
std::string RunAndThen(const TempDir& dir, const std::string& folder, const std::string& fault) {
    // The shell's own notes (a job killed) are not wanted in the output.
    const std::string script =
        "exec 2>/dev/null\n" + Batch("-y " + ShellQuote(dir.file("in.avi")) + " " + ShellQuote(folder + "/out.avi")) +
        " >" + ShellQuote(dir.file("log")) + " 2>&1 </dev/null & pid=$!\n"
        "n=0; while [ $n -lt 2000 ] && ! ls -A " + ShellQuote(folder) +
        " | grep -q '[.]tmp$'; do sleep 0.01; n=$((n+1)); done\n" + fault +
        "\nwait $pid; echo $?\n";
    const auto ran = RunCommand(script);
    return ReadFileText(dir.file("log")) + "status " + ran.output;
}

TEST(WriteFaults, AnOutputFolderTakenAwayDuringTheRunIsReported) {
    TempDir dir;
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), 320, 240, 2000));
    const std::string folder = dir.file("night");
    for (const char* fault : {"rm -rf \"$F\"", "rm -rf \"$F\" && mkdir \"$F\"",
                              "mv \"$F\" \"$F.moved\""}) {
        SCOPED_TRACE(fault);
        std::filesystem::remove_all(folder);
        std::filesystem::remove_all(folder + ".moved");
        std::filesystem::create_directory(folder);
        const std::string result =
            RunAndThen(dir, folder, "F=" + ShellQuote(folder) + "; " + fault);
        EXPECT_NE(result.find("Error: Can't write AVI output file\n"), std::string::npos)
            << result;
        EXPECT_NE(result.find("status 1\n"), std::string::npos) << result;
        EXPECT_EQ(result.find("Wrote "), std::string::npos) << result;
        EXPECT_FALSE(std::filesystem::exists(folder + "/out.avi"));
    }
}

TEST(WriteFaults, AKilledRunLeavesTheOldOutputUntouched) {
    TempDir dir;
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), 320, 240, 2000));
    const std::string folder = dir.file("night");
    std::filesystem::create_directory(folder);
    ASSERT_TRUE(WriteTestVideo(folder + "/out.avi", kWidth, kHeight, 2, 50));
    const std::vector<uint8_t> old = ReadFileBytes(folder + "/out.avi");
    const std::string result = RunAndThen(dir, folder, "kill -KILL $pid");
    EXPECT_NE(result.find("status 137\n"), std::string::npos) << result;
    EXPECT_EQ(ReadFileBytes(folder + "/out.avi"), old);

    // The next run replaces it with a whole file.
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), kWidth, kHeight, 5));
    const auto again = RunCommand(Batch("-y " + ShellQuote(dir.file("in.avi")) + " " +
                                        ShellQuote(folder + "/out.avi") + " 2>&1"));
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_TRUE(OldOrWhole(folder + "/out.avi", {}));
    EXPECT_EQ(test::CountFrames(folder + "/out.avi"), 5u);
}

}  // namespace
}  // namespace kestrel
