// Running the programs under test and the independent tools (ffmpeg, ffprobe) from tests.
#pragma once

#include <string>

namespace kestrel::testing {

struct CommandResult {
    int status = -1;      // exit status, or -1 when the command did not exit normally
    std::string output;   // what it wrote to stdout (and stderr, when asked with 2>&1)
};

// Runs `command` through the shell and collects its standard output.
CommandResult RunCommand(const std::string& command);

// True when `tool` (ffmpeg, ffprobe) can be run.
bool HaveTool(const std::string& tool);

// Quotes `s` for the shell.
std::string ShellQuote(const std::string& s);

}  // namespace kestrel::testing
