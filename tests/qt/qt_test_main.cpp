// Both test classes in one binary, with a private configuration folder whatever the caller set.
#include <QApplication>
#include <QTemporaryDir>

int RunDesktopTests(int argc, char** argv);
int RunDialogTests(int argc, char** argv);

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    int failed = RunDialogTests(argc, argv);
    failed += RunDesktopTests(argc, argv);
    return failed;
}
