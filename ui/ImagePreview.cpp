#include "ImagePreview.h"

#include "ElidedLabel.h"
#include "ReviewCanvas.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QThreadPool>
#include <QVBoxLayout>
#include <cmath>

namespace {

// Reads a picture, shrunk while decoding when it has more than `maxPixels`; `size` gets its
// size as saved. A null image when the file is no picture.
QImage readPicture(const QString& path, qint64 maxPixels, QSize* size) {
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QSize full = reader.size();
    if (full.isValid() && reader.transformation().testFlag(QImageIOHandler::TransformationRotate90))
        full.transpose();
    const qint64 pixels = full.isValid() ? qint64(full.width()) * full.height() : 0;
    if (pixels > maxPixels) {
        const qreal scale = std::sqrt(qreal(maxPixels) / pixels);
        reader.setScaledSize(
            QSize(qMax(1, int(full.width() * scale)), qMax(1, int(full.height() * scale))));
    }
    QImage image = reader.read();
    if (size) *size = full.isValid() ? full : image.size();
    if (!image.isNull() && image.format() != QImage::Format_ARGB32_Premultiplied)
        image.convertTo(QImage::Format_ARGB32_Premultiplied);
    return image;
}

}  // namespace

ImagePreview::ImagePreview(QWidget* parent)
    : QDialog(parent),
      m_canvas(new ReviewCanvas(this)),
      m_backdrop(new QComboBox(this)),
      m_split(new QSlider(Qt::Horizontal, this)),
      m_caption(new ElidedLabel(Qt::ElideMiddle, this)),
      m_zoomLabel(new QLabel(this)) {
    setObjectName(QStringLiteral("previewWindow"));
    setWindowTitle(tr("Review"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::WindowMinMaxButtonsHint);
    setModal(false);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(480, 360);
    resize(900, 660);

    m_backdrop->setObjectName(QStringLiteral("backdrop"));
    m_backdrop->addItems({tr("Checkerboard"), tr("White"), tr("Black"), tr("Chosen color")});
    m_backdrop->setAccessibleName(tr("Backdrop"));
    m_backdrop->setFocusPolicy(Qt::NoFocus);
    connect(m_backdrop, &QComboBox::currentIndexChanged, this, &ImagePreview::applyBackdrop);

    m_split->setObjectName(QStringLiteral("beforeAfter"));
    m_split->setRange(0, 100);
    m_split->setAccessibleName(tr("Before and after"));
    m_split->setToolTip(
        tr("Drag to show the source photo on the left (hold Space to see all of it)"));
    m_split->setFocusPolicy(Qt::NoFocus);
    m_split->setFixedWidth(180);
    connect(m_split, &QSlider::valueChanged, this,
            [this](int value) { m_canvas->setSplit(value / 100.0); });

    auto* fit = new QPushButton(tr("Fit"), this);
    fit->setObjectName(QStringLiteral("btnFit"));
    fit->setFocusPolicy(Qt::NoFocus);
    connect(fit, &QPushButton::clicked, m_canvas, &ReviewCanvas::fit);
    auto* actual = new QPushButton(tr("100 %"), this);
    actual->setObjectName(QStringLiteral("btnActualSize"));
    actual->setFocusPolicy(Qt::NoFocus);
    connect(actual, &QPushButton::clicked, this, [this] { m_canvas->setZoom(1.0); });

    m_caption->setObjectName(QStringLiteral("previewCaption"));
    m_caption->setMinimumWidth(80);
    m_caption->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_zoomLabel->setObjectName(QStringLiteral("zoomLabel"));
    m_zoomLabel->setMinimumWidth(48);
    m_zoomLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    connect(m_canvas, &ReviewCanvas::zoomChanged, this, &ImagePreview::updateCaption);

    auto* bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("reviewBar"));
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(10, 6, 10, 6);
    barLayout->setSpacing(8);
    barLayout->addWidget(m_caption, 1);
    barLayout->addWidget(new QLabel(tr("Before"), bar));
    barLayout->addWidget(m_split);
    barLayout->addWidget(new QLabel(tr("After"), bar));
    barLayout->addSpacing(8);
    barLayout->addWidget(m_backdrop);
    barLayout->addWidget(fit);
    barLayout->addWidget(actual);
    barLayout->addWidget(m_zoomLabel);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_canvas, 1);
    layout->addWidget(bar);

    const struct {
        QKeySequence keys;
        std::function<void()> act;
    } shortcuts[] = {
        {QKeySequence::ZoomIn, [this] { m_canvas->zoomBy(1.25); }},
        {QKeySequence(Qt::CTRL | Qt::Key_Equal), [this] { m_canvas->zoomBy(1.25); }},
        {QKeySequence::ZoomOut, [this] { m_canvas->zoomBy(0.8); }},
        {QKeySequence(Qt::CTRL | Qt::Key_0), [this] { m_canvas->fit(); }},
        {QKeySequence(Qt::CTRL | Qt::Key_1), [this] { m_canvas->setZoom(1.0); }},
    };
    for (const auto& s : shortcuts)
        connect(new QShortcut(s.keys, this), &QShortcut::activated, this, s.act);
}

