#include "desktop/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMenuBar>
#include <QSocketNotifier>

#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

#include "desktop/about_dialog.h"
#include "desktop/preview.h"
#include "desktop/qt_windowing.h"
#include "run/batch.h"
#include "settings/settings_file.h"

namespace kestrel {

MainWindow::MainWindow() : preview_(new PreviewWidget(this)) {
    setWindowTitle(kWindowTitle);
    setWindowIcon(AppIcon());
    setCentralWidget(preview_);
    resize(800, 600);

    QMenu* file = menuBar()->addMenu("&File");
    file->addAction("E&xit", this, [this] { command(kCommandExit); });
    // A command on the menu bar itself, not a pop-up.
    menuBar()->addAction("&Process", this, [this] { command(kCommandProcess); });
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction("&About ...", this, [this] { command(kCommandAbout); });

    windowing_ = std::make_unique<QtWindowing>(*this);
}

MainWindow::~MainWindow() = default;

namespace {

// A signal handler may only write to a descriptor; the event loop reads the other end.
int g_signalSockets[2] = {-1, -1};

extern "C" void OnTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalSockets[1], &byte, 1);
}

}  // namespace

void MainWindow::closeOnTerminationSignals() {
    if (g_signalSockets[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalSockets) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalSockets[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(g_signalSockets[0], &byte, 1);
        close();
    });
    struct sigaction on{};
    on.sa_handler = OnTerminationSignal;
    sigemptyset(&on.sa_mask);
    on.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT}) sigaction(signal, &on, nullptr);
}

void MainWindow::startUp() {
    show();
    // The first paint needs the window on the screen; Setup opens over a black window.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    preview_->repaint();
    LoadSettings();
    command(kCommandProcess);
}

void MainWindow::saveSettingsAtExit() {
    if (!SaveSettings())
        windowing_->messageBox("Can't save settings to " + SettingsFilePath(), kErrorCaption,
                               Buttons::Ok, Owner::None, {});
}

void MainWindow::command(int id) {
    if (Busy()) {
        ++pendingCommands_;
        return;
    }
    switch (id) {
    case kCommandAbout: {
        AboutDialog about(this);
        about.exec();
        break;
    }
    case kCommandExit:
        close();
        break;
    case kCommandProcess:
        RunBatch(*windowing_);
        // The close asked for during the run happens now that the output is complete.
        if (closeRequested_) close();
        break;
    default:
        break;
    }
}

bool MainWindow::takePendingCommand() {
    if (pendingCommands_ == 0) return false;
    --pendingCommands_;
    return true;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (Busy()) {
        closeRequested_ = true;  // the run stops at its next frame
        event->ignore();
        return;
    }
    closed_ = true;
    event->accept();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Alt with "?" or "/" is About; keyboard accelerators do nothing during a run.
    bool alt = event->modifiers() & Qt::AltModifier;
    bool aboutKey = event->key() == Qt::Key_Question || event->key() == Qt::Key_Slash ||
                    event->text() == "?" || event->text() == "/";
    if (alt && aboutKey) {
        if (!Busy()) command(kCommandAbout);
        return;
    }
    QMainWindow::keyPressEvent(event);
}

}  // namespace kestrel
