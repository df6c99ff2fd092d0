// kestrel-batch: its command line, and the program as a script sees it.
#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "cli/options.h"
#include "io/dark_frame.h"
#include "settings/fields.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_walk.h"
#include "support/test_video.h"

namespace kestrel::test {
namespace {

// Why ParseCommandLine refuses `args`, or what it makes of them. The settings file of names and
// Border 42 is there only as "saved.ini".
std::string Parse(const std::vector<std::string>& args, CommandLine& cmd) {
    auto load = [](const std::string& path, Settings& s, std::string& why) {
        why = "No such file or directory";
        s.InputFile = "in.avi", s.OutputFile = "out.avi", s.Border = 42;
        return path == "saved.ini";
    };
    std::string error;
    if (!ParseCommandLine(args, load, cmd, error)) return error;
    return std::string(cmd.assumeYes ? "-y " : "") + (cmd.quiet ? "-q " : "") +
           cmd.settings.InputFile + " " + cmd.settings.OutputFile + " " +
           std::to_string(cmd.settings.Border);
}

TEST(CommandLine, WhatALineMeansOrWhyItIsRefused) {
    CommandLine cmd;
    const std::string x259(259, 'x'), x260(260, 'x'), n = " takes a whole number from ";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "missing INPUT and OUTPUT file names"}, {{"a", "b", "c"}, "too many file names"},
        {{"-qy", "-d=x", "a"}, "missing OUTPUT file name after a"},
        {{"-qyd", "d", "a", "b"}, "-y -q a b 15"}, {{"-d"}, "--dark needs a value"},
        {{"--color=1", "a", "b"}, "--color takes no value"},
        {{"--hot-threshold=12abc", "a", "b"}, "--hot-threshold" + n + "0 to 255, not '12abc'"},
        {{"--grad-smooth=", "a", "b"}, "--grad-smooth" + n + "0 to 50, not ''"},
        {{"--border", "9999999999", "a", "b"}, "--border" + n + "0 to 100, not '9999999999'"},
        {{"-d", x260, "a", "b"}, "dark frame name is longer than 259 characters"},
        {{"a", x260}, "output name is longer than 259 characters"}, {{x259, "b"}, x259 + " b 15"},
        {{"-y", "-q", "--", "-a", "--b"}, "-y -q -a --b 15"},  // every name after --
        // The settings file is read first, wherever it is named; flags and names override it.
        {{"--border", "7", "--settings", "saved.ini"}, "in.avi out.avi 7"},
        {{"--settings", "saved.ini", "x.avi", "y.avi"}, "x.avi y.avi 42"},
        {{"--bayer", "RGB", "a", "b"}, "--bayer takes RGGB, GRBG, GBRG, BGGR or none, not 'RGB'"},
        {{"--bit-depth=17", "a", "b"}, "--bit-depth takes a whole number from 1 to 16, not '17'"},
        {{"--fps=2.", "a", "b"},
         "--fps takes a frame rate such as 25, 29.97 or 30000/1001, not '2.'"}};
    for (const auto& [args, meaning] : cases) EXPECT_EQ(Parse(args, cmd), meaning);
    EXPECT_EQ(Parse({"--fps", "29.970", "--bayer=gbrg", "--byte-order", "be", "a", "b"}, cmd),
              "a b 15");
    EXPECT_EQ(cmd.input.fpsRate * 1000 + cmd.input.fpsScale, 2997100u);
    EXPECT_TRUE(cmd.input.bayer == Bayer::Gbrg && cmd.input.byteOrder == ByteOrder::Big);

    // Every option sets its own field, from the start values, up to its maximum.
    for (const Field& f : kFields) {
        if (!f.option) continue;
        Settings expected;
        expected.InputFile = "a", expected.OutputFile = "b";
        std::vector<std::string> args = {f.option, "a", "b"};
        if (f.flag) expected.*f.flag = 1;
        if (f.name) args.insert(args.begin() + 1, "d.bmp"), expected.*f.name = "d.bmp";
        if (f.value) args.insert(args.begin() + 1, std::to_string(f.maximum));
        if (f.value) expected.*f.value = f.maximum;
        Parse(args, cmd);
        EXPECT_EQ(cmd.settings, expected) << f.option;
    }
}

