#include "desktop/setup_dialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "desktop/advanced_dialog.h"
#include "settings/dialog_rules.h"

namespace kestrel {

namespace {

const char* const kAviFilter = "Microsoft AVI (*.avi);;All Files (*)";
const char* const kBmpFilter = "Bitmap (*.bmp);;All Files (*)";

bool DesktopChooser(QWidget* owner, bool save, const QString& title, const QString& filter,
                    QString& name) {
    QString chosen =
        save ? QFileDialog::getSaveFileName(owner, title, name, filter, nullptr,
                                            QFileDialog::DontConfirmOverwrite)
             : QFileDialog::getOpenFileName(owner, title, name, filter);
    if (chosen.isEmpty()) return false;
    name = chosen;
    return true;
}

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

QLineEdit* Field(const std::string& text, const char* name, QWidget* parent) {
    auto* f = new QLineEdit(QString::fromStdString(text), parent);
    f->setObjectName(name);
    f->setMinimumWidth(f->fontMetrics().averageCharWidth() * 40);
    return f;
}

QCheckBox* Switch(const char* text, const char* name, uint8_t on, QWidget* parent) {
    auto* c = new QCheckBox(text, parent);
    c->setObjectName(name);
    c->setChecked(on != 0);
    return c;
}

}  // namespace

FileChooser& FileChooserHook() {
    static FileChooser hook;
    return hook;
}

SetupDialog::SetupDialog(Settings& settings, QWidget* owner)
    : QDialog(owner), settings_(settings) {
    setWindowTitle("Setup");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    // Created in the order of the tab chain.
    auto* inputLabel = new QLabel("Input file", this);
    input_ = Field(settings.InputFile, "inputFile", this);
    auto* inputBrowse = Button("Browse...", "browseInput", this);
    auto* outputLabel = new QLabel("Output file", this);
    output_ = Field(settings.OutputFile, "outputFile", this);
    auto* outputBrowse = Button("Browse...", "browseOutput", this);
    auto* darkLabel = new QLabel("Dark frame", this);
    dark_ = Field(settings.DarkFrame, "darkFrame", this);
    auto* darkBrowse = Button("Browse...", "browseDark", this);

    auto* group = new QGroupBox("Corrections", this);
    vert_ = Switch("Vertical Gradient", "vert", settings.Vert, group);
    horiz_ = Switch("Horizontal Gradient", "horiz", settings.Horiz, group);
    stretch_ = Switch("Stretch Output", "stretch", settings.Stretch, group);
    subDark_ = Switch("Subtract Darkframe", "subDark", settings.SubDark, group);
    hot_ = Switch("Correct Hot Pixels", "hot", settings.Hot, group);
    colour_ = Switch("Colour", "colour", settings.Colour, group);

    auto* advanced = Button("Advanced...", "advanced", this);
    auto* cancel = Button("Cancel", "cancel", this);
    auto* ok = Button("OK", "ok", this);
    ok->setAutoDefault(true);
    ok->setDefault(true);

    inputLabel->setBuddy(input_);
    outputLabel->setBuddy(output_);
    darkLabel->setBuddy(dark_);

    auto* names = new QGridLayout;
    names->addWidget(inputLabel, 0, 0);
    names->addWidget(input_, 0, 1);
    names->addWidget(inputBrowse, 0, 2);
    names->addWidget(outputLabel, 1, 0);
    names->addWidget(output_, 1, 1);
    names->addWidget(outputBrowse, 1, 2);
    names->addWidget(darkLabel, 2, 0);
    names->addWidget(dark_, 2, 1);
    names->addWidget(darkBrowse, 2, 2);

    auto* switches = new QGridLayout(group);
    switches->addWidget(vert_, 0, 0);
    switches->addWidget(horiz_, 1, 0);
    switches->addWidget(stretch_, 2, 0);
    switches->addWidget(subDark_, 0, 1);
    switches->addWidget(hot_, 1, 1);
    switches->addWidget(colour_, 2, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(advanced);
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    buttons->addWidget(ok);

    auto* top = new QVBoxLayout(this);
    top->addLayout(names);
    top->addWidget(group);
    top->addLayout(buttons);

    QWidget* chain[] = {input_,  inputBrowse, output_, outputBrowse, dark_,
                        darkBrowse, vert_, horiz_, stretch_, subDark_, hot_, colour_,
                        advanced, cancel, ok};
    for (size_t i = 1; i < std::size(chain); ++i) setTabOrder(chain[i - 1], chain[i]);

    connect(inputBrowse, &QPushButton::clicked, this,
            [this] { browse(input_, false, "Input file...", kAviFilter, ".avi"); });
    connect(outputBrowse, &QPushButton::clicked, this,
            [this] { browse(output_, true, "Output file...", kAviFilter, ".avi"); });
    connect(darkBrowse, &QPushButton::clicked, this,
            [this] { browse(dark_, false, "Dark frame...", kBmpFilter, ".bmp"); });
    connect(advanced, &QPushButton::clicked, this, [this] {
        AdvancedDialog dialog(settings_, this);
        dialog.exec();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    setFixedSize(sizeHint());
}

void SetupDialog::accept() {
    settings_.InputFile = StoredName(input_->text().toStdString());
    settings_.OutputFile = StoredName(output_->text().toStdString());
    settings_.DarkFrame = StoredName(dark_->text().toStdString());
    settings_.Vert = vert_->isChecked();
    settings_.Horiz = horiz_->isChecked();
    settings_.SubDark = subDark_->isChecked();
    settings_.Hot = hot_->isChecked();
    settings_.Stretch = stretch_->isChecked();
    settings_.Colour = colour_->isChecked();
    QDialog::accept();
}

void SetupDialog::browse(QLineEdit* field, bool save, const QString& title,
                         const QString& filter, const char* extension) {
    QString name = field->text();
    const FileChooser& chooser = FileChooserHook();
    bool chosen = chooser ? chooser(this, save, title, filter, name)
                          : DesktopChooser(this, save, title, filter, name);
    if (!chosen) return;
    // Kept whole even when longer than a stored name: OK cuts it, as it cuts a typed name.
    field->setText(QString::fromStdString(ForceExtension(name.toStdString(), extension)));
}

}  // namespace kestrel