QString ImagePreview::currentPath() const {
    return m_index >= 0 && m_index < m_items.size() ? m_items.at(m_index).result : QString();
}

void ImagePreview::setChosenColor(const QColor& color) {
    m_chosen = color;
    applyBackdrop();
}

void ImagePreview::applyBackdrop() {
    m_canvas->setBackdrop(static_cast<ReviewCanvas::Backdrop>(m_backdrop->currentIndex()),
                          m_chosen);
}

bool ImagePreview::open(const QList<Item>& items, int index) {
    if (index < 0 || index >= items.size() || !QFileInfo(items.at(index).result).isFile())
        return false;
    m_items = items;
    m_index = -1;
    showItem(index);
    show();
    raise();
    activateWindow();
    setFocus();
    return true;
}

ImagePreview::Decoded ImagePreview::decode(const Item& item) {
    Decoded out;
    out.result = ReviewCanvas::prepare(readPicture(item.result, kMaxShownPixels, &out.pixelSize));
    if (!out.result.shown.isNull() && !item.source.isEmpty())
        out.source = ReviewCanvas::prepare(readPicture(item.source, kMaxShownPixels, nullptr));
    return out;
}

void ImagePreview::showItem(int index) {
    if (m_items.isEmpty()) return;
    index = qBound(0, index, count() - 1);
    if (index == m_index) return;
    m_index = index;
    m_pixelSize = QSize();
    m_loading = true;
    m_canvas->clear();
    const QString name = QFileInfo(currentPath()).fileName();
    setWindowTitle(name);
    setAccessibleName(tr("Review of %1").arg(name));
    updateCaption();
    const quint64 generation = ++m_generation;
    QThreadPool::globalInstance()->start(
        [self = QPointer<ImagePreview>(this), item = m_items.at(index), generation] {
            const Decoded decoded = decode(item);
            QMetaObject::invokeMethod(
                qApp,
                [self, generation, decoded] {
                    if (self) self->loaded(generation, decoded);
                },
                Qt::QueuedConnection);
        });
}

void ImagePreview::loaded(quint64 generation, const Decoded& decoded) {
    if (generation != m_generation) return;  // another file was asked for meanwhile
    m_loading = false;
    m_pixelSize = decoded.result.shown.isNull() ? QSize() : decoded.pixelSize;
    m_canvas->setImages(decoded.result, decoded.source, m_pixelSize);
    m_split->setEnabled(m_canvas->hasSource());
    const QString name = QFileInfo(currentPath()).fileName();
    if (hasPicture())
        setWindowTitle(QStringLiteral("%1 \u2014 %2 \u00d7 %3")
                           .arg(name)
                           .arg(m_pixelSize.width())
                           .arg(m_pixelSize.height()));
    updateCaption();
    emit pictureLoaded(hasPicture());
}

void ImagePreview::updateCaption() {
    const QString name = QFileInfo(currentPath()).fileName();
    QString caption =
        count() > 1 ? tr("%1 (%2 of %3)").arg(name).arg(m_index + 1).arg(count()) : name;
    if (m_loading)
        caption = tr("%1 \u2014 loading\u2026").arg(caption);
    else if (!hasPicture())
        caption = tr("%1 cannot be shown").arg(caption);
    m_caption->setFullText(caption);
    m_zoomLabel->setText(hasPicture() ? QStringLiteral("%1 %").arg(qRound(m_canvas->zoom() * 100))
                                      : QString());
}

void ImagePreview::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Left:
        case Qt::Key_Right:
            showItem(m_index + (event->key() == Qt::Key_Left ? -1 : 1));
            event->accept();
            return;
        case Qt::Key_Space:
            // Held: the source photo in the result's place.
            if (!event->isAutoRepeat()) m_canvas->setShowSource(true);
            event->accept();
            return;
        case Qt::Key_Escape:
            close();
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void ImagePreview::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat()) {
        m_canvas->setShowSource(false);
        event->accept();
        return;
    }
    QDialog::keyReleaseEvent(event);
}
