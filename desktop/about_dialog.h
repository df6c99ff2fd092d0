// The About box, and the program's icons.
#pragma once

#include <QDialog>
#include <QIcon>

namespace kestrel {

// Icon 107 (32 x 32 and 16 x 16) with the small icon 108.
QIcon AppIcon();

class AboutDialog : public QDialog {
public:
    explicit AboutDialog(QWidget* owner);
};

}  // namespace kestrel