TEST(KestrelBatch, MessagesHelpAndSavedSettings) {
    TempDir dir;
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), 8, 6, 3));
    ASSERT_TRUE(WriteFileBytes(dir.file("out.avi"), {7}));
    const std::string cd = "cd " + ShellQuote(dir.path()) + "; ",
                      batch = ShellQuote(KESTREL_BATCH_PATH) + " ";
    const std::tuple<const char*, int, const char*> cases[] = {
        {"--settings none.ini", 2, "settings file none.ini: No such file or directory\nTry"},
        {"--version --bogus", 0, "kestrel-batch " KESTREL_VERSION "\n"},
        {"--help --bogus", 0, "Usage: kestrel-batch [options] INPUT OUTPUT\n"},
        // The descriptions line up after the longest option, in the lines' own order.
        {"--help", 0,
         "\n\n  -d, --dark FILE        dark frame: a BMP file, or a dark AVI or SER video\n"
         "      --subtract-dark    subtract the dark frame\n"
         "      --hot-pixels       repair hot pixels found in the dark frame\n"
         "      --vertical         flatten the vertical gradient\n"
         "      --horizontal       flatten the horizontal gradient\n"
         "      --stretch          stretch the histogram of the output\n"
         "      --colour, --color  process colour instead of grey\n"
         "      --hot-threshold N  hot pixel threshold, 0..255 (200)\n"},
        // The master dark of a video, which never takes the place of a file the run uses.
        {"-y -q --subtract-dark -d in.avi --save-dark m.bmp in.avi c.avi", 0, ""},
        {"-y --subtract-dark -d in.avi --save-dark in.avi in.avi c.avi", 1,
         "Can't save dark frame to in.avi: it is a file the run reads or writes"},
        {"-y --subtract-dark -d in.avi --save-dark ./new.avi in.avi new.avi", 1,
         "Can't save dark frame to ./new.avi: it is a file the run reads or writes"},
        {"-y --bayer RGGB in.avi c.avi", 1,
         "in.avi: a Bayer pattern applies only to grey 8-bit pictures and mono SER files"},
        {"-q in.avi out.avi", 1, "File out.avi exists. Overwrite?"},
        {"--yes in.avi out.avi", 0, "Wrote 3 frames to out.avi in "},
        // What is saved is what the run used: run again from it, it writes the same file.
        {"-q -y --colour --border 33 --save-settings s.ini in.avi a.avi", 0, ""},
        {"-q -y --settings s.ini in.avi b.avi", 0, ""}};
    for (const auto& [args, status, message] : cases) {
        const CommandResult r = RunCommand(cd + batch + args + " </dev/null 2>&1");
        EXPECT_EQ(r.status, status) << args;
        EXPECT_NE(r.output.find(message), std::string::npos) << args << ": " << r.output;
        EXPECT_TRUE(status == 0 || ReadFileBytes(dir.file("out.avi")) == std::vector<uint8_t>{7});
    }
    EXPECT_EQ(ReadFileBytes(dir.file("a.avi")), ReadFileBytes(dir.file("b.avi")));

    EXPECT_EQ(dir.names(), (std::vector<std::string>{"a.avi", "b.avi", "c.avi", "in.avi", "m.bmp",
                                                      "out.avi", "s.ini"}));
    Settings s;
    Failure failure;
    s.DarkFrame = dir.file("in.avi");
    ASSERT_TRUE(LoadDarkFrame(s, failure));
    const Image average = DarkImage();
    s.DarkFrame = dir.file("m.bmp");
    ASSERT_TRUE(LoadDarkFrame(s, failure));
    EXPECT_EQ(DarkImage().pixels, average.pixels);
}

