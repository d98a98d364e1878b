#include "DragDropView.h"

#include "ImageQueue.h"

#include <QDragEnterEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

DragDropView::DragDropView(QWidget* parent) : QWidget(parent), m_hint(new QLabel(this)) {
    setObjectName(QStringLiteral("dragView"));
    setAcceptDrops(true);
    setAccessibleName(tr("Drop area"));
    setAccessibleDescription(tr("Drop images or folders here"));
    m_hint->setObjectName(QStringLiteral("dropHint"));
    m_hint->setText(tr("Drop images or folders here"));
    m_hint->setAlignment(Qt::AlignCenter);
    m_hint->setStyleSheet(QStringLiteral("color: #5f6b7a; font-size: 14px;"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->setSpacing(12);
    layout->addWidget(m_hint);
    setMinimumHeight(52);
}

void DragDropView::setPlaceholder(QWidget* placeholder) {
    auto* box = static_cast<QVBoxLayout*>(layout());
    box->insertStretch(0, 1);
    box->insertWidget(1, placeholder, 0, Qt::AlignHCenter);
    box->addStretch(1);
}

bool DragDropView::checkDraggedFiles(const QMimeData* data) {
    if (!data || !data->hasUrls()) return false;
    const QList<QUrl> urls = data->urls();
    return !urls.isEmpty() && urls.first().isLocalFile() && !urls.first().toLocalFile().isEmpty();
}

bool DragDropView::enter(const QMimeData* data) {
    m_fileTypeIsOk = checkDraggedFiles(data);
    m_dragActive = m_fileTypeIsOk;
    update();
    return m_fileTypeIsOk;
}

void DragDropView::leave() {
    m_dragActive = false;
    update();
}

bool DragDropView::drop(const QMimeData* data) {
    m_dragActive = false;
    update();
    if (!m_queue || !data || !data->hasUrls()) return false;
    QStringList paths;
    for (const QUrl& url : data->urls()) {
        // Anything that is not a local path becomes the empty path, which cannot be read and so
        // is skipped by the intake.
        const QString path = url.isLocalFile() ? url.toLocalFile() : QString();
        if (!path.isEmpty() && !QFileInfo(path).isDir()) m_droppedFilePath = path;
        paths.append(path);
    }
    if (!paths.isEmpty()) m_queue->admitPaths(paths, /*dropped*/ true);
    return true;
}

void DragDropView::dragEnterEvent(QDragEnterEvent* event) {
    if (enter(event->mimeData())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void DragDropView::dragMoveEvent(QDragMoveEvent* event) {
    // Only the check made on entry counts while the drag moves.
    if (m_fileTypeIsOk) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void DragDropView::dragLeaveEvent(QDragLeaveEvent* event) {
    leave();
    QWidget::dragLeaveEvent(event);
}

void DragDropView::dropEvent(QDropEvent* event) {
    if (drop(event->mimeData())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void DragDropView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    QPainterPath shape;
    shape.addRoundedRect(frame, 10, 10);
    p.fillPath(shape, m_dragActive ? QColor(226, 236, 255) : QColor(248, 249, 252));
    QPen pen(m_dragActive ? QColor(26, 115, 232) : QColor(160, 172, 190));
    pen.setWidthF(1.5);
    pen.setStyle(Qt::DashLine);
    pen.setDashPattern({5, 4});
    p.setPen(pen);
    p.drawPath(shape);
}
