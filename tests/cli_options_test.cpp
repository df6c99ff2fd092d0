#include <gtest/gtest.h>

#include "cli/options.h"
#include "settings/fields.h"

namespace kestrel {
namespace {

bool FakeFile(const std::string& path, Settings& s) {
    s.InputFile = "from-file.avi", s.OutputFile = "from-file-out.avi", s.Border = 42;
    return path == "saved.ini";
}

struct Parsed {
    bool ok;
    CommandLine cmd;
    std::string error;
};
Parsed Parse(std::vector<std::string> args) {
    Parsed p;
    p.ok = ParseCommandLine(args, FakeFile, p.cmd, p.error);
    return p;
}

TEST(CommandLine, EveryFlagSetsItsOwnFieldFromTheStartValues) {
    Settings start;
    start.InputFile = "a", start.OutputFile = "b";
    EXPECT_EQ(Parse({"a", "b"}).cmd.settings, start);
    for (const Field& f : kFields) {
        for (const char* spelling : {f.option, f.alias}) {
            if (!spelling) continue;
            Settings expected = start;
            std::vector<std::string> args = {spelling, "a", "b"};
            if (f.name) args.insert(args.begin() + 1, "d.bmp"), expected.*f.name = "d.bmp";
            if (f.flag) expected.*f.flag = 1;
            if (f.value) args.insert(args.begin() + 1, std::to_string(f.maximum));
            if (f.value) expected.*f.value = f.maximum;
            Parsed p = Parse(args);
            EXPECT_TRUE(p.ok && p.cmd.settings == expected) << spelling << ": " << p.error;
            if (!f.value) continue;
            p = Parse({std::string(f.option) + "=" + std::to_string(f.maximum + 1), "a", "b"});
            EXPECT_EQ(p.error, std::string(f.option) + " takes a whole number from 0 to " +
                                   std::to_string(f.maximum) + ", not '" +
                                   std::to_string(f.maximum + 1) + "'");
        }
    }
}

TEST(CommandLine, UsageErrors) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "missing INPUT and OUTPUT file names"}, {{"a", "b", "c"}, "too many file names"},
        {{"--frobnicate", "a", "b"}, "unknown option --frobnicate"},
        {{"-d=x", "a", "b"}, "unknown option -d=x"}, {{"-d"}, "--dark needs a value"},
        {{"--color=1", "a", "b"}, "--color takes no value"},
        {{"--border", "-1", "a", "b"}, "--border takes a whole number from 0 to 100, not '-1'"},
        {{"--border", "", "a", "b"}, "--border takes a whole number from 0 to 100, not ''"},
        {{"--border=12abc", "a", "b"}, nullptr}, {{"--border=99999999999999", "a", "b"}, nullptr},
        {{"--noise-level", "a", "b"}, nullptr},  // a, b: the value, then too few names
        {{"-d", std::string(260, 'x'), "a", "b"}, "dark frame name is longer than 259 characters"},
        {{std::string(260, 'x'), "b"}, "input name is longer than 259 characters"},
        {{"--settings", "missing.ini"}, "can't read settings file missing.ini"}};
    for (const auto& [args, error] : cases) {
        Parsed p = Parse(args);
        EXPECT_FALSE(p.ok) << p.error;
        EXPECT_EQ(p.error, error ? error : p.error);
    }
    EXPECT_TRUE(Parse({std::string(259, 'x'), "b"}).ok);
    Parsed p = Parse({"--", "-in.avi", "--out.avi"});  // after "--" everything is a name
    EXPECT_EQ(p.cmd.settings.InputFile + p.cmd.settings.OutputFile, "-in.avi--out.avi");
    EXPECT_EQ(Parse({"--help", "--bogus"}).cmd.action, CommandLine::Action::Help);
    EXPECT_EQ(Parse({"--version", "--bogus"}).cmd.action, CommandLine::Action::Version);
    EXPECT_TRUE(Parse({"-y", "-q", "a", "b"}).cmd.assumeYes && Parse({"-q", "a", "b"}).cmd.quiet);
}

TEST(CommandLine, SettingsFileFirstThenFlags) {
    Parsed p = Parse({"--border", "7", "--settings", "saved.ini"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.cmd.settings.InputFile, "from-file.avi");
    EXPECT_EQ(p.cmd.settings.Border, 7);  // the flag wins although it came first
    p = Parse({"--settings", "saved.ini", "x.avi", "y.avi"});
    EXPECT_EQ(p.cmd.settings.InputFile, "x.avi");
    EXPECT_EQ(p.cmd.settings.Border, 42);
}

TEST(CommandLine, HelpListsEveryFlagWithItsRangeAndStartValue) {
    const std::string help = UsageText();
    for (const char* line : {"\n  -d, --dark FILE        dark frame (a BMP file)\n"
                             "      --subtract-dark    subtract the dark frame\n",
                             "\n      --vertical         flatten the vertical gradient\n"
                             "      --horizontal       flatten the horizontal gradient\n",
                             "\n      --colour, --color  process colour instead of grey\n"
                             "      --hot-threshold N  hot pixel threshold, 0..255 (200)\n",
                             "\n      --noise-level N    background noise, 0..100 (10)\n"
                             "      --settings FILE    start from this settings file"})
        EXPECT_NE(help.find(line), std::string::npos) << line;
}

}  // namespace
}  // namespace kestrel
