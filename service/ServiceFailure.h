#pragma once

#include <QList>
#include <QNetworkReply>
#include <QSslError>
#include <QString>
#include <QUrl>

// What an exchange with the service brought back, as far as deciding what to do next goes. It
// is read from the reply's error enum, status, body and headers; the transport's error text is
// never looked at (it is translated, and it changes between versions).
struct ServiceAnswer {
    // A JSON endpoint (the image upload, the credit check, the key check, the version check),
    // or the download of a result.
    enum class Exchange { Json, Download };
    enum class Body {
        None,      // no body was read (no reply, a redirect, an empty body)
        Json,      // a JSON value
        NotJson,   // a complete body that is not JSON
        TooLarge,  // larger than the cap; not read
        CutShort,  // shorter than the length the reply announced
    };

    Exchange exchange = Exchange::Json;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    bool timedOut = false;  // ended by the inactivity time-out or the total deadline
    int httpStatus = 0;     // 0 when no status line arrived
    Body body = Body::None;
    QString errorText;  // the JSON "error" text, else its "message" text
    qint64 retryAfterMs = -1;
    QString description;  // what the session says about a body it could not use
    // When the secure connection failed: the faults found in the certificate (none when the
    // handshake failed otherwise), and the host it was made to.
    QList<QSslError::SslError> certificateErrors;
    QString host;
};

// The one answer to "what now?" for any exchange with the service.
struct ServiceFailure {
    enum class Kind {
        None,            // it worked
        Transient,       // may pass: try the same step again after a pause
        Overloaded,      // the service asks for less: fewer in flight, then the same step again
        ResultGone,      // the service no longer has the result: only sending again brings it
        OutOfCredit,     // nothing is left to pay with; nothing was spent
        KeyRefused,      // the service does not know the key
        UpdateRequired,  // the service no longer serves this version of the application
        Permanent,       // this image (or this result) failed; the others may well pass
        Halt,            // the exchange cannot work as things stand; nothing more is sent
    };

    Kind kind = Kind::None;
    // A few words for the row or the alert: "connection refused", "too many requests", ...
    QString reason;
    qint64 retryAfterMs = -1;
    // The service itself answered with a JSON object (an error text may be in it).
    bool answered = false;
    // The secure connection was refused before anything was sent: the certificate could not be
    // trusted, or no handshake could be agreed. `reason` is "host: the cause".
    bool untrusted = false;

    bool ok() const { return kind == Kind::None; }
    // Worth trying the same step again after a pause.
    bool mayPass() const { return kind == Kind::Transient || kind == Kind::Overloaded; }

    static ServiceFailure classify(const ServiceAnswer& answer);
    // Whether an error text says that the key is unknown to the service.
    static bool isKeyRefusal(const QString& text);
    // Whether an error text says that no credit is left.
    static bool isCreditRefusal(const QString& text);
    // What the user reads when the service fails: "The service at https://host/api/v1/ could not
    // be reached (connection refused)."
    static QString unreachable(const QUrl& service, const QString& reason);
    // The words for a failure of the connection itself, from Qt's error enum.
    static QString connectionWords(QNetworkReply::NetworkError error);
    // The words for what is wrong with a certificate; the gravest fault is named.
    static QString certificateWords(const QList<QSslError::SslError>& errors);
    // The sentence an alert gives for a failure that halts: "The service could not be reached
    // (connection refused).", or for an untrusted connection what is wrong and where.
    QString haltText(const QUrl& service = QUrl()) const;
};

// The pauses before the retries of one step: the first retry waits delays[0], and so on; a
// Retry-After from the service lengthens a pause (never beyond kMaxRetryAfterMs).
class RetrySchedule final {
public:
    static constexpr int kMaxRetryAfterMs = 60 * 1000;

    RetrySchedule() = default;
    explicit RetrySchedule(QList<int> delaysMs) : m_delaysMs(std::move(delaysMs)) {}

    // The pause before retry number `retry` (0 for the first), or -1 when the retries are used
    // up.
    qint64 pauseBefore(int retry, qint64 retryAfterMs) const;
    int retries() const { return static_cast<int>(m_delaysMs.size()); }

private:
    QList<int> m_delaysMs{1000, 4000, 10000};
};