// What is at the output name decides before any frame: only a regular file that the user may
// read and write is ever replaced, and only with their Yes. Run as an ordinary user, as root
// may read and write anything.
TEST(KestrelBatch, WhatIsAtTheOutputNameIsNeverDestroyed) {
    TempDir dir;
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), 8, 6, 3));
    // Root runs the program as nobody, from a copy that nobody may run wherever the build is.
    const bool root = getuid() == 0;
    const std::string user = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const std::string batch = root ? dir.file("kestrel-batch") : KESTREL_BATCH_PATH;
    ASSERT_TRUE(!root || std::filesystem::copy_file(KESTREL_BATCH_PATH, batch));
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    std::filesystem::permissions(dir.file("in.avi"), std::filesystem::perms::all);
    const std::tuple<const char*, std::filesystem::perms, const char*> cases[] = {
        {"", std::filesystem::perms::none, "out.avi: the file there cannot be read"},
        {"-y ", std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                    std::filesystem::perms::others_read,
         "out.avi: the file there is write-protected"},
        {"-y ", std::filesystem::perms::owner_write, "out.avi: the file there cannot be read"},
    };
    for (const auto& [yes, mode, message] : cases) {
        ASSERT_TRUE(WriteFileBytes(dir.file("out.avi"), {7}));
        std::filesystem::permissions(dir.file("out.avi"), mode);
        const CommandResult r = RunCommand("cd " + ShellQuote(dir.path()) + " && " + user +
                                           ShellQuote(batch) + " " + yes +
                                           "in.avi out.avi </dev/null 2>&1");
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_EQ(r.output, std::string("Error: Can't open AVI output file: ") + message + "\n");
        std::filesystem::permissions(dir.file("out.avi"), std::filesystem::perms::owner_read);
        EXPECT_EQ(ReadFileBytes(dir.file("out.avi")), std::vector<uint8_t>{7}) << message;
    }
    // A device is refused, whoever runs it: for root a null device of the test's own, so that a
    // fault cannot replace the system's.
    const std::string device = root ? dir.file("null") : "/dev/null";
    ASSERT_TRUE(!root || mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0);
    const CommandResult r = RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -y " +
                                       ShellQuote(dir.file("in.avi")) + " " + device + " 2>&1");
    EXPECT_EQ(r.output, "Error: Can't open AVI output file: " + device + ": it is a device\n");
    EXPECT_TRUE(std::filesystem::is_character_file(device));
}

