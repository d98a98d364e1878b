#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>
#include <QThread>

#include <unistd.h>

namespace {

constexpr int kAnswerMs = 3000;
const QByteArray kAck = QByteArrayLiteral("ok\n");

// The socket lives beside the journal, in the user's own data folder, where every launch finds
// it whatever its environment; a path too long for a socket goes to the runtime folder.
QString socketName(const QString& journalPath) {
    const QString beside = QFileInfo(journalPath).absoluteFilePath() + QStringLiteral(".socket");
    if (QFile::encodeName(beside).size() < 100) return beside;
    const QByteArray id =
        QCryptographicHash::hash(beside.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty() || !QFileInfo(runtime).isDir()) runtime = QDir::tempPath();
    return QDir(runtime).filePath(
        QStringLiteral("vorpane-%1-%2.socket").arg(::getuid()).arg(QString::fromLatin1(id)));
}

}  // namespace

SingleInstance::SingleInstance(const QString& journalPath, QObject* parent)
    : QObject(parent),
      m_socketName(socketName(journalPath)),
      m_lock(QFileInfo(journalPath).absoluteFilePath() + QStringLiteral(".window.lock")) {
    // Only a lock whose process is gone is stale, however old it is.
    m_lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    if (m_server) m_server->close();
}

bool SingleInstance::claim() {
    QDir().mkpath(QFileInfo(m_lock.fileName()).absolutePath());
    if (!m_lock.tryLock(0)) return false;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(m_socketName);  // left by a window that crashed
    m_server->listen(m_socketName);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::accept);
    return true;
}

qint64 SingleInstance::holder() const {
    qint64 pid = 0;
    QString host;
    QString app;
    m_lock.getLockInfo(&pid, &host, &app);
    return pid;
}

bool SingleInstance::handOver(const QStringList& paths) {
    QStringList absolute;
    for (const QString& path : paths) absolute.append(QFileInfo(path).absoluteFilePath());
    QByteArray message;
    {
        QDataStream out(&message, QIODevice::WriteOnly);
        out << absolute;
    }
    // The first window may still be starting: it is given a moment to listen.
    const QDeadlineTimer patience(kAnswerMs);
    while (!patience.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(m_socketName);
        if (socket.waitForConnected(500)) {
            QByteArray framed;
            {
                QDataStream out(&framed, QIODevice::WriteOnly);
                out << message;
            }
            socket.write(framed);
            socket.waitForBytesWritten(1000);
            QByteArray answer;
            while (!answer.endsWith('\n') &&
                   socket.waitForReadyRead(int(std::max<qint64>(1, patience.remainingTime()))))
                answer += socket.readAll();
            return answer == kAck;
        }
        QThread::msleep(100);
    }
    return false;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this,
                [this, socket = QPointer<QLocalSocket>(socket)] {
                    if (!socket) return;
                    QDataStream in(socket);
                    in.startTransaction();
                    QByteArray message;
                    in >> message;
                    if (!in.commitTransaction()) return;  // the rest is on its way
                    QStringList paths;
                    QDataStream read(message);
                    read >> paths;
                    socket->write(kAck);
                    socket->flush();
                    if (m_take) m_take(paths);
                });
    }
}
