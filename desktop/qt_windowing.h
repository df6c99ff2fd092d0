// The batch run's windowing services on the Qt desktop: message boxes, the Setup dialog, the
// preview and the run's event draining, all through the main window.
#pragma once

#include "desktop/escape_watch.h"
#include "run/windowing.h"

namespace kestrel {

class MainWindow;

class QtWindowing final : public Windowing {
public:
    explicit QtWindowing(MainWindow& window) : window_(window) {}

    Pressed messageBox(const std::string& text, const std::string& caption, Buttons buttons,
                       Owner owner, const std::string& details) override;
    Pressed setupDialog() override;
    bool escapeDown() override;
    bool drainUntilCommand() override;
    void clearPreview() override;
    void showFrame(const Image& frame, int32_t position, uint32_t length) override;
    void beginWaitCursor() override;
    void endWaitCursor() override;

private:
    MainWindow& window_;
    EscapeWatch escape_;
};

// The title during a run: "Kestrel - frame 120 of 2000", without "of" when the length is
// unknown.
std::string ProgressTitle(int32_t position, uint32_t length);

}  // namespace kestrel
