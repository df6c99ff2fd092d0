#include "desktop/advanced_dialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "desktop/message_box.h"
#include "settings/dialog_rules.h"

namespace kestrel {

namespace {

constexpr const char* kLabels[6] = {"Hot pixel threshold:", "Histog. stretch low %",
                                    "Histog. stretch high %", "Border for analysis:",
                                    "Gradient smoothing:", "Background noise:"};
constexpr const char* kNames[6] = {"hotThreshold", "stretchLow", "stretchHigh",
                                   "border",       "gradSmooth", "noiseLevel"};

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

}  // namespace

AdvancedDialog::AdvancedDialog(Settings& settings, QWidget* owner)
    : QDialog(owner), settings_(settings) {
    setWindowTitle("Advanced Setup");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto* grid = new QGridLayout(this);
    // Only digits can be typed; pasted text is read by the same rule and may be refused.
    auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]*"), this);
    auto addField = [&](size_t i) {
        auto* label = new QLabel(kLabels[i], this);
        auto* field = new QLineEdit(
            QString::fromStdString(UnsignedText(settings.*kValueFields[i].value)), this);
        field->setObjectName(kNames[i]);
        field->setValidator(digits);
        field->setMaximumWidth(field->fontMetrics().averageCharWidth() * 12);
        label->setBuddy(field);
        grid->addWidget(label, int(i), 0);
        grid->addWidget(field, int(i), 1);
        fields_[i] = field;
    };
    // The template's tab chain: four fields, the lower buttons, then the last two fields.
    for (size_t i = 0; i < 4; ++i) addField(i);
    auto* ok = Button("OK", "ok", this);
    auto* cancel = Button("Cancel", "cancel", this);
    auto* reset = Button("Reset", "reset", this);
    for (size_t i = 4; i < 6; ++i) addField(i);
    auto* help = Button("Help", "help", this);
    ok->setAutoDefault(true);
    ok->setDefault(true);

    grid->setRowMinimumHeight(6, fontMetrics().height() / 2);
    grid->addWidget(help, 7, 0, Qt::AlignLeft);
    grid->addWidget(reset, 7, 1);
    grid->addWidget(cancel, 8, 0, Qt::AlignLeft);
    grid->addWidget(ok, 8, 1);

    QWidget* chain[] = {fields_[0], fields_[1], fields_[2], fields_[3], ok, cancel,
                        reset,      fields_[4], fields_[5], help};
    for (size_t i = 1; i < std::size(chain); ++i) setTabOrder(chain[i - 1], chain[i]);

    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(reset, &QPushButton::clicked, this, [this] {
        for (size_t i = 0; i < fields_.size(); ++i)
            fields_[i]->setText(QString::number(kValueFields[i].reset));
    });
    connect(help, &QPushButton::clicked, this, [this] {
        ShowMessageBox(this, AdvancedHelpText(), "Help", Buttons::Ok, QMessageBox::NoIcon);
    });
    setFixedSize(sizeHint());
}

void AdvancedDialog::accept() {
    for (size_t i = 0; i < fields_.size(); ++i) {
        const ValueField& f = kValueFields[i];
        ClampedRead(fields_[i]->text().toStdString(), f.minimum, f.maximum, settings_.*f.value);
    }
    QDialog::accept();
}

}  // namespace kestrel
