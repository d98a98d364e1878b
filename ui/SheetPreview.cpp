#include "SheetPreview.h"

#include <QFileInfo>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

namespace {

// Pictures larger than this are decoded at a reduced size: the window never shows more.
constexpr int kMaxDecodedSide = 2560;

QPixmap readPicture(const QString& path) {
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > kMaxDecodedSide || size.height() > kMaxDecodedSide))
        reader.setScaledSize(size.scaled(kMaxDecodedSide, kMaxDecodedSide, Qt::KeepAspectRatio));
    const QImage image = reader.read();
    return image.isNull() ? QPixmap() : QPixmap::fromImage(image);
}

}  // namespace

SheetPreview::SheetPreview(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("sheetPreview"));
    setWindowTitle(tr("Preview"));
    setAccessibleName(tr("Image preview"));
    resize(720, 540);

    m_pictureLabel = new QLabel(this);
    m_pictureLabel->setObjectName(QStringLiteral("previewPicture"));
    m_pictureLabel->setAlignment(Qt::AlignCenter);
    m_pictureLabel->setMinimumSize(120, 90);
    m_pictureLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);

    m_caption = new QLabel(this);
    m_caption->setObjectName(QStringLiteral("previewCaption"));
    m_caption->setAlignment(Qt::AlignCenter);
    m_caption->setTextInteractionFlags(Qt::NoTextInteraction);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pictureLabel, 1);
    layout->addWidget(m_caption);
    setFocusPolicy(Qt::StrongFocus);
}

QString SheetPreview::currentPath() const {
    return m_index >= 0 && m_index < m_items.size() ? m_items.at(m_index) : QString();
}

void SheetPreview::setItems(const QStringList& paths) {
    m_items = paths;
    m_index = -1;
    showItem(0);
}

void SheetPreview::showItem(int index) {
    if (m_items.isEmpty()) {
        m_index = -1;
        m_picture = QPixmap();
        m_caption->clear();
        updatePicture();
        return;
    }
    index = qBound(0, index, count() - 1);
    if (index == m_index) return;
    m_index = index;
    const QString path = m_items.at(index);
    m_picture = readPicture(path);
    const QString name = QFileInfo(path).fileName();
    const QString position = tr("%1 of %2").arg(index + 1).arg(count());
    m_caption->setText(m_picture.isNull() ? tr("%1 (%2) cannot be shown").arg(name, position)
                                          : tr("%1 (%2)").arg(name, position));
    setWindowTitle(name);
    m_pictureLabel->setAccessibleName(name);
    updatePicture();
}

void SheetPreview::bringToFront() {
    show();
    raise();
    activateWindow();
    setFocus();
}

void SheetPreview::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Left:
            showItem(m_index - 1);
            return;
        case Qt::Key_Right:
            showItem(m_index + 1);
            return;
        case Qt::Key_Space:
        case Qt::Key_Escape:
            close();
            return;
        default:
            QWidget::keyPressEvent(event);
    }
}

void SheetPreview::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updatePicture();
}

void SheetPreview::updatePicture() {
    if (m_picture.isNull()) {
        m_pictureLabel->clear();
        return;
    }
    const QSize area = m_pictureLabel->size();
    // Small pictures keep their size; larger ones shrink to the window.
    const QPixmap shown =
        m_picture.width() <= area.width() && m_picture.height() <= area.height()
            ? m_picture
            : m_picture.scaled(area, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    m_pictureLabel->setPixmap(shown);
}
