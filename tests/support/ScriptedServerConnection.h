#pragma once

#include "ScriptedServerTypes.h"

#include <QObject>
#include <functional>

class QTcpSocket;
class QTimer;

// One accepted socket of the scripted server: reads keep-alive HTTP/1.1 requests with
// Content-Length bodies, hands each complete request to the dispatcher and carries out the reply
// it returns. Deletes itself once the peer is gone.
class ScriptedServerConnection final : public QObject {
    Q_OBJECT
public:
    using Dispatcher = std::function<ScriptedReply(RecordedRequest&&)>;

    // Takes ownership of the socket.
    explicit ScriptedServerConnection(QTcpSocket* socket, Dispatcher dispatcher, QObject* parent);
    ~ScriptedServerConnection() override;

private:
    enum class State { Head, Body, Busy, Done };

    void onReadyRead();
    void process();
    bool parseHead(qsizetype end);
    void complete();
    void carryOut(const ScriptedReply& reply);
    void writeHead(const ScriptedReply& reply, qint64 contentLength, bool close);
    void pumpEndless();
    bool fail(int status);
    void closeGracefully();

    QTcpSocket* m_socket;
    Dispatcher m_dispatcher;
    QByteArray m_buffer;  // received, not yet consumed
    State m_state = State::Head;
    RecordedRequest m_current;
    qint64 m_remaining = 0;  // body bytes still expected
    bool m_closeAfter = false;
    QTimer* m_endlessTimer = nullptr;
    QByteArray m_endlessChunk;
};
