#include <QAction>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QTest>

#include "run/batch.h"
#include "desktop/main_window.h"
#include "desktop/message_box.h"
#include "desktop/preview.h"
#include "io/frame_source.h"
#include "qt/qt_support.h"
#include "settings/settings_file.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_walk.h"
#include "support/test_video.h"

using namespace kestrel;
using namespace kestrel::test;

namespace {

Image Frame(int width, int height, int channels) {
    Image f{width, height, channels, {}};
    f.pixels.resize(size_t(width) * height * channels);
    for (size_t i = 0; i < f.pixels.size(); ++i) f.pixels[i] = uint8_t(1 + i * 7 % 250);
    return f;
}

// Pixel (x, y) of the preview bitmap against the frame: the frame's colour where it lies,
// black elsewhere.
bool ShowsFrame(QImage& bitmap, const Image& f) {
    for (int y = 0; y < bitmap.height(); ++y) {
        const uint8_t* row = bitmap.constScanLine(y);
        for (int x = 0; x < bitmap.width(); ++x) {
            for (int c = 0; c < 3; ++c) {
                uint8_t want = 0;
                if (x < f.width && y < f.height)
                    want = f.pixels[(size_t(y) * f.width + x) * f.channels +
                                    (f.channels == 3 ? c : 0)];
                if (row[3 * x + c] != want) return false;
            }
        }
    }
    return true;
}

QAction* MenuAction(MainWindow& w, const QString& text) {
    for (QAction* a : w.menuBar()->actions()) {
        if (a->text() == text) return a;
        if (a->menu())
            for (QAction* sub : a->menu()->actions())
                if (sub->text() == text) return sub;
    }
    return nullptr;
}

// Stored settings for a run of `input` into `output`, with every switch as given.
void StoreSettings(const std::string& input, const std::string& output, const std::string& dark,
                   bool all) {
    Settings s;
    s.InputFile = input, s.OutputFile = output, s.DarkFrame = dark;
    s.SubDark = s.Hot = s.Vert = s.Horiz = s.Stretch = s.Colour = all;
    QVERIFY(SaveSettings(SettingsFilePath(), s));
}

// The frames of a file that passes the strict walk of its RIFF tree; 0 for any other file.
size_t FramesOfValidAvi(const std::string& path) {
    AviLayout layout;
    return ReadAviFile(path, layout) ? layout.frames.size() : 0;
}

}  // namespace

class DesktopTests : public QObject {
    Q_OBJECT
private slots:
    void init() {
        ImageBuffer() = Image{};
        AppSettings() = Settings{};
        MessageBoxHook() = nullptr;
    }

    void blackBeforeAnyRunThenFramesTopLeft() {
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.preview().repaint();
        QImage& bitmap = w.preview().bitmap();
        QCOMPARE(bitmap.size(), w.preview().size());
        QVERIFY(ShowsFrame(bitmap, Image{}));

        // Grey shows neutral, whatever the Colour switch says now.
        AppSettings().Colour = 1;
        Image frame = Frame(37, 21, 1);
        w.preview().showFrame(frame);
        QVERIFY(ShowsFrame(bitmap, frame));
        AppSettings().Colour = 0;
        frame = Frame(w.preview().width() + 50, w.preview().height() + 30, 3);
        w.preview().repaint();
        QVERIFY(ShowsFrame(bitmap, frame));

        // The same rectangle keeps its bitmap: a smaller frame leaves the rest as it was.
        frame = Frame(5, 4, 3);
        w.preview().repaint();
        QVERIFY(!ShowsFrame(bitmap, frame));
        w.preview().clear();
        w.preview().repaint();
        QVERIFY(ShowsFrame(bitmap, frame));

        // A new size: a new black bitmap with the frame drawn again.
        bitmap.fill(0x55);
        w.resize(w.width() + 40, w.height() - 30);
        w.preview().repaint();
        QCOMPARE(w.preview().bitmap().size(), w.preview().size());
        QVERIFY(ShowsFrame(w.preview().bitmap(), frame));
    }

