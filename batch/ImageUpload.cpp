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

QString ImageUpload::encodeResultUrl(const QString& text) {
    // The characters a URL query may hold besides the unreserved ones, which are never encoded.
    return QString::fromLatin1(QUrl::toPercentEncoding(text, QByteArrayLiteral("!$&'()*+,;=:@/?")));
}

UploadOutcome ImageUpload::readReply(const JsonReply& reply) {
    UploadOutcome outcome;
    if (!reply.hasValue) {
        outcome.kind = UploadOutcome::Kind::Halted;
        return outcome;
    }
    if (reply.httpStatus == 200) {
        outcome.kind = UploadOutcome::Kind::Accepted;
        const QJsonValue url = reply.object.value(QLatin1String("output_image_url"));
        outcome.resultUrl = encodeResultUrl(url.isString() ? url.toString() : QString());
        outcome.reply = reply.object;
        return outcome;
    }
    outcome.kind = UploadOutcome::Kind::Failed;
    const QJsonValue error = reply.object.value(QLatin1String("error"));
    outcome.text =
        error.isString()
            ? error.toString()
            : QStringLiteral("The service answered with HTTP status %1").arg(reply.httpStatus);
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
    // Checked before sending: a result that cannot be saved would still cost a credit.
    QString folderError;
    if (m_context.settings.prepareOutputFolder(&folderError).isEmpty()) {
        fail(folderError);
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

    const QUrl url = m_context.service.endpointUrl(kEndpoint);
    LowDelaySockets::apply(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
    m_session.postForm(
        url, parts, headers,
        [done = std::move(done)](const JsonReply& reply) { done(readReply(reply)); }, true);
}
