#include "ThumbnailView.h"

#include <QPainter>
#include <QPainterPath>

ThumbnailView::ThumbnailView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void ThumbnailView::setImage(const QImage& image) {
    m_pixmap = image.isNull() ? QPixmap() : QPixmap::fromImage(image);
    update();
}

void ThumbnailView::clear() {
    if (m_pixmap.isNull()) return;
    m_pixmap = QPixmap();
    update();
}

void ThumbnailView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(frame, 5, 5);
    p.fillPath(shape, QColor(236, 239, 244));
    if (!m_pixmap.isNull()) {
        p.save();
        p.setClipPath(shape);
        const QSizeF logical = QSizeF(m_pixmap.size()) / m_pixmap.devicePixelRatio();
        QSizeF fitted = logical.scaled(frame.size(), Qt::KeepAspectRatioByExpanding);
        QRectF target(QPointF(0, 0), fitted);
        target.moveCenter(frame.center());
        p.drawPixmap(target, m_pixmap, QRectF(m_pixmap.rect()));
        p.restore();
    }
    QPen pen(QColor(192, 192, 192));
    pen.setWidthF(0.5);
    p.setPen(pen);
    p.drawPath(shape);
}
