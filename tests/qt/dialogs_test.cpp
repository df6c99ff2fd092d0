// The Setup and Advanced Setup dialogs as the user drives them.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "desktop/advanced_dialog.h"
#include "desktop/setup_dialog.h"
#include "qt/qt_support.h"

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
    void setupBrowsesAndStoresOnlyOnOk() {
        Settings s;
        s.InputFile = "/in/a.avi", s.OutputFile = "/out/b.avi", s.DarkFrame = "/d/c.bmp";
        s.Vert = 1, s.Hot = 1;
        Settings expected = s;
        SetupDialog d(s, nullptr);
        QCOMPARE(TabChain(d, "inputFile"),
                 QStringList({"inputFile", "browseInput", "outputFile", "browseOutput", "darkFrame",
                              "browseDark", "vert", "horiz", "stretch", "subDark", "hot", "colour",
                              "advanced", "cancel", "ok"}));

        // Browse forces the extension on the name chosen and keeps the name when cancelled.
        QStringList answers = {"", "/run/night", "/darks.d/d1.tar.gz"};  // "": cancelled
        FileChooserHook() = [&](QWidget*, bool, const QString&, const QString&, QString& name) {
            name = answers.front().isEmpty() ? name : answers.front();
            return !answers.takeFirst().isEmpty();
        };
        for (const char* button : {"browseInput", "browseOutput", "browseDark"}) Click(d, button);
        FileChooserHook() = nullptr;
        QCOMPARE(QStringList({Edit(d, "inputFile")->text(), Edit(d, "outputFile")->text(),
                              Edit(d, "darkFrame")->text()}),
                 QStringList({"/in/a.avi", "/run/night.avi", "/darks.d/d1.tar.bmp"}));

        // Cancel stores nothing of its own; what Advanced Setup stored on its OK stays.
        for (QCheckBox* box : d.findChildren<QCheckBox*>()) box->toggle();
        ClickWhenShown("Advanced Setup", "ok",
                       [](QWidget* a) { Edit(*a, "noiseLevel")->setText("42"); });
        Click(d, "advanced");
        Click(d, "cancel");
        expected.NoiseLevel = 42;
        QVERIFY(s == expected);

        // OK stores every box as shown, and the names cut: 150 accents are 300 bytes.
        SetupDialog e(s, nullptr);
        for (QCheckBox* box : e.findChildren<QCheckBox*>()) box->toggle();
        Edit(e, "inputFile")->setText(QString(150, QChar(0xE9)));
        Edit(e, "darkFrame")->clear();
        Click(e, "ok");
        expected.InputFile = QString(129, QChar(0xE9)).toStdString(), expected.DarkFrame = "";
        expected.Vert = expected.Hot = 0;
        expected.Horiz = expected.Stretch = expected.SubDark = expected.Colour = 1;
        QVERIFY(s == expected);
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
                 QString("999 4294967295"));  // as stored, read as unsigned
        Click(d, "reset");
        Click(d, "cancel");
        QVERIFY(s == before);

        // OK reads each field as an unsigned 32-bit number, leading blanks allowed, keeps its
        // bits as signed and clamps them into the field's range; other text keeps the value.
        const std::pair<const char*, const char*> typed[] = {
            {"hotThreshold", "  300"}, {"stretchLow", "12 "}, {"stretchHigh", "2147483648"},
            {"border", "   "}, {"gradSmooth", "+7"}, {"noiseLevel", "4294967296"}};
        AdvancedDialog e(s, nullptr);
        for (auto [field, text] : typed) Edit(e, field)->setText(text);
        Click(e, "ok");
        QCOMPARE(QList<int32_t>({s.HotThreshold, s.StretchLow, s.StretchHigh, s.Border,
                                 s.GradSmooth, s.NoiseLevel}),
                 QList<int32_t>({255, 0, 0, -1, 5, 10}));

        AdvancedDialog r(s, nullptr);
        Click(r, "reset");
        Click(r, "ok");
        QVERIFY(s == Settings{});
    }
};

int RunDialogTests(int argc, char** argv) {
    DialogTests tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "dialogs_test.moc"
