#include "ServiceSession.h"

#include "ConsoleLog.h"
#include "LowDelaySockets.h"

#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTimeZone>
#include <QTimer>

#include <algorithm>

FormPart FormPart::text(const QByteArray& name, const QString& value) {
    FormPart part;
    part.name = name;
    part.value = value.toUtf8();
    return part;
}

ServiceSession::ServiceSession(QObject* parent) : QObject(parent) {}

ServiceSession::~ServiceSession() = default;

QNetworkAccessManager& ServiceSession::manager() {
    if (!m_manager) {
        m_manager = new QNetworkAccessManager(this);
        m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        m_manager->setAutoDeleteReplies(false);
    }
    return *m_manager;
}

QList<QSslCertificate> ServiceSession::readCaFile(const QString& path, QString* why) {
    // A bundle of every public authority is a few hundred kilobytes.
    constexpr qint64 kMaxBytes = 8 * 1024 * 1024;
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("the certificate authority file %1 cannot be read: %2")
                   .arg(path, QFileInfo(path).isDir() ? QStringLiteral("it is a folder")
                                                      : file.errorString());
        return {};
    }
    const QList<QSslCertificate> certificates =
        QSslCertificate::fromData(file.read(kMaxBytes), QSsl::Pem);
    if (certificates.isEmpty())
        *why =
            QStringLiteral("the certificate authority file %1 holds no PEM certificate").arg(path);
    return certificates;
}

bool ServiceSession::trustCaFile(TrustSource source, const QString& path, QString* why) {
    QList<QSslCertificate> added;
    if (!path.isEmpty()) {
        added = readCaFile(path, why);
        if (added.isEmpty()) return false;
    }
    m_trusted.insert(source, added);
    // The system's authorities are named outright: a configuration given authorities of its
    // own no longer looks them up by itself.
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    QList<QSslCertificate> all = tls.caCertificates();
    all += QSslConfiguration::systemCaCertificates();
    for (const QList<QSslCertificate>& certificates : std::as_const(m_trusted)) all += certificates;
    QList<QSslCertificate> unique;
    for (const QSslCertificate& certificate : std::as_const(all))
        if (!unique.contains(certificate)) unique.append(certificate);
    tls.setCaCertificates(unique);
    const bool ours = std::any_of(m_trusted.cbegin(), m_trusted.cend(),
                                  [](const QList<QSslCertificate>& c) { return !c.isEmpty(); });
    std::optional<QSslConfiguration> next =
        ours ? std::optional<QSslConfiguration>(tls) : std::nullopt;
    const auto authorities = [](const std::optional<QSslConfiguration>& c) {
        return c ? c->caCertificates() : QList<QSslCertificate>();
    };
    if (m_manager && authorities(next) != authorities(m_tls)) {
        // Its open connections were vouched for by the former trust, and the manager would
        // reuse them whatever the trust is now: later requests get a manager of their own. The
        // former one stays until the session ends, with the replies still on their way.
        m_manager = nullptr;
    }
    m_tls = std::move(next);
    return true;
}

void ServiceSession::applyTrust(QNetworkRequest& request) const {
    if (m_tls) request.setSslConfiguration(*m_tls);
}

void ServiceSession::setTimeouts(int inactivityMs, int deadlineMs) {
    m_inactivityMs = inactivityMs;
    m_deadlineMs = deadlineMs;
}

namespace {

QByteArray quotedHeaderValue(const QString& text) {
    // Quotes and line breaks cannot appear inside a quoted header parameter.
    QByteArray out = text.toUtf8();
    out.replace('\\', "\\\\");
    out.replace('"', "\\\"");
    out.replace('\r', ' ');
    out.replace('\n', ' ');
    return out;
}

QString describe(QNetworkReply* reply, const ReplyCut& cut) {
    if (cut.isSet()) return cut.text;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300 && status < 400)
        return QStringLiteral("redirect %1 to %2 not followed")
            .arg(status)
            .arg(reply->header(QNetworkRequest::LocationHeader).toUrl().toString());
    if (reply->error() != QNetworkReply::NoError && status == 0)
        return ServiceFailure::connectionWords(reply->error());
    return QString();
}

// True when the exchange itself broke (connection, TLS, time-out, cut short, malformed
// response), as opposed to an error that only reflects the HTTP status of a complete reply.
bool isTransportFailure(QNetworkReply::NetworkError error) {
    const int code = static_cast<int>(error);
    if (code >= 1 && code <= 99) return true;  // connection, TLS, time-out, aborted
    if (code >= 101 && code <= 199) return error != QNetworkReply::ProxyAuthenticationRequiredError;
    return error == QNetworkReply::ProtocolUnknownError || error == QNetworkReply::ProtocolFailure;
}

}  // namespace

ServiceAnswer JsonReply::answer() const {
    ServiceAnswer a;
    a.exchange = ServiceAnswer::Exchange::Json;
    a.error = networkError;
    a.timedOut = timedOut;
    a.httpStatus = httpStatus;
    a.body = hasValue ? ServiceAnswer::Body::Json : body;
    a.retryAfterMs = retryAfterMs;
    a.description = description;
    a.certificateErrors = certificateErrors;
    a.host = host;
    for (const char* key : {"error", "message"}) {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isString() && !value.toString().isEmpty()) {
            a.errorText = value.toString();
            break;
        }
    }
    return a;
}

