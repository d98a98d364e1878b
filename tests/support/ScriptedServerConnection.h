#pragma once

#include "ScriptedServerTypes.h"

#include <QObject>
#include <functional>

class QTcpSocket;
class QTimer;

// One accepted socket of the scripted server: reads HTTP/1.1 requests (keep-alive, fixed-length
// and chunked bodies, 100-continue), hands each complete request to the dispatcher and carries
// out the reply it returns.
class ScriptedServerConnection final : public QObject {
    Q_OBJECT
public:
    using Dispatcher = std::function<ScriptedReply(RecordedRequest&&)>;

    // Takes ownership of the socket.
    ScriptedServerConnection(QTcpSocket* socket, Dispatcher dispatcher, QObject* parent);
    ~ScriptedServerConnection() override;

    // Drops the connection at once.
    void abort();

signals:
    // The socket is gone; the owner may delete the connection.
    void finished(ScriptedServerConnection* connection);

private:
    enum class State { Head, FixedBody, ChunkSize, ChunkData, ChunkTrailer, Busy, Done };

    void onReadyRead();
    void onDisconnected();
    void process();
    bool parseHead(qsizetype end);
    bool completeRequest();
    void carryOut(const ScriptedReply& reply, bool closeAfter, bool headRequest);
    void writeHead(const ScriptedReply& reply, qint64 contentLength, bool closeAfter);
    void startEndless(const ScriptedReply& reply);
    void pumpEndless();
    void fail(int status, const QByteArray& message);
    void closeGracefully();

    QTcpSocket* m_socket;
    Dispatcher m_dispatcher;
    QByteArray m_buffer;
    qsizetype m_pos = 0;   // start of unconsumed data in m_buffer
    qsizetype m_scan = 0;  // where the search for the end of the head resumes
    State m_state = State::Head;
    RecordedRequest m_current;
    qint64 m_remaining = 0;  // body or chunk bytes still expected
    bool m_closeAfter = false;
    bool m_headRequest = false;
    QTimer* m_endlessTimer = nullptr;
    QByteArray m_endlessChunk;
};
