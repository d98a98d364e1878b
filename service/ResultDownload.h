#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>

#include "ServiceFailure.h"

struct ReplyCut;

class ServiceSession;

// Fetches a processed image from the address the service named. The address comes from a reply
// and is treated as untrusted: only https (or plain http to this computer) is fetched, a redirect
// is followed at most kMaxRedirects times and never to a less safe address, the API key is never
// sent, and the body is capped while it streams and must match its announced length.
class ResultDownload final : public QObject {
    Q_OBJECT
public:
    struct Outcome {
        bool ok = false;
        QByteArray bytes;        // the complete body when ok
        QString error;           // a sentence for the row when not ok
        QUrl finalUrl;           // the address the bytes came from
        ServiceFailure failure;  // what the failure means, when not ok
    };

    static constexpr qint64 kMaxBytes = 50LL * 1024 * 1024;
    static constexpr int kMaxRedirects = 3;

    explicit ResultDownload(ServiceSession& session, QObject* parent = nullptr);
    ~ResultDownload() override;

    // Reads at most this much ahead of the caller, so a reply's size is counted as it arrives.
    static constexpr qint64 kReadBufferBytes = 256 * 1024;

    // Starts the fetch; `done` runs later, on this object's thread, once. A refused address is
    // reported on the next turn of the event loop and no request is made. Starting a new fetch
    // abandons the one in flight (its `done` never runs).
    void fetch(const QUrl& url, std::function<void(const Outcome&)> done);
    bool isBusy() const { return m_reply != nullptr; }
    void setMaxBytes(qint64 bytes) { m_maxBytes = bytes; }

    // Why an address may not be fetched, or the empty string when it may.
    static QString refusal(const QUrl& url);
    // Why a redirect from `from` to `to` may not be followed, or the empty string when it may.
    static QString redirectRefusal(const QUrl& from, const QUrl& to);

private:
    void request(const QUrl& url);
    void onFinished(QNetworkReply* reply, const std::shared_ptr<ReplyCut>& cut);
    void finish(Outcome outcome);
    void abandon();

    ServiceSession& m_session;
    QPointer<QNetworkReply> m_reply;
    std::function<void(const Outcome&)> m_done;
    qint64 m_maxBytes = kMaxBytes;
    QByteArray m_body;  // what has arrived of the current reply
    int m_redirects = 0;
    quint64 m_generation = 0;
};
