#include "ScriptedServerConnection.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr qint64 kMaxHeadSize = 1 << 20;
constexpr qint64 kMaxReserve = 64 << 20;
constexpr qint64 kEndlessBacklog = 1 << 20;
constexpr qsizetype kEndlessChunk = 64 * 1024;
constexpr qsizetype kKeepCapacity = 4 << 20;

struct ReasonPhrase {
    int status;
    const char* phrase;
};

constexpr ReasonPhrase kReasonPhrases[] = {
    {100, "Continue"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {204, "No Content"},
    {206, "Partial Content"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {307, "Temporary Redirect"},
    {308, "Permanent Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {413, "Payload Too Large"},
    {415, "Unsupported Media Type"},
    {422, "Unprocessable Entity"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
};

QByteArray reasonPhrase(int status) {
    for (const ReasonPhrase& entry : kReasonPhrases) {
        if (entry.status == status) return entry.phrase;
    }
    return "Status";
}

bool hasToken(const QByteArray& value, const QByteArray& token) {
    const QList<QByteArray> items = value.split(',');
    for (const QByteArray& item : items) {
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0) return true;
    }
    return false;
}

QByteArray pathOf(const QByteArray& target) {
    QByteArray path = target;
    // Absolute form: drop scheme and authority.
    const qsizetype scheme = path.indexOf("://");
    if (scheme > 0 && !path.startsWith('/')) {
        const qsizetype slash = path.indexOf('/', scheme + 3);
        path = slash < 0 ? QByteArray("/") : path.mid(slash);
    }
    const qsizetype query = path.indexOf('?');
    if (query >= 0) path.truncate(query);
    const qsizetype fragment = path.indexOf('#');
    if (fragment >= 0) path.truncate(fragment);
    return path;
}

}  // namespace

ScriptedServerConnection::ScriptedServerConnection(QTcpSocket* socket, Dispatcher dispatcher,
                                                   QObject* parent)
    : QObject(parent), m_socket(socket), m_dispatcher(std::move(dispatcher)) {
    m_socket->setParent(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &ScriptedServerConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &ScriptedServerConnection::onDisconnected);
    if (m_socket->bytesAvailable() > 0) {
        QTimer::singleShot(0, this, &ScriptedServerConnection::onReadyRead);
    }
}

ScriptedServerConnection::~ScriptedServerConnection() {
    // The socket's destructor may still emit; this object is no longer fit to hear it.
    m_socket->disconnect(this);
}

void ScriptedServerConnection::abort() {
    m_state = State::Done;
    if (m_endlessTimer) m_endlessTimer->stop();
    m_socket->disconnect(this);
    m_socket->abort();
}

void ScriptedServerConnection::onDisconnected() {
    m_state = State::Done;
    if (m_endlessTimer) m_endlessTimer->stop();
    emit finished(this);
}

void ScriptedServerConnection::onReadyRead() {
    if (m_state == State::Done) {
        m_socket->readAll();
        return;
    }
    // Reclaim consumed bytes without copying the front of the buffer for every segment.
    if (m_pos == m_buffer.size()) {
        if (m_buffer.capacity() > kKeepCapacity) {
            m_buffer.clear();
        } else {
            m_buffer.resize(0);
        }
        m_pos = 0;
        m_scan = 0;
    } else if (m_pos > (1 << 20) && m_pos * 2 > m_buffer.size()) {
        m_buffer.remove(0, m_pos);
        m_scan = qMax<qsizetype>(0, m_scan - m_pos);
        m_pos = 0;
    }
    for (;;) {
        const qint64 available = m_socket->bytesAvailable();
        if (available <= 0) break;
        if (m_state == State::FixedBody && m_remaining > 0 && m_pos == m_buffer.size()) {
            // Body bytes go straight to their final place.
            QByteArray& body = m_current.body;
            const qsizetype old = body.size();
            const qint64 wanted = qMin(available, m_remaining);
            body.resize(old + wanted);
            const qint64 got = m_socket->read(body.data() + old, wanted);
            body.resize(old + qMax<qint64>(0, got));
            if (got <= 0) break;
            m_remaining -= got;
            continue;
        }
        const qsizetype old = m_buffer.size();
        m_buffer.resize(old + available);
        const qint64 got = m_socket->read(m_buffer.data() + old, available);
        m_buffer.resize(old + qMax<qint64>(0, got));
        if (got <= 0) break;
    }
    process();
}

void ScriptedServerConnection::process() {
    for (;;) {
        switch (m_state) {
            case State::Head: {
                while (m_buffer.size() - m_pos >= 2 && m_buffer[m_pos] == '\r' &&
                       m_buffer[m_pos + 1] == '\n') {
                    m_pos += 2;  // stray empty lines between requests
                }
                m_scan = qMax(m_scan, m_pos);
                const qsizetype end = m_buffer.indexOf("\r\n\r\n", m_scan);
                if (end < 0) {
                    m_scan = qMax(m_pos, m_buffer.size() - 3);
                    if (m_buffer.size() - m_pos > kMaxHeadSize) {
                        fail(431, "request head too large");
                    }
                    return;
                }
                if (!parseHead(end)) return;
                break;
            }
            case State::FixedBody: {
                const qint64 take = qMin<qint64>(m_remaining, m_buffer.size() - m_pos);
                if (take > 0) {
                    m_current.body.append(m_buffer.constData() + m_pos, take);
                    m_pos += take;
                    m_remaining -= take;
                }
                if (m_remaining > 0) return;
                if (!completeRequest()) return;
                break;
            }
            case State::ChunkSize: {
                const qsizetype eol = m_buffer.indexOf("\r\n", m_pos);
                if (eol < 0) {
                    if (m_buffer.size() - m_pos > 1024) fail(400, "bad chunk size line");
                    return;
                }
                QByteArray line = m_buffer.mid(m_pos, eol - m_pos);
                const qsizetype extension = line.indexOf(';');
                if (extension >= 0) line.truncate(extension);
                bool ok = false;
                const qint64 size = line.trimmed().toLongLong(&ok, 16);
                if (!ok || size < 0) {
                    fail(400, "bad chunk size");
                    return;
                }
                m_pos = eol + 2;
                m_remaining = size;
                m_state = size == 0 ? State::ChunkTrailer : State::ChunkData;
                break;
            }
            case State::ChunkData:
                if (m_buffer.size() - m_pos < m_remaining + 2) return;
                if (m_buffer.at(m_pos + m_remaining) != '\r' ||
                    m_buffer.at(m_pos + m_remaining + 1) != '\n') {
                    fail(400, "chunk not followed by CRLF");
                    return;
                }
                m_current.body.append(m_buffer.constData() + m_pos, m_remaining);
                m_pos += m_remaining + 2;
                m_state = State::ChunkSize;
                break;
            case State::ChunkTrailer: {
                const qsizetype eol = m_buffer.indexOf("\r\n", m_pos);
                if (eol < 0) return;
                const bool last = eol == m_pos;
                m_pos = eol + 2;  // trailer fields are read and ignored
                if (last && !completeRequest()) return;
                break;
            }
            case State::Busy:
            case State::Done:
                return;
        }
    }
}

bool ScriptedServerConnection::parseHead(qsizetype end) {
    const QByteArray head = m_buffer.mid(m_pos, end - m_pos);
    m_pos = end + 4;
    m_scan = m_pos;
    m_current = RecordedRequest();

    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || requestLine[0].isEmpty() || requestLine[1].isEmpty() ||
        !requestLine[2].startsWith("HTTP/1.")) {
        fail(400, "bad request line");
        return false;
    }
    m_current.method = requestLine[0];
    m_current.target = requestLine[1];
    m_current.path = pathOf(m_current.target);
    m_current.version = requestLine[2];
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r')) line.chop(1);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            fail(400, "bad header line");
            return false;
        }
        m_current.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }

    const QByteArray connection = m_current.header("Connection");
    m_closeAfter = m_current.version == "HTTP/1.0" ? !hasToken(connection, "keep-alive")
                                                   : hasToken(connection, "close");
    m_headRequest = m_current.method == "HEAD";

    const QByteArray transferEncoding = m_current.header("Transfer-Encoding");
    m_current.chunked = !transferEncoding.isEmpty() && hasToken(transferEncoding, "chunked");
    if (!transferEncoding.isEmpty() && !m_current.chunked) {
        fail(501, "unsupported transfer coding");
        return false;
    }
    m_remaining = 0;
    if (!m_current.chunked && m_current.hasHeader("Content-Length")) {
        bool ok = false;
        m_remaining = m_current.header("Content-Length").toLongLong(&ok);
        if (!ok || m_remaining < 0) {
            fail(400, "bad Content-Length");
            return false;
        }
    }
    m_state = m_current.chunked ? State::ChunkSize : State::FixedBody;
    if (m_state == State::FixedBody && m_remaining > 0) {
        m_current.body.reserve(qMin(m_remaining, kMaxReserve));
    }

    const bool bodyExpected = m_current.chunked || m_remaining > 0;
    const bool bodyHere = !m_current.chunked && m_buffer.size() - m_pos >= m_remaining;
    if (bodyExpected && !bodyHere &&
        m_current.header("Expect").compare("100-continue", Qt::CaseInsensitive) == 0) {
        m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    }
    return true;
}

