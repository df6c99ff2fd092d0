// kestrel-batch: the batch run from the command line, for scripts and headless machines.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>

#include "base/failure.h"
#include "base/file.h"
#include "base/replace_file.h"
#include "cli/options.h"
#include "cli/terminal_windowing.h"
#include "io/bitmap.h"
#include "io/dark_frame.h"
#include "io/frame_source.h"
#include "run/batch.h"
#include "settings/settings.h"
#include "settings/settings_file.h"

namespace {

bool LoadSettingsFile(const std::string& path, kestrel::Settings& into, std::string& reason);
bool IsBinary(kestrel::File& file);
std::string SaveDarkRefusal(const kestrel::CommandLine& cmd);
int Run(const std::vector<std::string>& args);

}  // namespace

int main(int argc, char** argv) {
    // A reader of stderr that goes away (a closed pipe) must not end a run that is writing.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return Run(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    } catch (const std::bad_alloc&) {
        std::cerr << kestrel::kErrorCaption << ": Not enough memory\n";
        return 1;
    }
}

namespace {

using namespace kestrel;

// Help and version text, and whether it reached its reader (a full disk would drop it).
int Print(const std::string& text) {
    std::cout << text << std::flush;
    if (std::cout) return 0;
    std::cerr << "kestrel-batch: can't write to standard output\n";
    return 1;
}

int Run(const std::vector<std::string>& args) {
    CommandLine cmd;
    std::string error;
    if (!ParseCommandLine(args, LoadSettingsFile, cmd, error)) {
        std::cerr << "kestrel-batch: " << error << "\nTry 'kestrel-batch --help'.\n";
        return 2;
    }
    if (cmd.action == CommandLine::Action::Help) return Print(UsageText());
    if (cmd.action == CommandLine::Action::Version)
        return Print("kestrel-batch " KESTREL_VERSION "\n");

    // A file size limit must fail the write, which is reported and leaves a valid file, rather
    // than kill the process.
    std::signal(SIGXFSZ, SIG_IGN);
    TerminalWindowing::InstallInterruptHandler();

    const Settings& s = cmd.settings;
    if (cmd.darkNamed && !s.SubDark && !s.Hot)
        std::cerr << "Warning: --dark is not used without --subtract-dark or --hot-pixels\n";
    if (!cmd.saveSettingsFile.empty()) {
        // A bitmap or a video named by mistake must not get settings written into it.
        File old;
        const bool binary = old.open(cmd.saveSettingsFile, File::Mode::Read) && IsBinary(old);
        if (binary || !SaveSettings(cmd.saveSettingsFile, s)) {
            std::cerr << kErrorCaption << ": Can't save settings to " << cmd.saveSettingsFile
                      << (binary ? ": it is not a settings file" : "") << '\n';
            return 1;
        }
    }

    if (const std::string why = SaveDarkRefusal(cmd); !why.empty()) {
        std::cerr << kErrorCaption << ": Can't save dark frame to " << cmd.saveDarkFile << ": "
                  << why << '\n';
        return 1;
    }

    AppSettings() = s;
    SetInputOptions(cmd.input);
    TerminalWindowing terminal(cmd.assumeYes, cmd.quiet);
    RunBatch(terminal);

    const RunSummary& run = LastRun();
    const int signal = TerminalWindowing::Interrupted();
    if (!cmd.quiet && run.started) {
        const char* how = signal ? " (stopped)" : "";
        if (!run.outputComplete)
            std::printf(run.framesWritten ? "%s left as it was%s\n" : "No frame written to %s%s\n",
                        s.OutputFile.c_str(), how);
        else
            std::printf("Wrote %d frame%s to %s in %.1f s%s\n", run.framesWritten,
                        run.framesWritten == 1 ? "" : "s", s.OutputFile.c_str(),
                        terminal.secondsElapsed(), how);
    }
    if (!cmd.saveDarkFile.empty() && run.started) {
        // The dark frame is kept after the run, unless it did not match the frames.
        std::string why;
        if (DarkImage().width <= 0)
            why = "the run used no dark frame";
        else
            WriteBmp24(cmd.saveDarkFile, DarkImage(), why);
        if (!why.empty()) {
            std::cerr << kErrorCaption << ": Can't save dark frame to " << cmd.saveDarkFile << ": "
                      << why << '\n';
            if (!signal) return 1;
        }
    }
    if (signal) return 128 + signal;
    if (terminal.errorShown() || terminal.overwriteRefused() || run.refused) return 1;
    if (run.started && run.framesWritten == 0) {
        // Nothing was reported, yet nothing was done: a script must not take it for success.
        std::cerr << kErrorCaption << ": " << s.InputFile << " holds no picture that can be read\n";
        return 1;
    }
    if (run.inputEndedAt >= 0 && uint32_t(run.inputEndedAt) < run.announcedLength) {
        std::cerr << "Warning: input ended at frame " << run.inputEndedAt << " of "
                  << run.announcedLength << '\n';
        return 3;
    }
    return 0;
}

// A named settings file must exist: a script that misspells it should hear of it rather than
// run with the defaults.
bool LoadSettingsFile(const std::string& path, Settings& into, std::string& reason) {
    std::error_code ec;
    const auto type = std::filesystem::status(path, ec).type();
    if (type == std::filesystem::file_type::not_found) return Refuse(reason, SystemReason(ENOENT));
    if (type != std::filesystem::file_type::regular)
        return Refuse(reason, "it is not a regular file");
    File file;
    if (!file.open(path, File::Mode::Read)) return Refuse(reason, file.reason());
    if (IsBinary(file)) return Refuse(reason, "it is not a settings file");
    LoadSettings(path, into);
    return true;
}

// The saved dark frame must not take the place of a file the run reads or writes, nor of a file
// that is not a bitmap; empty when it may be written.
std::string SaveDarkRefusal(const CommandLine& cmd) {
    const Settings& s = cmd.settings;
    if (cmd.saveDarkFile.empty()) return "";
    if (!s.SubDark && !s.Hot) return "the run uses no dark frame";
    // By path as well: the output is not there yet when the run starts.
    namespace fs = std::filesystem;
    auto path = [](const std::string& name) {
        std::error_code error;
        fs::path p = fs::weakly_canonical(fs::absolute(name, error), error);
        return error ? fs::path() : p;
    };
    const fs::path saved = path(cmd.saveDarkFile);
    for (const std::string* name : {&s.InputFile, &s.OutputFile, &s.DarkFrame})
        if (IsSameFile(cmd.saveDarkFile, *name) || (!saved.empty() && path(*name) == saved))
            return "it is a file the run reads or writes";
    File old;
    char head[2] = {};
    if (old.open(cmd.saveDarkFile, File::Mode::Read) &&
        (old.read(head, 2) != 2 || head[0] != 'B' || head[1] != 'M'))
        return "the file there is not a bitmap";
    return "";
}

// Settings files are text; bitmaps and videos have zero bytes in their first few kilobytes.
bool IsBinary(File& file) {
    char head[4096];
    const size_t got = file.readAt(0, head, sizeof head);
    return std::memchr(head, 0, got) != nullptr;
}

}  // namespace
