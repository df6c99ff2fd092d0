// The Setup and Advanced Setup dialogs as the user drives them.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "desktop/advanced_dialog.h"
#include "desktop/setup_dialog.h"
#include "qt/qt_support.h"

using namespace kestrel;

namespace {

// The names of the widgets that Tab reaches, in its order.
QStringList TabChain(QWidget& dialog) {
    QStringList names;
    for (QWidget* w = dialog.nextInFocusChain(); w != &dialog; w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus && !w->objectName().isEmpty()) names << w->objectName();
    return names;
}

QLineEdit* Edit(QWidget& d, const char* name) { return d.findChild<QLineEdit*>(name); }
void Click(QWidget& d, const char* button) { d.findChild<QPushButton*>(button)->click(); }

}  // namespace

class DialogTests : public QObject {
    Q_OBJECT
private slots:
    void setupAndAdvancedSetupStoreOnlyOnOk() {
        Settings s;
        s.InputFile = "/in/a.AVI", s.OutputFile = "/out/b.avi", s.DarkFrame = "/d/c.bmp";
        s.Vert = 1, s.Hot = 1, s.HotThreshold = 999, s.Border = -1;
        Settings expected = s;

        // Advanced Setup shows the values as stored, read as unsigned, and Reset the start values.
        AdvancedDialog a(s, nullptr);
        QCOMPARE(TabChain(a),
                 QStringList({"hotThreshold", "stretchLow", "stretchHigh", "border", "ok", "cancel",
                              "reset", "gradSmooth", "noiseLevel", "help"}));
        QCOMPARE(Edit(a, "hotThreshold")->text() + " " + Edit(a, "border")->text(),
                 QString("999 4294967295"));
        Click(a, "reset");
        QCOMPARE(Edit(a, "border")->text(), QString("15"));
        Click(a, "cancel");
        QVERIFY(s == expected);

        SetupDialog d(s, nullptr);
        QCOMPARE(TabChain(d),
                 QStringList({"inputFile", "browseInput", "outputFile", "browseOutput", "darkFrame",
                              "browseDark", "vert", "horiz", "stretch", "subDark", "hot", "colour",
                              "advanced", "cancel", "ok"}));

        // Browse gives the name chosen its filter's extension and keeps the name when cancelled.
        QStringList answers = {"", "/run.d/night", "/darks.d/d1.tar.gz"};  // "": cancelled
        FileChooserHook() = [&](auto, auto, auto&, auto& filter, QString& name, QString& selected) {
            selected = filter.split(";;").value(answers.size());  // SER video, then All Files
            name = answers.front().isEmpty() ? name : answers.front();
            return !answers.takeFirst().isEmpty();
        };
        for (const char* button : {"browseInput", "browseOutput", "browseDark"}) Click(d, button);
        FileChooserHook() = nullptr;
        QCOMPARE(QStringList({Edit(d, "inputFile")->text(), Edit(d, "outputFile")->text(),
                              Edit(d, "darkFrame")->text()}),
                 QStringList({"/in/a.AVI", "/run.d/night.ser", "/darks.d/d1.tar.bmp"}));

        // Cancel stores nothing of its own; what Advanced Setup stored on its OK stays. That OK
        // reads each field as an unsigned 32-bit number, leading blanks allowed, keeps its bits
        // as signed and clamps them into the field's range; other text keeps the value.
        const std::pair<const char*, const char*> typed[] = {
            {"hotThreshold", "  300"}, {"stretchLow", "12 "}, {"stretchHigh", "2147483648"},
            {"border", "   "}, {"gradSmooth", "+7"}, {"noiseLevel", "4294967296"}};
        for (QCheckBox* box : d.findChildren<QCheckBox*>()) box->toggle();
        test::ClickWhenShown("Advanced Setup", "ok", [&](QWidget* advanced) {
            for (auto [field, text] : typed) Edit(*advanced, field)->setText(text);
        });
        Click(d, "advanced");
        Click(d, "cancel");
        expected.HotThreshold = 255, expected.StretchHigh = 0;
        QVERIFY(s == expected);

        // OK stores every box and name as shown, the names cut: 150 accents are 300 bytes.
        Edit(d, "inputFile")->setText(QString(150, QChar(0xE9)));
        Edit(d, "darkFrame")->clear();
        Click(d, "ok");
        expected.InputFile = QString(129, QChar(0xE9)).toStdString(), expected.DarkFrame = "";
        expected.OutputFile = "/run.d/night.ser", expected.Vert = expected.Hot = 0;
        expected.Horiz = expected.Stretch = expected.SubDark = expected.Colour = 1;
        QVERIFY(s == expected);
    }
};

int RunDialogTests(int argc, char** argv) {
    DialogTests tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "dialogs_test.moc"