// A run that did not do what was asked says so in its exit status, and a stop by a signal
// completes the output, or on a third signal leaves the old output as it was.
TEST(KestrelBatch, ExitStatusesAndSignalsTellWhatHappened) {
    TempDir dir;
    const std::string cd = "cd " + ShellQuote(dir.path()) + "; ",
                      batch = ShellQuote(KESTREL_BATCH_PATH) + " ";
    ASSERT_TRUE(WriteTestVideo(dir.file("empty.avi"), 8, 6, 0));
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), 8, 6, 5));
    AviLayout in;
    ASSERT_TRUE(ReadAviFile(dir.file("in.avi"), in));
    Bytes bytes = in.bytes;
    PatchU32(bytes, in.strh.data + 32, 40);  // dwLength: 40 frames announced
    ASSERT_TRUE(WriteFileBytes(dir.file("short.avi"), bytes));
    bytes = in.bytes;
    PatchU32(bytes, in.frames[2].data - 8, FourCC("JUNK"));  // a damaged chunk
    ASSERT_TRUE(WriteFileBytes(dir.file("damaged.avi"), bytes));
    ASSERT_TRUE(WriteTestVideo(dir.file("large.avi"), 4000, 3000, 1));
    // Each run around its own shell words, with what it writes and its exit status.
    const std::tuple<const char*, const char*, const char*, int, const char*> cases[] = {
        {"", "-q -y empty.avi old.avi", "", 1,
         "Error: empty.avi holds no picture that can be read\n"},
        {"", "-q -y short.avi a.avi", "", 3, "Warning: input ended at frame 5 of 40\n"},
        {"", "-y damaged.avi b.avi", "", 0, "Wrote 5 frames to b.avi in "},
        {"", "-qy -d in.avi in.avi c.avi", "", 0,
         "Warning: --dark is not used without --subtract-dark or --hot-pixels\n"},
        {"", "-qy --save-settings in.avi in.avi c.avi", "", 1,
         "Error: Can't save settings to in.avi: it is not a settings file\n"},
        {"", "-h", " >/dev/full", 1, ""},
        // A reader of stderr that has gone away does not end the run.
        {"{ sleep 0.5; ", "-qy -d in.avi in.avi p.avi", "; echo $? >st; } 2>&1 | true; cat st", 0,
         "0\n"},
        // Ctrl-C at the question, on a terminal, answers No.
        {"(sleep 1; printf '\\003') | script -qec \"", "in.avi old.avi", "\" /dev/null", 130,
         "Overwrite? [y/N] "},
#if !defined(__SANITIZE_ADDRESS__)  // its shadow memory needs more address space than this
        {"ulimit -v 250000; ", "-q -y large.avi old.avi", "", 1, "Error: Not enough memory\n"},
#endif
    };
    for (const auto& [before, args, after, status, message] : cases) {
        ASSERT_TRUE(WriteFileText(dir.file("old.avi"), "old"));
        // The terminal's own input is the one that types Ctrl-C.
        const char* input = *before == '(' ? "" : " </dev/null";
        const CommandResult r = RunCommand(cd + before + batch + args + after + input + " 2>&1");
        EXPECT_EQ(r.status, status) << args;
        EXPECT_NE(r.output.find(message), std::string::npos) << args << ": " << r.output;
        EXPECT_TRUE(ReadFileText(dir.file("old.avi")) == "old") << args;
    }
    for (const std::string& name : dir.names()) EXPECT_FALSE(name.ends_with(".part")) << name;
    EXPECT_EQ(ReadFileBytes(dir.file("in.avi")), in.bytes);
    EXPECT_EQ(CountFrames(dir.file("a.avi")) + CountFrames(dir.file("b.avi")), 10u);

    // Signals: a third one ends the program at once; one ignored at start-up stays ignored; a
    // kill leaves a temporary file that the program reads back. The output is built under a
    // temporary name beside it: once that exists, frames flow.
    ASSERT_TRUE(WriteTestVideo(dir.file("long.avi"), 160, 120, 3000));
    // Signals sent while the program is stopped arrive together, lowest number first, when it
    // goes on; ones of one kind would merge, so the second and third are others. They are sent
    // lowest first too: the stop may not have taken hold when they come.
    const std::tuple<const char*, const char*, int, size_t> signals[] = {
        {"--default-signal=INT", "STOP INT CONT", 130, 1},
        {"", "TERM", 143, 1},
        {"--default-signal=INT", "STOP INT TERM CONT", 130, 1},
        {"--default-signal=INT", "STOP HUP INT TERM CONT", 129, 0},
        {"--ignore-signal=HUP", "HUP", 0, 3000},
        {"", "KILL", 137, 0},
    };
    for (const auto& [env, kills, status, frames] : signals) {
        ASSERT_TRUE(WriteFileText(dir.file("old.avi"), "old"));
        const CommandResult r = RunCommand(
            cd + "env " + env + " " + batch + "-qy --vertical --horizontal --stretch long.avi " +
            "old.avi & n=0; until [ $n = 2000 ] || ls -A | grep -q 'part$'; do sleep 0.01; " +
            "n=$((n+1)); done; for s in " + kills + "; do kill -$s $!; done; wait $!; echo $?");
        EXPECT_EQ(r.output, std::to_string(status) + "\n") << kills;
        const size_t written = frames ? CountFrames(dir.file("old.avi")) : 0;
        EXPECT_TRUE(frames == 3000 ? written == 3000 : frames ? written > 0 && written < 3000
                                                                   : written == 0)
            << kills << ": " << written;
        EXPECT_EQ(ReadFileText(dir.file("old.avi")) == "old", frames == 0) << kills;
        EXPECT_FALSE(std::filesystem::exists(dir.file("back.avi")));
        for (const std::string& name : dir.names()) {
            if (!name.ends_with(".part")) continue;
            EXPECT_STREQ(kills, "KILL");
            EXPECT_EQ(RunCommand(cd + batch + "-q -y " + name + " back.avi").status, 0);
            EXPECT_GT(CountFrames(dir.file("back.avi")), 0u);
            std::filesystem::remove(dir.file(name));
            std::filesystem::remove(dir.file("back.avi"));
        }
    }
}

}  // namespace
}  // namespace kestrel::test
