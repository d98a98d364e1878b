#pragma once

#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThreadPool>

// Small pictures of the queued images, decoded off the main thread at list size and kept by
// path. Asking for a thumbnail that is not made yet starts its decoding (the newest requests
// first) and answers with a null image; thumbnailReady() follows on the main thread.
class ThumbnailCache final : public QObject {
    Q_OBJECT
public:
    // The shorter side of a thumbnail, in pixels: enough for a 32-point picture at twice the
    // screen density.
    static constexpr int kEdge = 64;

    explicit ThumbnailCache(QObject* parent = nullptr);
    ~ThumbnailCache() override;  // waits for the decodings in progress

    // The thumbnail when it is made; otherwise a null image, and the decoding is requested.
    QImage thumbnail(const QString& path);
    // True when the file was decoded, or could not be decoded (no further attempt is made).
    bool isSettled(const QString& path) const;
    // Withdraws a request that has not started (its row left the screen).
    void cancel(const QString& path);
    // Requests waiting or decoding.
    int pendingCount() const { return static_cast<int>(m_waiting.size() + m_running.size()); }
    void setMaxThreads(int count);
    // Decodes the file at thumbnail size; a null image when it is not a picture. Any thread.
    static QImage decode(const QString& path);

signals:
    void thumbnailReady(const QString& path);

private:
    void startMore();
    void finished(const QString& path, const QImage& image);

    QThreadPool m_pool;
    QCache<QString, QImage> m_images;  // cost in KiB
    QSet<QString> m_failed;
    QStringList m_waiting;  // the last entry is decoded first
    QSet<QString> m_running;
};
