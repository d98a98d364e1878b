#include "ResultDownload.h"

#include "Constant.h"
#include "LowDelaySockets.h"
#include "ServiceSession.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {

// An address as it may appear in a row: without user info, and not endless (data: URLs).
QString shown(const QUrl& url) {
    constexpr int kMax = 80;
    QString text = url.isValid() ? url.toDisplayString(QUrl::RemoveUserInfo) : url.toString();
    if (text.size() > kMax) text = text.left(kMax) + QStringLiteral("...");
    return text;
}

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

ResultDownload::ResultDownload(ServiceSession& session, QObject* parent)
    : QObject(parent), m_session(session) {}

ResultDownload::~ResultDownload() {
    abandon();
}

QString ResultDownload::refusal(const QUrl& url) {
    if (url.isEmpty() || !url.isValid() || url.isRelative())
        return QStringLiteral("The result address is not a valid web address: %1").arg(shown(url));
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https") && !url.host().isEmpty()) return QString();
    if (scheme == QLatin1String("http") && Constant::isLoopbackHost(url.host())) return QString();
    return QStringLiteral("The result address must use https: %1").arg(shown(url));
}

QString ResultDownload::redirectRefusal(const QUrl& from, const QUrl& to) {
    const QString refused = refusal(to);
    if (!refused.isEmpty())
        return QStringLiteral("The result download was redirected to a refused address: %1")
            .arg(shown(to));
    if (from.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
        to.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return QStringLiteral("The result download was redirected from https to plain http: %1")
            .arg(shown(to));
    return QString();
}

void ResultDownload::fetch(const QUrl& url, std::function<void(const Outcome&)> done) {
    abandon();
    m_done = std::move(done);
    m_redirects = 0;
    const QString refused = refusal(url);
    if (!refused.isEmpty()) {
        // Reported like any other outcome: later, never from inside fetch().
        QTimer::singleShot(0, this, [this, refused, generation = m_generation] {
            if (generation != m_generation) return;
            Outcome outcome;
            outcome.error = refused;
            outcome.failure.kind = ServiceFailure::Kind::Permanent;
            outcome.failure.reason = refused;
            finish(std::move(outcome));
        });
        return;
    }
    request(url);
}

void ResultDownload::request(const QUrl& url) {
    QNetworkRequest request(url);
    request.setTransferTimeout(m_session.inactivityMs());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // Nothing of the user's travels to the result host: no cookies, no cached credentials.
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    // The bytes are saved as they come; a compressed transfer would also hide the real length.
    request.setRawHeader("Accept-Encoding", "identity");
    m_session.applyTrust(request);

    LowDelaySockets::applyIfDue(url.port(
        url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80));
    QNetworkReply* reply = m_session.manager().get(request);
    connect(reply, &QNetworkReply::socketStartedConnecting, reply,
            &LowDelaySockets::connectionStarted);
    m_reply = reply;
    m_body.clear();
    // A bounded read buffer, drained here: memory holds at most the cap, also for a reply that
    // announces no length or never ends.
    reply->setReadBufferSize(kReadBufferBytes);
    auto cut = std::make_shared<ReplyCut>();
    m_session.guardReply(reply, m_maxBytes, cut);
    connect(reply, &QIODevice::readyRead, this, [this, reply, cut] {
        if (reply != m_reply) return;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 300 && status < 400) return;  // a redirect's body is not kept
        m_body.append(reply->read(m_maxBytes + 1 - m_body.size()));
        if (m_body.size() > m_maxBytes) {
            cut->set(ReplyCut::Kind::TooLarge,
                     QStringLiteral("the reply is larger than %1 bytes").arg(m_maxBytes));
            m_body.clear();
            m_body.squeeze();
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, cut] { onFinished(reply, cut); });
}

void ResultDownload::onFinished(QNetworkReply* reply, const std::shared_ptr<ReplyCut>& cut) {
    reply->deleteLater();
    if (m_reply == reply) m_reply = nullptr;
    const QUrl current = reply->url();
    const QVariant statusAttr = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int status = statusAttr.isValid() ? statusAttr.toInt() : 0;

    ServiceAnswer answer;
    answer.exchange = ServiceAnswer::Exchange::Download;
    answer.httpStatus = status;
    answer.retryAfterMs =
        parseRetryAfter(reply->rawHeader("Retry-After"), QDateTime::currentDateTimeUtc());
    Outcome outcome;
    outcome.finalUrl = current;
    auto fail = [this, &outcome, &answer](const QString& text) {
        outcome.error = text;
        outcome.failure = ServiceFailure::classify(answer);
        finish(std::move(outcome));
    };
    if (cut->isSet()) {
        answer.timedOut = cut->kind == ReplyCut::Kind::TimedOut;
        answer.body = cut->kind == ReplyCut::Kind::TooLarge ? ServiceAnswer::Body::TooLarge
                                                            : ServiceAnswer::Body::None;
        answer.description = cut->text;
        return fail(QStringLiteral("The result could not be downloaded: %1").arg(cut->text));
    }
    answer.error = reply->error();
    answer.certificateErrors = cut->certificateErrors;
    answer.host = current.host();
    if (status == 0) {
        const ServiceFailure failure = ServiceFailure::classify(answer);
        return fail(QStringLiteral("The result could not be downloaded: %1")
                        .arg(failure.untrusted
                                 ? QStringLiteral("its certificate could not be trusted (%1)")
                                       .arg(failure.reason)
                                 : ServiceFailure::connectionWords(reply->error())));
    }
    if (isRedirect(status)) {
        const QByteArray location = reply->rawHeader("Location");
        const QUrl target = current.resolved(QUrl::fromEncoded(location, QUrl::StrictMode));
        QString refused;
        if (location.isEmpty() || !target.isValid()) {
            refused = QStringLiteral("The result download was redirected without a valid address");
        } else if (++m_redirects > kMaxRedirects) {
            refused = QStringLiteral("The result download was redirected more than %1 times")
                          .arg(kMaxRedirects);
        } else {
            refused = redirectRefusal(current, target);
        }
        if (refused.isEmpty()) return request(target);
        outcome.error = refused;
        outcome.failure.kind = ServiceFailure::Kind::Permanent;
        outcome.failure.reason = refused;
        return finish(std::move(outcome));
    }
    if (status < 200 || status >= 300) {
        const ServiceFailure failure = ServiceFailure::classify(answer);
        return fail(
            failure.kind == ServiceFailure::Kind::ResultGone
                ? QStringLiteral("The service no longer has the result (HTTP status %1); a retry "
                                 "sends the image again")
                      .arg(status)
                : QStringLiteral("The result download answered with HTTP status %1").arg(status));
    }
    QByteArray bytes = std::move(m_body);
    m_body = QByteArray();
    if (reply->isOpen()) bytes.append(reply->readAll());  // an aborted reply is closed
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (reply->error() != QNetworkReply::NoError) {
        answer.body = ServiceAnswer::Body::CutShort;
        return fail(QStringLiteral("The result download was cut short after %1 bytes: %2")
                        .arg(bytes.size())
                        .arg(ServiceFailure::connectionWords(reply->error())));
    }
    if (length.isValid() && length.toLongLong() != bytes.size()) {
        answer.body = ServiceAnswer::Body::CutShort;
        return fail(QStringLiteral("The result download was cut short: %1 of %2 bytes")
                        .arg(bytes.size())
                        .arg(length.toLongLong()));
    }
    if (bytes.size() > m_maxBytes) {
        answer.body = ServiceAnswer::Body::TooLarge;
        return fail(QStringLiteral("The result is larger than %1 bytes").arg(m_maxBytes));
    }
    outcome.ok = true;
    outcome.bytes = std::move(bytes);
    finish(std::move(outcome));
}

void ResultDownload::finish(Outcome outcome) {
    auto done = std::move(m_done);
    m_done = nullptr;
    if (done) done(outcome);
}

void ResultDownload::abandon() {
    ++m_generation;
    m_done = nullptr;
    if (QNetworkReply* reply = m_reply) {
        m_reply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
}
