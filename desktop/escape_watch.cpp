#include "desktop/escape_watch.h"

#include <cstdlib>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>

#if KESTREL_HAVE_XCB && __has_include(<QtGui/qguiapplication_platform.h>)
#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>
#define KESTREL_QUERY_X11_KEYMAP 1
#endif

namespace kestrel {

namespace {

#if KESTREL_QUERY_X11_KEYMAP
// The server's key map tells the state of the key at this moment, as the run wants it, even
// while another application has the focus. False when not on X11.
bool X11KeyDown(uint32_t keycode) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection || keycode > 255) return false;
    xcb_query_keymap_reply_t* reply =
        xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr);
    if (!reply) return false;
    bool down = (reply->keys[keycode / 8] >> (keycode % 8)) & 1;
    std::free(reply);
    return down;
}
#else
bool X11KeyDown(uint32_t) { return false; }
#endif

}  // namespace

EscapeWatch::EscapeWatch() { QCoreApplication::instance()->installEventFilter(this); }

EscapeWatch::~EscapeWatch() {
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeEventFilter(this);
}

bool EscapeWatch::down() { return pressed_ || X11KeyDown(keycode_); }

bool EscapeWatch::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape && !key->isAutoRepeat()) {
            pressed_ = event->type() == QEvent::KeyPress;
            if (pressed_ && key->nativeScanCode() != 0) keycode_ = key->nativeScanCode();
        }
        break;
    }
    // A release while another application has the focus never reaches us.
    case QEvent::ApplicationDeactivate:
        pressed_ = false;
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace kestrel
