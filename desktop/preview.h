// The main window's client area: a bitmap of its size into which the frame last shown is
// copied at every paint.
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

    // Paints `frame` at once, and again at every later paint, so it must outlive the next
    // showFrame(): the batch run hands over the ImageBuffer, which outlives the run so that
    // the last frame is still repainted after it.
    void showFrame(const Image& frame);

    QImage& bitmap() { return bitmap_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage bitmap_;
    QRect bitmapRect_;
    const Image* frame_ = nullptr;
};

}  // namespace kestrel
