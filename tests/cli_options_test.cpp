#include <gtest/gtest.h>

#include <tuple>

#include "cli/options.h"

namespace kestrel {
namespace {

bool NoFile(const std::string&, Settings&) { return false; }
bool FakeFile(const std::string& path, Settings& s) {
    if (path != "saved.ini") return false;
    s.InputFile = "from-file.avi";
    s.OutputFile = "from-file-out.avi";
    s.Colour = 1;
    s.Border = 42;
    return true;
}

struct Parsed {
    bool ok;
    CommandLine cmd;
    std::string error;
};
Parsed Parse(std::vector<std::string> args, SettingsLoader loader = NoFile) {
    Parsed p;
    p.ok = ParseCommandLine(args, loader, p.cmd, p.error);
    return p;
}

TEST(CommandLine, StartsFromTheStartValuesWithEverySwitchOff) {
    Parsed p = Parse({"in.avi", "out.avi"});
    ASSERT_TRUE(p.ok) << p.error;
    const Settings& s = p.cmd.settings;
    EXPECT_EQ(std::tie(s.InputFile, s.OutputFile, s.DarkFrame),
              std::make_tuple("in.avi", "out.avi", ""));
    EXPECT_EQ(s.SubDark + s.Hot + s.Horiz + s.Vert + s.Stretch + s.Colour, 0);
    EXPECT_EQ(
        std::tie(s.HotThreshold, s.StretchLow, s.StretchHigh, s.Border, s.GradSmooth, s.NoiseLevel),
        std::make_tuple(200, 0, 100, 15, 5, 10));
    EXPECT_FALSE(p.cmd.assumeYes);
}

TEST(CommandLine, EachSwitchSetsItsOwnField) {
    struct Case {
        const char* flag;
        uint8_t Settings::*field;
    } cases[] = {{"--subtract-dark", &Settings::SubDark}, {"--hot-pixels", &Settings::Hot},
                 {"--vertical", &Settings::Vert},         {"--horizontal", &Settings::Horiz},
                 {"--stretch", &Settings::Stretch},       {"--colour", &Settings::Colour},
                 {"--color", &Settings::Colour}};
    for (const Case& c : cases) {
        Parsed p = Parse({c.flag, "a", "b"});
        ASSERT_TRUE(p.ok) << c.flag;
        const Settings& s = p.cmd.settings;
        EXPECT_EQ(s.*c.field, 1) << c.flag;
        EXPECT_EQ(s.SubDark + s.Hot + s.Horiz + s.Vert + s.Stretch + s.Colour, 1) << c.flag;
    }
}

TEST(CommandLine, ValuesAreCheckedAgainstTheDialogRanges) {
    Parsed p = Parse({"--hot-threshold", "255", "--stretch-low=0", "--stretch-high", "100",
                      "--border", "100", "--grad-smooth", "50", "--noise-level", "0", "-d",
                      "dark.bmp", "-y", "-q", "a", "b"});
    ASSERT_TRUE(p.ok) << p.error;
    const Settings& s = p.cmd.settings;
    EXPECT_EQ(
        std::tie(s.HotThreshold, s.StretchLow, s.StretchHigh, s.Border, s.GradSmooth, s.NoiseLevel),
        std::make_tuple(255, 0, 100, 100, 50, 0));
    EXPECT_EQ(s.DarkFrame, "dark.bmp");
    EXPECT_TRUE(p.cmd.assumeYes);
    EXPECT_TRUE(p.cmd.quiet);

    for (std::vector<std::string> bad :
         {std::vector<std::string>{"--hot-threshold", "256", "a", "b"},
          {"--grad-smooth", "51", "a", "b"},
          {"--border", "-1", "a", "b"},
          {"--border", "", "a", "b"},
          {"--border", "12abc", "a", "b"},
          {"--border", "99999999999999999999", "a", "b"},
          {"--noise-level", "a", "b"},  // the value is missing: a, b are taken as its value
          {"--stretch-low"}}) {
        Parsed q = Parse(bad);
        EXPECT_FALSE(q.ok) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
        EXPECT_FALSE(q.error.empty());
    }
}

TEST(CommandLine, UsageErrors) {
    EXPECT_FALSE(Parse({}).ok);
    EXPECT_FALSE(Parse({"only-one.avi"}).ok);
    EXPECT_FALSE(Parse({"a", "b", "c"}).ok);
    EXPECT_FALSE(Parse({"--frobnicate", "a", "b"}).ok);
    EXPECT_FALSE(Parse({"--colour=1", "a", "b"}).ok);
    EXPECT_FALSE(Parse({"--dark"}).ok);
    EXPECT_FALSE(Parse({std::string(kMaxNameChars + 1, 'x'), "b"}).ok);
    EXPECT_TRUE(Parse({std::string(kMaxNameChars, 'x'), "b"}).ok);
    // After "--" everything is a name, even what looks like a flag.
    Parsed p = Parse({"--", "-in.avi", "--out.avi"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.cmd.settings.InputFile, "-in.avi");
    EXPECT_EQ(p.cmd.settings.OutputFile, "--out.avi");
}

TEST(CommandLine, HelpAndVersionWinOverEverythingAfterThem) {
    EXPECT_EQ(Parse({"--help"}).cmd.action, CommandLine::Action::Help);
    EXPECT_EQ(Parse({"--version", "--bogus"}).cmd.action, CommandLine::Action::Version);
}

TEST(CommandLine, SettingsFileFirstThenFlags) {
    Parsed p = Parse({"--border", "7", "--settings", "saved.ini"}, FakeFile);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.cmd.settings.InputFile, "from-file.avi");
    EXPECT_EQ(p.cmd.settings.Colour, 1);
    EXPECT_EQ(p.cmd.settings.Border, 7);  // the flag wins although it came first
    Parsed named = Parse({"--settings", "saved.ini", "x.avi", "y.avi"}, FakeFile);
    ASSERT_TRUE(named.ok);
    EXPECT_EQ(named.cmd.settings.InputFile, "x.avi");
    EXPECT_EQ(named.cmd.settings.Border, 42);
    EXPECT_FALSE(Parse({"--settings", "missing.ini"}, FakeFile).ok);
}

}  // namespace
}  // namespace kestrel
