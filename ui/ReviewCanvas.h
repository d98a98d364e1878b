#pragma once

#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QWidget>

// The picture area of the review window: the result over a backdrop, zoomed and panned, with the
// source photo shown instead (or left of a split line) for before/after. Zoom is in screen pixels
// per pixel of the result as saved, so 1.0 is 100 % even when a large file is shown through a
// scaled copy.
class ReviewCanvas final : public QWidget {
    Q_OBJECT
public:
    enum class Backdrop { Checkerboard, White, Black, Chosen };
    static constexpr qreal kMinZoom = 0.02;
    static constexpr qreal kMaxZoom = 32.0;
    static constexpr int kChecker = 8;  // side of a checkerboard square, in screen pixels

    explicit ReviewCanvas(QWidget* parent = nullptr);

    // A picture as shown: a copy of at most a few ten megapixels, and a small one (at most
    // kSmallEdge on a side) that zoomed-out views are drawn from.
    struct Picture {
        QImage shown;
        QImage small;
    };
    static constexpr int kSmallEdge = 2048;
    // Makes the small copy of `shown` (off the main thread: it takes a while for large ones).
    static Picture prepare(const QImage& shown);

    // `result` and `source` may be scaled copies of pictures of `pixelSize`; the source is laid
    // over the result's place whatever its own size. The view is fitted.
    void setImages(const Picture& result, const Picture& source, const QSize& pixelSize);
    void clear();
    bool hasSource() const { return !m_source.shown.isNull(); }

    qreal zoom() const { return m_zoom; }
    bool isFitted() const { return m_fitted; }
    void fit();
    // Zooms to `zoom`, keeping the picture point under `anchor` (widget coordinates) in place;
    // the centre when no anchor is given.
    void setZoom(qreal zoom, const QPointF& anchor = QPointF(-1, -1));
    void zoomBy(qreal factor, const QPointF& anchor = QPointF(-1, -1));

    void setBackdrop(Backdrop backdrop, const QColor& chosen = QColor());
    // Share of the picture's width, from the left, that shows the source photo (0 to 1).
    void setSplit(qreal split);
    qreal split() const { return m_split; }
    void setShowSource(bool show);
    bool showsSource() const { return m_showSource; }
    // Where the picture lies, in widget coordinates.
    QRectF pictureRect() const;

signals:
    void zoomChanged(qreal zoom);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    qreal fitZoom() const;
    void clampPan();
    void drawPicture(QPainter& p, const Picture& picture, const QRectF& target, const QRectF& clip,
                     QPixmap* cache);

    Picture m_result;
    Picture m_source;
    QSize m_pixelSize;
    QPixmap m_resultCache;
    QPixmap m_sourceCache;
    qreal m_zoom = 1.0;
    bool m_fitted = true;
    QPointF m_center;  // the picture point (in saved pixels) at the widget's centre
    Backdrop m_backdrop = Backdrop::Checkerboard;
    QColor m_chosen;
    qreal m_split = 0.0;
    bool m_showSource = false;
    bool m_dragging = false;
    QPointF m_dragFrom;
};
