#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QNetworkReply>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

#include <memory>
#include "ServiceFailure.h"

class QNetworkAccessManager;
class QNetworkRequest;
class QIODevice;

// One part of a multipart/form-data body.
struct FormPart {
    QByteArray name;
    QByteArray value;                       // text fields: the UTF-8 value
    std::shared_ptr<QIODevice> bodyDevice;  // file parts: streamed from here instead of `value`
    QString fileName;                       // file parts only
    QByteArray contentType;                 // file parts only

    static FormPart text(const QByteArray& name, const QString& value);
};

// What came back from a JSON endpoint.
struct JsonReply {
    bool hasValue = false;     // a JSON value was read from the body
    QJsonObject object;        // that value as an object; empty when it was another kind of value
    int httpStatus = 0;        // 0 when no HTTP response arrived
    QString description;       // why there is no value (transport error, time-out, not JSON, ...)
    qint64 retryAfterMs = -1;  // the reply's Retry-After, in milliseconds; -1 when absent
    QNetworkReply::NetworkError networkError = QNetworkReply::NoError;
    bool timedOut = false;  // cut by the inactivity time-out or the deadline
    ServiceAnswer::Body body = ServiceAnswer::Body::None;
    QList<QSslError::SslError> certificateErrors;  // when the secure connection failed
    QString host;                                  // the host asked

    // The reply as the failure vocabulary reads it.
    ServiceAnswer answer() const;
    ServiceFailure failure() const { return ServiceFailure::classify(answer()); }
};

// Why a guarded reply was cut short by the session, and what was wrong with the certificate
// when the secure connection failed.
struct ReplyCut {
    enum class Kind { None, TimedOut, TooLarge };
    Kind kind = Kind::None;
    QString text;
    QList<QSslError::SslError> certificateErrors;
    bool isSet() const { return kind != Kind::None; }
    void set(Kind k, const QString& why) {
        if (isSet()) return;
        kind = k;
        text = why;
    }
};

// The pause a Retry-After header asks for, in milliseconds: delta seconds or an HTTP date
// (relative to `now`); -1 when the value is neither.
qint64 parseRetryAfter(const QByteArray& value, const QDateTime& now);

// The shared service session: one network access manager, created on first use and kept, and the
// conventions every service call follows. A call is a multipart POST answered by a JSON object.
//
// Safety rules kept for every call: no redirect is followed (a 3xx is a reply without JSON, so the
// API key never travels to another host); TLS is verified; a reply body over the size cap is a
// reply without JSON and is not read into memory; a call that stays silent longer than the
// inactivity time-out, or lasts longer than the total deadline, ends as a reply without JSON.
class ServiceSession final : public QObject {
    Q_OBJECT
public:
    explicit ServiceSession(QObject* parent = nullptr);
    ~ServiceSession() override;

    // Created on the first call and kept for the life of the session (a change of trust starts
    // another one for the requests that follow).
    QNetworkAccessManager& manager();
    bool hasManager() const { return m_manager != nullptr; }

    static constexpr int kDefaultInactivityMs = 60 * 1000;
    static constexpr int kDefaultDeadlineMs = 5 * 60 * 1000;
    static constexpr qint64 kDefaultMaxReplyBytes = 1024 * 1024;

    void setTimeouts(int inactivityMs, int deadlineMs);
    int inactivityMs() const { return m_inactivityMs; }
    int deadlineMs() const { return m_deadlineMs; }
    void setMaxReplyBytes(qint64 bytes) { m_maxReplyBytes = bytes; }

    // Where a certificate authority to trust comes from; each source names one file.
    enum class TrustSource { Setting, CommandLine };
    // Trusts the certificate authorities of a PEM file as well as the system's (a self-hosted
    // service with its own); they replace those `source` gave before, and an empty path gives
    // none. An unusable file changes nothing: false, and `why` names the file and the reason.
    // Nothing ever makes a certificate that fails verification acceptable.
    bool trustCaFile(TrustSource source, const QString& path, QString* why);
    // The certificates of a PEM file, or none with the reason.
    static QList<QSslCertificate> readCaFile(const QString& path, QString* why);
    // Every request to the service or for a result is verified with this trust.
    void applyTrust(QNetworkRequest& request) const;

    // Sends the form; `done` runs on this object's thread once the reply has been read. The
    // "response:::" line (no value) or the "JSON: " line (value) is logged before `done` runs;
    // with `logStatus` the HTTP status is logged before the "JSON: " line. `sent` runs once the
    // whole form has gone out (the service is working on it from then on).
    void postForm(const QUrl& url, const QList<FormPart>& parts,
                  const QList<QPair<QByteArray, QByteArray>>& headers,
                  std::function<void(const JsonReply&)> done, bool logStatus = false,
                  std::function<void()> sent = nullptr);

    // Reads a complete body as the JSON reading rules say (fragments allowed, a value that is not
    // an object becomes an empty object). Exposed for tests and fuzzing.
    static JsonReply readJsonBody(const QByteArray& body, int httpStatus);

    // Arms the inactivity time-out, the total deadline and the size cap on a reply. When the
    // reply is cut short its error is OperationCanceledError and `cut` tells why.
    void guardReply(QNetworkReply* reply, qint64 maxBytes, std::shared_ptr<ReplyCut> cut);

private:
    QNetworkAccessManager* m_manager = nullptr;
    int m_inactivityMs = kDefaultInactivityMs;
    int m_deadlineMs = kDefaultDeadlineMs;
    qint64 m_maxReplyBytes = kDefaultMaxReplyBytes;
    QMap<TrustSource, QList<QSslCertificate>> m_trusted;
    std::optional<QSslConfiguration> m_tls;  // set once an authority of ours is trusted
};
