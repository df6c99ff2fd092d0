// Writing files, by the frame sink or by the programs as the user runs them, through a link to a
// private file or not: when writing fails (a full disk, a folder under the name, a killed run),
// the file under the target's name is the old one untouched or a complete new one.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <tuple>

#include "base/file.h"
#include "io/frame_sink.h"
#include "io/frame_source.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_walk.h"
#include "support/samples.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::ShellQuote;

// The output's name is a folder; the second frame has another height; the disk fills up (a file
// size limit) before the headers; a folder takes the output's name before CloseVideo; the child
// is killed outright before the second frame.
enum class Fault { NameIsFolder, OtherSize, DiskFull, Folder, Kill };

// The run's video side in a child process: frames read are written until one is refused. What
// the sink told, as the child wrote it down; nothing is written after CloseVideo.
std::string RunInChild(const Settings& s, Fault fault) {
    const std::string log = s.InputFile + ".log";
    fs::remove(log);
    test::ExitCodeUnderFileSizeLimit(fault == Fault::DiskFull ? 1000 : 1 << 30, [&] {
        Failure failure, again, closing;
        AllowReplacingOutput(true);  // as after a Yes to the question
        const Image other{64, 47, 3, Bytes(64 * 47 * 3)};
        std::string told;
        for (int n = 0; ReadNextFrame(s, failure); ++n) {
            if (n == 1 && fault == Fault::Kill) raise(SIGKILL);
            const Image& frame = n == 1 && fault == Fault::OtherSize ? other : ImageBuffer();
            if (!WriteFrame(frame, s, failure)) {
                // Told once: neither the output nor its creation is tried again.
                const bool retried = WriteFrame(ImageBuffer(), s, again) || again;
                told += failure.message + ": " + failure.reason + (retried ? " again" : "") + "\n";
                break;
            }
        }
        if (fault == Fault::Folder && fs::remove(s.OutputFile)) fs::create_directory(s.OutputFile);
        told += CloseVideo(closing) ? "closed" : closing.message + ": " + closing.reason;
        if (WriteFrame(ImageBuffer(), s, again) || again) told += " late";
        return test::WriteFileText(log, told) ? 0 : 1;
    });
    return test::ReadFileText(log);
}

// The sink's first failure ends the output's part of the run, told once with its reason; the old
// output is never replaced by a part of one, and no temporary file stays behind but a killed
// run's, hidden.
TEST(WriteFaults, OutputsAndFailures) {
    Bytes data(100, 0xFF);  // reused: bottom row first, grey as three equal bytes, fill bytes 0
    ASSERT_TRUE(PackFrameData(Image{2, 2, 1, {1, 2, 3, 4}}, data));
    EXPECT_EQ(data, (Bytes{3, 3, 3, 4, 4, 4, 0, 0, 1, 1, 1, 2, 2, 2, 0, 0}));

    test::TempDir dir;
    Settings s;
    s.InputFile = dir.file("in.avi");
    s.Colour = 1;
    ASSERT_TRUE(test::WriteTestVideo(s.InputFile, 64, 48, 3));
    const std::string kept = "; the file that was there is kept and the new one removed";
    const std::tuple<Fault, const char*, std::string, size_t> cases[] = {
        {Fault::NameIsFolder, "out.avi", "Can't open AVI output file: it is a folder\nclosed", 0},
        {Fault::OtherSize, "out.avi",
         "Can't write AVI output file: the frame's size differs from the first frame's" + kept +
             "\nclosed",
         0},
        {Fault::DiskFull, "out.avi",
         "Can't create AVI output stream: " + SystemReason(EFBIG) + "\nclosed", 0},
        {Fault::Folder, "out.avi", "Can't write AVI output file: " + SystemReason(EISDIR), 0},
        {Fault::Kill, "out.avi", "", 0},
        // A SER output's header fits; its first frame does not.
        {Fault::DiskFull, "out.ser",
         "Can't write AVI output file: " + SystemReason(EFBIG) + kept + "\nclosed", 0},
        {Fault::Kill, "out.ser", "", 0},
    };
    for (const auto& [fault, name, told, frames] : cases) {
        SCOPED_TRACE(testing::Message() << int(fault) << name);
        ASSERT_TRUE(test::WriteFileText(dir.file(name), "old"));
        s.OutputFile = dir.file(fault == Fault::NameIsFolder ? "." : name);
        EXPECT_EQ(RunInChild(s, fault), told);
        EXPECT_EQ(test::CountFrames(s.OutputFile), frames);
        // The old output is replaced by a whole file or not at all.
        EXPECT_EQ(test::ReadFileText(dir.file(name)) == "old",
                  frames == 0 && fault != Fault::Folder);
        // A killed run leaves its temporary file, hidden, with the frame it held readable.
        for (const std::string& file : dir.names()) {
            EXPECT_EQ(file.ends_with(".part"), fault == Fault::Kill && file[0] == '.') << file;
            EXPECT_TRUE(!file.ends_with(".part") || test::CountFrames(dir.file(file)) == 1);
            if (file.ends_with(".part")) fs::remove(dir.file(file));
        }
        fs::remove_all(dir.file(name));
    }

    // The programs write through a link to a private file: the link stays, and so does the mode.
    // Exit status 1: on a full disk (a file size limit), the old file kept.
    fs::create_directory(dir.file("private"));
    fs::create_directory(dir.file("links"));
    const std::string batch = ShellQuote(KESTREL_BATCH_PATH) + " -q --colour ";
    const std::tuple<std::string, std::string, int> links[] = {
        {"out.avi", batch + "-y in.avi links/out.avi", 0},
        {"Kestrel.ini", batch + "--save-settings links/Kestrel.ini -y in.avi x.avi", 0},
        {"dark.bmp", ShellQuote(KESTREL_SYNTH_PATH) + " --frames 1 --dark links/dark.bmp", 0},
        // No temporary file is left to fill the disk further.
        {"full.ini", batch + "--save-settings links/full.ini in.avi y.avi", 1},
    };
    for (const auto& [name, command, status] : links) {
        SCOPED_TRACE(name);
        // A link relative to its own folder, not to where the program runs.
        const std::string target = dir.file("private/" + name), link = "../private/" + name;
        ASSERT_TRUE(test::WriteFileText(target, "old"));
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
        fs::create_symlink(link, dir.file("links/" + name));
        fs::create_hard_link(target, target + ".was");  // the old file under another name
        const std::string run = "cd " + ShellQuote(dir.path()) + " && " + command + " 2>&1";
        EXPECT_EQ(test::ExitCodeUnderFileSizeLimit(status ? 100 : 1 << 30,
                                                   [&] { return test::RunCommand(run).status; }),
                  status);
        EXPECT_EQ(fs::read_symlink(dir.file("links/" + name)), link);
        EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        // A new file takes the name, renamed over the old one rather than written into it.
        EXPECT_EQ(test::ReadFileText(target) == "old", status == 1);
        EXPECT_TRUE(test::ReadFileText(target + ".was") == "old");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("private")), {}), 8);
    // A whole output, whose stream header is the input's with the compressor code cleared.
    test::AviLayout in, out;
    ASSERT_TRUE(test::ReadAviFile(s.InputFile, in));
    ASSERT_TRUE(test::ReadAviFile(dir.file("links/out.avi"), out));
    Bytes strh = in.dataOf(in.strh);
    std::fill(strh.begin() + 4, strh.begin() + 8, 0);
    EXPECT_EQ(out.dataOf(out.strh), strh);
}

}  // namespace
}  // namespace kestrel
