// Answering the modal dialogs of the desktop program from a test.
#pragma once

#include <functional>
#include <memory>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

namespace kestrel::test {

// Polls for the shown modal window titled `title`, hands it to `before`, then clicks its button
// named `button`. Gives up, closing what is shown, after about ten seconds.
inline void ClickWhenShown(const QString& title, const char* button,
                           std::function<void(QWidget*)> before = {}) {
    auto* timer = new QTimer;
    auto ticks = std::make_shared<int>(0);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [=] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible() && modal->windowTitle() == title) {
            if (before) before(modal);
            if (auto* b = modal->findChild<QPushButton*>(button)) b->click();
        } else if (++*ticks <= 2000) {
            return;
        } else if (modal) {
            modal->close();
        }
        timer->stop();
        timer->deleteLater();
    });
    timer->start();
}

}  // namespace kestrel::test
