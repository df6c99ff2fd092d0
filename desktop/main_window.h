// The main window: menu, accelerators, the one command handler and the preview.
#pragma once

#include <memory>

#include <QMainWindow>

namespace kestrel {

class PreviewWidget;
class QtWindowing;

constexpr int kCommandAbout = 104;
constexpr int kCommandExit = 105;
constexpr int kCommandProcess = 32771;
constexpr const char* kWindowTitle = "Kestrel";

class MainWindow : public QMainWindow {
public:
    MainWindow();
    ~MainWindow() override;

    // Shows the window painted black, loads the settings and gives the Process command, so
    // that Setup opens before the event loop runs.
    void startUp();

    // Every command, from the menu and the accelerators. During a run a command is only
    // counted as pending, for the run to answer.
    void command(int id);

    // Saves the settings as the program ends; a failure is told in a box before it ends.
    void saveSettingsAtExit();

    // True once the window has closed for good: the application is to end.
    bool closed() const { return closed_; }
    // True once the user asked to close the window during a run.
    bool closeRequested() const { return closeRequested_; }
    // Takes one pending command; false when there is none.
    bool takePendingCommand();

    // From now on SIGTERM and SIGINT close the window as the user would: a run stops at its next
    // frame and completes its output, and the program ends.
    void closeOnTerminationSignals();

    PreviewWidget& preview() { return *preview_; }
    QtWindowing& windowing() { return *windowing_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    PreviewWidget* preview_;
    std::unique_ptr<QtWindowing> windowing_;
    int pendingCommands_ = 0;
    bool closeRequested_ = false;
    bool closed_ = false;
};

}  // namespace kestrel
