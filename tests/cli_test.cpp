// kestrel-batch: its command line, and the program as a script sees it.
#include <gtest/gtest.h>

#include "cli/options.h"
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
    auto load = [](const std::string& path, Settings& s) {
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
        {{"-d=x", "a", "b"}, "unknown option -d=x"}, {{"-d"}, "--dark needs a value"},
        {{"--color=1", "a", "b"}, "--color takes no value"},
        {{"--hot-threshold=12abc", "a", "b"}, "--hot-threshold" + n + "0 to 255, not '12abc'"},
        {{"--grad-smooth=", "a", "b"}, "--grad-smooth" + n + "0 to 50, not ''"},
        {{"--border", "9999999999", "a", "b"}, "--border" + n + "0 to 100, not '9999999999'"},
        {{"-d", x260, "a", "b"}, "dark frame name is longer than 259 characters"},
        {{"a", x260}, "output name is longer than 259 characters"}, {{x259, "b"}, x259 + " b 15"},
        {{"-y", "-q", "--", "-a", "--b"}, "-y -q -a --b 15"},  // every name after --
        // The settings file is read first, wherever it is named; flags and names override it.
        {{"--border", "7", "--settings", "saved.ini"}, "in.avi out.avi 7"},
        {{"--settings", "saved.ini", "x.avi", "y.avi"}, "x.avi y.avi 42"}};
    for (const auto& [args, meaning] : cases) EXPECT_EQ(Parse(args, cmd), meaning);

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

TEST(KestrelBatch, ExitStatusesMessagesSavedSettingsAndStops) {
    TempDir dir;
    ASSERT_TRUE(WriteTestVideo(dir.file("in.avi"), 8, 6, 3));
    ASSERT_TRUE(WriteFileBytes(dir.file("out.avi"), {7}));
    const std::string cd = "cd " + ShellQuote(dir.path()) + "; ",
                      batch = ShellQuote(KESTREL_BATCH_PATH) + " ";
    const std::tuple<const char*, int, const char*> cases[] = {
        {"--settings none.ini", 2, "kestrel-batch: can't read settings file none.ini\nTry 'kes"},
        {"--version --bogus", 0, "kestrel-batch " KESTREL_VERSION "\n"},
        {"--help --bogus", 0, "Usage: kestrel-batch [options] INPUT OUTPUT\n"},
        // The descriptions line up after the longest option, in the lines' own order.
        {"--help", 0,
         "\n\n  -d, --dark FILE        dark frame (a BMP file)\n"
         "      --subtract-dark    subtract the dark frame\n"
         "      --hot-pixels       repair hot pixels found in the dark frame\n"
         "      --vertical         flatten the vertical gradient\n"
         "      --horizontal       flatten the horizontal gradient\n"
         "      --stretch          stretch the histogram of the output\n"
         "      --colour, --color  process colour instead of grey\n"
         "      --hot-threshold N  hot pixel threshold, 0..255 (200)\n"},
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

    // Ctrl-C, or a kill, stops the run at a frame boundary: the output is complete, and the exit
    // status is 128 + the signal.
    ASSERT_TRUE(WriteTestVideo(dir.file("long.avi"), 160, 120, 3000));
    for (auto [signal, status] : {std::pair{"INT", "130\n"}, {"TERM", "143\n"}}) {
        // The output is built under a temporary name beside it: once that exists, frames flow.
        const CommandResult r = RunCommand(
            cd + batch + "-q -y long.avi stopped.avi & n=0; until [ $n = 2000 ] || ls -A | " +
            "grep -q 'tmp$'; do sleep 0.01; n=$((n+1)); done; kill -" + signal +
            " $!; wait $!; echo $?");
        EXPECT_EQ(r.output, status) << signal;
        AviLayout layout;
        EXPECT_TRUE(ReadAviFile(dir.file("stopped.avi"), layout));
        EXPECT_EQ(layout.frames.size(), CountFrames(dir.file("stopped.avi")));
        EXPECT_TRUE(layout.frames.size() > 0 && layout.frames.size() < 3000) << signal;
    }
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"a.avi", "b.avi", "in.avi", "long.avi",
                                                     "out.avi", "s.ini", "stopped.avi"}));
}

}  // namespace
}  // namespace kestrel::test
