#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QValidator>

#include "desktop/advanced_dialog.h"
#include "desktop/setup_dialog.h"
#include "qt/qt_support.h"
#include "settings/dialog_rules.h"

using namespace kestrel;
using namespace kestrel::test;

namespace {

// The focusable widgets' names in tab order, from the first one on.
QStringList TabChain(QWidget& dialog, const char* first) {
    QStringList names;
    QWidget* w = dialog.findChild<QWidget*>(first);
    do {
        if (w->focusPolicy() & Qt::TabFocus && !w->objectName().isEmpty()) names << w->objectName();
        w = w->nextInFocusChain();
    } while (w && w->objectName() != first);
    return names;
}

QLineEdit* Edit(QWidget& d, const char* name) { return d.findChild<QLineEdit*>(name); }
void Click(QWidget& d, const char* button) { d.findChild<QPushButton*>(button)->click(); }

}  // namespace

class DialogTests : public QObject {
    Q_OBJECT
private slots:
    void setupStoresNamesAndSwitchesOnlyOnOk() {
        Settings s;
        s.InputFile = "/in/a.avi", s.OutputFile = "/out/b.avi", s.DarkFrame = "/d/c.bmp";
        s.Vert = 1, s.Hot = 1;
        const Settings before = s;
        SetupDialog d(s, nullptr);
        QCOMPARE(TabChain(d, "inputFile"),
                 QStringList({"inputFile", "browseInput", "outputFile", "browseOutput", "darkFrame",
                              "browseDark", "vert", "horiz", "stretch", "subDark", "hot", "colour",
                              "advanced", "cancel", "ok"}));
        Edit(d, "inputFile")->setText("/changed.avi");
        for (QCheckBox* box : d.findChildren<QCheckBox*>()) box->toggle();
        Click(d, "cancel");
        QVERIFY(s == before);

        const std::pair<QString, uint8_t Settings::*> boxes[] = {
            {"Vertical Gradient", &Settings::Vert},   {"Horizontal Gradient", &Settings::Horiz},
            {"Stretch Output", &Settings::Stretch},   {"Subtract Darkframe", &Settings::SubDark},
            {"Correct Hot Pixels", &Settings::Hot}, {"Colour", &Settings::Colour}};
        for (auto [label, member] : boxes) {
            SetupDialog e(s = before, nullptr);
            for (QCheckBox* box : e.findChildren<QCheckBox*>())
                if (box->text() == label) box->toggle();
            Click(e, "ok");
            Settings expected = before;
            expected.*member = !(expected.*member);
            QVERIFY2(s == expected, qPrintable(label));
        }

        // 150 accents are 300 bytes, cut between characters as a loaded name is.
        SetupDialog e(s = before, nullptr);
        Edit(e, "inputFile")->setText(QString(150, QChar(0xE9)));
        Edit(e, "darkFrame")->clear();
        Click(e, "ok");
        QCOMPARE(s.InputFile, QString(129, QChar(0xE9)).toStdString());
        QCOMPARE(s.OutputFile + s.DarkFrame, before.OutputFile);
    }

    void browseForcesTheExtension() {
        QString call, answer;
        FileChooserHook() = [&](QWidget*, bool save, const QString& title, const QString& filter,
                                QString& name) {
            call = QStringList({title, filter.section(";;", 0, 0), name, save ? "save" : "open"})
                       .join("|");
            name = answer.isEmpty() ? name : answer;
            return !answer.isEmpty();
        };
        Settings s;
        s.OutputFile = "/tmp/Output.AVI";
        SetupDialog d(s, nullptr);
        const char* cases[][5] = {  // button, field, chosen (none: cancelled), shown, call
            {"browseOutput", "outputFile", "/run/night", "/run/night.avi",
             "Output file...|Microsoft AVI (*.avi)|/tmp/Output.AVI|save"},
            {"browseOutput", "outputFile", "", "/run/night.avi",
             "Output file...|Microsoft AVI (*.avi)|/run/night.avi|save"},
            {"browseInput", "inputFile", "/v/CLIP.AVI", "/v/CLIP.avi",
             "Input file...|Microsoft AVI (*.avi)||open"},
            {"browseDark", "darkFrame", "/darks.d/d1", "/darks.d/d1.bmp",
             "Dark frame...|Bitmap (*.bmp)||open"}};
        for (const auto& c : cases) {
            answer = c[2];
            Click(d, c[0]);
            QCOMPARE(call, QString(c[4]));
            QCOMPARE(Edit(d, c[1])->text(), QString(c[3]));
        }
        FileChooserHook() = nullptr;
    }

