#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <functional>

struct AppContext;
struct JsonReply;
class DataModel;
class ServiceSession;

// What became of one image sent to "remove_image_background".
struct UploadOutcome {
    enum class Kind {
        Accepted,     // a 200 reply: resultUrl is "output_image_url" as the service wrote it
        Failed,       // the image failed with `text`; the run moves on
        Halted,       // the exchange broke down (no JSON); the run stops at this image
        OutOfCredit,  // the service refused the image for want of credit; nothing was spent
    };
    Kind kind = Kind::Halted;
    QString text;                // Failed: the row's status text; Halted: what broke
    QString resultUrl;           // Accepted
    QJsonObject reply;           // Accepted: the whole reply (it carries the credit balances)
    bool failedForGood = false;  // Failed: another attempt cannot change the answer
    // The same image may well succeed after a pause (see JsonReply::isTransient); `kind` says
    // what becomes of it once the retries are used up.
    bool transient = false;
    QString transientReason;
    qint64 retryAfterMs = -1;
};

// Sends one queued image to the service and reads the reply. The file is opened when the image
// is sent and streamed from disk; it is only ever opened for reading.
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

    ImageUpload(AppContext& context, ServiceSession& session, QObject* parent = nullptr);

    // Sends the record's file. `done` runs exactly once: at once when nothing is sent (the file
    // cannot be read, or is 12 MB or more), otherwise when the reply has been read.
    void send(const DataModel& record, const Options& options,
              std::function<void(const UploadOutcome&)> done);

    // The type of a file from its first bytes: image/png, image/jpeg or
    // application/octet-stream.
    static QByteArray sniffContentType(const QByteArray& head);
    // Turns a reply into an outcome; `sentImage` says whether the file sent was a PNG or JPEG.
    static UploadOutcome readReply(const JsonReply& reply, bool sentImage = true);
    // Whether a refusal says that no credit is left.
    static bool isOutOfCredit(int httpStatus, const QString& errorText);

private:
    AppContext& m_context;
    ServiceSession& m_session;
};
