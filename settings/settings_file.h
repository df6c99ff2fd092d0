// The settings file Kestrel.ini: where it lives, the defaults of its keys, and the reading and
// writing of the whole Settings record.
#pragma once

#include <string>

#include "settings/settings.h"

namespace kestrel {

// Windows: the bare name "Kestrel.ini". Elsewhere: Kestrel.ini in $XDG_CONFIG_HOME, or in
// ~/.config when that is unset, empty or not an absolute path.
std::string SettingsFilePath();

// The user's home directory: $HOME, else the password database's entry, else "/".
std::string HomeDirectory();

// Names used for keys that are missing: "C:\Input.AVI" and so on on Windows, the same names in
// the home directory elsewhere; cut to the length of a name.
std::string DefaultInputFile();
std::string DefaultOutputFile();
std::string DefaultDarkFrame();

// Replaces every field from the file, using each missing key's default; no message, whatever
// the file holds. Values are taken as read, without range checks.
void LoadSettings(const std::string& path, Settings& settings);
// Writes all fifteen keys in one rewrite of the file, keeping everything else in it. False
// when the file was not written; the old file is then unchanged.
bool SaveSettings(const std::string& path, const Settings& settings);

// The process-wide record and SettingsFilePath(); saving creates the file's folder when missing.
void LoadSettings();
bool SaveSettings();

}  // namespace kestrel
