#pragma once

#include <QObject>
#include <QUrl>

class QThread;
class ScriptedServer;

// A ScriptedServer running in a thread of its own, so a benchmark's client thread does not
// share its event loop with the server.
class ScriptedServerThread final : public QObject {
    Q_OBJECT
public:
    explicit ScriptedServerThread(QObject* parent = nullptr);
    ~ScriptedServerThread() override;  // deletes the server in its thread and joins the thread

    bool start();  // returns once the server listens
    QUrl baseUrl() const;
    // Scripting, handler and recorded requests are safe to use from any thread.
    ScriptedServer* server() const { return m_server; }

private:
    QThread* m_thread;
    ScriptedServer* m_server;
};
