#include "ScriptedServer.h"

#include "ScriptedServerConnection.h"

#include <QEventLoop>
#include <QMutexLocker>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <utility>

ScriptedServer::ScriptedServer(QObject* parent) : QObject(parent) {
    qRegisterMetaType<RecordedRequest>();
}

bool ScriptedServer::start() {
    if (QThread::currentThread() == thread()) return startHere();
    bool ok = false;
    QMetaObject::invokeMethod(
        this, [this, &ok] { ok = startHere(); }, Qt::BlockingQueuedConnection);
    return ok;
}

bool ScriptedServer::startHere() {
    bool tls = false;
    {
        QMutexLocker lock(&m_mutex);
        tls = m_tls.has_value();
    }
    if (tls) {
        auto* ssl = new QSslServer(this);
        connect(ssl, &QSslServer::startedEncryptionHandshake, this, [this] {
            QMutexLocker lock(&m_mutex);
            ++m_handshakeCount;
        });
        m_tcpServer = ssl;
        applyTls();
    } else {
        m_tcpServer = new QTcpServer(this);
    }
    // A secure server has a connection to hand over only once its handshake passed.
    connect(m_tcpServer, &QTcpServer::pendingConnectionAvailable, this,
            &ScriptedServer::onNewConnection);
    if (!m_tcpServer->listen(QHostAddress::LocalHost, 0)) {
        qWarning("ScriptedServer: cannot listen: %s", qPrintable(m_tcpServer->errorString()));
        return false;
    }
    QMutexLocker lock(&m_mutex);
    m_port = m_tcpServer->serverPort();
    return true;
}

void ScriptedServer::setTls(const QSslConfiguration& tls) {
    {
        QMutexLocker lock(&m_mutex);
        m_tls = tls;
    }
    if (!m_tcpServer) return;
    QMetaObject::invokeMethod(
        this, &ScriptedServer::applyTls,
        QThread::currentThread() == thread() ? Qt::DirectConnection : Qt::BlockingQueuedConnection);
}

void ScriptedServer::applyTls() {
    QMutexLocker lock(&m_mutex);
    if (auto* ssl = qobject_cast<QSslServer*>(m_tcpServer)) ssl->setSslConfiguration(*m_tls);
}

void ScriptedServer::onNewConnection() {
    while (QTcpSocket* socket = m_tcpServer->nextPendingConnection()) {
        new ScriptedServerConnection(
            socket, [this](RecordedRequest&& request) { return dispatch(std::move(request)); },
            this);
        QMutexLocker lock(&m_mutex);
        ++m_connectionCount;
    }
}

ScriptedReply ScriptedServer::dispatch(RecordedRequest&& request) {
    QMutexLocker lock(&m_mutex);
    m_requests.append(request);
    if (!m_recordBodies) {
        m_requests.last().body.clear();
        for (RecordedPart& part : m_requests.last().parts) part.body.clear();
    }
    const auto it = m_queues.find(request.path);
    if (it != m_queues.end()) {
        const ScriptedReply reply = it->size() > 1 ? it->takeFirst() : it->first();
        lock.unlock();
        emit requestReceived(request);
        return reply;
    }
    const Handler handler = m_handler;
    lock.unlock();
    emit requestReceived(request);
    return handler ? handler(request) : ScriptedReply::json(404, R"({"error":"not scripted"})");
}

QUrl ScriptedServer::url(const QString& path) const {
    QMutexLocker lock(&m_mutex);
    QUrl result(m_tls ? QStringLiteral("https://127.0.0.1") : QStringLiteral("http://127.0.0.1"));
    result.setPort(m_port);
    result.setPath(path);
    return result;
}

QUrl ScriptedServer::baseUrl() const {
    return url(QStringLiteral("/api/v1/"));
}

void ScriptedServer::script(const QByteArray& path, const QList<ScriptedReply>& replies) {
    QMutexLocker lock(&m_mutex);
    m_queues[path] = replies;
}

void ScriptedServer::setHandler(Handler handler) {
    QMutexLocker lock(&m_mutex);
    m_handler = std::move(handler);
}

void ScriptedServer::setRecordBodies(bool record) {
    QMutexLocker lock(&m_mutex);
    m_recordBodies = record;
}

QList<RecordedRequest> ScriptedServer::requests() const {
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

RecordedRequest ScriptedServer::lastRequest() const {
    QMutexLocker lock(&m_mutex);
    return m_requests.isEmpty() ? RecordedRequest() : m_requests.last();
}

int ScriptedServer::requestCount(const QByteArray& path) const {
    QMutexLocker lock(&m_mutex);
    if (path.isEmpty()) return int(m_requests.size());
    return int(std::count_if(m_requests.cbegin(), m_requests.cend(),
                             [&path](const RecordedRequest& r) { return r.path == path; }));
}

bool ScriptedServer::waitForRequests(int n, int timeoutMs) {
    QEventLoop loop;
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    // Queued to this thread when the server lives elsewhere.
    connect(this, &ScriptedServer::requestReceived, &loop, [this, n, &loop] {
        if (requestCount() >= n) loop.quit();
    });
    if (requestCount() < n) loop.exec();
    return requestCount() >= n;
}

int ScriptedServer::handshakeCount() const {
    QMutexLocker lock(&m_mutex);
    return m_handshakeCount;
}

int ScriptedServer::connectionCount() const {
    QMutexLocker lock(&m_mutex);
    return m_connectionCount;
}
