#include "ServiceFailure.h"

#include <algorithm>

namespace {

using Kind = ServiceFailure::Kind;
using Body = ServiceAnswer::Body;

ServiceFailure make(Kind kind, const QString& reason, const ServiceAnswer& answer) {
    ServiceFailure failure;
    failure.kind = kind;
    failure.reason = reason;
    failure.retryAfterMs = answer.retryAfterMs;
    failure.answered = answer.body == Body::Json;
    return failure;
}

bool isTlsFailure(QNetworkReply::NetworkError error) {
    return error == QNetworkReply::SslHandshakeFailedError;
}

// The transport failed before a complete reply was read.
bool isConnectionFailure(QNetworkReply::NetworkError error) {
    const int code = static_cast<int>(error);
    if (code >= 1 && code <= 99) return true;  // connection, TLS, time-out, aborted
    if (code >= 101 && code <= 199) return error != QNetworkReply::ProxyAuthenticationRequiredError;
    return error == QNetworkReply::ProtocolUnknownError || error == QNetworkReply::ProtocolFailure;
}

// What a fault of a certificate is called, and how grave it is (0 the gravest: a certificate
// from an unknown issuer proves nothing, whatever else it says).
struct CertificateFault {
    int gravity;
    const char* words;
};

CertificateFault faultOf(QSslError::SslError error) {
    switch (error) {
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
        case QSslError::InvalidCaCertificate:
        case QSslError::CertificateRejected:
            return {0, "the issuer is unknown"};
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
            return {0, "the certificate is self-signed"};
        case QSslError::NoPeerCertificate:
            return {0, "no certificate was shown"};
        case QSslError::CertificateRevoked:
        case QSslError::CertificateBlacklisted:
            return {1, "the certificate has been revoked"};
        case QSslError::CertificateExpired:
            return {2, "the certificate has expired"};
        case QSslError::CertificateNotYetValid:
            return {2, "the certificate is not valid yet"};
        case QSslError::HostNameMismatch:
            return {3, "the certificate is for another name"};
        default:
            return {4, "the certificate is not valid"};
    }
}

QString statusWords(int status) {
    switch (status) {
        case 429:
            return QStringLiteral("too many requests");
        case 502:
            return QStringLiteral("bad gateway");
        case 503:
            return QStringLiteral("service unavailable");
        case 504:
            return QStringLiteral("gateway time-out");
        default:
            return QStringLiteral("HTTP status %1").arg(status);
    }
}

}  // namespace

QString ServiceFailure::connectionWords(QNetworkReply::NetworkError error) {
    switch (error) {
        case QNetworkReply::ConnectionRefusedError:
            return QStringLiteral("connection refused");
        case QNetworkReply::HostNotFoundError:
            return QStringLiteral("host not found");
        case QNetworkReply::TimeoutError:
        case QNetworkReply::OperationCanceledError:
            return QStringLiteral("no answer in time");
        case QNetworkReply::SslHandshakeFailedError:
            return QStringLiteral("the secure connection failed");
        case QNetworkReply::ProxyConnectionRefusedError:
        case QNetworkReply::ProxyConnectionClosedError:
        case QNetworkReply::ProxyNotFoundError:
        case QNetworkReply::ProxyTimeoutError:
            return QStringLiteral("the proxy failed");
        case QNetworkReply::NoError:
            return QStringLiteral("no answer");
        default:
            return QStringLiteral("connection lost");
    }
}

QString ServiceFailure::unreachable(const QUrl& service, const QString& reason) {
    const QString why = reason.isEmpty() ? QStringLiteral("no answer") : reason;
    if (service.isEmpty()) return QStringLiteral("The service could not be reached (%1).").arg(why);
    return QStringLiteral("The service at %1 could not be reached (%2).")
        .arg(service.toString(), why);
}

QString ServiceFailure::certificateWords(const QList<QSslError::SslError>& errors) {
    if (errors.isEmpty()) return QStringLiteral("no secure connection could be agreed");
    const QSslError::SslError gravest =
        *std::min_element(errors.begin(), errors.end(),
                          [](auto x, auto y) { return faultOf(x).gravity < faultOf(y).gravity; });
    return QLatin1String(faultOf(gravest).words);
}

QString ServiceFailure::haltText(const QUrl& service) const {
    if (!untrusted) return unreachable(service, reason);
    return QStringLiteral("The service's certificate could not be trusted (%1). Nothing was sent.")
        .arg(reason);
}

bool ServiceFailure::isKeyRefusal(const QString& text) {
    return text == QLatin1String("invalid api key");
}

bool ServiceFailure::isCreditRefusal(const QString& text) {
    const QString lower = text.toLower();
    if (!lower.contains(QLatin1String("credit"))) return false;
    for (const char* word : {"no ", "out of", "insufficient", "not enough", "exhausted", "0 "})
        if (lower.contains(QLatin1String(word))) return true;
    return false;
}

ServiceFailure ServiceFailure::classify(const ServiceAnswer& a) {
    const bool download = a.exchange == ServiceAnswer::Exchange::Download;
    if (a.timedOut) return make(Kind::Transient, QStringLiteral("no answer in time"), a);
    if (a.body == Body::TooLarge)
        // A reply of that size is no answer of the service's, and asking again brings the same.
        return make(download ? Kind::Permanent : Kind::Halt, a.description, a);
    if (isTlsFailure(a.error)) {
        // Asking again meets the same certificate.
        ServiceFailure failure = make(
            Kind::Halt, a.host + QStringLiteral(": ") + certificateWords(a.certificateErrors), a);
        failure.untrusted = true;
        return failure;
    }
    if (a.body == Body::CutShort)
        return make(Kind::Transient, QStringLiteral("connection lost"), a);
    if (a.httpStatus == 0 || isConnectionFailure(a.error))
        return make(Kind::Transient, connectionWords(a.error), a);

    const int status = a.httpStatus;
    if (status == 402 || (status >= 400 && isCreditRefusal(a.errorText)))
        return make(Kind::OutOfCredit, a.errorText, a);
    if (isKeyRefusal(a.errorText)) return make(Kind::KeyRefused, a.errorText, a);
    if (status == 426) return make(Kind::UpdateRequired, statusWords(status), a);
    if (status == 429 || status == 503) return make(Kind::Overloaded, statusWords(status), a);
    if (status == 500 || status == 502 || status == 504)
        return make(Kind::Transient, statusWords(status), a);
    if (status >= 500)  // another 5xx: an answer when it explains itself, else a passing fault
        return make(a.body == Body::Json ? Kind::Permanent : Kind::Transient, statusWords(status),
                    a);
    if (download) {
        if (status == 404 || status == 410) return make(Kind::ResultGone, statusWords(status), a);
        if (status < 200 || status >= 300) return make(Kind::Permanent, statusWords(status), a);
        return make(Kind::None, QString(), a);
    }
    // A JSON endpoint says what it means in JSON; anything else breaks the conversation.
    if (a.body != Body::Json)
        return make(Kind::Halt, a.description.isEmpty() ? statusWords(status) : a.description, a);
    if (status >= 300) return make(Kind::Permanent, statusWords(status), a);
    return make(Kind::None, QString(), a);
}

qint64 RetrySchedule::pauseBefore(int retry, qint64 retryAfterMs) const {
    if (retry < 0 || retry >= m_delaysMs.size()) return -1;
    qint64 pause = m_delaysMs.at(retry);
    if (retryAfterMs >= 0)
        pause = std::max<qint64>(pause, std::min<qint64>(retryAfterMs, kMaxRetryAfterMs));
    return pause;
}
