// The Setup dialog: the three file names and the six switches, confirmed before every run.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include <QDialog>
#include <QString>

#include "settings/settings.h"

class QCheckBox;
class QLineEdit;

namespace kestrel {

// A file chooser: open or save, with a title, a filter and the initial name in `name`; true
// with the chosen name in `name` and the filter it was chosen under in `selected`, false when
// the user cancelled. Replaceable for tests.
using FileChooser = std::function<bool(QWidget* owner, bool save, const QString& title,
                                       const QString& filter, QString& name, QString& selected)>;
// Empty: the desktop's own file dialogs.
FileChooser& FileChooserHook();

class SetupDialog : public QDialog {
public:
    SetupDialog(Settings& settings, QWidget* owner);

    // OK: stores the names (cut to a stored name's length) and the switches.
    void accept() override;

private:
    void browse(QLineEdit* field, bool save, const QString& title, const QString& filter,
                const char* extension);

    Settings& settings_;
    std::vector<std::pair<std::string Settings::*, QLineEdit*>> names_;
    std::vector<std::pair<uint8_t Settings::*, QCheckBox*>> switches_;
};

}  // namespace kestrel
