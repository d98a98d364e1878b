#include "ScriptedServerConnection.h"

#include <QTcpSocket>
#include <QTimer>
#include <utility>

namespace {

constexpr qsizetype kMaxHeadSize = 1 << 20;
constexpr qint64 kMaxReserve = 64 << 20;
constexpr qint64 kEndlessBacklog = 1 << 20;
constexpr qint64 kTruncateMissing = 1024;

bool hasToken(const QByteArray* value, const char* token) {
    return value && value->toLower().contains(token);
}

}  // namespace

ScriptedServerConnection::ScriptedServerConnection(QTcpSocket* socket, Dispatcher dispatcher,
                                                   QObject* parent)
    : QObject(parent), m_socket(socket), m_dispatcher(std::move(dispatcher)) {
    m_socket->setParent(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &ScriptedServerConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        m_state = State::Done;
        if (m_endlessTimer) m_endlessTimer->stop();
        deleteLater();
    });
    if (m_socket->bytesAvailable() > 0) {
        QTimer::singleShot(0, this, &ScriptedServerConnection::onReadyRead);
    }
}

ScriptedServerConnection::~ScriptedServerConnection() {
    // The socket's destructor may still emit; this object is no longer fit to hear it.
    m_socket->disconnect(this);
}

void ScriptedServerConnection::onReadyRead() {
    if (m_state == State::Done) {
        m_socket->readAll();
        return;
    }
    if (m_state == State::Body && m_buffer.isEmpty()) {
        // Body bytes go straight to their final place.
        QByteArray& body = m_current.body;
        const qsizetype old = body.size();
        body.resize(old + qMin(m_socket->bytesAvailable(), m_remaining));
        const qint64 got = qMax<qint64>(0, m_socket->read(body.data() + old, body.size() - old));
        body.resize(old + got);
        m_remaining -= got;
    }
    m_buffer += m_socket->readAll();
    process();
}

void ScriptedServerConnection::process() {
    while (m_state == State::Head || m_state == State::Body) {
        if (m_state == State::Head) {
            const qsizetype end = m_buffer.indexOf("\r\n\r\n");
            if (end < 0) {
                if (m_buffer.size() > kMaxHeadSize) fail(431);
                return;
            }
            if (!parseHead(end)) return;
        }
        const qint64 take = qMin<qint64>(m_remaining, m_buffer.size());
        m_current.body.append(m_buffer.constData(), take);
        m_buffer.remove(0, take);
        m_remaining -= take;
        if (m_remaining > 0) return;
        complete();
    }
}

bool ScriptedServerConnection::parseHead(qsizetype end) {
    const QList<QByteArray> lines = m_buffer.left(end).split('\n');
    m_buffer.remove(0, end + 4);
    m_current = RecordedRequest();
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/1.")) return fail(400);
    m_current.method = requestLine[0];
    m_current.path = requestLine[1].split('?').first();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) return fail(400);
        m_current.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    const QByteArray* connection = findScriptedHeader(m_current.headers, "Connection");
    m_closeAfter = requestLine[2] == "HTTP/1.0" ? !hasToken(connection, "keep-alive")
                                                : hasToken(connection, "close");
    // Neither chunked bodies nor 100-continue are understood: refuse rather than hang.
    if (m_current.hasHeader("Transfer-Encoding") || m_current.hasHeader("Expect")) return fail(501);
    bool ok = true;
    m_remaining = m_current.hasHeader("Content-Length")
                      ? m_current.header("Content-Length").toLongLong(&ok)
                      : 0;
    if (!ok || m_remaining < 0) return fail(400);
    m_current.body.reserve(qMin(m_remaining, kMaxReserve));
    m_state = State::Body;
    return true;
}

void ScriptedServerConnection::complete() {
    m_current.bodySize = m_current.body.size();
    m_current.parseMultipart();
    m_state = State::Busy;
    const ScriptedReply reply = m_dispatcher(std::exchange(m_current, RecordedRequest()));
    if (m_state != State::Busy || reply.mode == ScriptedReply::Mode::Hold) return;
    if (reply.delayMs <= 0) return carryOut(reply);
    QTimer::singleShot(reply.delayMs, this, [this, reply] {
        if (m_state != State::Busy) return;
        carryOut(reply);
        process();  // requests that arrived meanwhile
    });
}

void ScriptedServerConnection::carryOut(const ScriptedReply& reply) {
    using Mode = ScriptedReply::Mode;
    if (reply.mode == Mode::Close) return closeGracefully();
    if (reply.mode == Mode::Endless) {
        m_state = State::Done;  // nothing more is read from this connection
        writeHead(reply, -1, true);
        m_endlessChunk = reply.body;
        if (m_endlessChunk.isEmpty()) {
            m_endlessChunk.resize(64 * 1024);
            for (qsizetype i = 0; i < m_endlessChunk.size(); ++i)
                m_endlessChunk[i] = char('a' + i % 26);
        }
        if (reply.endlessIntervalMs > 0) {
            m_endlessTimer = new QTimer(this);
            connect(m_endlessTimer, &QTimer::timeout, this, &ScriptedServerConnection::pumpEndless);
            m_endlessTimer->start(reply.endlessIntervalMs);
        } else {
            connect(m_socket, &QTcpSocket::bytesWritten, this,
                    &ScriptedServerConnection::pumpEndless);
        }
        return pumpEndless();
    }
    const bool truncate = reply.mode == Mode::Truncate;
    const bool noBody = reply.status < 200 || reply.status == 204 || reply.status == 304;
    const bool close = truncate || m_closeAfter ||
                       hasToken(findScriptedHeader(reply.headers, "Connection"), "close");
    writeHead(reply, noBody ? -1 : reply.body.size() + (truncate ? kTruncateMissing : 0), close);
    if (!noBody) m_socket->write(reply.body);
    if (close) {
        closeGracefully();
    } else {
        m_state = State::Head;
    }
}

void ScriptedServerConnection::writeHead(const ScriptedReply& reply, qint64 contentLength,
                                         bool close) {
    // The reason phrase means nothing to a client; one word does for every status.
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + " Scripted\r\n";
    for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
    if (contentLength >= 0 && !findScriptedHeader(reply.headers, "Content-Length")) {
        head += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    }
    if (close && !findScriptedHeader(reply.headers, "Connection")) head += "Connection: close\r\n";
    m_socket->write(head + "\r\n");
}

void ScriptedServerConnection::pumpEndless() {
    // Paced: one chunk per tick; otherwise as much as the peer takes, with a bounded backlog.
    while (m_socket->state() == QAbstractSocket::ConnectedState &&
           m_socket->bytesToWrite() < kEndlessBacklog) {
        m_socket->write(m_endlessChunk);
        if (m_endlessTimer) return;
    }
}

bool ScriptedServerConnection::fail(int status) {
    m_state = State::Busy;
    m_closeAfter = true;
    carryOut(ScriptedReply::json(status, R"({"error":"malformed or unsupported request"})"));
    return false;
}

void ScriptedServerConnection::closeGracefully() {
    m_state = State::Done;
    m_socket->disconnectFromHost();  // queued bytes are flushed first
}
