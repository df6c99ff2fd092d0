#include "desktop/qt_windowing.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include "desktop/main_window.h"
#include "desktop/message_box.h"
#include "desktop/preview.h"
#include "desktop/setup_dialog.h"
#include "settings/settings.h"

namespace kestrel {

std::string ProgressTitle(int32_t position, uint32_t length) {
    std::string title =
        std::string(kWindowTitle) + " - frame " + std::to_string(int64_t(position) + 1);
    if (length > 0) title += " of " + std::to_string(length);
    return title;
}

Pressed QtWindowing::messageBox(const std::string& text, const std::string& caption,
                                Buttons buttons, Owner owner, const std::string& details) {
    QMessageBox::Icon icon = buttons == Buttons::YesNo  ? QMessageBox::Question
                             : caption == kErrorCaption ? QMessageBox::Critical
                                                        : QMessageBox::Information;
    return ShowMessageBox(owner == Owner::MainWindow ? &window_ : nullptr, text, caption, buttons,
                          icon, details);
}

Pressed QtWindowing::setupDialog() {
    SetupDialog dialog(AppSettings(), &window_);
    return dialog.exec() == QDialog::Accepted ? Pressed::Ok : Pressed::Cancel;
}

bool QtWindowing::escapeDown() { return window_.closeRequested() || escape_.down(); }

bool QtWindowing::drainUntilCommand() {
    // Commands that arrive meanwhile are held by the window as pending, not carried out.
    if (window_.takePendingCommand()) return true;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return window_.takePendingCommand();
}

void QtWindowing::clearPreview() { window_.preview().clear(); }

void QtWindowing::showFrame(const Image& frame, int32_t position, uint32_t length) {
    window_.setWindowTitle(QString::fromStdString(ProgressTitle(position, length)));
    // At once: the frame is on the screen before it is written.
    window_.preview().showFrame(frame);
}

void QtWindowing::beginWaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }

void QtWindowing::endWaitCursor() {
    QGuiApplication::restoreOverrideCursor();
    window_.setWindowTitle(kWindowTitle);
}

}  // namespace kestrel
