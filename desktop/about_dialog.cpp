#include "desktop/about_dialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

// The pictures live in a static library, whose resource registration no linker keeps unless
// something refers to it.
static void LoadPictures() {
    static bool loaded = [] {
        Q_INIT_RESOURCE(kestrel);
        return true;
    }();
    (void)loaded;
}

namespace kestrel {

QIcon AppIcon() {
    LoadPictures();
    QIcon icon;
    icon.addFile(":/icons/107-32.png", QSize(32, 32));
    icon.addFile(":/icons/108-16.png", QSize(16, 16));
    return icon;
}

AboutDialog::AboutDialog(QWidget* owner) : QDialog(owner) {
    setWindowTitle("About");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    LoadPictures();
    auto* picture = new QLabel(this);
    picture->setObjectName("icon");
    picture->setPixmap(QPixmap(":/icons/107-32.png"));
    auto* version = new QLabel("Kestrel Version " KESTREL_VERSION, this);
    auto* purpose = new QLabel("Batch processor for long exposure AVI files", this);
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("ok");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* grid = new QGridLayout(this);
    grid->setHorizontalSpacing(16);
    grid->addWidget(picture, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(version, 0, 1);
    grid->addWidget(purpose, 1, 1);
    grid->addWidget(ok, 0, 2, Qt::AlignTop);
    setFixedSize(sizeHint());
    ok->setFocus();
}

}  // namespace kestrel
