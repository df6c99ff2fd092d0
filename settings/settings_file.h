// The settings file Kestrel.ini: where it lives, the defaults of its keys, and the reading and
// writing of the whole Settings record.
#pragma once

#include <string>

#include "settings/settings.h"

namespace kestrel {

// Kestrel.ini in $XDG_CONFIG_HOME, or in ~/.config when that is unset, empty or not an absolute
// path.
std::string SettingsFilePath();

// The user's home directory: $HOME, else the password database's entry, else "/".
std::string HomeDirectory();

// The name used for a missing name key: `file` in the home directory, cut as names are.
std::string DefaultName(const char* file);

// Replaces every field from the file, using each missing key's default; no message, whatever
// the file holds. Values are taken as read, without range checks.
void LoadSettings(const std::string& path, Settings& settings);
// Writes every field's key in one rewrite of the file, keeping everything else in it. False
// when the file was not written; the old file is then unchanged.
bool SaveSettings(const std::string& path, const Settings& settings);

// The process-wide record and SettingsFilePath(); saving creates the file's folder when missing.
void LoadSettings();
bool SaveSettings();

}  // namespace kestrel