    // Setup opens at start with the stored names; cancelled, it leaves the window and its event
    // loop, where the accelerators and the menu work.
    void startUpThenAcceleratorsAndMenu() {
        StoreSettings("/no/such.avi", "/no/out.avi", "", true);
        MainWindow w;
        std::string shownInput;
        ClickWhenShown("Setup", "cancel", [&](QWidget* d) {
            shownInput = d->findChild<QLineEdit*>("inputFile")->text().toStdString();
        });
        w.startUp();
        QCOMPARE(shownInput, std::string("/no/such.avi"));
        QVERIFY(!LastRun().started);
        QVERIFY(w.isVisible() && !w.closed());
        QCOMPARE(w.windowTitle(), QString("Kestrel"));
        QCOMPARE(w.windowIcon().availableSizes(), QList<QSize>({QSize(32, 32), QSize(16, 16)}));
        int abouts = 0;
        bool pictureShown = true, versionShown = false;
        for (auto [key, text] : {std::pair{Qt::Key_Question, "?"}, std::pair{Qt::Key_Slash, "/"}}) {
            ClickWhenShown("About", "ok", [&](QWidget* about) {
                ++abouts;
                auto* icon = about->findChild<QLabel*>("icon");
                pictureShown = pictureShown && icon && icon->pixmap().size() == QSize(32, 32);
                for (QLabel* label : about->findChildren<QLabel*>())
                    versionShown = versionShown || label->text() == "Kestrel Version 1.3";
            });
            QCoreApplication::postEvent(&w, new QKeyEvent(QEvent::KeyPress, key,
                                                          Qt::AltModifier, text));
            QTRY_COMPARE(abouts, text[0] == '?' ? 1 : 2);
            QTRY_VERIFY(QApplication::activeModalWidget() == nullptr);
        }
        QVERIFY(pictureShown && versionShown);
        bool setupSeen = false;
        ClickWhenShown("Setup", "cancel", [&](QWidget*) { setupSeen = true; });
        QTimer::singleShot(0, MenuAction(w, "&Process"), &QAction::trigger);
        QTRY_VERIFY(setupSeen);
    }

    // A whole run from the window, every correction on: the commands given meanwhile are each
    // answered once, the title follows the frames, the last frame stays on the screen, and the
    // output is byte for byte kestrel-batch's with the same settings.
    void aRunFromTheWindowIsTheBatchProgramsRun() {
        TempDir dir;
        CommandResult synth = RunCommand(
            std::string(KESTREL_SYNTH_PATH) + " --width 72 --height 40 --frames 8 --colour" +
            " --output " + ShellQuote(dir.file("sky.avi")) + " --dark " +
            ShellQuote(dir.file("dark.bmp")) + " 2>&1");
        QVERIFY2(synth.status == 0, synth.output.c_str());
        StoreSettings(dir.file("sky.avi"), dir.file("gui.avi"), dir.file("dark.bmp"), true);
        MainWindow w;
        std::vector<std::string> boxes;
        MessageBoxHook() = [&](QWidget* owner, const std::string& text,
                               const std::string& caption, Buttons) {
            boxes.push_back(caption + ": " + text + (owner == &w ? " [main]" : ""));
            return Pressed::Ok;
        };
        // Anything modal once Setup is answered is a fault; closed so that the test goes on;
        // every pass of the run's event draining records the title.
        QStringList unexpected, titles;
        QTimer watchdog;
        connect(&watchdog, &QTimer::timeout, [&] {
            titles << w.windowTitle();
            if (QWidget* modal = QApplication::activeModalWidget()) {
                unexpected << modal->windowTitle();
                modal->close();
            }
        });
        ClickWhenShown("Setup", "ok", [&](QWidget*) {
            watchdog.start(0);
            QTimer::singleShot(0, &w, [&] {
                MenuAction(w, "&About ...")->trigger();
                MenuAction(w, "E&xit")->trigger();
                QCoreApplication::postEvent(
                    &w, new QKeyEvent(QEvent::KeyPress, Qt::Key_Slash, Qt::AltModifier, "/"));
            });
        });
        w.startUp();
        QCOMPARE(boxes, std::vector<std::string>(2, "Info: Press ESC to stop processing [main]"));
        QVERIFY(titles.contains("Kestrel - frame 7 of 8"));
        QCOMPARE(LastRun().framesWritten, 8);
        QVERIFY(w.isVisible());
        QCOMPARE(w.windowTitle(), QString("Kestrel"));
        QVERIFY(ShowsFrame(w.preview().bitmap(), ImageBuffer()));
        QTest::qWait(50);
        watchdog.stop();
        QVERIFY(unexpected.isEmpty());

        QVERIFY(SaveSettings(dir.file("used.ini"), AppSettings()));
        CommandResult batch = RunCommand(std::string(KESTREL_BATCH_PATH) + " -q -y --settings " +
                                         ShellQuote(dir.file("used.ini")) + " " +
                                         ShellQuote(dir.file("sky.avi")) + " " +
                                         ShellQuote(dir.file("cli.avi")) + " 2>&1");
        QVERIFY2(batch.status == 0, batch.output.c_str());
        QVERIFY(FramesOfValidAvi(dir.file("gui.avi")) == 8);
        QVERIFY(ReadFileBytes(dir.file("gui.avi")) == ReadFileBytes(dir.file("cli.avi")));
    }

