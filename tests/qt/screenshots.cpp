// kestrel-screenshots OUTDIR INPUT DARK: photographs the Setup and Advanced Setup dialogs and
// the main window after a run of INPUT and the About box, as OUTDIR/setup.png, advanced.png,
// main.png and about.png.
// Uses a private configuration folder, so the user's settings are never touched.
#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>

#include "desktop/main_window.h"
#include "desktop/message_box.h"
#include "qt/qt_support.h"
#include "settings/settings_file.h"

using namespace kestrel;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: kestrel-screenshots OUTDIR INPUT DARK\n");
        return 2;
    }
    QTemporaryDir work;
    qputenv("XDG_CONFIG_HOME", work.path().toLocal8Bit());
    QApplication app(argc, argv);
    QDir out(argv[1]);

    Settings s;
    s.InputFile = QFileInfo(argv[2]).absoluteFilePath().toStdString();
    s.DarkFrame = QFileInfo(argv[3]).absoluteFilePath().toStdString();
    s.OutputFile = QFileInfo(argv[2]).absoluteDir().filePath("processed.avi").toStdString();
    s.SubDark = s.Hot = s.Vert = s.Horiz = s.Colour = 1;
    if (!SaveSettings(SettingsFilePath(), s)) return 1;

    bool saved = true;
    auto shoot = [&](QWidget* w, const char* name) {
        saved = w->grab().save(out.filePath(name)) && saved;
    };
    MessageBoxHook() = [](QWidget*, const std::string& text, const std::string& caption, Buttons,
                          const std::string&) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return Pressed::Yes;
    };
    test::ClickWhenShown("Setup", "ok", [&](QWidget* setup) {
        shoot(setup, "setup.png");
        test::ClickWhenShown("Advanced Setup", "cancel",
                             [&](QWidget* advanced) { shoot(advanced, "advanced.png"); });
        setup->findChild<QPushButton*>("advanced")->click();
    });
    MainWindow window;
    window.resize(720, 560);
    window.startUp();
    app.processEvents();
    shoot(&window, "main.png");
    test::ClickWhenShown("About", "ok", [&](QWidget* about) { shoot(about, "about.png"); });
    window.command(kCommandAbout);
    return saved ? 0 : 1;
}
