#pragma once

#include "ScriptedServerTypes.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSslConfiguration>
#include <QUrl>
#include <functional>
#include <optional>

class QTcpServer;

// A scripted HTTP/1.1 server on 127.0.0.1 (port chosen by the system) for driving the client
// against exact replies: per-path reply queues or a handler, every request recorded.
// Everything public may be called from any thread; start() runs in the server's own thread.
class ScriptedServer final : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<ScriptedReply(const RecordedRequest&)>;

    explicit ScriptedServer(QObject* parent = nullptr);

    bool start();
    // Speaks HTTPS with this certificate and key when called before start(); later calls change
    // the certificate for the connections that follow.
    void setTls(const QSslConfiguration& tls);
    QUrl url(const QString& path = QStringLiteral("/")) const;
    QUrl baseUrl() const;  // http://127.0.0.1:PORT/api/v1/

    // Replaces the path's queue: each request to the path takes the next reply, the last one
    // is reused for every later request.
    void script(const QByteArray& path, const QList<ScriptedReply>& replies);
    void script(const QByteArray& path, const ScriptedReply& reply) {
        script(path, QList<ScriptedReply>{reply});
    }
    // Decides the replies (in the server's thread) to paths without a queue.
    void setHandler(Handler handler);
    // When false, recorded requests keep bodySize but drop body and part bytes (benchmarks).
    void setRecordBodies(bool record);

    QList<RecordedRequest> requests() const;
    RecordedRequest lastRequest() const;
    int requestCount(const QByteArray& path = {}) const;
    // Runs the calling thread's event loop until at least n requests were recorded.
    bool waitForRequests(int n, int timeoutMs = 5000);
    int connectionCount() const;  // accepted so far
    int handshakeCount() const;   // secure handshakes begun so far, whether they passed or not

signals:
    void requestReceived(const RecordedRequest& request);

private:
    bool startHere();
    void onNewConnection();
    ScriptedReply dispatch(RecordedRequest&& request);

    QTcpServer* m_tcpServer = nullptr;
    void applyTls();

    mutable QMutex m_mutex;  // guards everything below
    quint16 m_port = 0;
    int m_connectionCount = 0;
    int m_handshakeCount = 0;
    std::optional<QSslConfiguration> m_tls;
    bool m_recordBodies = true;
    Handler m_handler;
    QHash<QByteArray, QList<ScriptedReply>> m_queues;
    QList<RecordedRequest> m_requests;
};
