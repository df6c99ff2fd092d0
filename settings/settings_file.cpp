#include "settings/settings_file.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "settings/fields.h"
#include "settings/profile.h"

namespace kestrel {
namespace {

constexpr const char* kSettingsFileName = "Kestrel.ini";

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string InDirectory(const std::string& dir, const char* name) {
    if (dir.empty() || dir.back() == '/') return dir + name;
    return dir + '/' + name;
}

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

}  // namespace

std::string HomeDirectory() {
    std::string home = EnvOrEmpty("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0]) return pw->pw_dir;
    return "/";
}

std::string SettingsFilePath() {
    // Relative paths in the XDG variables are to be ignored.
    std::string config = EnvOrEmpty("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') config = InDirectory(HomeDirectory(), ".config");
    return InDirectory(config, kSettingsFileName);
}

std::string DefaultName(const char* file) { return CutName(InDirectory(HomeDirectory(), file)); }

void LoadSettings(const std::string& path, Settings& s) {
    ProfileDocument doc;
    ProfileDocument::Load(path, doc);  // what cannot be read is absent: defaults
    for (const Field& f : kFields) {
        if (f.name) s.*f.name = doc.GetString(SectionOf(f), f.key, DefaultName(f.defaultFile));
        if (f.flag) s.*f.flag = doc.GetInt(SectionOf(f), f.key, f.start) != 0;
        if (f.value) s.*f.value = doc.GetInt(SectionOf(f), f.key, f.start);
    }
}

bool SaveSettings(const std::string& path, const Settings& s) {
    ProfileDocument doc;
    // A file that exists but cannot be read is not overwritten: its other keys would be lost.
    if (!ProfileDocument::Load(path, doc)) return false;
    for (const Field& f : kFields) {
        if (f.name) doc.SetString(SectionOf(f), f.key, s.*f.name);
        if (f.flag) doc.SetInt(SectionOf(f), f.key, s.*f.flag ? 1 : 0);
        if (f.value) doc.SetInt(SectionOf(f), f.key, s.*f.value);
    }
    return doc.Save(path);
}

void LoadSettings() { LoadSettings(SettingsFilePath(), AppSettings()); }

bool SaveSettings() {
    const std::string path = SettingsFilePath();
    if (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0)
        MakeDirectories(path.substr(0, slash));  // a failure shows as the save's own
    return SaveSettings(path, AppSettings());
}

}  // namespace kestrel