qint64 parseRetryAfter(const QByteArray& value, const QDateTime& now) {
    const QByteArray text = value.trimmed();
    if (text.isEmpty()) return -1;
    bool ok = false;
    const qint64 seconds = text.toLongLong(&ok);
    if (ok) return seconds < 0 ? -1 : seconds * 1000;
    QDateTime at = QDateTime::fromString(QString::fromLatin1(text), Qt::RFC2822Date);
    if (!at.isValid()) {
        // The HTTP form names its zone "GMT".
        QString plain = QString::fromLatin1(text);
        if (plain.endsWith(QLatin1String(" GMT"))) plain.chop(4);
        at = QLocale::c().toDateTime(plain, QStringLiteral("ddd, dd MMM yyyy HH:mm:ss"));
        at.setTimeZone(QTimeZone::utc());
    }
    if (!at.isValid()) return -1;
    return std::max<qint64>(0, now.msecsTo(at));
}

JsonReply ServiceSession::readJsonBody(const QByteArray& body, int httpStatus) {
    JsonReply result;
    result.httpStatus = httpStatus;
    QJsonParseError error{};
    QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error == QJsonParseError::NoError) {
        result.hasValue = true;
        if (doc.isObject()) result.object = doc.object();
        return result;
    }
    // A bare string, number, boolean or null is a JSON value too; it reads as an empty object.
    QByteArray wrapped;
    wrapped.reserve(body.size() + 2);
    wrapped.append('[').append(body).append(']');
    doc = QJsonDocument::fromJson(wrapped, &error);
    if (error.error == QJsonParseError::NoError && doc.isArray() && doc.array().size() == 1) {
        result.hasValue = true;
        return result;
    }
    result.description = QStringLiteral("the reply is not JSON (HTTP status %1, %2 bytes)")
                             .arg(httpStatus)
                             .arg(body.size());
    result.body = body.isEmpty() ? ServiceAnswer::Body::None : ServiceAnswer::Body::NotJson;
    return result;
}

void ServiceSession::guardReply(QNetworkReply* reply, qint64 maxBytes,
                                std::shared_ptr<ReplyCut> cut) {
    auto cutShort = [reply, cut](ReplyCut::Kind kind, const QString& why) {
        if (reply->isFinished()) return;
        cut->set(kind, why);
        reply->abort();
    };

    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [cutShort, ms = m_deadlineMs] {
        cutShort(ReplyCut::Kind::TimedOut,
                 QStringLiteral("no complete reply within %1 s").arg(ms / 1000.0));
    });
    deadline->start(m_deadlineMs);

    // Any traffic in either direction restarts the inactivity timer.
    auto* idle = new QTimer(reply);
    idle->setSingleShot(true);
    idle->setInterval(m_inactivityMs);
    connect(idle, &QTimer::timeout, reply, [cutShort, ms = m_inactivityMs] {
        cutShort(ReplyCut::Kind::TimedOut, QStringLiteral("no data for %1 s").arg(ms / 1000.0));
    });
    auto restartIdle = [idle] { idle->start(); };
    connect(reply, &QNetworkReply::uploadProgress, idle, restartIdle);
    connect(reply, &QNetworkReply::downloadProgress, idle, restartIdle);
    connect(reply, &QNetworkReply::metaDataChanged, idle, restartIdle);
    idle->start();

    // Kept for the failure's words; nothing here ever accepts the certificate.
    connect(reply, &QNetworkReply::sslErrors, reply, [cut](const QList<QSslError>& errors) {
        for (const QSslError& error : errors) cut->certificateErrors.append(error.error());
    });

    connect(reply, &QNetworkReply::finished, deadline, &QTimer::stop);
    connect(reply, &QNetworkReply::finished, idle, &QTimer::stop);

    auto checkSize = [cutShort, maxBytes](qint64 received, qint64 total) {
        if (maxBytes >= 0 && (received > maxBytes || total > maxBytes))
            cutShort(ReplyCut::Kind::TooLarge,
                     QStringLiteral("the reply is larger than %1 bytes").arg(maxBytes));
    };
    connect(reply, &QNetworkReply::downloadProgress, reply, checkSize);
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, checkSize] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid()) checkSize(0, length.toLongLong());
    });
    // A transfer time-out set on the request by the caller ends the same way as ours, as
    // OperationCanceledError without a reason of ours.
    connect(reply, &QNetworkReply::errorOccurred, reply,
            [cut, ms = m_inactivityMs](QNetworkReply::NetworkError e) {
                if (e == QNetworkReply::OperationCanceledError)
                    cut->set(ReplyCut::Kind::TimedOut,
                             QStringLiteral("no data for %1 s").arg(ms / 1000.0));
            });
}

