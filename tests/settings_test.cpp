// The INI store, read and written as the platform's profile functions do, and Kestrel.ini.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "settings/dialog_rules.h"
#include "settings/profile.h"
#include "settings/settings_file.h"
#include "support/files.h"

namespace kestrel {
namespace {

using namespace std::string_literals;

// Sets (or, with nullptr, removes) an environment variable for one scope.
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name(name) {
        if (const char* old = std::getenv(name)) saved = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { saved ? setenv(name, saved->c_str(), 1) : unsetenv(name); }
    const char* name;
    std::optional<std::string> saved;
};

class Ini : public testing::Test {
protected:
    ProfileDocument LoadText(const std::string& bytes) {
        EXPECT_TRUE(test::WriteFileText(path_, bytes));
        ProfileDocument doc;
        EXPECT_TRUE(ProfileDocument::Load(path_, doc));
        return doc;
    }
    test::TempDir tmp_;
    const std::string dir_ = tmp_.path(), path_ = tmp_.file("Kestrel.ini");
    ScopedEnv home_{"HOME", dir_.c_str()};
};

// Names match without letter case or surrounding blanks; the first of duplicate sections and
// keys wins. Matching quotes go; backslashes, ";", "#" and "=" in a value are plain text. A NUL
// or a lone carriage return ends what a line says, as a value written back ends there. Values
// and fallbacks alike are cut to 259 bytes, fewer only where a UTF-8 sequence would split. A
// file past the size cap is read up to it, less the line that the cap cuts through, and never
// saved: what was not read would be lost.
TEST_F(Ini, ValuesAreFoundAsThePlatformFindsThem) {
    const std::string a(256, 'a'), b = a + 'b', emoji = a + "\xF0\x9F\x98\x80";
    std::string text =
        "\xEF\xBB\xBF[A]\nk=1\nk=2\n[B\nm=2\nx = \"C:\\Dir\\x.avi\"\ny=\"mixed'\n"
        "z=\"\ne=''\ng=x ; y # z=1\nn=ab\0cd\nj\0=1\nr=in\r.avi\n[a]\nk=3\nq=4\n"
        " [ flags ] \n\t hOT = 2 \t\nSub Dark=1\n[F\rx]\nk=1\n[F]\rjunk\nk=2\n"s +
        "[Long]\nfits=" + b + "yy\nemoji=" + emoji + "\nstray=" + b + "y\x80\x80\n;";
    text += std::string(kMaxProfileBytes - text.size() - 7, '.') + "\ncut=123456789\nlate=1\n";
    text += std::string(2 << 20, 'z');  // the cap falls after "cut=12"
    const ProfileDocument doc = LoadText(text);
    const std::tuple<const char*, const char*, std::string> found[] = {  // "-": not found
        {"a", "K", "1"}, {"A", "q", "-"}, {"A", "m", "2"}, {"A", "x", "C:\\Dir\\x.avi"},
        {"A", "y", "\"mixed'"}, {"A", "z", "\""}, {"A", "e", ""}, {"A", "g", "x ; y # z=1"},
        {"A", "n", "ab"}, {"A", "j", "-"}, {"A", "r", "in"}, {"FLAGS", "Hot", "2"},
        {"Flags", "SubDark", "-"}, {"F", "k", "2"}, {"Long", "fits", b + "yy"},
        {"Long", "emoji", a}, {"Long", "stray", b + "y\x80"}, {"Long", "cut", "-"},
        {"Long", "late", "-"}};
    for (const auto& [section, key, value] : found)
        EXPECT_EQ(doc.GetString(section, key, "-"), value) << section << " " << key;
    EXPECT_EQ(doc.GetString("Long", "missing", emoji), a);
    EXPECT_FALSE(doc.Save(path_));
    EXPECT_EQ(test::ReadFileText(path_), text);
}

// Only the key's line changes, and keeps the name as written: comments, foreign keys, blank
// lines, a byte-order mark and the file's line breaks stay. A new key goes after the last entry
// of its section, a new section at the end. A value stops at a line break.
TEST_F(Ini, WritingChangesOnlyTheKeysLine) {
    ProfileDocument doc = LoadText("\xEF\xBB\xBF; c\r\n[flags]\r\n  HOT = 2\r\nMine = keep \r\n\r\n"
                                   "[A]\r\nk=1\r\nk=2\r\n\r\n; about B\r\n# and C\r\n[B]\r\nx=1");
    const std::tuple<const char*, const char*, const char*> writes[] = {
        {"Flags", "Hot", "v"}, {"A", "K", "v"}, {"A", "j", "v"}, {"B", "x", "first\nsecond=1"},
        {"B", "y", "v"}, {"C", "w", "v"}};
    for (auto [section, key, value] : writes) doc.SetString(section, key, value);
    ASSERT_TRUE(doc.Save(path_));
    EXPECT_EQ(test::ReadFileText(path_),
              "\xEF\xBB\xBF; c\r\n[flags]\r\n  HOT=v\r\nMine = keep \r\n\r\n[A]\r\nk=v\r\nk=2\r\n"
              "j=v\r\n\r\n; about B\r\n# and C\r\n[B]\r\nx=first\r\ny=v\r\n\r\n[C]\r\nw=v\r\n");
}

// A missing key takes its default. Keys present are spelled out here, not taken from the field
// table: a row whose member is another row's would load and save back unnoticed. Numbers are
// read as the platform reads them and kept as they stand, outside the dialogs' ranges too.
TEST_F(Ini, LoadSettingsTakesEachKeyAsStoredAndDefaultsTheRest) {
    Settings s;  // the fields the file leaves out start away from their defaults
    s.OutputFile = "stale", s.SubDark = s.Horiz = s.Stretch = 1, s.NoiseLevel = 99;
    ASSERT_TRUE(test::WriteFileText(
        path_, "[filenames]\nINPUTFILE=\nDarkFrame=d.bmp\n[Flags]\nHot=-2\nVert=+7\nColour=1\n"
               "[Values]\nHotThreshold=999\nStretchLow=12abc\nStretchHigh=\"3\"\n"
               "Border=-2147483649\nGradSmooth=2147483648\nNoiseLevel=\n"));
    LoadSettings(path_, s);
    Settings expected;
    expected.OutputFile = dir_ + "/Output.AVI", expected.DarkFrame = "d.bmp";
    expected.Hot = expected.Vert = expected.Colour = 1;
    expected.HotThreshold = 999, expected.StretchLow = 12, expected.StretchHigh = 3;
    expected.Border = INT32_MIN, expected.GradSmooth = INT32_MAX;
    EXPECT_EQ(s, expected);

    // A "file" that exists but cannot be read is not replaced: its other keys would be lost.
    ASSERT_EQ(mkfifo(tmp_.file("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(SaveSettings(tmp_.file("fifo"), s));
    EXPECT_TRUE(std::filesystem::is_fifo(tmp_.file("fifo")));
}

// Browse: the chosen filter's extension; under "All Files", a name the field reads or its own.
TEST(Browse, TheNameTakesTheChosenFiltersExtension) {
    const char *all = "All Files (*)", *ser = "SER video (*.ser)", *avi = "Microsoft AVI (*.avi)";
    const char* vid = "Microsoft AVI (*.avi);;All Files (*);;SER video (*.ser)";
    const char* dark = "Bitmap (*.bmp);;All Files (*);;Microsoft AVI (*.avi);;SER video (*.ser)";
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {vid, ser, "x.avi", "x.ser"}, {vid, avi, "x.SER", "x.avi"}, {vid, all, "x.SER", "x.SER"},
        {vid, all, "x.bmp", "x.avi"}, {dark, all, "x.bmp", "x.bmp"}, {dark, all, "x.avi", "x.avi"},
        {dark, all, "x.txt", "x.bmp"}, {dark, "Bitmap (*.bmp)", "d.BMP", "d.bmp"}};
    for (auto [filters, selected, name, stored] : cases)
        EXPECT_EQ(ChosenName(name, filters, selected, filters == dark ? ".bmp" : ".avi"), stored);
}

TEST_F(Ini, WhereTheFileAndTheDefaultNamesAre) {
    ASSERT_NE(getpwuid(getuid()), nullptr);
    const std::string deep = "/" + std::string(300, 'd'), pw = getpwuid(getuid())->pw_dir;
    const std::tuple<const char*, const char*, std::string, std::string> cases[] = {
        // HOME, XDG_CONFIG_HOME (relative: ignored), the settings file, the default input file
        {deep.c_str(), nullptr, deep + "/.config/Kestrel.ini", deep.substr(0, kMaxNameChars)},
        {nullptr, "relative/conf", pw + "/.config/Kestrel.ini", pw + "/Input.AVI"},
        {"/h", "/x/", "/x/Kestrel.ini", "/h/Input.AVI"}};
    for (const auto& [home, xdg, file, input] : cases) {
        ScopedEnv h("HOME", home), x("XDG_CONFIG_HOME", xdg);
        EXPECT_EQ(SettingsFilePath() + " " + DefaultName("Input.AVI"), file + " " + input);
    }

    // Saving the start values makes the missing folders; a new file has every key, in order.
    ScopedEnv xdg("XDG_CONFIG_HOME", (dir_ + "/a/b").c_str());
    EXPECT_TRUE(SaveSettings());
    EXPECT_EQ(test::ReadFileText(dir_ + "/a/b/Kestrel.ini"),
              "[Filenames]\nInputFile=\nOutputFile=\nDarkFrame=\n\n[Flags]\nSubDark=0\nHot=0\n"
              "Horiz=0\nVert=0\nStretch=0\nColour=0\n\n[Values]\nHotThreshold=200\n"
              "StretchLow=0\nStretchHigh=100\nBorder=15\nGradSmooth=5\nNoiseLevel=10\n");
}

}  // namespace
}  // namespace kestrel