    void advancedShowsClampsAndResets() {
        Settings s;
        s.HotThreshold = 999, s.Border = -1;
        const Settings before = s;
        AdvancedDialog d(s, nullptr);
        QCOMPARE(TabChain(d, "hotThreshold"),
                 QStringList({"hotThreshold", "stretchLow", "stretchHigh", "border", "ok",
                              "cancel", "reset", "gradSmooth", "noiseLevel", "help"}));
        QCOMPARE(Edit(d, "hotThreshold")->text() + " " + Edit(d, "border")->text(),
                 QString("999 4294967295"));
        QString typed = "12a4";
        int at = 0;
        QCOMPARE(Edit(d, "border")->validator()->validate(typed, at), QValidator::Invalid);
        Click(d, "reset");
        Click(d, "cancel");
        QVERIFY(s == before);

        const struct {
            QString label, text;
            int32_t Settings::*value;
            int32_t stored;
        } cases[] = {{"Hot pixel threshold:", "300", &Settings::HotThreshold, 255},
                     {"Histog. stretch low %", "101", &Settings::StretchLow, 100},
                     {"Histog. stretch high %", "4294967295", &Settings::StretchHigh, 0},
                     {"Border for analysis:", "", &Settings::Border, -1},
                     {"Gradient smoothing:", "60", &Settings::GradSmooth, 50},
                     {"Background noise:", "4294967296", &Settings::NoiseLevel, 10}};
        AdvancedDialog e(s, nullptr);
        for (const auto& c : cases)
            for (QLabel* label : e.findChildren<QLabel*>())
                if (label->text() == c.label)
                    qobject_cast<QLineEdit*>(label->buddy())->setText(c.text);
        Click(e, "ok");
        for (const auto& c : cases) QCOMPARE(s.*c.value, c.stored);

        AdvancedDialog r(s, nullptr);
        Click(r, "reset");
        Click(r, "ok");
        QVERIFY(s == Settings{});
    }

    void advancedOkOutlivesSetupCancel() {
        Settings s;
        SetupDialog setup(s, nullptr);
        setup.show();
        Edit(setup, "inputFile")->setText("/other.avi");
        ClickWhenShown("Advanced Setup", "ok", [](QWidget* d) {
            Edit(*d, "noiseLevel")->setText("42");
        });
        Click(setup, "advanced");
        Click(setup, "cancel");
        QCOMPARE(s.NoiseLevel, 42);
        QCOMPARE(s.InputFile, std::string());
    }

    void helpShowsTheTextInAPlainBox() {
        Settings s;
        AdvancedDialog d(s, nullptr);
        d.show();
        QString seen;
        WhenModal([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) return false;
            seen = QString("%1|%2|%3 %4|%5")
                       .arg(box->parentWidget() == &d ? "owned" : "loose", box->windowTitle())
                       .arg(box->icon())
                       .arg(box->standardButtons().toInt())
                       .arg(box->text());
            box->accept();
            return true;
        });
        Click(d, "help");
        QCOMPARE(seen, QString("owned|Help|%1 %2|").arg(QMessageBox::NoIcon).arg(QMessageBox::Ok) +
                           QString::fromStdString(AdvancedHelpText()));
    }
};

int RunDialogTests(int argc, char** argv) {
    DialogTests tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "dialogs_test.moc"