void ServiceSession::postForm(const QUrl& url, const QList<FormPart>& parts,
                              const QList<QPair<QByteArray, QByteArray>>& headers,
                              std::function<void(const JsonReply&)> done, bool logStatus,
                              std::function<void()> sent) {
    auto* multi = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    for (const FormPart& part : parts) {
        QHttpPart http;
        QByteArray disposition =
            "form-data; name=\"" + quotedHeaderValue(QString::fromUtf8(part.name)) + '"';
        if (part.bodyDevice || !part.fileName.isNull()) {
            disposition += "; filename=\"" + quotedHeaderValue(part.fileName) + '"';
            if (!part.contentType.isEmpty()) http.setRawHeader("Content-Type", part.contentType);
        }
        http.setRawHeader("Content-Disposition", disposition);
        if (part.bodyDevice)
            http.setBodyDevice(part.bodyDevice.get());
        else
            http.setBody(part.value);
        multi->append(http);
    }

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    applyTrust(request);
    for (const auto& header : headers) {
        // The multipart encoder sets the form's own Content-Type with its boundary.
        if (header.first.compare("Content-Type", Qt::CaseInsensitive) == 0) continue;
        request.setRawHeader(header.first, header.second);
    }

    QNetworkReply* reply = manager().post(request, multi);
    connect(reply, &QNetworkReply::socketStartedConnecting, reply,
            &LowDelaySockets::connectionStarted);
    multi->setParent(reply);
    // Keep streamed file devices alive until the reply is done.
    QList<std::shared_ptr<QIODevice>> devices;
    for (const FormPart& part : parts)
        if (part.bodyDevice) devices.append(part.bodyDevice);

    auto cut = std::make_shared<ReplyCut>();
    guardReply(reply, m_maxReplyBytes, cut);
    if (sent)
        connect(reply, &QNetworkReply::uploadProgress, this,
                [sent = std::move(sent), told = false](qint64 done, qint64 total) mutable {
                    if (told || total <= 0 || done < total) return;
                    told = true;
                    sent();
                });

    connect(
        reply, &QNetworkReply::finished, this,
        [reply, cut, done = std::move(done), devices, logStatus, maxBytes = m_maxReplyBytes] {
            reply->deleteLater();
            const QVariant statusAttr = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
            const int status = statusAttr.isValid() ? statusAttr.toInt() : 0;
            JsonReply result;
            result.httpStatus = status;
            const qint64 retryAfter =
                parseRetryAfter(reply->rawHeader("Retry-After"), QDateTime::currentDateTimeUtc());
            const bool redirected = status >= 300 && status < 400;
            const bool oversized = cut->kind == ReplyCut::Kind::TooLarge ||
                                   (maxBytes >= 0 && reply->bytesAvailable() > maxBytes);
            // A reply aborted by its deadline is closed: nothing is left to read.
            const QByteArray body =
                oversized || !reply->isOpen() ? QByteArray() : reply->readAll();
            // Qt may end a reply whose connection closed mid-body without an error; the
            // length the head announced tells. (It drops that header when it inflates a body.)
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            const bool cutShort = !oversized && !cut->isSet() && status != 204 && status != 304 &&
                                  length.isValid() && length.toLongLong() != body.size();
            QString cutShortText;
            if (cutShort)
                cutShortText = QStringLiteral("connection closed after %1 of %2 bytes")
                                   .arg(body.size())
                                   .arg(length.toLongLong());
            const bool timedOut = cut->kind == ReplyCut::Kind::TimedOut;
            const bool broken =
                timedOut || cutShort || (!oversized && isTransportFailure(reply->error()));
            if (status == 0 || redirected || broken || oversized) {
                result.description =
                    oversized  ? QStringLiteral("the reply is larger than %1 bytes").arg(maxBytes)
                    : cutShort ? cutShortText
                               : describe(reply, *cut);
                if (result.description.isEmpty())
                    result.description = ServiceFailure::connectionWords(reply->error());
                result.body = oversized  ? ServiceAnswer::Body::TooLarge
                              : cutShort ? ServiceAnswer::Body::CutShort
                                         : ServiceAnswer::Body::None;
            } else {
                result = readJsonBody(body, status);
            }
            result.networkError = oversized ? QNetworkReply::NoError : reply->error();
            result.timedOut = timedOut;
            // A reply that broke off is as good as none, whatever status line came first.
            if (broken) result.httpStatus = 0;
            result.retryAfterMs = retryAfter;
            result.certificateErrors = cut->certificateErrors;
            result.host = reply->url().host();
            if (!result.hasValue) {
                ConsoleLog::line(
                    ConsoleLog::debugQuoted(QStringLiteral("response:::")) + QLatin1Char(' ') +
                    ConsoleLog::debugQuoted(QStringLiteral("FAILURE: ") + result.description));
            } else {
                if (logStatus) ConsoleLog::line(QString::number(status));
                ConsoleLog::line(
                    QStringLiteral("JSON: ") +
                    QString::fromUtf8(QJsonDocument(result.object).toJson(QJsonDocument::Compact)));
            }
            done(result);
        });
}
