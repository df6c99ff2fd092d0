// kestrel: the desktop program. It reads no command line of its own.
#include <QApplication>

#include "desktop/main_window.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    kestrel::MainWindow window;
    window.closeOnTerminationSignals();
    // Setup, and on its OK the first run, happen here, before the event loop.
    window.startUp();
    int code = window.closed() ? 0 : app.exec();
    window.saveSettingsAtExit();
    return code;
}
