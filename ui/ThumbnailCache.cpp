#include "ThumbnailCache.h"

#include <QImageReader>

namespace {
constexpr int kCacheKiB = 48 * 1024;
}

ThumbnailCache::ThumbnailCache(QObject* parent) : QObject(parent), m_images(kCacheKiB) {
    m_pool.setMaxThreadCount(2);
    m_pool.setExpiryTimeout(5000);
}

ThumbnailCache::~ThumbnailCache() {
    m_waiting.clear();
    m_pool.waitForDone();
}

void ThumbnailCache::setMaxThreads(int count) {
    m_pool.setMaxThreadCount(qMax(1, count));
}

QImage ThumbnailCache::thumbnail(const QString& path) {
    if (const QImage* image = m_images.object(path)) return *image;
    if (path.isEmpty() || m_failed.contains(path) || m_running.contains(path)) return QImage();
    m_waiting.removeOne(path);
    m_waiting.append(path);
    startMore();
    return QImage();
}

bool ThumbnailCache::isSettled(const QString& path) const {
    return m_images.contains(path) || m_failed.contains(path);
}

void ThumbnailCache::cancel(const QString& path) {
    m_waiting.removeOne(path);
}

void ThumbnailCache::startMore() {
    while (!m_waiting.isEmpty() && m_running.size() < m_pool.maxThreadCount()) {
        const QString path = m_waiting.takeLast();
        m_running.insert(path);
        m_pool.start([this, path] {
            const QImage image = decode(path);
            QMetaObject::invokeMethod(
                this, [this, path, image] { finished(path, image); }, Qt::QueuedConnection);
        });
    }
}

void ThumbnailCache::finished(const QString& path, const QImage& image) {
    m_running.remove(path);
    if (image.isNull()) {
        m_failed.insert(path);
    } else {
        m_images.insert(path, new QImage(image), static_cast<int>(image.sizeInBytes() / 1024) + 1);
    }
    emit thumbnailReady(path);
    startMore();
}

QImage ThumbnailCache::decode(const QString& path) {
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize full = reader.size();
    if (full.isValid() && (full.width() > kEdge || full.height() > kEdge)) {
        // The reader scales while decoding (a JPEG is decoded at a fraction of its size).
        QSize target = full.scaled(kEdge, kEdge, Qt::KeepAspectRatioByExpanding);
        target = target.boundedTo(full).expandedTo(QSize(1, 1));
        reader.setScaledSize(target);
    }
    QImage image = reader.read();
    if (image.isNull()) return image;
    if (image.width() > 4 * kEdge || image.height() > 4 * kEdge)
        image = image.scaled(kEdge * 2, kEdge * 2, Qt::KeepAspectRatioByExpanding,
                             Qt::SmoothTransformation);
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}
