// A windowing layer whose user is a script: answers come from fields set by the test, and every
// call is logged in order, so that a test can compare the whole conversation.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "run/windowing.h"

namespace kestrel::test {

class ScriptedWindowing : public Windowing {
public:
    Pressed setupResult = Pressed::Ok;
    Pressed overwriteAnswer = Pressed::Yes;
    int escapeAtCheck = -1;        // escapeDown() is true from this call on (0 = first frame)
    std::vector<bool> commands;    // drainUntilCommand()'s answers in turn, then false
    std::function<void()> onShow;  // runs inside showFrame, as a paint would

    std::vector<std::string> log;
    std::vector<Image> shown;  // copies of the frames shown

    Pressed messageBox(const std::string& text, const std::string& caption, Buttons buttons,
                       Owner owner, const std::string& details) override {
        log.push_back("box " + caption + ": " + text +
                      (owner == Owner::MainWindow ? " [main]" : " [none]") +
                      (details.empty() ? "" : " (" + details + ")"));
        return buttons == Buttons::YesNo ? overwriteAnswer : Pressed::Ok;
    }
    Pressed setupDialog() override {
        log.push_back("setup");
        return setupResult;
    }
    bool escapeDown() override { return escapeAtCheck >= 0 && escapeChecks_++ >= escapeAtCheck; }
    bool drainUntilCommand() override { return drains_ < commands.size() && commands[drains_++]; }
    void clearPreview() override { log.push_back("clear"); }
    void showFrame(const Image& frame, int32_t position, uint32_t) override {
        log.push_back("show " + std::to_string(position));
        shown.push_back(frame);
        if (onShow) onShow();
    }
    void beginWaitCursor() override { log.push_back("wait"); }
    void endWaitCursor() override { log.push_back("arrow"); }

private:
    int escapeChecks_ = 0;
    size_t drains_ = 0;
};

}  // namespace kestrel::test
