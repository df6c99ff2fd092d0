// The terminal in place of a window: errors on stderr, the overwrite question asked on a
// terminal (No otherwise, unless --yes), a one-line progress display instead of the preview,
// and Ctrl-C as the Escape key.
#pragma once

#include <chrono>

#include "run/windowing.h"

namespace kestrel {

class TerminalWindowing final : public Windowing {
public:
    TerminalWindowing(bool assumeYes, bool quiet);

    Pressed messageBox(const std::string& text, const std::string& caption, Buttons buttons,
                       Owner owner, const std::string& details) override;
    Pressed setupDialog() override { return Pressed::Ok; }  // the command line has set everything
    bool escapeDown() override;
    bool drainUntilCommand() override { return false; }
    void clearPreview() override {}
    void showFrame(const Image& frame, int32_t position, uint32_t length) override;
    void beginWaitCursor() override;
    void endWaitCursor() override;

    bool errorShown() const { return errorShown_; }
    bool overwriteRefused() const { return overwriteRefused_; }
    double secondsElapsed() const;

    // Makes Ctrl-C (and a polite kill or a closed terminal) ask the run to stop at the next
    // frame; a third one ends the program at once and removes the unfinished output.
    static void InstallInterruptHandler();
    // The signal that asked the run to stop, or 0.
    static int Interrupted();

private:
    void drawProgress(bool final);

    bool assumeYes_;
    bool quiet_;
    bool progressOnTerminal_;
    bool errorShown_ = false;
    bool overwriteRefused_ = false;
    int32_t framesShown_ = 0;
    uint32_t length_ = 0;
    std::chrono::steady_clock::time_point start_{};
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace kestrel
