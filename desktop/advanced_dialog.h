// The Advanced Setup dialog: the six numeric values, clamped into their ranges on OK.
#pragma once

#include <array>

#include <QDialog>

#include "settings/settings.h"

class QLineEdit;

namespace kestrel {

class AdvancedDialog : public QDialog {
public:
    AdvancedDialog(Settings& settings, QWidget* owner);

    // OK: the clamped read of every field, in field order, stored at once.
    void accept() override;

private:
    Settings& settings_;
    std::array<QLineEdit*, 6> fields_{};
};

}  // namespace kestrel
