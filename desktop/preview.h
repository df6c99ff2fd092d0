// The main window's client area: a bitmap of its size into which the current frame is copied
// at every paint.
#pragma once

#include <QImage>
#include <QWidget>

#include "base/image.h"

namespace kestrel {

// Copies `image` into the top-left corner of `bitmap` (3 bytes a pixel, blue-green-red), as
// much as both hold; a grey pixel becomes three equal bytes. The layout comes from the image
// itself, never from the Colour switch, which may have changed since the frame was read.
void CopyToPreview(const Image& image, QImage& bitmap);

class PreviewWidget : public QWidget {
public:
    explicit PreviewWidget(QWidget* parent);

    // Blackens the bitmap, if there is one; the black shows at the next paint.
    void clear();

    QImage& bitmap() { return bitmap_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage bitmap_;
    QRect bitmapRect_;
};

}  // namespace kestrel
