#include "PaidResults.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const QString kEntries = QStringLiteral("entries");
const QString kUrl = QStringLiteral("url");
const QString kPaidAt = QStringLiteral("paid");

PaidResults::Key keyOf(const QJsonObject& o) {
    return {
        o.value(QStringLiteral("source")).toString(), o.value(QStringLiteral("bytes")).toInteger(),
        o.value(QStringLiteral("folder")).toString(), o.value(QStringLiteral("format")).toString(),
        o.value(QStringLiteral("colour")).toString()};
}

// The entries of the file, or none when it is missing or unreadable (nothing can be fetched from
// an unreadable record; the images are sent again).
QJsonArray readEntries(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(file.readAll()).object().value(kEntries).toArray();
}

}  // namespace

PaidResults::~PaidResults() {
    if (m_lockFd >= 0) ::close(m_lockFd);
}

QString PaidResults::Key::text() const {
    return QStringList{source, QString::number(bytes), outputFolder, format, colour}.join(
        QChar(0x1f));
}

QString PaidResults::defaultPath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("Vorpane/vorpane-cli/paid-results.json"));
}

QHash<QString, QString> PaidResults::load() const {
    QHash<QString, QString> urls;
    for (const QJsonValue& entry : readEntries(m_path)) {
        const QJsonObject o = entry.toObject();
        urls.insert(keyOf(o).text(), o.value(kUrl).toString());
    }
    return urls;
}

bool PaidResults::remember(const Key& key, const QString& resultUrl) {
    m_error.clear();
    if (m_lockFd < 0) {
        if (!QDir().mkpath(QFileInfo(m_path).absolutePath())) {
            m_error = QStringLiteral("cannot create the folder of %1").arg(m_path);
            return false;
        }
        m_lockFd = ::open(QFile::encodeName(m_path + QStringLiteral(".lock")).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    }
    // Held only for the few file operations below; the system drops it if the process dies.
    if (m_lockFd < 0 || ::flock(m_lockFd, LOCK_EX) != 0) {
        m_error =
            QStringLiteral("%1.lock: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct Unlock {
        int fd;
        ~Unlock() { ::flock(fd, LOCK_UN); }
    } unlock{m_lockFd};
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 oldest = now - qint64(kMaxAgeDays) * 24 * 3600;
    const QString wanted = key.text();
    QJsonArray kept;
    for (const QJsonValue& entry : readEntries(m_path)) {
        const QJsonObject o = entry.toObject();
        if (keyOf(o).text() == wanted || o.value(kPaidAt).toInteger() < oldest) continue;
        kept.append(o);
    }
    if (!resultUrl.isEmpty()) {
        kept.append(QJsonObject{{QStringLiteral("source"), key.source},
                                {QStringLiteral("bytes"), key.bytes},
                                {QStringLiteral("folder"), key.outputFolder},
                                {QStringLiteral("format"), key.format},
                                {QStringLiteral("colour"), key.colour},
                                {kUrl, resultUrl},
                                {kPaidAt, now}});
    }
    // Written beside and renamed over the old file: a kill at any moment leaves one or the
    // other whole. Not synced, like the window's journal: it outlives a crash or a kill of the
    // program, not a power cut, and a sync would hold each result up by milliseconds.
    const QString temporary = m_path + QStringLiteral(".new");
    QFile file(temporary);
    const QByteArray bytes = QJsonDocument(QJsonObject{{kEntries, kept}}).toJson();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(bytes) != bytes.size() || !file.flush()) {
        m_error = QStringLiteral("%1: %2").arg(temporary, file.errorString());
        file.remove();
        return false;
    }
    file.close();
    if (::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(m_path).constData()) !=
        0) {
        m_error =
            QStringLiteral("%1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        QFile::remove(temporary);
        return false;
    }
    return true;
}
