#pragma once

#include "Constant.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A real vorpane-server on a free loopback port with its own database, started and stopped by a
// test. The tests that use it are built only when the server is part of the build and pass its
// path in VORPANE_SERVER_PATH.
class LocalService final {
public:
    LocalService() = default;
    LocalService(const LocalService&) = delete;
    LocalService& operator=(const LocalService&) = delete;
    ~LocalService() { stop(); }

    // Starts the server (classical cut-outs) on `host` and reads its base URL (first line) and the
    // demo key it creates.
    bool start(const QString& serverPath, const QString& host = QStringLiteral("127.0.0.1")) {
        if (!m_dir.isValid()) return false;
        m_process.setProgram(serverPath);
        m_process.setArguments({QStringLiteral("serve"), QStringLiteral("--port"),
                                QStringLiteral("0"), QStringLiteral("--db"),
                                m_dir.filePath(QStringLiteral("server.db")),
                                QStringLiteral("--host"), host, QStringLiteral("--quiet"),
                                // The client's tests need the protocol, not the network's cut-outs.
                                QStringLiteral("--no-model")});
        m_process.start();
        if (!m_process.waitForStarted(5000)) return false;
        QElapsedTimer timer;
        timer.start();
        while ((m_baseUrl.isEmpty() || m_demoKey.isEmpty()) && timer.elapsed() < 15000) {
            if (!m_process.canReadLine() && !m_process.waitForReadyRead(200)) continue;
            while (m_process.canReadLine()) {
                const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
                if (m_baseUrl.isEmpty())
                    m_baseUrl = line;
                else if (line.startsWith(QStringLiteral("Demo API key: ")))
                    m_demoKey = line.mid(14).trimmed();
            }
        }
        return m_baseUrl.startsWith(QStringLiteral("http://")) && !m_demoKey.isEmpty();
    }

    void stop() {
        if (m_process.state() == QProcess::NotRunning) return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QString baseUrl() const { return m_baseUrl; }
    QString demoKey() const { return m_demoKey; }
    Constant service() const { return *Constant::fromServiceUrl(m_baseUrl); }
    QString databasePath() const { return m_dir.filePath(QStringLiteral("server.db")); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_baseUrl;
    QString m_demoKey;
};
