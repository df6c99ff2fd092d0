#include "desktop/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMenuBar>

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
                               Buttons::Ok, Owner::None);
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
