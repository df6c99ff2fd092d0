#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "settings/fields.h"
#include "settings/profile.h"
#include "settings/settings_file.h"
#include "support/files.h"

namespace kestrel {
namespace {

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

class SettingsFile : public testing::Test {
protected:
    Settings Load(const std::string& text) {
        EXPECT_TRUE(test::WriteFileText(path_, text));
        Settings s;
        LoadSettings(path_, s);
        return s;
    }
    test::TempDir tmp_;
    const std::string dir_ = tmp_.path(), path_ = tmp_.file("Kestrel.ini");
    ScopedEnv home_{"HOME", dir_.c_str()};
};

TEST_F(SettingsFile, MissingKeysTakeTheDefaultsAndANewFileHasThemInOrder) {
    Settings s;
    for (const Field& f : kFields) {  // every field away from its default first
        if (f.name) s.*f.name = "stale";
        if (f.flag) s.*f.flag = uint8_t(!f.start);
        if (f.value) s.*f.value = f.start + 1;
    }
    LoadSettings(path_, s);
    Settings start;
    start.InputFile = dir_ + "/Input.AVI", start.OutputFile = dir_ + "/Output.AVI";
    start.DarkFrame = dir_ + "/Dark.BMP";
    EXPECT_EQ(s, start);
    ASSERT_TRUE(SaveSettings(path_, s));
    EXPECT_EQ(test::ReadFileText(path_),
              "[Filenames]\nInputFile=" + dir_ + "/Input.AVI\nOutputFile=" + dir_ +
                  "/Output.AVI\nDarkFrame=" + dir_ + "/Dark.BMP\n\n[Flags]\nSubDark=0\nHot=0\n"
                  "Horiz=0\nVert=0\nStretch=0\nColour=0\n\n[Values]\nHotThreshold=200\n"
                  "StretchLow=0\nStretchHigh=100\nBorder=15\nGradSmooth=5\nNoiseLevel=10\n");
}

// Keys and members are spelled out here, not taken from the field table: a row whose member
// is another row's would load and save back unnoticed.
TEST_F(SettingsFile, EachSwitchKeyFeedsItsOwnSwitchAndAnyNonZeroIsOn) {
    const std::pair<const char*, uint8_t Settings::*> switches[] = {
        {"SubDark", &Settings::SubDark}, {"Hot", &Settings::Hot},
        {"Horiz", &Settings::Horiz},     {"Vert", &Settings::Vert},
        {"Stretch", &Settings::Stretch}, {"Colour", &Settings::Colour}};
    for (auto [on, member] : switches) {
        std::string text = "[Flags]\n";
        for (auto [key, m] : switches) text += key + std::string(key == on ? "=-2\n" : "=0\n");
        const Settings s = Load(text);
        ASSERT_TRUE(SaveSettings(path_, s));
        for (auto [key, m] : switches) {
            EXPECT_EQ(s.*m, key == on) << on << " on, " << key;
            EXPECT_EQ(ReadProfileInt("Flags", key, 7, path_), key == on) << on << " on, " << key;
        }
    }
}

TEST_F(SettingsFile, ValuesAndNamesAreTakenAsStoredAndSavedBack) {
    // Outside the dialog's ranges, or not quite numbers; an empty name, a long one, none.
    const std::string stray(300, '\x80');
    Settings s = Load("[filenames]\nINPUTFILE=\nDarkFrame=" + stray + "\n[Values]\nStretchLow=12abc"
                      "\nHotThreshold=999\nStretchHigh=3\nBorder=-4\nGradSmooth=100000\n"
                      "NoiseLevel=-2147483648\n");
    Settings expected;
    expected.OutputFile = dir_ + "/Output.AVI";
    expected.DarkFrame = CutName(stray);  // as the Setup dialog would keep it: 259 bytes
    expected.HotThreshold = 999, expected.StretchLow = 12, expected.StretchHigh = 3;
    expected.Border = -4, expected.GradSmooth = 100000, expected.NoiseLevel = INT32_MIN;
    EXPECT_EQ(s, expected);
    EXPECT_EQ(s.DarkFrame.size(), kMaxNameChars);

    s.InputFile = "/video/in put.avi", s.OutputFile = "C:\\out\\new.avi", s.DarkFrame = " d.bmp";
    ASSERT_TRUE(SaveSettings(path_, s));
    EXPECT_NE(test::ReadFileText(path_).find("INPUTFILE=/video/in put.avi\n"), std::string::npos);
    EXPECT_EQ(Load(test::ReadFileText(path_)), s);
    const std::string fifo = tmp_.file("fifo.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // a "file" that cannot be read is not replaced
    EXPECT_FALSE(SaveSettings(fifo, s));
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

TEST_F(SettingsFile, WhereTheFileAndTheDefaultNamesAre) {
    const std::string deep = "/" + std::string(300, 'd');
    for (auto [home, input] : {std::pair{"/", "/Input.AVI"}, {deep.c_str(), deep.c_str()}}) {
        ScopedEnv env("HOME", home);
        EXPECT_EQ(DefaultName("Input.AVI"), std::string(input).substr(0, kMaxNameChars));
    }
    {
        ScopedEnv env("HOME", nullptr);
        ASSERT_NE(getpwuid(getuid()), nullptr);
        EXPECT_EQ(HomeDirectory(), getpwuid(getuid())->pw_dir);
    }
    for (const char* unusable : {static_cast<const char*>(nullptr), "", "relative/conf"}) {
        ScopedEnv xdg("XDG_CONFIG_HOME", unusable);
        EXPECT_EQ(SettingsFilePath(), dir_ + "/.config/Kestrel.ini");
    }
    const Settings saved = AppSettings();
    ScopedEnv xdg("XDG_CONFIG_HOME", (dir_ + "/a/b").c_str());
    AppSettings() = Settings{};
    AppSettings().OutputFile = "/data/out.avi";
    EXPECT_TRUE(SaveSettings());  // makes the missing folders
    AppSettings() = Settings{};
    LoadSettings();
    EXPECT_EQ(AppSettings().OutputFile + AppSettings().InputFile, "/data/out.avi");
    EXPECT_TRUE(test::ReadFileText(dir_ + "/a/b/Kestrel.ini").starts_with("[Filenames]\n"));
    AppSettings() = saved;
}

}  // namespace
}  // namespace kestrel
