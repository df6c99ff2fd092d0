#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QValidator>

#include "desktop/message_box.h"
#include "qt/qt_support.h"
#include "desktop/advanced_dialog.h"
#include "settings/dialog_rules.h"
#include "desktop/setup_dialog.h"

using namespace kestrel;
using namespace kestrel::test;

namespace {

// The focusable widgets' names in tab order, from the first one on.
QStringList TabChain(QWidget* dialog, const char* first) {
    QStringList names;
    QWidget* start = dialog->findChild<QWidget*>(first);
    QWidget* w = start;
    do {
        if (w->focusPolicy() & Qt::TabFocus && !w->objectName().isEmpty())
            names << w->objectName();
        w = w->nextInFocusChain();
    } while (w && w != start);
    return names;
}

const char* const kValueNames[6] = {"hotThreshold", "stretchLow", "stretchHigh",
                                    "border",       "gradSmooth", "noiseLevel"};

// Opens Advanced Setup on `s`, lets `edit` change its fields, then presses `button`.
void Advanced(Settings& s, const std::function<void(AdvancedDialog&)>& edit, const char* button) {
    AdvancedDialog d(s, nullptr);
    d.show();
    edit(d);
    d.findChild<QPushButton*>(button)->click();
}

QLineEdit* Field(QWidget& d, const char* name) { return d.findChild<QLineEdit*>(name); }

}  // namespace

class DialogTests : public QObject {
    Q_OBJECT
private slots:
    void setupShowsAndStoresNamesAndSwitches() {
        Settings s;
        s.InputFile = "/in/a.avi";
        s.OutputFile = "/out/b.avi";
        s.DarkFrame = "/d/c.bmp";
        s.Vert = 1, s.Hot = 1, s.Colour = 1;
        const Settings before = s;
        {
            SetupDialog d(s, nullptr);
            QCOMPARE(d.windowTitle(), QString("Setup"));
            QCOMPARE(Field(d, "inputFile")->text(), QString("/in/a.avi"));
            QCOMPARE(Field(d, "outputFile")->text(), QString("/out/b.avi"));
            QCOMPARE(Field(d, "darkFrame")->text(), QString("/d/c.bmp"));
            const char* boxes[] = {"vert", "horiz", "stretch", "subDark", "hot", "colour"};
            const bool ticked[] = {true, false, false, false, true, true};
            for (int i = 0; i < 6; ++i)
                QCOMPARE(d.findChild<QCheckBox*>(boxes[i])->isChecked(), ticked[i]);
            QCOMPARE(TabChain(&d, "inputFile"),
                     QStringList({"inputFile", "browseInput", "outputFile", "browseOutput",
                                  "darkFrame", "browseDark", "vert", "horiz", "stretch",
                                  "subDark", "hot", "colour", "advanced", "cancel", "ok"}));
            // Cancel, Escape and the close box store nothing.
            d.show();
            Field(d, "inputFile")->setText("/changed.avi");
            d.findChild<QCheckBox*>("horiz")->setChecked(true);
            d.findChild<QPushButton*>("cancel")->click();
            QVERIFY(s == before);
            d.show();
            QTest::keyClick(&d, Qt::Key_Escape);
            QVERIFY(!d.isVisible());
            d.show();
            d.close();
            QVERIFY(s == before);
        }
        SetupDialog d(s, nullptr);
        d.show();
        Field(d, "inputFile")->setText(QString(300, 'i'));
        Field(d, "darkFrame")->clear();
        for (const char* box : {"vert", "horiz", "stretch", "subDark", "hot"})
            d.findChild<QCheckBox*>(box)->setChecked(false);
        d.findChild<QPushButton*>("ok")->click();
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(s.InputFile, std::string(kMaxNameChars, 'i'));
        QCOMPARE(s.OutputFile, before.OutputFile);
        QCOMPARE(s.DarkFrame, std::string());
        QCOMPARE(int(s.Colour), 1);
        QCOMPARE(s.Vert + s.Horiz + s.Stretch + s.SubDark + s.Hot, 0);
    }

    void browseForcesTheExtension() {
        struct Call {
            bool save;
            QString title, filter, initial;
        };
        std::vector<Call> calls;
        QString answer;
        bool chosen = true;
        FileChooserHook() = [&](QWidget*, bool save, const QString& title, const QString& filter,
                                QString& name) {
            calls.push_back({save, title, filter, name});
            if (chosen) name = answer;
            return chosen;
        };
        Settings s;
        s.OutputFile = "/tmp/Output.AVI";
        SetupDialog d(s, nullptr);
        d.show();
        auto browse = [&](const char* button, const QString& chosenName, bool ok = true) {
            answer = chosenName;
            chosen = ok;
            d.findChild<QPushButton*>(button)->click();
        };
        browse("browseOutput", "D:\\run\\night");
        QCOMPARE(Field(d, "outputFile")->text(), QString("D:\\run\\night.avi"));
        QVERIFY(calls.back().save);
        QCOMPARE(calls.back().title, QString("Output file..."));
        QCOMPARE(calls.back().initial, QString("/tmp/Output.AVI"));
        QVERIFY(calls.back().filter.startsWith("Microsoft AVI (*.avi)"));
        browse("browseOutput", "/ignored", false);
        QCOMPARE(Field(d, "outputFile")->text(), QString("D:\\run\\night.avi"));

        browse("browseInput", "/v/CLIP.AVI");
        QCOMPARE(Field(d, "inputFile")->text(), QString("/v/CLIP.avi"));
        QVERIFY(!calls.back().save);
        QCOMPARE(calls.back().title, QString("Input file..."));

        browse("browseDark", "/darks.d/d1");
        QCOMPARE(Field(d, "darkFrame")->text(), QString("/darks.d/d1.bmp"));
        QCOMPARE(calls.back().title, QString("Dark frame..."));
        QVERIFY(calls.back().filter.startsWith("Bitmap (*.bmp)"));
        QVERIFY(calls.back().filter.contains("All Files (*)"));

        // A long name is kept whole in the field; OK stores what a name holds.
        QString longName = "/" + QString(int(kMaxNameChars) - 1, 'x');
        browse("browseInput", longName);
        QCOMPARE(Field(d, "inputFile")->text(), longName + ".avi");
        d.findChild<QPushButton*>("ok")->click();
        QCOMPARE(s.InputFile, longName.toStdString());
        QCOMPARE(s.OutputFile, std::string("D:\\run\\night.avi"));
        FileChooserHook() = nullptr;
    }