bool ScriptedServerConnection::completeRequest() {
    m_current.bodySize = m_current.body.size();
    parseScriptedMultipart(m_current);
    const bool closeAfter = m_closeAfter;
    const bool headRequest = m_headRequest;
    RecordedRequest request = std::move(m_current);
    m_current = RecordedRequest();
    m_state = State::Busy;

    const ScriptedReply reply = m_dispatcher(std::move(request));
    if (m_state != State::Busy) return false;  // dropped while the dispatcher ran

    if (reply.mode == ScriptedReply::Mode::Hold) return false;
    if (reply.delayMs > 0) {
        QTimer::singleShot(reply.delayMs, this, [this, reply, closeAfter, headRequest] {
            if (m_state != State::Busy) return;
            carryOut(reply, closeAfter, headRequest);
            process();
        });
        return false;
    }
    carryOut(reply, closeAfter, headRequest);
    return m_state == State::Head;
}

void ScriptedServerConnection::carryOut(const ScriptedReply& reply, bool closeAfter,
                                        bool headRequest) {
    switch (reply.mode) {
        case ScriptedReply::Mode::Hold:
            return;
        case ScriptedReply::Mode::Close:
            closeGracefully();
            return;
        case ScriptedReply::Mode::Truncate:
            writeHead(reply, reply.body.size() + qMax<qint64>(1, reply.missingBytes), true);
            m_socket->write(reply.body);
            closeGracefully();
            return;
        case ScriptedReply::Mode::Endless:
            startEndless(reply);
            return;
        case ScriptedReply::Mode::Respond:
            break;
    }
    const bool noBody = reply.status < 200 || reply.status == 204 || reply.status == 304;
    const bool close =
        closeAfter || hasToken(scriptedHeaderValue(reply.headers, "Connection"), "close");
    writeHead(reply, noBody ? -1 : reply.body.size(), close);
    if (!headRequest && !noBody && !reply.body.isEmpty()) m_socket->write(reply.body);
    if (close) {
        closeGracefully();
    } else {
        m_state = State::Head;
    }
}

