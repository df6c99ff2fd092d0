// The main window as the user drives it: its preview, menu and accelerators, and the batch run
// it gives, stopped or to the end.
#include <QAction>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <csignal>

#include "desktop/main_window.h"
#include "desktop/message_box.h"
#include "desktop/preview.h"
#include "io/frame_source.h"
#include "qt/qt_support.h"
#include "run/batch.h"
#include "settings/settings_file.h"
#include "support/files.h"
#include "support/riff_walk.h"
#include "support/test_video.h"

using namespace kestrel;
using namespace kestrel::test;

namespace {

// Pixel (x, y) of the preview bitmap against the frame: the frame's colour where it lies,
// black elsewhere.
bool ShowsFrame(const QImage& bitmap, const Image& f) {
    for (int y = 0; y < bitmap.height(); ++y)
        for (int x = 0; x < bitmap.width(); ++x)
            for (int c = 0; c < 3; ++c) {
                uint8_t want = 0;
                if (x < f.width && y < f.height)
                    want = f.pixels[(size_t(y) * f.width + x) * f.channels + c % f.channels];
                if (bitmap.constScanLine(y)[3 * x + c] != want) return false;
            }
    return true;
}

QAction* MenuAction(MainWindow& w, const QString& text) {
    for (QAction* a : w.findChildren<QAction*>())
        if (a->text() == text) return a;
    return nullptr;
}

void StoreSettings(const std::string& input, const std::string& output) {
    Settings s;
    s.InputFile = input, s.OutputFile = output;
    QVERIFY(SaveSettings(SettingsFilePath(), s));
}

// Every message box from now on, as "caption: text", " [main]" when the window owns it and
// " (details)", answered Yes.
void RecordBoxes(std::vector<std::string>& boxes, const MainWindow& w) {
    MessageBoxHook() = [&boxes, &w](QWidget* owner, const std::string& text,
                                    const std::string& caption, Buttons, const std::string& more) {
        boxes.push_back(caption + ": " + text + (owner == &w ? " [main]" : "") +
                        (more.empty() ? "" : " (" + more + ")"));
        return Pressed::Yes;
    };
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
        QVERIFY(ShowsFrame(bitmap, Image{}));

        // Grey shows neutral, whatever the Colour switch says now.
        AppSettings().Colour = 1;
        Image frame = ExpectedFrame(37, 21, 1, false);
        w.preview().showFrame(frame);
        QVERIFY(ShowsFrame(bitmap, frame));
        frame = ExpectedFrame(w.preview().width() + 50, w.preview().height() + 30, 2, true);
        w.preview().repaint();
        QVERIFY(ShowsFrame(bitmap, frame));

        // The same rectangle keeps its bitmap: a smaller frame leaves the rest as it was.
        frame = ExpectedFrame(5, 4, 3, true);
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
        StoreSettings("/no/such.avi", "/no/out.avi");
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
        // A failure's box keeps its words; the file and the reason are its details.
        bool setupSeen = false;
        std::vector<std::string> boxes;
        RecordBoxes(boxes, w);
        ClickWhenShown("Setup", "ok", [&](QWidget*) { setupSeen = true; });
        QTimer::singleShot(0, MenuAction(w, "&Process"), &QAction::trigger);
        QTRY_VERIFY(setupSeen);
        QTRY_COMPARE(boxes, std::vector<std::string>({"Error: Can't open AVI output file "
                                                      "(/no/out.avi: No such file or directory)"}));
        MenuAction(w, "E&xit")->trigger();
        QVERIFY(w.closed());
    }

    // Escape held down, the window closed, or SIGTERM stops the run at the next frame; the output
    // holds the frames written. After a close or a signal the program ends. After Escape the
    // window stays, and the next run goes to the end: the commands given meanwhile are each
    // answered once, the title follows the frames, and the last frame stays on the screen.
    void aRunStopsAtTheNextFrameOrGoesToTheEnd() {
        for (const char* how : {"close", "SIGTERM", "Escape"}) {
            const bool closing = how[0] != 'E';
            TempDir dir;
            QVERIFY(WriteTestVideo(dir.file("in.avi"), 16, 12, 40));
            StoreSettings(dir.file("in.avi"), dir.file("out.avi"));
            MainWindow w;
            w.closeOnTerminationSignals();
            std::function<void()> act = [&] {
                if (how[0] == 'c')
                    QVERIFY(!w.close());
                else if (how[0] == 'S')
                    raise(SIGTERM);
                else
                    QCoreApplication::postEvent(
                        &w, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
            };
            // At every pass of the event draining: the title is recorded, and anything modal but
            // Setup is a fault, closed so that the test goes on. `act` once the run is busy.
            QStringList unexpected, titles;
            QTimer watchdog;
            connect(&watchdog, &QTimer::timeout, [&] {
                titles << w.windowTitle();
                QWidget* modal = QApplication::activeModalWidget();
                if (modal && modal->windowTitle() != "Setup") {
                    unexpected << modal->windowTitle();
                    modal->close();
                }
                if (Busy() && act) {
                    act();
                    act = nullptr;
                }
            });
            watchdog.start(0);
            ClickWhenShown("Setup", "ok");
            w.startUp();
            const int written = LastRun().framesWritten;
            QVERIFY(written > 0 && written < 40);
            AviLayout avi;
            QVERIFY(ReadAviFile(dir.file("out.avi"), avi));
            QCOMPARE(avi.frames.size(), size_t(written));
            QCOMPARE(w.closed(), closing);
            QCOMPARE(w.isVisible(), !closing);
            std::signal(SIGTERM, SIG_DFL);
            if (closing) continue;

            QCoreApplication::postEvent(
                &w, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier));
            std::vector<std::string> boxes;
            RecordBoxes(boxes, w);
            act = [&] {
                MenuAction(w, "&About ...")->trigger();
                MenuAction(w, "E&xit")->trigger();
                QCoreApplication::postEvent(
                    &w, new QKeyEvent(QEvent::KeyPress, Qt::Key_Slash, Qt::AltModifier, "/"));
            };
            ClickWhenShown("Setup", "ok");
            w.command(kCommandProcess);
            const std::string info = "Info: Press ESC to stop processing [main]";
            QCOMPARE(boxes,
                     std::vector<std::string>({"Confirm Overwrite: File " + dir.file("out.avi") +
                                                   " exists. Overwrite? [main]",
                                               info, info}));
            QVERIFY(titles.contains("Kestrel - frame 39 of 40"));
            QCOMPARE(LastRun().framesWritten, 40);
            QCOMPARE(w.windowTitle(), QString("Kestrel"));
            QVERIFY(ShowsFrame(w.preview().bitmap(), ImageBuffer()));
            QTest::qWait(50);
            watchdog.stop();
            QVERIFY(unexpected.isEmpty());
        }
    }

    void unsavableSettingsAreToldAtExit() {
        TempDir dir;
        QVERIFY(WriteFileBytes(dir.file("not-a-folder"), {'x'}));
        QByteArray home = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.file("not-a-folder")));
        MainWindow w;
        std::vector<std::string> told;
        RecordBoxes(told, w);
        w.saveSettingsAtExit();
        qputenv("XDG_CONFIG_HOME", home);
        w.saveSettingsAtExit();  // saved: nothing to tell
        QCOMPARE(told, std::vector<std::string>({"Error: Can't save settings to " +
                                                 dir.file("not-a-folder") + "/Kestrel.ini"}));
    }
};

int RunDesktopTests(int argc, char** argv) {
    DesktopTests tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "desktop_test.moc"
