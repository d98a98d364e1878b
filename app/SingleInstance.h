#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class QLocalServer;

// One window per profile: the first launch holds a lock beside the batch journal and listens on
// a local socket; a later launch hands it its files (the command line's paths, "Open with") and
// ends. A lock left by a window that crashed is taken over.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    // `journalPath` is the batch journal's file: the lock and the socket are named after it.
    explicit SingleInstance(const QString& journalPath, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this launch is the profile's window (it then listens for later launches).
    bool claim();
    // Hands `paths` (made absolute) to the running window; false when it did not answer.
    bool handOver(const QStringList& paths);
    // The process holding the lock, when claim() failed.
    qint64 holder() const;

    // Runs on the running window for the paths each later launch hands over.
    void onPaths(std::function<void(const QStringList&)> take) { m_take = std::move(take); }

private:
    void accept();

    QString m_socketName;
    QLockFile m_lock;
    QLocalServer* m_server = nullptr;
    std::function<void(const QStringList&)> m_take;
};
