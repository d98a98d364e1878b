#include "ReviewCanvas.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <cmath>

namespace {
const QColor kCanvas(0x2f, 0x32, 0x37);
const QColor kCheckLight(0xff, 0xff, 0xff);
const QColor kCheckDark(0xcc, 0xcc, 0xcc);
// Largest scaled copy kept for painting; beyond it only the visible part is drawn.
constexpr qint64 kMaxCachePixels = 4096LL * 4096LL;
}  // namespace

ReviewCanvas::ReviewCanvas(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("reviewCanvas"));
    setMinimumSize(1, 1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setCursor(Qt::OpenHandCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

ReviewCanvas::Picture ReviewCanvas::prepare(const QImage& shown) {
    Picture picture{shown, QImage()};
    if (shown.width() > kSmallEdge || shown.height() > kSmallEdge)
        picture.small =
            shown.scaled(kSmallEdge, kSmallEdge, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return picture;
}

void ReviewCanvas::setImages(const Picture& result, const Picture& source, const QSize& pixelSize) {
    m_result = result;
    m_source = source;
    m_pixelSize = pixelSize.isValid() ? pixelSize : result.shown.size();
    m_resultCache = QPixmap();
    m_sourceCache = QPixmap();
    fit();
}

void ReviewCanvas::clear() {
    setImages(Picture(), Picture(), QSize());
}

qreal ReviewCanvas::fitZoom() const {
    if (m_pixelSize.isEmpty() || width() <= 0 || height() <= 0) return 1.0;
    const qreal z =
        std::min(qreal(width()) / m_pixelSize.width(), qreal(height()) / m_pixelSize.height());
    return std::clamp(std::min(z, 1.0), kMinZoom, kMaxZoom);  // small pictures keep their size
}

void ReviewCanvas::fit() {
    m_fitted = true;
    m_center = QPointF(m_pixelSize.width() / 2.0, m_pixelSize.height() / 2.0);
    const qreal z = fitZoom();
    const bool changed = !qFuzzyCompare(z, m_zoom);
    m_zoom = z;
    m_resultCache = QPixmap();
    m_sourceCache = QPixmap();
    update();
    if (changed) emit zoomChanged(m_zoom);
}

void ReviewCanvas::setZoom(qreal zoom, const QPointF& anchor) {
    zoom = std::clamp(zoom, kMinZoom, kMaxZoom);
    if (m_pixelSize.isEmpty()) return;
    const QPointF at = anchor.x() < 0 ? QPointF(width() / 2.0, height() / 2.0) : anchor;
    const QPointF mid(width() / 2.0, height() / 2.0);
    // The picture point under the anchor stays there.
    const QPointF point = m_center + (at - mid) / m_zoom;
    m_zoom = zoom;
    m_center = point - (at - mid) / m_zoom;
    m_fitted = false;
    clampPan();
    m_resultCache = QPixmap();
    m_sourceCache = QPixmap();
    update();
    emit zoomChanged(m_zoom);
}

void ReviewCanvas::zoomBy(qreal factor, const QPointF& anchor) {
    setZoom(m_zoom * factor, anchor);
}

void ReviewCanvas::clampPan() {
    // A picture smaller than the window stays centred; a larger one cannot leave it empty.
    const auto clampAxis = [](qreal center, qreal picture, qreal view) {
        if (picture <= view) return picture / 2.0;
        return std::clamp(center, view / 2.0, picture - view / 2.0);
    };
    m_center.setX(clampAxis(m_center.x(), m_pixelSize.width(), width() / m_zoom));
    m_center.setY(clampAxis(m_center.y(), m_pixelSize.height(), height() / m_zoom));
}

QRectF ReviewCanvas::pictureRect() const {
    const QSizeF size = QSizeF(m_pixelSize) * m_zoom;
    const QPointF topLeft = QPointF(width() / 2.0, height() / 2.0) - m_center * m_zoom;
    // Whole screen pixels, so that 100 % maps each pixel onto one.
    return QRectF(QPointF(std::round(topLeft.x()), std::round(topLeft.y())), size);
}

void ReviewCanvas::setBackdrop(Backdrop backdrop, const QColor& chosen) {
    m_backdrop = backdrop;
    m_chosen = chosen;
    update();
}

void ReviewCanvas::setSplit(qreal split) {
    m_split = std::clamp(split, 0.0, 1.0);
    update();
}

void ReviewCanvas::setShowSource(bool show) {
    if (show == m_showSource) return;
    m_showSource = show;
    update();
}

void ReviewCanvas::drawPicture(QPainter& p, const Picture& picture, const QRectF& target,
                               const QRectF& clip, QPixmap* cache) {
    const QImage& image = picture.shown;
    if (image.isNull()) return;
    p.save();
    p.setClipRect(clip);
    const QSize size = target.size().toSize();
    if (qint64(size.width()) * size.height() <= kMaxCachePixels && m_zoom <= 1.0) {
        // Shrunk once per zoom level, from the small copy when it is large enough, then
        // painted as it is.
        const QImage& from = !picture.small.isNull() && picture.small.width() >= size.width() &&
                                     picture.small.height() >= size.height()
                                 ? picture.small
                                 : image;
        if (cache->size() != size)
            *cache = QPixmap::fromImage(
                from.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        p.drawPixmap(target.topLeft(), *cache);
    } else {
        // Enlarged: only the visible part, pixels kept sharp.
        const QRectF visible = target.intersected(clip);
        const qreal sx = image.width() / target.width();
        const qreal sy = image.height() / target.height();
        const QRectF from((visible.left() - target.left()) * sx,
                          (visible.top() - target.top()) * sy, visible.width() * sx,
                          visible.height() * sy);
        p.drawImage(visible, image, from);
    }
    p.restore();
}

void ReviewCanvas::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), kCanvas);
    if (m_result.shown.isNull()) return;
    const QRectF target = pictureRect();
    const QRectF shown = target.intersected(QRectF(rect()));

    switch (m_backdrop) {
        case Backdrop::Checkerboard: {
            p.fillRect(shown, kCheckLight);
            p.save();
            p.setClipRect(shown);
            const int x0 = int(std::floor(target.left()));
            const int y0 = int(std::floor(target.top()));
            const int firstCol = std::max(0, int((shown.left() - x0) / kChecker));
            const int firstRow = std::max(0, int((shown.top() - y0) / kChecker));
            for (int row = firstRow; y0 + row * kChecker < shown.bottom(); ++row)
                for (int col = firstCol; x0 + col * kChecker < shown.right(); ++col)
                    if ((row + col) % 2 == 1)
                        p.fillRect(x0 + col * kChecker, y0 + row * kChecker, kChecker, kChecker,
                                   kCheckDark);
            p.restore();
            break;
        }
        case Backdrop::White:
            p.fillRect(shown, Qt::white);
            break;
        case Backdrop::Black:
            p.fillRect(shown, Qt::black);
            break;
        case Backdrop::Chosen:
            p.fillRect(shown, m_chosen.isValid() ? m_chosen : QColor(Qt::white));
            break;
    }

    const bool before = hasSource();
    const qreal splitX = target.left() + target.width() * (m_showSource ? 1.0 : m_split);
    if (before && splitX > target.left()) {
        const QRectF left(QPointF(shown.left(), shown.top()),
                          QPointF(std::min(splitX, shown.right()), shown.bottom()));
        drawPicture(p, m_source, target, left, &m_sourceCache);
    }
    const QRectF right(QPointF(before ? std::max(splitX, shown.left()) : shown.left(), shown.top()),
                       shown.bottomRight());
    if (right.width() > 0) drawPicture(p, m_result, target, right, &m_resultCache);
    if (before && !m_showSource && m_split > 0.0 && m_split < 1.0) {
        p.setPen(QPen(QColor(255, 255, 255, 230), 2));
        p.drawLine(QPointF(splitX, shown.top()), QPointF(splitX, shown.bottom()));
    }
}

void ReviewCanvas::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (m_fitted)
        fit();
    else
        clampPan();
}

void ReviewCanvas::wheelEvent(QWheelEvent* event) {
    const qreal steps = event->angleDelta().y() / 120.0;
    if (steps != 0.0) zoomBy(std::pow(1.25, steps), event->position());
    event->accept();
}

void ReviewCanvas::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    m_dragging = true;
    m_dragFrom = event->position();
    setCursor(Qt::ClosedHandCursor);
}

void ReviewCanvas::mouseMoveEvent(QMouseEvent* event) {
    if (!m_dragging) return QWidget::mouseMoveEvent(event);
    m_center -= (event->position() - m_dragFrom) / m_zoom;
    m_dragFrom = event->position();
    m_fitted = false;
    clampPan();
    update();
}

void ReviewCanvas::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
    m_dragging = false;
    setCursor(Qt::OpenHandCursor);
}
