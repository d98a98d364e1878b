#include "ImageUpload.h"

#include "AppContext.h"
#include "ConsoleLog.h"
#include "DataModel.h"
#include "ImageQueue.h"
#include "LowDelaySockets.h"
#include "ServiceSession.h"
#include "SettingsStore.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <memory>

ImageUpload::ImageUpload(AppContext& context, ServiceSession& session, QObject* parent)
    : QObject(parent), m_context(context), m_session(session) {}

QByteArray ImageUpload::sniffContentType(const QByteArray& head) {
    static const QByteArray png("\x89PNG\r\n\x1a\n", 8);
    static const QByteArray jpeg("\xff\xd8\xff", 3);
    if (head.startsWith(png)) return QByteArrayLiteral("image/png");
    if (head.startsWith(jpeg)) return QByteArrayLiteral("image/jpeg");
    return QByteArrayLiteral("application/octet-stream");
}

bool ImageUpload::isOutOfCredit(int httpStatus, const QString& errorText) {
    if (httpStatus == 402) return true;
    const QString text = errorText.toLower();
    if (!text.contains(QLatin1String("credit"))) return false;
    for (const char* word : {"no ", "out of", "insufficient", "not enough", "exhausted", "0 "})
        if (text.contains(QLatin1String(word))) return true;
    return false;
}

UploadOutcome ImageUpload::readReply(const JsonReply& reply, bool sentImage) {
    UploadOutcome outcome;
    outcome.transient = reply.isTransient();
    outcome.transientReason = reply.transientReason();
    outcome.retryAfterMs = reply.retryAfterMs;
    if (!reply.hasValue) {
        outcome.kind = UploadOutcome::Kind::Halted;
        outcome.text = reply.httpStatus == 0 ? reply.transientReason() : reply.description;
        return outcome;
    }
    if (reply.httpStatus == 200) {
        // The address is used as written: it is already a URL, and encoding it again would turn
        // its escapes ("%20") into other characters.
        outcome.kind = UploadOutcome::Kind::Accepted;
        const QJsonValue url = reply.object.value(QLatin1String("output_image_url"));
        outcome.resultUrl = url.isString() ? url.toString().trimmed() : QString();
        outcome.reply = reply.object;
        return outcome;
    }
    outcome.kind = UploadOutcome::Kind::Failed;
    const QJsonValue error = reply.object.value(QLatin1String("error"));
    outcome.text =
        error.isString()
            ? error.toString()
            : QStringLiteral("The service answered with HTTP status %1").arg(reply.httpStatus);
    if (isOutOfCredit(reply.httpStatus, error.toString())) {
        outcome.kind = UploadOutcome::Kind::OutOfCredit;
        outcome.transient = false;
    }
    // A file that is no PNG or JPEG and was refused stays refused.
    outcome.failedForGood =
        !sentImage && reply.httpStatus >= 400 && reply.httpStatus < 500 && reply.httpStatus != 429;
    return outcome;
}

void ImageUpload::send(const DataModel& record, const Options& options,
                       std::function<void(const UploadOutcome&)> done) {
    const QString apiKey = m_context.settings.apiKey();
    const QList<QPair<QByteArray, QByteArray>> headers{
        {QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/x-www-form-urlencoded")},
        {QByteArrayLiteral("API-KEY"), apiKey.toUtf8()},
    };
    // The key itself never goes to the log: anyone who sees the terminal could spend its credits.
    ConsoleLog::line(ConsoleLog::maskedSecret(apiKey));

    auto fail = [&done](const QString& text) {
        UploadOutcome outcome;
        outcome.kind = UploadOutcome::Kind::Failed;
        outcome.text = text;
        outcome.failedForGood = true;
        done(outcome);
    };

    // The bytes are read now, not when the image was queued; the file is never written to.
    const QString path = record.imageURl.value_or(QString());
    auto file = std::make_shared<QFile>(path);
    if (path.isEmpty() || !QFileInfo(path).isFile() || !file->open(QIODevice::ReadOnly)) {
        fail(kUnreadable);
        return;
    }
    if (!ImageQueue::isImageSizeAllowed(file->size())) {
        fail(kTooLarge);
        return;
    }
    FormPart image;
    image.name = QByteArrayLiteral("source_image_file");
    image.fileName = record.imageName.value_or(QString());
    image.contentType = sniffContentType(file->peek(16));
    image.bodyDevice = file;

    QList<FormPart> parts{
        image,
        FormPart::text(QByteArrayLiteral("frequenteraug"), QStringLiteral("mac")),
        FormPart::text(QByteArrayLiteral("credit_info"), QStringLiteral("show")),
        FormPart::text(QByteArrayLiteral("format"), options.imgFormat),
    };
    if (options.isColored)
        parts.append(FormPart::text(QByteArrayLiteral("bg_color_code"), options.selectedColor));

    const bool sentImage = image.contentType != "application/octet-stream";
    const QUrl url = m_context.service.endpointUrl(kEndpoint);
    LowDelaySockets::apply(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
    m_session.postForm(
        url, parts, headers,
        [done = std::move(done), sentImage](const JsonReply& reply) {
            done(readReply(reply, sentImage));
        },
        true);
}
