// The Advanced Setup dialog: the numeric values, clamped into their ranges on OK.
#pragma once

#include <utility>
#include <vector>

#include <QDialog>

#include "settings/settings.h"

class QLineEdit;

namespace kestrel {

struct Field;

// The object name of a field's widget, by which tests find it: its key, begun in lower case.
QString ObjectName(const Field& f);

class AdvancedDialog : public QDialog {
public:
    AdvancedDialog(Settings& settings, QWidget* owner);

    // OK: the clamped read of every field, in field order, stored at once.
    void accept() override;

private:
    Settings& settings_;
    std::vector<std::pair<const Field*, QLineEdit*>> fields_;  // the value rows of kFields
};

}  // namespace kestrel
