#include "desktop/setup_dialog.h"

#include <iterator>

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
#include "settings/fields.h"

namespace kestrel {

namespace {

// Every entry with a "*.ext" pattern names a kind of file that the field reads.
constexpr const char* kVideoFilters = "Microsoft AVI (*.avi);;All Files (*);;SER video (*.ser)";
constexpr const char* kDarkFilters =
    "Bitmap (*.bmp);;All Files (*);;Microsoft AVI (*.avi);;SER video (*.ser)";

bool DesktopChooser(QWidget* owner, bool save, const QString& title, const QString& filter,
                    QString& name, QString& selected) {
    QString chosen = save ? QFileDialog::getSaveFileName(owner, title, name, filter, &selected,
                                                         QFileDialog::DontConfirmOverwrite)
                          : QFileDialog::getOpenFileName(owner, title, name, filter, &selected);
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

// The names in the order of their rows, and how each is browsed for.
struct Chooser {
    std::string Settings::*name;
    const char* button;
    bool save;
    const char* filter;
    const char* extension;  // given to a name of no kind that the field reads
};
constexpr Chooser kChoosers[] = {
    {&Settings::InputFile, "browseInput", false, kVideoFilters, ".avi"},
    {&Settings::OutputFile, "browseOutput", true, kVideoFilters, ".avi"},
    {&Settings::DarkFrame, "browseDark", false, kDarkFilters, ".bmp"},
};

// The Corrections box, column by column, in the order of the tab chain.
constexpr uint8_t Settings::*kSwitchBox[2][3] = {
    {&Settings::Vert, &Settings::Horiz, &Settings::Stretch},
    {&Settings::SubDark, &Settings::Hot, &Settings::Colour},
};

constexpr const Field* RowOf(std::string Settings::*member) {
    for (const Field& f : kFields)
        if (f.name == member) return &f;
    return nullptr;
}
constexpr const Field* RowOf(uint8_t Settings::*member) {
    for (const Field& f : kFields)
        if (f.flag == member) return &f;
    return nullptr;
}

// Every name and switch of the table has its place here, and every place its row. Rows are
// counted rather than pointed at: GCC's sanitizers make a pointer comparison non-constant.
constexpr size_t RowsOf(std::string Settings::*name, uint8_t Settings::*flag) {
    size_t rows = 0;
    for (const Field& f : kFields) rows += (name && f.name == name) || (flag && f.flag == flag);
    return rows;
}
constexpr bool EveryFieldHasItsPlace() {
    size_t rows = 0, found = 0;
    for (const Field& f : kFields) rows += f.name || f.flag;
    for (const Chooser& c : kChoosers) found += RowsOf(c.name, nullptr) == 1;
    for (const auto& column : kSwitchBox)
        for (uint8_t Settings::*member : column) found += RowsOf(nullptr, member) == 1;
    return found == rows && rows == std::size(kChoosers) + std::size(kSwitchBox) * 3;
}
static_assert(EveryFieldHasItsPlace());

}  // namespace

FileChooser& FileChooserHook() {
    static FileChooser hook;
    return hook;
}

SetupDialog::SetupDialog(Settings& settings, QWidget* owner)
    : QDialog(owner), settings_(settings) {
    setWindowTitle("Setup");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    std::vector<QWidget*> chain;
    auto* names = new QGridLayout;
    for (int row = 0; row < int(std::size(kChoosers)); ++row) {
        const Chooser& c = kChoosers[row];
        const Field& f = *RowOf(c.name);
        auto* label = new QLabel(f.label, this);
        auto* field = new QLineEdit(QString::fromStdString(settings.*c.name), this);
        field->setObjectName(ObjectName(f));
        field->setMinimumWidth(field->fontMetrics().averageCharWidth() * 40);
        label->setBuddy(field);
        auto* browse = Button("Browse...", c.button, this);
        connect(browse, &QPushButton::clicked, this, [this, field, c, title = QString(f.label)] {
            this->browse(field, c.save, title + "...", c.filter, c.extension);
        });
        names->addWidget(label, row, 0);
        names->addWidget(field, row, 1);
        names->addWidget(browse, row, 2);
        names_.push_back({c.name, field});
        chain.insert(chain.end(), {field, browse});
    }

    auto* group = new QGroupBox("Corrections", this);
    auto* switches = new QGridLayout(group);
    for (int column = 0; column < 2; ++column) {
        for (int row = 0; row < 3; ++row) {
            uint8_t Settings::*member = kSwitchBox[column][row];
            const Field& f = *RowOf(member);
            auto* box = new QCheckBox(f.label, group);
            box->setObjectName(ObjectName(f));
            box->setChecked(settings.*member != 0);
            switches->addWidget(box, row, column);
            switches_.push_back({member, box});
            chain.push_back(box);
        }
    }

    auto* advanced = Button("Advanced...", "advanced", this);
    auto* cancel = Button("Cancel", "cancel", this);
    auto* ok = Button("OK", "ok", this);
    ok->setAutoDefault(true);
    ok->setDefault(true);
    chain.insert(chain.end(), {advanced, cancel, ok});

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(advanced);
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    buttons->addWidget(ok);

    auto* top = new QVBoxLayout(this);
    top->addLayout(names);
    top->addWidget(group);
    top->addLayout(buttons);

    for (size_t i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);

    connect(advanced, &QPushButton::clicked, this, [this] {
        AdvancedDialog dialog(settings_, this);
        dialog.exec();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    setFixedSize(sizeHint());
}

void SetupDialog::accept() {
    for (auto [member, field] : names_) settings_.*member = CutName(field->text().toStdString());
    for (auto [member, box] : switches_) settings_.*member = box->isChecked();
    QDialog::accept();
}

void SetupDialog::browse(QLineEdit* field, bool save, const QString& title,
                         const QString& filter, const char* extension) {
    QString name = field->text(), selected;  // none selected: the chooser shows the first
    const FileChooser& chooser = FileChooserHook();
    bool chosen = chooser ? chooser(this, save, title, filter, name, selected)
                          : DesktopChooser(this, save, title, filter, name, selected);
    if (!chosen) return;
    // Kept whole even when longer than a stored name: OK cuts it, as it cuts a typed name.
    field->setText(QString::fromStdString(
        ChosenName(name.toStdString(), filter.toStdString(), selected.toStdString(), extension)));
}

}  // namespace kestrel
