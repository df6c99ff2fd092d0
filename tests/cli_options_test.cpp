#include <gtest/gtest.h>

#include "cli/options.h"
#include "settings/fields.h"

namespace kestrel {
namespace {

bool FakeFile(const std::string& path, Settings& s) {
    s.InputFile = "from-file.avi", s.OutputFile = "from-file-out.avi", s.Border = 42;
    return path == "saved.ini";
}

// The reason ParseCommandLine gives, "" when it accepts the line.
std::string Parse(const std::vector<std::string>& args, CommandLine& cmd) {
    std::string error;
    return ParseCommandLine(args, FakeFile, cmd, error) ? "" : error.empty() ? "?" : error;
}

TEST(CommandLine, EveryFlagSetsItsOwnFieldFromTheStartValuesWithinItsRange) {
    CommandLine cmd;
    Settings start;
    start.InputFile = "a", start.OutputFile = "b";
    EXPECT_EQ(Parse({"a", "b"}, cmd), "");
    EXPECT_EQ(cmd.settings, start);
    for (const Field& f : kFields) {
        for (const char* spelling : {f.option, f.alias}) {
            if (!spelling) continue;
            Settings expected = start;
            std::vector<std::string> args = {spelling, "a", "b"};
            if (f.flag) expected.*f.flag = 1;
            if (f.name) args.insert(args.begin() + 1, "d.bmp"), expected.*f.name = "d.bmp";
            if (f.value) args.insert(args.begin() + 1, std::to_string(f.maximum));
            if (f.value) expected.*f.value = f.maximum;
            EXPECT_EQ(Parse(args, cmd), "") << spelling;
            EXPECT_EQ(cmd.settings, expected) << spelling;
            if (f.value) {
                const std::string past = "=" + std::to_string(f.maximum + 1);
                EXPECT_NE(Parse({spelling + past, "a", "b"}, cmd), "") << spelling;
            }
        }
    }
}

TEST(CommandLine, UsageErrors) {
    CommandLine cmd;
    auto range = [](const char* flag, const char* rest) {
        return flag + std::string(" takes a whole number from ") + rest;
    };
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "missing INPUT and OUTPUT file names"}, {{"a", "b", "c"}, "too many file names"},
        {{"--frobnicate", "a", "b"}, "unknown option --frobnicate"},
        {{"-d=x", "a", "b"}, "unknown option -d=x"}, {{"-d"}, "--dark needs a value"},
        {{"--color=1", "a", "b"}, "--color takes no value"},
        {{"--hot-threshold", "256", "a", "b"}, range("--hot-threshold", "0 to 255, not '256'")},
        {{"--grad-smooth=51", "a", "b"}, range("--grad-smooth", "0 to 50, not '51'")},
        {{"--border", "-1", "a", "b"}, range("--border", "0 to 100, not '-1'")},
        {{"--border=", "a", "b"}, range("--border", "0 to 100, not ''")},
        {{"--border=12abc", "a", "b"}, range("--border", "0 to 100, not '12abc'")},
        {{"--border=9999999999", "a", "b"}, range("--border", "0 to 100, not '9999999999'")},
        {{"--noise-level", "a", "b"}, range("--noise-level", "0 to 100, not 'a'")},
        {{"-d", std::string(260, 'x'), "a", "b"}, "dark frame name is longer than 259 characters"},
        {{"a", std::string(260, 'x')}, "output name is longer than 259 characters"},
        {{"--settings", "missing.ini"}, "can't read settings file missing.ini"},
        {{std::string(259, 'x'), "b"}, ""}, {{"-y", "-q", "--", "-a", "--b"}, ""}};
    for (const auto& [args, error] : cases) EXPECT_EQ(Parse(args, cmd), error);
    EXPECT_TRUE(cmd.assumeYes && cmd.quiet);
    EXPECT_EQ(cmd.settings.InputFile + cmd.settings.OutputFile, "-a--b");  // all names after --
    EXPECT_EQ(Parse({"--help", "--bogus"}, cmd), "");
    EXPECT_EQ(cmd.action, CommandLine::Action::Help);
    EXPECT_EQ(Parse({"--version", "--bogus"}, cmd), "");
    EXPECT_EQ(cmd.action, CommandLine::Action::Version);
}

TEST(CommandLine, SettingsFileFirstThenFlags) {
    CommandLine cmd;
    EXPECT_EQ(Parse({"--border", "7", "--settings", "saved.ini"}, cmd), "");
    EXPECT_EQ(cmd.settings.InputFile + std::to_string(cmd.settings.Border), "from-file.avi7");
    EXPECT_EQ(Parse({"--settings", "saved.ini", "x.avi", "y.avi"}, cmd), "");
    EXPECT_EQ(cmd.settings.InputFile + std::to_string(cmd.settings.Border), "x.avi42");
}

TEST(CommandLine, HelpListsTheFlagsWithTheirRangesAndStartValues) {
    const std::string lines =
        "\n\n  -d, --dark FILE        dark frame (a BMP file)\n"
        "      --subtract-dark    subtract the dark frame\n"
        "      --hot-pixels       repair hot pixels found in the dark frame\n"
        "      --vertical         flatten the vertical gradient\n"
        "      --horizontal       flatten the horizontal gradient\n"
        "      --stretch          stretch the histogram of the output\n"
        "      --colour, --color  process colour instead of grey\n"
        "      --hot-threshold N  hot pixel threshold, 0..255 (200)\n"
        "      --stretch-low N    histogram stretch low %, 0..100 (0)\n"
        "      --stretch-high N   histogram stretch high %, 0..100 (100)\n"
        "      --border N         border for analysis, 0..100 (15)\n"
        "      --grad-smooth N    gradient smoothing, 0..50 (5)\n"
        "      --noise-level N    background noise, 0..100 (10)\n"
        "      --settings FILE    start from this settings file";
    EXPECT_NE(UsageText().find(lines), std::string::npos) << UsageText();
}

}  // namespace
}  // namespace kestrel
