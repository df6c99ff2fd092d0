#include "desktop/preview.h"

#include <algorithm>
#include <cstring>

#include <QPainter>

namespace kestrel {

void CopyToPreview(const Image& image, QImage& bitmap) {
    if (bitmap.isNull() || !image.consistent()) return;
    int columns = std::min<int>(image.width, bitmap.width());
    int rows = std::min<int>(image.height, bitmap.height());
    size_t imageStride = size_t(image.width) * size_t(image.channels);
    for (int i = 0; i < rows; ++i) {
        const uint8_t* src = image.pixels.data() + size_t(i) * imageStride;
        uint8_t* dst = bitmap.scanLine(i);
        if (image.channels == 3) {
            std::memcpy(dst, src, size_t(columns) * 3);
        } else {
            for (int j = 0; j < columns; ++j) dst[3 * j] = dst[3 * j + 1] = dst[3 * j + 2] = src[j];
        }
    }
}

PreviewWidget::PreviewWidget(QWidget* parent) : QWidget(parent) {
    // Every pixel is painted from the bitmap; nothing to erase first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
}

void PreviewWidget::clear() {
    if (!bitmap_.isNull()) bitmap_.fill(0);
}

void PreviewWidget::showFrame(const Image& frame) {
    frame_ = &frame;
    repaint();
}

void PreviewWidget::paintEvent(QPaintEvent*) {
    // Made anew only when the client rectangle changed, so a frame's paint allocates nothing.
    if (bitmap_.isNull() || rect() != bitmapRect_) {
        bitmap_ = QImage();
        bitmapRect_ = QRect();
        if (width() > 0 && height() > 0) {
            QImage made(width(), height(), QImage::Format_BGR888);
            if (!made.isNull()) {
                made.fill(0);
                bitmap_ = std::move(made);
                bitmapRect_ = rect();
            }
        }
    }
    if (bitmap_.isNull()) return;
    if (frame_) CopyToPreview(*frame_, bitmap_);
    QPainter painter(this);
    painter.drawImage(0, 0, bitmap_);
}

}  // namespace kestrel
