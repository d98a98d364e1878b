#include "ImageUpload.h"

#include "AppContext.h"
#include "ConsoleLog.h"
#include "LowDelaySockets.h"
#include "ServiceSession.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
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

bool ImageUpload::isImageSizeAllowed(qint64 byteCount) {
    ConsoleLog::line(QStringLiteral("There were ") + QString::number(byteCount) +
                     QStringLiteral(" bytes"));
    const double mb = static_cast<double>(byteCount) / 1e6;
    ConsoleLog::line(QStringLiteral("formatted result: ") + QLocale::c().toString(mb, 'f', 1) +
                     QStringLiteral(" MB"));
    return byteCount < kSizeLimit;
}

UploadOutcome ImageUpload::readReply(const JsonReply& reply, bool sentImage) {
    UploadOutcome outcome;
    outcome.failure = reply.failure();
    if (outcome.failure.ok() && reply.httpStatus == 200) {
        // The address is used as written: it is already a URL, and encoding it again would turn
        // its escapes ("%20") into other characters.
        outcome.accepted = true;
        const QJsonValue url = reply.object.value(QLatin1String("output_image_url"));
        outcome.resultUrl = url.isString() ? url.toString().trimmed() : QString();
        outcome.reply = reply.object;
        return outcome;
    }
    if (outcome.failure.ok()) {  // another 2xx: not what was asked for
        outcome.failure.kind = ServiceFailure::Kind::Permanent;
        outcome.failure.reason = QStringLiteral("HTTP status %1").arg(reply.httpStatus);
    }
    if (!outcome.failure.answered) {
        outcome.text =
            outcome.failure.untrusted ? outcome.failure.haltText() : outcome.failure.reason;
        return outcome;
    }
    const QJsonValue error = reply.object.value(QLatin1String("error"));
    outcome.text =
        error.isString()
            ? error.toString()
            : QStringLiteral("The service answered with HTTP status %1").arg(reply.httpStatus);
    // A file that is no PNG or JPEG and was refused stays refused.
    outcome.failedForGood = !sentImage && outcome.failure.kind == ServiceFailure::Kind::Permanent &&
                            reply.httpStatus >= 400 && reply.httpStatus < 500;
    return outcome;
}

void ImageUpload::send(const QString& path, const QString& fileName, const QString& apiKey,
                       const Options& options, std::function<void(const UploadOutcome&)> done,
                       std::function<void()> sent) {
    const QList<QPair<QByteArray, QByteArray>> headers{
        {QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/x-www-form-urlencoded")},
        {QByteArrayLiteral("API-KEY"), apiKey.toUtf8()},
    };
    // The key itself never goes to the log: anyone who sees the terminal could spend its credits.
    ConsoleLog::line(ConsoleLog::maskedSecret(apiKey));

    auto fail = [&done](const QString& text) {
        UploadOutcome outcome;
        outcome.failure.kind = ServiceFailure::Kind::Permanent;
        outcome.failure.reason = text;
        outcome.text = text;
        outcome.failedForGood = true;
        done(outcome);
    };

    // The bytes are read now, not when the image was queued; the file is never written to.
    auto file = std::make_shared<QFile>(path);
    if (path.isEmpty() || !QFileInfo(path).isFile() || !file->open(QIODevice::ReadOnly)) {
        fail(kUnreadable);
        return;
    }
    if (!isImageSizeAllowed(file->size())) {
        fail(kTooLarge);
        return;
    }
    FormPart image;
    image.name = QByteArrayLiteral("source_image_file");
    image.fileName = fileName;
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
    LowDelaySockets::applyIfDue(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
    m_session.postForm(
        url, parts, headers,
        [done = std::move(done), sentImage](const JsonReply& reply) {
            done(readReply(reply, sentImage));
        },
        true, std::move(sent));
}
