#include "ScriptedServerThread.h"

#include "ScriptedServer.h"

#include <QThread>

ScriptedServerThread::ScriptedServerThread(QObject* parent)
    : QObject(parent), m_thread(new QThread(this)), m_server(new ScriptedServer) {
    m_thread->setObjectName(QStringLiteral("ScriptedServerThread"));
    m_server->moveToThread(m_thread);
    m_thread->start();
}

ScriptedServerThread::~ScriptedServerThread() {
    ScriptedServer* server = m_server;
    QMetaObject::invokeMethod(
        server, [server] { delete server; }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

bool ScriptedServerThread::start() {
    return m_server->start();
}

QUrl ScriptedServerThread::baseUrl() const {
    return m_server->baseUrl();
}
