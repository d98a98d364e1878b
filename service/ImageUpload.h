#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <functional>

#include "ServiceFailure.h"

struct AppContext;
struct JsonReply;
class ServiceSession;

// What became of one image sent to "remove_image_background".
struct UploadOutcome {
    bool accepted = false;       // a 200 reply: the credit is spent
    QString resultUrl;           // accepted: "output_image_url" as the service wrote it
    QJsonObject reply;           // accepted: the whole reply (it carries the credit balances)
    ServiceFailure failure;      // not accepted: what it means
    QString text;                // not accepted: the row's status text
    bool failedForGood = false;  // another attempt cannot change the answer
};

// Sends one image to the service and reads the reply. The file is opened when the image is sent
// and streamed from disk; it is only ever opened for reading.
class ImageUpload final : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString imgFormat;  // "png" or "jpg"
        bool isColored = false;
        QString selectedColor;  // sent as "bg_color_code" only when isColored
    };

    static inline const QString kEndpoint = QStringLiteral("remove_image_background");
    static inline const QString kTooLarge = QStringLiteral("Image size is larger than 12 MB");
    static inline const QString kUnreadable = QStringLiteral("Image could not be read");
    static constexpr qint64 kSizeLimit = 12LL * 1024 * 1024;

    ImageUpload(AppContext& context, ServiceSession& session, QObject* parent = nullptr);

    // Sends the file at `path` as `fileName` with `apiKey`. `done` runs exactly once: at once
    // when nothing is sent (the file cannot be read, or is 12 MB or more), otherwise when the
    // reply has been read.
    void send(const QString& path, const QString& fileName, const QString& apiKey,
              const Options& options, std::function<void(const UploadOutcome&)> done,
              std::function<void()> sent = nullptr);

    // Whether a file of this size may be sent.
    static bool isImageSizeAllowed(qint64 byteCount);
    // The type of a file from its first bytes: image/png, image/jpeg or
    // application/octet-stream.
    static QByteArray sniffContentType(const QByteArray& head);
    // Turns a reply into an outcome; `sentImage` says whether the file sent was a PNG or JPEG.
    static UploadOutcome readReply(const JsonReply& reply, bool sentImage = true);

private:
    AppContext& m_context;
    ServiceSession& m_session;
};
