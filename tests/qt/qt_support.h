// Answering the modal dialogs of the desktop program from a test.
#pragma once

#include <functional>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

namespace kestrel::test {

// Polls for a shown modal widget and hands it to `answer` until that returns true (it answered
// the one it waited for). Gives up, rejecting what is shown, after about ten seconds.
inline void WhenModal(std::function<bool(QWidget*)> answer) {
    auto* timer = new QTimer;
    auto ticks = std::make_shared<int>(0);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, ticks, answer] {
        QWidget* modal = QApplication::activeModalWidget();
        bool done = modal && modal->isVisible() && answer(modal);
        if (!done && ++*ticks > 2000) {
            if (modal) modal->close();
            done = true;
        }
        if (done) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

// Clicks the button named `button` in the modal window titled `title`.
inline void ClickWhenShown(const QString& title, const char* button,
                           std::function<void(QWidget*)> before = {}) {
    WhenModal([=](QWidget* modal) {
        if (modal->windowTitle() != title) return false;
        if (before) before(modal);
        if (auto* b = modal->findChild<QPushButton*>(button)) b->click();
        return true;
    });
}

}  // namespace kestrel::test
