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

ImagePreview::ImagePreview(QWidget* parent) : QDialog(parent), m_label(new QLabel(this)) {
    setObjectName(QStringLiteral("previewWindow"));
    setModal(false);
    setMinimumSize(320, 240);
    resize(720, 540);
    m_label->setAlignment(Qt::AlignCenter);
    m_label->setMinimumSize(1, 1);
    m_label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    // A light grey ground shows where the result is transparent.
    m_label->setStyleSheet(QStringLiteral("QLabel { background-color: #e8e8e8; color: #555; }"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_label);
}

bool ImagePreview::showFile(const QString& path) {
    if (path.isEmpty() || !QFileInfo(path).isFile()) return false;
    m_path = path;
    m_picture = QPixmap();
    m_label->setPixmap(QPixmap());
    m_label->setText(tr("Loading…"));
    setWindowTitle(QFileInfo(path).fileName());
    setAccessibleName(tr("Preview of %1").arg(QFileInfo(path).fileName()));
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
    show();
    raise();
    activateWindow();
    return true;
}

void ImagePreview::loaded(quint64 generation, const QImage& image) {
    if (generation != m_generation) return;  // another file was asked for meanwhile
    m_picture = image.isNull() ? QPixmap() : QPixmap::fromImage(image);
    if (m_picture.isNull()) m_label->setText(tr("This file cannot be shown."));
    updatePicture();
    emit pictureLoaded(!m_picture.isNull());
}

void ImagePreview::updatePicture() {
    if (m_picture.isNull()) return;
    const qreal ratio = devicePixelRatioF();
    const QSize box = m_label->size() * ratio;
    QPixmap fitted = m_picture;
    if (m_picture.width() > box.width() || m_picture.height() > box.height())
        fitted = m_picture.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    fitted.setDevicePixelRatio(ratio);
    m_label->setPixmap(fitted);
}

void ImagePreview::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Escape) {
        close();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ImagePreview::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    updatePicture();
}