    // Escape held down, or the window closed, stops the run at the next frame; the output holds
    // the frames written. After Escape the window stays and the next run goes to the end;
    // after a close the program ends.
    void aRunStopsAtTheNextFrame() {
        for (bool closing : {false, true}) {
            TempDir dir;
            QVERIFY(WriteTestVideo(dir.file("in.avi"), 16, 12, 40));
            StoreSettings(dir.file("in.avi"), dir.file("out.avi"), "", false);
            MainWindow w;
            ClickWhenShown("Setup", "ok", [&](QWidget*) {
                QTimer::singleShot(0, &w, [&] {
                    if (closing)
                        QVERIFY(!w.close());
                    else
                        QCoreApplication::postEvent(
                            &w, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
                });
            });
            w.startUp();
            const int written = LastRun().framesWritten;
            QVERIFY(written > 0 && written < 40);
            QCOMPARE(FramesOfValidAvi(dir.file("out.avi")), size_t(written));
            QCOMPARE(Busy(), 0);
            QCOMPARE(w.closed(), closing);
            QCOMPARE(w.isVisible(), !closing);
            if (closing) continue;
            QCoreApplication::postEvent(
                &w, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier));
            QCoreApplication::processEvents();
            MessageBoxHook() = [](QWidget*, const std::string&, const std::string&, Buttons) {
                return Pressed::Yes;
            };
            ClickWhenShown("Setup", "ok");
            w.command(kCommandProcess);
            QCOMPARE(LastRun().framesWritten, 40);
        }
    }

    void unsavableSettingsAreToldAtExit() {
        TempDir dir;
        QVERIFY(WriteFileBytes(dir.file("not-a-folder"), {'x'}));
        QByteArray home = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.file("not-a-folder")));
        std::string told;
        MessageBoxHook() = [&](QWidget* owner, const std::string& text,
                               const std::string& caption, Buttons) {
            told = caption + ": " + text + (owner ? " [owned]" : "");
            return Pressed::Ok;
        };
        MainWindow w;
        w.saveSettingsAtExit();
        qputenv("XDG_CONFIG_HOME", home);
        QCOMPARE(told, "Error: Can't save settings to " + dir.file("not-a-folder") + "/Kestrel.ini");
        told.clear();
        w.saveSettingsAtExit();
        QCOMPARE(told, std::string());
    }
};

int RunDesktopTests(int argc, char** argv) {
    DesktopTests tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "desktop_test.moc"
