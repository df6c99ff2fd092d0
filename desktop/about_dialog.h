// The About box, and the program's icons.
#pragma once

#include <QDialog>
#include <QIcon>

namespace kestrel {

// Icon 107 (32 x 32) with the small icon 108 (16 x 16).
QIcon AppIcon();

class AboutDialog : public QDialog {
public:
    explicit AboutDialog(QWidget* owner);
};

}  // namespace kestrel