void ScriptedServerConnection::writeHead(const ScriptedReply& reply, qint64 contentLength,
                                         bool closeAfter) {
    QByteArray head;
    head.reserve(256);
    head +=
        "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    bool sawLength = false;
    bool sawConnection = false;
    for (const auto& h : reply.headers) {
        sawLength = sawLength || h.first.compare("Content-Length", Qt::CaseInsensitive) == 0;
        sawConnection = sawConnection || h.first.compare("Connection", Qt::CaseInsensitive) == 0;
        head += h.first + ": " + h.second + "\r\n";
    }
    if (!sawLength && contentLength >= 0) {
        head += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    }
    if (closeAfter && !sawConnection) head += "Connection: close\r\n";
    head += "\r\n";
    m_socket->write(head);
}

void ScriptedServerConnection::startEndless(const ScriptedReply& reply) {
    m_state = State::Done;  // nothing more is read from this connection
    writeHead(reply, -1, true);
    m_endlessChunk = reply.body;
    if (m_endlessChunk.isEmpty()) {
        m_endlessChunk.resize(kEndlessChunk);
        for (qsizetype i = 0; i < m_endlessChunk.size(); ++i) {
            m_endlessChunk[i] = char('a' + i % 26);
        }
    }
    if (reply.endlessIntervalMs > 0) {
        m_endlessTimer = new QTimer(this);
        m_endlessTimer->setInterval(reply.endlessIntervalMs);
        connect(m_endlessTimer, &QTimer::timeout, this, &ScriptedServerConnection::pumpEndless);
        m_endlessTimer->start();
        m_socket->write(m_endlessChunk);
    } else {
        connect(m_socket, &QTcpSocket::bytesWritten, this, &ScriptedServerConnection::pumpEndless);
        pumpEndless();
    }
}

void ScriptedServerConnection::pumpEndless() {
    if (m_socket->state() != QAbstractSocket::ConnectedState) return;
    if (m_endlessTimer) {
        if (m_socket->bytesToWrite() < kEndlessBacklog) m_socket->write(m_endlessChunk);
        return;
    }
    while (m_socket->bytesToWrite() < kEndlessBacklog) m_socket->write(m_endlessChunk);
}

void ScriptedServerConnection::fail(int status, const QByteArray& message) {
    ScriptedReply reply = ScriptedReply::json(status, "{\"error\":\"" + message + "\"}");
    m_state = State::Busy;
    carryOut(reply, true, false);
}

void ScriptedServerConnection::closeGracefully() {
    m_state = State::Done;
    // Queued bytes are flushed before the socket closes.
    m_socket->disconnectFromHost();
}
