#include "ImagePreview.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QThreadPool>
#include <QVBoxLayout>

namespace {
// Large enough for any screen; the reader scales while decoding when it can.
constexpr int kMaxEdge = 2400;
}  // namespace

ImagePreview::ImagePreview(QWidget* parent)
    : QDialog(parent), m_pictureLabel(new QLabel(this)), m_caption(new QLabel(this)) {
    setObjectName(QStringLiteral("previewWindow"));
    setWindowTitle(tr("Preview"));
    setModal(false);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(320, 240);
    resize(720, 540);
    m_pictureLabel->setObjectName(QStringLiteral("previewPicture"));
    m_pictureLabel->setAlignment(Qt::AlignCenter);
    m_pictureLabel->setMinimumSize(1, 1);
    m_pictureLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    // A light grey ground shows where the result is transparent.
    m_pictureLabel->setStyleSheet(
        QStringLiteral("QLabel { background-color: #e8e8e8; color: #555; }"));
    m_caption->setObjectName(QStringLiteral("previewCaption"));
    m_caption->setAlignment(Qt::AlignCenter);
    m_caption->setContentsMargins(6, 4, 6, 6);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_pictureLabel, 1);
    layout->addWidget(m_caption);
}

QString ImagePreview::currentPath() const {
    return m_index >= 0 && m_index < m_items.size() ? m_items.at(m_index) : QString();
}

bool ImagePreview::open(const QStringList& paths, int index) {
    if (index < 0 || index >= paths.size() || !QFileInfo(paths.at(index)).isFile()) return false;
    m_items = paths;
    m_index = -1;
    showItem(index);
    show();
    raise();
    activateWindow();
    setFocus();
    return true;
}

void ImagePreview::showItem(int index) {
    if (m_items.isEmpty()) return;
    index = qBound(0, index, count() - 1);
    if (index == m_index) return;
    m_index = index;
    const QString path = m_items.at(index);
    const QString name = QFileInfo(path).fileName();
    m_picture = QPixmap();
    m_loading = true;
    m_pictureLabel->setPixmap(QPixmap());
    m_pictureLabel->setText(tr("Loading…"));
    m_pictureLabel->setAccessibleName(name);
    setWindowTitle(name);
    setAccessibleName(tr("Preview of %1").arg(name));
    updateCaption();
    const quint64 generation = ++m_generation;
    QThreadPool::globalInstance()->start([self = QPointer<ImagePreview>(this), path, generation] {
        QImageReader reader(path);
        reader.setAutoTransform(true);
        const QSize size = reader.size();
        if (size.isValid() && (size.width() > kMaxEdge || size.height() > kMaxEdge))
            reader.setScaledSize(size.scaled(kMaxEdge, kMaxEdge, Qt::KeepAspectRatio));
        const QImage image = reader.read();
        QMetaObject::invokeMethod(
            qApp,
            [self, generation, image] {
                if (self) self->loaded(generation, image);
            },
            Qt::QueuedConnection);
    });
}

void ImagePreview::loaded(quint64 generation, const QImage& image) {
    if (generation != m_generation) return;  // another file was asked for meanwhile
    m_loading = false;
    m_picture = image.isNull() ? QPixmap() : QPixmap::fromImage(image);
    if (m_picture.isNull()) m_pictureLabel->setText(tr("This file cannot be shown."));
    updateCaption();
    updatePicture();
    emit pictureLoaded(!m_picture.isNull());
}

void ImagePreview::updateCaption() {
    const QString name = QFileInfo(currentPath()).fileName();
    QString caption =
        count() > 1 ? tr("%1 (%2 of %3)").arg(name).arg(m_index + 1).arg(count()) : name;
    if (!m_loading && m_picture.isNull()) caption = tr("%1 cannot be shown").arg(caption);
    m_caption->setText(caption);
}

void ImagePreview::updatePicture() {
    if (m_picture.isNull()) return;
    const qreal ratio = devicePixelRatioF();
    const QSize box = m_pictureLabel->size() * ratio;
    // Small pictures keep their size; larger ones shrink to the window.
    QPixmap fitted = m_picture;
    if (m_picture.width() > box.width() || m_picture.height() > box.height())
        fitted = m_picture.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    fitted.setDevicePixelRatio(ratio);
    m_pictureLabel->setPixmap(fitted);
}

void ImagePreview::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Left:
        case Qt::Key_Right:
            showItem(m_index + (event->key() == Qt::Key_Left ? -1 : 1));
            event->accept();
            return;
        case Qt::Key_Space:
        case Qt::Key_Escape:
            close();
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void ImagePreview::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    updatePicture();
}
