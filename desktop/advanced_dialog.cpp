#include "desktop/advanced_dialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "desktop/message_box.h"
#include "settings/dialog_rules.h"
#include "settings/fields.h"

namespace kestrel {

namespace {

// The template's tab chain: these first fields, the lower buttons, then the other fields.
constexpr size_t kFieldsBeforeButtons = 4;

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

}  // namespace

QString ObjectName(const Field& f) {
    QString name = f.key;
    name[0] = name[0].toLower();
    return name;
}

AdvancedDialog::AdvancedDialog(Settings& settings, QWidget* owner)
    : QDialog(owner), settings_(settings) {
    setWindowTitle("Advanced Setup");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto* grid = new QGridLayout(this);
    // Only digits can be typed; pasted text is read by the same rule and may be refused.
    auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]*"), this);
    for (const Field& f : kFields) {
        if (!f.value) continue;
        const int row = int(fields_.size());
        auto* label = new QLabel(f.label, this);
        auto* field = new QLineEdit(QString::fromStdString(UnsignedText(settings.*f.value)), this);
        field->setObjectName(ObjectName(f));
        field->setValidator(digits);
        field->setMaximumWidth(field->fontMetrics().averageCharWidth() * 12);
        label->setBuddy(field);
        grid->addWidget(label, row, 0);
        grid->addWidget(field, row, 1);
        fields_.push_back({&f, field});
    }
    auto* ok = Button("OK", "ok", this);
    auto* cancel = Button("Cancel", "cancel", this);
    auto* reset = Button("Reset", "reset", this);
    auto* help = Button("Help", "help", this);
    ok->setAutoDefault(true);
    ok->setDefault(true);

    const int gap = int(fields_.size());
    grid->setRowMinimumHeight(gap, fontMetrics().height() / 2);
    grid->addWidget(help, gap + 1, 0, Qt::AlignLeft);
    grid->addWidget(reset, gap + 1, 1);
    grid->addWidget(cancel, gap + 2, 0, Qt::AlignLeft);
    grid->addWidget(ok, gap + 2, 1);

    std::vector<QWidget*> chain;
    for (size_t i = 0; i < fields_.size(); ++i) {
        if (i == kFieldsBeforeButtons) chain.insert(chain.end(), {ok, cancel, reset});
        chain.push_back(fields_[i].second);
    }
    chain.push_back(help);
    for (size_t i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);

    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(reset, &QPushButton::clicked, this, [this] {
        for (auto [f, field] : fields_) field->setText(QString::number(f->start));
    });
    connect(help, &QPushButton::clicked, this, [this] {
        ShowMessageBox(this, AdvancedHelpText(), "Help", Buttons::Ok, QMessageBox::NoIcon);
    });
    setFixedSize(sizeHint());
}

void AdvancedDialog::accept() {
    for (auto [f, field] : fields_)
        ClampedRead(field->text().toStdString(), f->minimum, f->maximum, settings_.*f->value);
    QDialog::accept();
}

}  // namespace kestrel
