#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

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
    ScopedEnv(const ScopedEnv&) = delete;
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

TEST_F(SettingsFile, EachSwitchKeyFeedsItsOwnSwitchAndAnyNonZeroIsOn) {
    for (const Field& off : kFields) {
        if (!off.flag) continue;
        std::string text = "[Flags]\n";
        for (const Field& f : kFields)
            if (f.flag) text += f.key + std::string(&f == &off ? "=0\n" : &f < &off ? "=2\n" : "=-1\n");
        const Settings s = Load(text);
        ASSERT_TRUE(SaveSettings(path_, s));
        for (const Field& f : kFields) {
            if (!f.flag) continue;
            EXPECT_EQ(s.*f.flag, &f == &off ? 0 : 1) << off.key << " off, " << f.key;
            EXPECT_EQ(ReadProfileInt("Flags", f.key, 7, path_), &f == &off ? 0 : 1) << f.key;
        }
    }
}

TEST_F(SettingsFile, ValuesAndNamesAreTakenAsStoredAndSavedBack) {
    // Outside the dialog's ranges, or not quite numbers; an empty name, a long one, none.
    const std::string stray(300, '\x80');
    Settings s = Load("[filenames]\nINPUTFILE=\nDarkFrame=" + stray + "\n[Values]\nHotThreshold=999"
                      "\nStretchLow=12abc\nBorder=-4\nGradSmooth=100000\nNoiseLevel=-2147483648\n");
    Settings expected;
    expected.OutputFile = dir_ + "/Output.AVI";
    expected.DarkFrame = stray.substr(0, kMaxNameChars);
    expected.HotThreshold = 999, expected.StretchLow = 12, expected.Border = -4;
    expected.GradSmooth = 100000, expected.NoiseLevel = INT32_MIN;
    EXPECT_EQ(s, expected);
    // What the Setup dialog keeps of a name is what a load keeps of it.
    EXPECT_EQ(s.DarkFrame, CutName(stray));

    s.InputFile = "/video/in put.avi", s.OutputFile = "C:\\out\\new.avi", s.DarkFrame = " d.bmp";
    ASSERT_TRUE(SaveSettings(path_, s));
    EXPECT_NE(test::ReadFileText(path_).find("INPUTFILE=/video/in put.avi\n"), std::string::npos);
    EXPECT_EQ(Load(test::ReadFileText(path_)), s);
    // A settings "file" that cannot be read is not replaced.
    EXPECT_FALSE(SaveSettings(dir_, s));
}

TEST_F(SettingsFile, DefaultNamesFollowTheHomeDirectory) {
    {
        ScopedEnv home("HOME", "/");
        EXPECT_EQ(DefaultName("Input.AVI"), "/Input.AVI");
    }
    {
        ScopedEnv home("HOME", nullptr);
        const passwd* pw = getpwuid(getuid());
        ASSERT_NE(pw, nullptr);
        EXPECT_EQ(HomeDirectory(), pw->pw_dir);
    }
    const std::string deep = "/" + std::string(300, 'd');
    ScopedEnv home("HOME", deep.c_str());
    EXPECT_EQ(DefaultName("Dark.BMP"), deep.substr(0, kMaxNameChars));
}

TEST_F(SettingsFile, TheProcessRecordIsKeptWhereTheFileLives) {
    for (const char* unusable : {static_cast<const char*>(nullptr), "", "relative/conf"}) {
        ScopedEnv xdg("XDG_CONFIG_HOME", unusable);
        EXPECT_EQ(SettingsFilePath(), dir_ + "/.config/Kestrel.ini");
    }
    const Settings saved = AppSettings();
    const std::string config = dir_ + "/a/b";
    ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());
    EXPECT_EQ(SettingsFilePath(), config + "/Kestrel.ini");
    AppSettings() = Settings{};
    AppSettings().OutputFile = "/data/out.avi";
    EXPECT_TRUE(SaveSettings());  // makes the missing folders
    AppSettings() = Settings{};
    LoadSettings();
    EXPECT_EQ(AppSettings().OutputFile, "/data/out.avi");
    EXPECT_EQ(AppSettings().InputFile, "");
    AppSettings() = saved;
}

}  // namespace
}  // namespace kestrel
