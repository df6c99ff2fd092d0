// kestrel-batch: the batch run from the command line, for scripts and headless machines.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "cli/options.h"
#include "cli/terminal_windowing.h"
#include "run/batch.h"
#include "settings/settings.h"
#include "settings/settings_file.h"

namespace {

bool LoadSettingsFile(const std::string& path, kestrel::Settings& into);

}  // namespace

int main(int argc, char** argv) {
    using namespace kestrel;
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    CommandLine cmd;
    std::string error;
    if (!ParseCommandLine(args, LoadSettingsFile, cmd, error)) {
        std::cerr << "kestrel-batch: " << error << "\nTry 'kestrel-batch --help'.\n";
        return 2;
    }
    if (cmd.action == CommandLine::Action::Help) {
        std::cout << UsageText();
        return 0;
    }
    if (cmd.action == CommandLine::Action::Version) {
        std::cout << "kestrel-batch " << KESTREL_VERSION << '\n';
        return 0;
    }

    // A file size limit must fail the write, which is reported and leaves a valid file, rather
    // than kill the process.
    std::signal(SIGXFSZ, SIG_IGN);
    TerminalWindowing::InstallInterruptHandler();

    if (!cmd.saveSettingsFile.empty() && !SaveSettings(cmd.saveSettingsFile, cmd.settings)) {
        std::cerr << "Error: Can't save settings to " << cmd.saveSettingsFile << '\n';
        return 1;
    }

    AppSettings() = cmd.settings;
    TerminalWindowing terminal(cmd.assumeYes, cmd.quiet);
    RunBatch(terminal);

    const RunSummary& run = LastRun();
    if (!cmd.quiet && run.started) {
        const char* how = TerminalWindowing::Interrupted() ? " (stopped)" : "";
        if (!run.outputComplete)
            std::printf("No frame written%s\n", how);
        else
            std::printf("Wrote %d frame%s to %s in %.1f s%s\n", run.framesWritten,
                        run.framesWritten == 1 ? "" : "s", cmd.settings.OutputFile.c_str(),
                        terminal.secondsElapsed(), how);
    }
    if (int signal = TerminalWindowing::Interrupted()) return 128 + signal;
    if (terminal.errorShown() || terminal.overwriteRefused()) return 1;
    return 0;
}

namespace {

// A named settings file must exist: a script that misspells it should hear of it rather than
// run with the defaults.
bool LoadSettingsFile(const std::string& path, kestrel::Settings& into) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return false;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::fclose(f);
    kestrel::LoadSettings(path, into);
    return true;
}

}  // namespace
