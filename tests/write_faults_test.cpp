// Writing files, by the frame sink or by the programs as the user runs them, through a link to a
// private file or not: when writing fails (a full disk, a folder under the name, a killed run),
// the file under the target's name is the old one untouched or a complete new one.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>

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
using test::MakeImage;
using test::ShellQuote;

enum class Fault { None, OtherSize, Kill, Folder };

// The run's video side in a child process whose files cannot grow past `limit`: frames read
// are written, until the second is one of another size or the child is killed outright before
// it; or a folder takes the output's name before CloseVideo. What the sink told, as the child
// wrote it down; no words for a run without faults, where nothing is written after CloseVideo.
std::string RunInChild(const Settings& s, uint64_t limit, Fault fault) {
    const std::string log = s.InputFile + ".log";
    fs::remove(log);
    test::ExitCodeUnderFileSizeLimit(limit, [&] {
        Failure failure, again, closing;
        const Image other = MakeImage(4, 3, 3, Bytes(36));
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
        if (fault == Fault::Folder && fs::remove(s.OutputFile))
            fs::create_directories(s.OutputFile + "/keep");
        told += CloseVideo(closing) ? "closed" : closing.message + ": " + closing.reason;
        if (WriteFrame(ImageBuffer(), s, again) || again) told += " late";
        return test::WriteFileText(log, told) ? 0 : 1;
    });
    return test::ReadFileText(log);
}

// The sink's first failure ends the output's part of the run, told once with its reason; the
// frames before it replace the old output as a whole file, and no temporary file stays behind
// but a killed run's, hidden. A run without faults copies the input's stream header, its
// compressor code cleared.
TEST(WriteFaults, OutputsAndFailures) {
    // Bottom row first, grey as three equal bytes; a reused buffer's fill bytes are 0 again.
    Bytes data(100, 0xFF);
    ASSERT_TRUE(PackFrameData(MakeImage(2, 2, 1, {1, 2, 3, 4}), data));
    EXPECT_EQ(data, (Bytes{3, 3, 3, 4, 4, 4, 0, 0, 1, 1, 1, 2, 2, 2, 0, 0}));

    test::TempDir dir;
    Settings s;
    s.InputFile = dir.file("in.avi");
    s.Colour = 1;
    ASSERT_TRUE(test::WriteTestVideo(s.InputFile, 64, 48, 3));  // 9224-byte chunks
    SetOutputSegmentLimitForTesting(20000);  // a frame in the first segment, then two
    const struct {
        const char* output;  // ".": the folder itself
        uint64_t limit;      // a disk full before the headers, or not
        Fault fault;
        std::string told;
        size_t kept;
    } cases[] = {
        {"out.avi", 1 << 30, Fault::None, "closed", 3},
        {".", 1 << 30, Fault::None,
         "Can't open AVI output file: " + SystemReason(EISDIR) + "\nclosed", 0},
        {"out.avi", 1 << 30, Fault::OtherSize,
         "Can't write AVI output file: the frame's size differs from the first frame's\nclosed", 1},
        {"out.avi", 1000, Fault::None,
         "Can't create AVI output stream: " + SystemReason(EFBIG) + "\nclosed", 0},
        {"out.avi", 1 << 30, Fault::Folder,
         "Can't write AVI output file: " + SystemReason(EISDIR), 0},
        {"out.avi", 1 << 30, Fault::Kill, "", 0},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.output + (" " + std::to_string(int(k.fault))));
        ASSERT_TRUE(test::WriteFileText(dir.file("out.avi"), "old"));
        s.OutputFile = dir.file(k.output);
        EXPECT_EQ(RunInChild(s, k.limit, k.fault), k.told);
        EXPECT_EQ(test::CountFrames(s.OutputFile), k.kept);
        EXPECT_EQ(fs::exists(s.OutputFile + "/keep"), k.fault == Fault::Folder);
        // The old output is replaced by a whole file or not at all.
        EXPECT_EQ(test::ReadFileText(dir.file("out.avi")) == "old",
                  k.kept == 0 && k.fault != Fault::Folder);
        for (const std::string& name : dir.names())
            EXPECT_EQ(name.ends_with(".tmp"), k.fault == Fault::Kill && name[0] == '.') << name;
        if (k.kept == 3) {
            test::AviLayout in, out;
            ASSERT_TRUE(test::ReadAviFile(s.InputFile, in) && test::ReadAviFile(s.OutputFile, out));
            Bytes strh = in.dataOf(in.strh);
            std::fill(strh.begin() + 4, strh.begin() + 8, 0);
            EXPECT_EQ(out.dataOf(out.strh), strh);
        }
        fs::remove_all(dir.file("out.avi"));
    }
    SetOutputSegmentLimitForTesting(0);

    // The programs write through a link to a private file: the link stays, and so does the mode.
    fs::create_directory(dir.file("private"));
    fs::create_directory(dir.file("links"));
    const std::string batch = ShellQuote(KESTREL_BATCH_PATH) + " -q --colour ";
    const struct {
        const char* name;
        std::string command;
        uint64_t limit;  // on the size of files, as a full disk
        int status;
        const char* contents;  // a part of the file afterwards
    } links[] = {
        {"out.avi", batch + "-y in.avi links/out.avi", 1 << 30, 0, "AVI LIST"},
        {"Kestrel.ini", batch + "--save-settings links/Kestrel.ini -y in.avi x.avi", 1 << 30, 0,
         "[Values]"},
        {"dark.bmp", ShellQuote(KESTREL_SYNTH_PATH) + " --frames 1 --dark links/dark.bmp", 1 << 30,
         0, "BM"},
        // No temporary file is left to fill the disk further.
        {"full.ini", batch + "--save-settings links/full.ini in.avi y.avi", 100, 1, "old"},
    };
    for (const auto& c : links) {
        SCOPED_TRACE(c.name);
        // A link relative to its own folder, not to where the program runs.
        const std::string target = dir.file("private/") + c.name,
                          link = "../private/" + std::string(c.name);
        ASSERT_TRUE(test::WriteFileText(target, "old"));
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
        fs::create_symlink(link, dir.file("links/") + c.name);
        const std::string run = "cd " + ShellQuote(dir.path()) + " && " + c.command;
        EXPECT_EQ(test::ExitCodeUnderFileSizeLimit(
                      c.limit, [&] { return test::RunCommand(run + " >/dev/null 2>&1").status; }),
                  c.status);
        EXPECT_EQ(fs::read_symlink(dir.file("links/") + c.name), link);
        EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_NE(test::ReadFileText(target).find(c.contents), std::string::npos);
    }
    EXPECT_EQ(test::CountFrames(dir.file("links/out.avi")), 3u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("private")), {}), 4);
}

}  // namespace
}  // namespace kestrel
