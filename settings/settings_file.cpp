#include "settings/settings_file.h"

#include <cstdint>
#include <cstdlib>

#include "settings/profile.h"

#if !defined(_WIN32)
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrel {
namespace {

constexpr const char* kSettingsFileName = "Kestrel.ini";
constexpr const char* kFilenames = "Filenames";
constexpr const char* kFlags = "Flags";
constexpr const char* kValues = "Values";

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

#if !defined(_WIN32)
std::string InDirectory(const std::string& dir, const char* name) {
    if (dir.empty() || dir.back() == '/') return dir + name;
    return dir + '/' + name;
}
#endif

std::string DefaultName(const char* name) {
#if defined(_WIN32)
    return std::string("C:\\") + name;
#else
    return CutProfileText(InDirectory(HomeDirectory(), name), kMaxNameChars);
#endif
}

#if !defined(_WIN32)
// mkdir -p, with the private mode that config folders are given.
bool MakeDirectories(const std::string& dir) {
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/') continue;
        std::string prefix = dir.substr(0, at);
        struct stat st;
        if (stat(prefix.c_str(), &st) == 0) continue;
        if (mkdir(prefix.c_str(), 0700) != 0) return false;
    }
    return true;
}
#endif

}  // namespace

std::string HomeDirectory() {
#if defined(_WIN32)
    return EnvOrEmpty("USERPROFILE");
#else
    std::string home = EnvOrEmpty("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0]) return pw->pw_dir;
    return "/";
#endif
}

std::string SettingsFilePath() {
#if defined(_WIN32)
    return kSettingsFileName;
#else
    // Relative paths in the XDG variables are to be ignored.
    std::string config = EnvOrEmpty("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') config = InDirectory(HomeDirectory(), ".config");
    return InDirectory(config, kSettingsFileName);
#endif
}

std::string DefaultInputFile() { return DefaultName("Input.AVI"); }
std::string DefaultOutputFile() { return DefaultName("Output.AVI"); }
std::string DefaultDarkFrame() { return DefaultName("Dark.BMP"); }

void LoadSettings(const std::string& path, Settings& s) {
    ProfileDocument doc;
    ProfileDocument::Load(path, doc);  // what cannot be read is absent: defaults
    s.InputFile = doc.GetString(kFilenames, "InputFile", DefaultInputFile());
    s.OutputFile = doc.GetString(kFilenames, "OutputFile", DefaultOutputFile());
    s.DarkFrame = doc.GetString(kFilenames, "DarkFrame", DefaultDarkFrame());
    auto flag = [&doc](const char* key) { return uint8_t(doc.GetInt(kFlags, key, 0) != 0); };
    s.SubDark = flag("SubDark");
    s.Hot = flag("Hot");
    s.Horiz = flag("Horiz");
    s.Vert = flag("Vert");
    s.Stretch = flag("Stretch");
    s.Colour = flag("Colour");
    s.HotThreshold = doc.GetInt(kValues, "HotThreshold", 200);
    s.StretchLow = doc.GetInt(kValues, "StretchLow", 0);
    s.StretchHigh = doc.GetInt(kValues, "StretchHigh", 100);
    s.Border = doc.GetInt(kValues, "Border", 15);
    s.GradSmooth = doc.GetInt(kValues, "GradSmooth", 5);
    s.NoiseLevel = doc.GetInt(kValues, "NoiseLevel", 10);
}

bool SaveSettings(const std::string& path, const Settings& s) {
    ProfileDocument doc;
    // A file that exists but cannot be read is not overwritten: its other keys would be lost.
    if (!ProfileDocument::Load(path, doc)) return false;
    doc.SetString(kFilenames, "InputFile", s.InputFile);
    doc.SetString(kFilenames, "OutputFile", s.OutputFile);
    doc.SetString(kFilenames, "DarkFrame", s.DarkFrame);
    doc.SetInt(kFlags, "SubDark", s.SubDark ? 1 : 0);
    doc.SetInt(kFlags, "Hot", s.Hot ? 1 : 0);
    doc.SetInt(kFlags, "Horiz", s.Horiz ? 1 : 0);
    doc.SetInt(kFlags, "Vert", s.Vert ? 1 : 0);
    doc.SetInt(kFlags, "Stretch", s.Stretch ? 1 : 0);
    doc.SetInt(kFlags, "Colour", s.Colour ? 1 : 0);
    doc.SetInt(kValues, "HotThreshold", s.HotThreshold);
    doc.SetInt(kValues, "StretchLow", s.StretchLow);
    doc.SetInt(kValues, "StretchHigh", s.StretchHigh);
    doc.SetInt(kValues, "Border", s.Border);
    doc.SetInt(kValues, "GradSmooth", s.GradSmooth);
    doc.SetInt(kValues, "NoiseLevel", s.NoiseLevel);
    return doc.Save(path);
}

void LoadSettings() { LoadSettings(SettingsFilePath(), AppSettings()); }

bool SaveSettings() {
    const std::string path = SettingsFilePath();
#if !defined(_WIN32)
    if (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0)
        MakeDirectories(path.substr(0, slash));  // a failure shows as the save's own
#endif
    return SaveSettings(path, AppSettings());
}

}  // namespace kestrel
