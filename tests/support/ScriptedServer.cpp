#include "ScriptedServer.h"

#include "ScriptedServerConnection.h"

#include <QEventLoop>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <utility>

ScriptedServer::ScriptedServer(QObject* parent) : QObject(parent) {
    qRegisterMetaType<RecordedRequest>();
}

ScriptedServer::~ScriptedServer() {
    stopHere();
}

bool ScriptedServer::start() {
    if (QThread::currentThread() == thread()) return startHere();
    bool ok = false;
    QMetaObject::invokeMethod(
        this, [this, &ok] { ok = startHere(); }, Qt::BlockingQueuedConnection);
    return ok;
}

void ScriptedServer::stop() {
    if (QThread::currentThread() == thread()) {
        stopHere();
        return;
    }
    QMetaObject::invokeMethod(this, &ScriptedServer::stopHere, Qt::BlockingQueuedConnection);
}

bool ScriptedServer::startHere() {
    stopHere();
    m_tcpServer = new QTcpServer(this);
    connect(m_tcpServer, &QTcpServer::newConnection, this, &ScriptedServer::onNewConnection);
    if (!m_tcpServer->listen(QHostAddress::LocalHost, 0)) {
        qWarning("ScriptedServer: cannot listen: %s", qPrintable(m_tcpServer->errorString()));
        delete m_tcpServer;
        m_tcpServer = nullptr;
        return false;
    }
    QMutexLocker lock(&m_mutex);
    m_port = m_tcpServer->serverPort();
    m_listening = true;
    return true;
}

void ScriptedServer::stopHere() {
    if (m_tcpServer) {
        m_tcpServer->close();
        delete m_tcpServer;
        m_tcpServer = nullptr;
    }
    const QList<ScriptedServerConnection*> connections = std::exchange(m_connections, {});
    for (ScriptedServerConnection* connection : connections) {
        connection->disconnect(this);
        connection->abort();
        connection->deleteLater();
    }
    QMutexLocker lock(&m_mutex);
    m_listening = false;
    m_openConnections = 0;
}

void ScriptedServer::onNewConnection() {
    while (QTcpSocket* socket = m_tcpServer->nextPendingConnection()) {
        auto* connection = new ScriptedServerConnection(
            socket, [this](RecordedRequest&& request) { return dispatch(std::move(request)); },
            this);
        connect(connection, &ScriptedServerConnection::finished, this,
                [this](ScriptedServerConnection* finished) {
                    m_connections.removeOne(finished);
                    finished->deleteLater();
                    QMutexLocker lock(&m_mutex);
                    --m_openConnections;
                });
        m_connections.append(connection);
        QMutexLocker lock(&m_mutex);
        ++m_connectionCount;
        ++m_openConnections;
    }
}

ScriptedReply ScriptedServer::dispatch(RecordedRequest&& request) {
    Handler handler;
    {
        QMutexLocker lock(&m_mutex);
        if (m_recordBodies) {
            m_requests.append(request);
        } else {
            RecordedRequest stored = request;
            stored.body.clear();
            for (RecordedPart& part : stored.parts) part.releaseBody();
            m_requests.append(std::move(stored));
        }
        handler = m_handler;
    }
    emit requestReceived(request);
    if (handler) return handler(request);

    QMutexLocker lock(&m_mutex);
    const auto it = m_queues.find(request.path);
    if (it == m_queues.end() || it->isEmpty()) {
        return ScriptedReply::json(404, R"({"error":"not scripted"})");
    }
    return it->size() > 1 ? it->takeFirst() : it->first();
}

bool ScriptedServer::isListening() const {
    QMutexLocker lock(&m_mutex);
    return m_listening;
}

quint16 ScriptedServer::port() const {
    QMutexLocker lock(&m_mutex);
    return m_port;
}

QUrl ScriptedServer::url(const QString& path) const {
    QUrl result;
    result.setScheme(QStringLiteral("http"));
    result.setHost(QStringLiteral("127.0.0.1"));
    result.setPort(port());
    const qsizetype query = path.indexOf(QLatin1Char('?'));
    result.setPath(query < 0 ? path : path.left(query));
    if (query >= 0) result.setQuery(path.mid(query + 1));
    return result;
}

QUrl ScriptedServer::baseUrl() const {
    return url(QStringLiteral("/api/v1/"));
}

void ScriptedServer::script(const QByteArray& path, const ScriptedReply& reply) {
    QMutexLocker lock(&m_mutex);
    m_queues[path].append(reply);
}

void ScriptedServer::clearScript() {
    QMutexLocker lock(&m_mutex);
    m_queues.clear();
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
    int count = 0;
    for (const RecordedRequest& request : m_requests) {
        if (request.path == path) ++count;
    }
    return count;
}

void ScriptedServer::clearRequests() {
    QMutexLocker lock(&m_mutex);
    m_requests.clear();
}

bool ScriptedServer::waitForRequests(int n, int timeoutMs) {
    if (requestCount() >= n) return true;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Queued to this thread when the server lives elsewhere.
    connect(this, &ScriptedServer::requestReceived, &loop, [this, n, &loop] {
        if (requestCount() >= n) loop.quit();
    });
    timer.start(timeoutMs);
    if (requestCount() < n) loop.exec();
    return requestCount() >= n;
}

int ScriptedServer::connectionCount() const {
    QMutexLocker lock(&m_mutex);
    return m_connectionCount;
}

int ScriptedServer::openConnectionCount() const {
    QMutexLocker lock(&m_mutex);
    return m_openConnections;
}
