// The command line of kestrel-batch.
#pragma once

#include <string>
#include <vector>

#include "io/video_input.h"
#include "settings/settings.h"

namespace kestrel {

struct CommandLine {
    enum class Action { Run, Help, Version };
    Action action = Action::Run;
    Settings settings;           // the record the run uses, after every flag
    bool assumeYes = false;      // answer Yes to the overwrite question
    bool quiet = false;
    bool darkNamed = false;        // --dark was on the line
    std::string settingsFile;      // read the record from here before the flags
    std::string saveSettingsFile;  // write the record the run used here
    std::string saveDarkFile;      // write the dark frame the run used here, as a bitmap
    InputOptions input;            // Bayer pattern, byte order, depth, frame rate
};

// Parses `args` (without the program name). On a usage error returns false with `error` set
// to a one-line reason. The settings file, when named, is read by the caller through
// `loadSettings` before the flags apply, so that flags override the file; it gives the reason
// when the file cannot be read.
using SettingsLoader = bool (*)(const std::string& path, Settings& into, std::string& reason);
bool ParseCommandLine(const std::vector<std::string>& args, SettingsLoader loadSettings,
                      CommandLine& out, std::string& error);

// The --help text.
std::string UsageText();

}  // namespace kestrel
