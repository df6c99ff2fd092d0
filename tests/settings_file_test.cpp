#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "settings/profile.h"
#include "settings/settings_file.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

// Sets (or, with nullptr, removes) an environment variable for one test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

class SettingsFile : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/Kestrel.ini";
        home_.emplace("HOME", dir_.c_str());
    }
    void TearDown() override {
        home_.reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void Write(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
    std::string Read() {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    Settings Load() {
        Settings s;
        LoadSettings(path_, s);
        return s;
    }
    std::string Value(const char* section, const char* key) {
        return ReadProfileString(section, key, "<missing>", path_);
    }

    std::string dir_;
    std::string path_;
    std::optional<ScopedEnv> home_;
};

using SwitchField = uint8_t Settings::*;
const struct {
    const char* key;
    SwitchField field;
} kSwitches[] = {
    {"SubDark", &Settings::SubDark}, {"Hot", &Settings::Hot},
    {"Horiz", &Settings::Horiz},     {"Vert", &Settings::Vert},
    {"Stretch", &Settings::Stretch}, {"Colour", &Settings::Colour},
};

TEST_F(SettingsFile, FirstStartWithoutFile) {
    Settings s;
    s.InputFile = "stale";
    s.Hot = 1;
    s.Border = 1;
    LoadSettings(path_, s);
    EXPECT_EQ(s.InputFile, dir_ + "/Input.AVI");
    EXPECT_EQ(s.OutputFile, dir_ + "/Output.AVI");
    EXPECT_EQ(s.DarkFrame, dir_ + "/Dark.BMP");
    for (const auto& sw : kSwitches) EXPECT_EQ(s.*sw.field, 0) << sw.key;
    EXPECT_EQ(s.HotThreshold, 200);
    EXPECT_EQ(s.StretchLow, 0);
    EXPECT_EQ(s.StretchHigh, 100);
    EXPECT_EQ(s.Border, 15);
    EXPECT_EQ(s.GradSmooth, 5);
    EXPECT_EQ(s.NoiseLevel, 10);

    ASSERT_TRUE(SaveSettings(path_, s));
    EXPECT_EQ(Read(), "[Filenames]\nInputFile=" + dir_ + "/Input.AVI\nOutputFile=" + dir_ +
                          "/Output.AVI\nDarkFrame=" + dir_ +
                          "/Dark.BMP\n\n"
                          "[Flags]\nSubDark=0\nHot=0\nHoriz=0\nVert=0\nStretch=0\nColour=0\n\n"
                          "[Values]\nHotThreshold=200\nStretchLow=0\nStretchHigh=100\nBorder=15\n"
                          "GradSmooth=5\nNoiseLevel=10\n");
}

TEST_F(SettingsFile, DefaultNamesFollowTheHomeDirectory) {
    {
        ScopedEnv home("HOME", "/");
        EXPECT_EQ(DefaultInputFile(), "/Input.AVI");
    }
    {
        ScopedEnv home("HOME", nullptr);
        const passwd* pw = getpwuid(getuid());
        ASSERT_NE(pw, nullptr);
        EXPECT_EQ(HomeDirectory(), pw->pw_dir);
    }
    const std::string deep = "/" + std::string(300, 'd');
    ScopedEnv home("HOME", deep.c_str());
    EXPECT_EQ(DefaultDarkFrame(), deep.substr(0, kMaxNameChars));
}

TEST_F(SettingsFile, AnyNonZeroSwitchIsOnAndSavedAsOne) {
    Write("[Flags]\nHot=2\nVert=-1\nStretch=0\n");
    Settings s = Load();
    EXPECT_EQ(s.Hot, 1);
    EXPECT_EQ(s.Vert, 1);
    EXPECT_EQ(s.Stretch, 0);
    ASSERT_TRUE(SaveSettings(path_, s));
    EXPECT_EQ(Value("Flags", "Hot"), "1");
    EXPECT_EQ(Value("Flags", "Vert"), "1");
    EXPECT_EQ(Value("Flags", "Stretch"), "0");
}

TEST_F(SettingsFile, EachSwitchKeyFeedsItsOwnSwitch) {
    for (const auto& off : kSwitches) {
        std::string text = "[Flags]\n";
        for (const auto& sw : kSwitches) text += std::string(sw.key) + (&sw == &off ? "=0\n" : "=1\n");
        Write(text);
        Settings s = Load();
        for (const auto& sw : kSwitches)
            EXPECT_EQ(s.*sw.field, &sw == &off ? 0 : 1) << off.key << " off, " << sw.key;

        Settings one;
        one.*off.field = 1;
        ASSERT_TRUE(SaveSettings(path_, one));
        for (const auto& sw : kSwitches)
            EXPECT_EQ(Value("Flags", sw.key), &sw == &off ? "1" : "0") << off.key << " on";
    }
}

TEST_F(SettingsFile, ValuesOutsideTheDialogRangesAreKept) {
    Write("[Values]\nHotThreshold=999\nBorder=-4\nGradSmooth=100000\nStretchLow=12abc\n");
    Settings s = Load();
    EXPECT_EQ(s.HotThreshold, 999);
    EXPECT_EQ(s.Border, -4);
    EXPECT_EQ(s.GradSmooth, 100000);
    EXPECT_EQ(s.StretchLow, 12);
    ASSERT_TRUE(SaveSettings(path_, s));
    EXPECT_EQ(Value("Values", "HotThreshold"), "999");
    EXPECT_EQ(Value("Values", "Border"), "-4");
    EXPECT_EQ(Value("Values", "GradSmooth"), "100000");
    EXPECT_EQ(Value("Values", "StretchLow"), "12");
}

TEST_F(SettingsFile, NamesAsStored) {
    const std::string longName(300, 'n');
    Write("[filenames]\nINPUTFILE=\nDarkFrame=" + longName + "\n");
    Settings s = Load();
    EXPECT_EQ(s.InputFile, "");
    EXPECT_EQ(s.OutputFile, dir_ + "/Output.AVI");
    EXPECT_EQ(s.DarkFrame, longName.substr(0, kMaxNameChars));
    ASSERT_TRUE(SaveSettings(path_, s));
    EXPECT_NE(Read().find("INPUTFILE=\n"), std::string::npos);
    EXPECT_EQ(Load().InputFile, "");
}

TEST_F(SettingsFile, ForeignContentSurvivesASave) {
    Write("; Kestrel settings\r\n\r\n[Filenames]\r\nInputFile=C:\\in.avi\r\nRecent = x.avi\r\n\r\n"
          "[Plugins]\r\n; none yet\r\nPath=C:\\plug\r\n");
    Settings s = Load();
    EXPECT_EQ(s.InputFile, "C:\\in.avi");
    s.InputFile = "C:\\other.avi";
    ASSERT_TRUE(SaveSettings(path_, s));
    const std::string text = Read();
    EXPECT_EQ(text.substr(0, text.find("[Flags]")),
              "; Kestrel settings\r\n\r\n[Filenames]\r\nInputFile=C:\\other.avi\r\n"
              "Recent = x.avi\r\nOutputFile=" + dir_ + "/Output.AVI\r\nDarkFrame=" + dir_ +
              "/Dark.BMP\r\n\r\n[Plugins]\r\n; none yet\r\nPath=C:\\plug\r\n\r\n");
    size_t bareLf = 0;
    for (size_t i = 0; i < text.size(); ++i) bareLf += text[i] == '\n' && (i == 0 || text[i - 1] != '\r');
    EXPECT_EQ(bareLf, 0u);
    EXPECT_EQ(Load().InputFile, "C:\\other.avi");
}

TEST_F(SettingsFile, RoundTripOfEveryField) {
    Settings s;
    s.InputFile = "/video/in put.avi";
    s.OutputFile = "C:\\out\\new.avi";
    s.DarkFrame = " dark.bmp";
    for (const auto& sw : kSwitches) s.*sw.field = 1;
    s.HotThreshold = 17;
    s.StretchLow = 3;
    s.StretchHigh = 97;
    s.Border = -2;
    s.GradSmooth = 44;
    s.NoiseLevel = INT32_MIN;
    ASSERT_TRUE(SaveSettings(path_, s));
    Settings back = Load();
    EXPECT_EQ(back.InputFile, s.InputFile);
    EXPECT_EQ(back.OutputFile, s.OutputFile);
    EXPECT_EQ(back.DarkFrame, s.DarkFrame);
    for (const auto& sw : kSwitches) EXPECT_EQ(back.*sw.field, 1) << sw.key;
    EXPECT_EQ(back.HotThreshold, 17);
    EXPECT_EQ(back.StretchLow, 3);
    EXPECT_EQ(back.StretchHigh, 97);
    EXPECT_EQ(back.Border, -2);
    EXPECT_EQ(back.GradSmooth, 44);
    EXPECT_EQ(back.NoiseLevel, INT32_MIN);
}

TEST_F(SettingsFile, FailedSaveReportsAndKeepsTheFile) {
    EXPECT_FALSE(SaveSettings(dir_ + "/missing/Kestrel.ini", Settings{}));
    Write("[Values]\nBorder=1\n");
    fs::create_directory(path_ + ".tmp");
    std::ofstream(path_ + ".tmp/blocker") << "x";
    EXPECT_FALSE(SaveSettings(path_, Settings{}));
    EXPECT_EQ(Read(), "[Values]\nBorder=1\n");
    // A settings "file" that cannot be read is not replaced.
    EXPECT_FALSE(SaveSettings(dir_, Settings{}));
}

TEST_F(SettingsFile, WhereTheFileLives) {
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/opt/conf");
        EXPECT_EQ(SettingsFilePath(), "/opt/conf/Kestrel.ini");
    }
    for (const char* unusable : {static_cast<const char*>(nullptr), "", "relative/conf"}) {
        ScopedEnv xdg("XDG_CONFIG_HOME", unusable);
        EXPECT_EQ(SettingsFilePath(), dir_ + "/.config/Kestrel.ini") << (unusable ? unusable : "unset");
    }
}

TEST_F(SettingsFile, ProcessRecordIsSavedWhereTheFileLives) {
    const Settings saved = AppSettings();
    const std::string config = dir_ + "/a/b";
    ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());
    AppSettings() = Settings{};
    AppSettings().OutputFile = "/data/out.avi";
    AppSettings().GradSmooth = 9;
    EXPECT_TRUE(SaveSettings());  // makes the missing folders
    EXPECT_TRUE(fs::is_regular_file(config + "/Kestrel.ini"));
    AppSettings() = Settings{};
    LoadSettings();
    EXPECT_EQ(AppSettings().OutputFile, "/data/out.avi");
    EXPECT_EQ(AppSettings().GradSmooth, 9);
    EXPECT_EQ(AppSettings().InputFile, "");
    AppSettings() = saved;
}

}  // namespace
}  // namespace kestrel