    void advancedClampsOnOk() {
        Settings s;
        {
            AdvancedDialog d(s, nullptr);
            QCOMPARE(d.windowTitle(), QString("Advanced Setup"));
            QCOMPARE(TabChain(&d, "hotThreshold"),
                     QStringList({"hotThreshold", "stretchLow", "stretchHigh", "border", "ok",
                                  "cancel", "reset", "gradSmooth", "noiseLevel", "help"}));
            QString typed = "12a4";
            int pos = 0;
            QCOMPARE(Field(d, "border")->validator()->validate(typed, pos), QValidator::Invalid);
        }
        auto set = [](std::vector<std::pair<int, QString>> edits) {
            return [edits](AdvancedDialog& d) {
                for (auto& [i, text] : edits) Field(d, kValueNames[i])->setText(text);
            };
        };
        Advanced(s, set({{0, "300"}, {4, "60"}}), "ok");
        QCOMPARE(s.HotThreshold, 255);
        QCOMPARE(s.GradSmooth, 50);
        QCOMPARE(s.Border, 15);

        Advanced(s, set({{0, "0"}, {1, "0"}, {2, "0"}, {3, "0"}, {4, "0"}, {5, "0"}}), "ok");
        for (const ValueField& f : kValueFields) QCOMPARE(s.*f.value, 0);

        s = Settings{};
        Advanced(s, set({{1, "80"}, {2, "20"}, {3, ""}, {0, "2147483648"}, {5, "4294967295"},
                         {4, "4294967296"}}),
                 "ok");
        QCOMPARE(s.StretchLow, 80);
        QCOMPARE(s.StretchHigh, 20);
        QCOMPARE(s.Border, 15);
        QCOMPARE(s.HotThreshold, 0);
        QCOMPARE(s.NoiseLevel, 0);
        QCOMPARE(s.GradSmooth, 5);

        Settings changed = s;
        Advanced(s, [](AdvancedDialog& d) { d.findChild<QPushButton*>("reset")->click(); },
                 "cancel");
        QVERIFY(s == changed);
        Advanced(s, [](AdvancedDialog& d) {
            d.findChild<QPushButton*>("reset")->click();
            for (size_t i = 0; i < 6; ++i)
                QCOMPARE(Field(d, kValueNames[i])->text(),
                         QString::number(kValueFields[i].reset));
        }, "ok");
        QVERIFY(s == Settings{});

        s.HotThreshold = 999;
        s.Border = -1;
        Advanced(s, [](AdvancedDialog& d) {
            QCOMPARE(Field(d, "hotThreshold")->text(), QString("999"));
            QCOMPARE(Field(d, "border")->text(), QString("4294967295"));
        }, "cancel");
        QCOMPARE(s.HotThreshold, 999);
        Advanced(s, [](AdvancedDialog&) {}, "ok");
        QCOMPARE(s.HotThreshold, 255);
        QCOMPARE(s.Border, 0);
    }

    void advancedOkOutlivesSetupCancel() {
        Settings s;
        s.InputFile = "/in.avi";
        SetupDialog setup(s, nullptr);
        setup.show();
        Field(setup, "inputFile")->setText("/other.avi");
        ClickWhenShown("Advanced Setup", "ok", [](QWidget* d) {
            Field(*d, "noiseLevel")->setText("42");
        });
        setup.findChild<QPushButton*>("advanced")->click();
        setup.findChild<QPushButton*>("cancel")->click();
        QCOMPARE(s.NoiseLevel, 42);
        QCOMPARE(s.InputFile, std::string("/in.avi"));
    }

    void helpShowsTheTextInAPlainBox() {
        Settings s;
        AdvancedDialog d(s, nullptr);
        d.show();
        QString text, title;
        QMessageBox::Icon icon = QMessageBox::Critical;
        QWidget* owner = nullptr;
        QMessageBox::StandardButtons buttons;
        WhenModal([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) return false;
            text = box->text(), title = box->windowTitle(), icon = box->icon();
            owner = box->parentWidget();
            buttons = box->standardButtons();
            box->accept();
            return true;
        });
        d.findChild<QPushButton*>("help")->click();
        QCOMPARE(title, QString("Help"));
        QCOMPARE(icon, QMessageBox::NoIcon);
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(owner, static_cast<QWidget*>(&d));
        QStringList paragraphs = text.split("\n\n");
        QCOMPARE(paragraphs.size(), 5);
        QCOMPARE(paragraphs[1], QString("Histog. stretch: Brightness levels will be stretched so "
                                        "that <low>% of the pixels become black and <high>% "
                                        "become saturated."));
        QCOMPARE(paragraphs[3],
                 QString("Gradient Smoothing: Sets how smooth the gradients are assumed to be."));
        QCOMPARE(text.toStdString(), AdvancedHelpText());
        QVERIFY(s == Settings{});
    }
};

int RunDialogTests(int argc, char** argv) {
    DialogTests tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "dialogs_test.moc"
