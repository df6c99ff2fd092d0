#include "cli/terminal_windowing.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include <unistd.h>

#include "base/replace_file.h"

namespace kestrel {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
volatile std::sig_atomic_t g_signals = 0;

// The first signal asks the run to stop; a second, often impatience while the output is being
// completed, changes nothing; a third ends the program at once, without the temporary output.
extern "C" void OnInterrupt(int signal) {
    if (!g_interrupted) g_interrupted = signal;
    g_signals = g_signals + 1;
    if (g_signals >= 3) {
        RemoveTemporaryFileAtExit();
        _exit(128 + g_interrupted);
    }
}

std::string Clock(double seconds) {
    long s = long(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

}  // namespace

void TerminalWindowing::InstallInterruptHandler() {
    constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction on{};
    on.sa_handler = OnInterrupt;
    // One at a time and in the order they came: the first one's number is the exit status.
    sigemptyset(&on.sa_mask);
    for (int signal : kSignals) sigaddset(&on.sa_mask, signal);
    on.sa_flags = 0;  // no SA_RESTART: Ctrl-C at the question ends the wait for an answer
    for (int signal : kSignals) {
        // A signal ignored at start-up (nohup, a background job) stays ignored.
        struct sigaction was;
        if (sigaction(signal, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
        sigaction(signal, &on, nullptr);
    }
}
int TerminalWindowing::Interrupted() { return int(g_interrupted); }

TerminalWindowing::TerminalWindowing(bool assumeYes, bool quiet)
    : assumeYes_(assumeYes), quiet_(quiet), progressOnTerminal_(!quiet && isatty(2)) {}

Pressed TerminalWindowing::messageBox(const std::string& text, const std::string& caption,
                                      Buttons buttons, Owner, const std::string& details) {
    if (buttons == Buttons::YesNo) {
        if (assumeYes_) return Pressed::Yes;
        if (isatty(0) && isatty(2)) {
            std::cerr << text << " [y/N] " << std::flush;
            std::string answer;
            std::getline(std::cin, answer);
            if (Interrupted()) std::cerr << '\n';  // an interrupted question is answered No
            if (!Interrupted() &&
                (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes"))
                return Pressed::Yes;
        } else {
            std::cerr << caption << ": " << text << " No (use --yes to overwrite)\n";
        }
        overwriteRefused_ = true;
        return Pressed::No;
    }
    if (progressOnTerminal_ && framesShown_ > 0) std::cerr << '\n';
    std::cerr << caption << ": " << text << (details.empty() ? "" : ": " + details) << '\n';
    if (caption == kErrorCaption) errorShown_ = true;
    return Pressed::Ok;
}

bool TerminalWindowing::escapeDown() { return Interrupted() != 0; }

void TerminalWindowing::beginWaitCursor() {
    start_ = std::chrono::steady_clock::now();
    lastDraw_ = start_;
    framesShown_ = 0;
}

void TerminalWindowing::endWaitCursor() {
    if (progressOnTerminal_ && framesShown_ > 0) drawProgress(true);
}

double TerminalWindowing::secondsElapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void TerminalWindowing::showFrame(const Image&, int32_t position, uint32_t length) {
    framesShown_ = position + 1;
    length_ = length;
    if (!progressOnTerminal_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100) && framesShown_ != 1) return;
    lastDraw_ = now;
    drawProgress(false);
}

void TerminalWindowing::drawProgress(bool final) {
    double elapsed = secondsElapsed();
    double fps = elapsed > 0 ? framesShown_ / elapsed : 0;
    std::string line = "frame " + std::to_string(framesShown_);
    if (length_ > 0) line += " of " + std::to_string(length_);
    char rate[32];
    std::snprintf(rate, sizeof rate, "  %.1f fps", fps);
    line += rate;
    if (!final && length_ > uint32_t(framesShown_) && fps > 0)
        line += "  " + Clock((length_ - uint32_t(framesShown_)) / fps) + " left";
    std::cerr << '\r' << line << "\033[K" << (final ? "\n" : "") << std::flush;
}

}  // namespace kestrel
