#pragma once

#include "LedgerDatabase.h"
#include "ResultKey.h"

#include <QList>
#include <QVariant>
#include <functional>
#include <memory>

class QObject;
class QThread;

// One change to the ledger of paid results, kept in the order it was made.
struct LedgerChange {
    enum class Kind {
        Paid,     // the service took the image: `text` is the result's address
        Saved,    // the result was saved as `text` in the key's folder (`bytes`, `modifiedMs`)
        Release,  // this process gives its claim on the key up
        Forget,   // the service no longer has the result
    };
    Kind kind = Kind::Paid;
    ResultKey key;
    QString text;
    qint64 bytes = 0;
    qint64 modifiedMs = 0;
    qint64 at = 0;  // when, in milliseconds since the epoch
};

// What the ledger holds for a key, as read under this process's claim on it.
struct LedgerEntry {
    ResultKey key;
    QString resultUrl;  // paid for and not saved since; or empty
    QString savedFile;  // the saved result's name in the key's folder; or empty
    qint64 savedBytes = 0;
    QVariant savedModified;  // null in entries of earlier versions
    qint64 savedAt = 0;
};

// The ledger's writes, on a thread of their own with a connection of their own, so that a
// commit, synchronous to the disk, never holds the thread that asked for it. Each batch is one
// transaction: its changes in order, then its claims, then (when asked) every claim of this
// process given up. Batches are written in the order they were submitted.
class LedgerWriter final {
public:
    struct Batch {
        QList<LedgerChange> changes;
        QList<ResultKey> claims;  // the first is wanted now, the others are to be sent soon
        bool releaseAll = false;
        // The outcome, filled in on the writer's thread.
        bool ok = false;
        QString error;
        QList<LedgerEntry> taken;         // the claims taken, with their entries
        bool firstHeldElsewhere = false;  // another Vorpane that still runs sends the first
    };
    using BatchPtr = std::shared_ptr<Batch>;

    explicit LedgerWriter(QString path);
    ~LedgerWriter();
    LedgerWriter(const LedgerWriter&) = delete;
    LedgerWriter& operator=(const LedgerWriter&) = delete;

    // Opens the writer's connection on its thread. False, with `error` set, when it cannot.
    bool start(QString* error);
    // Writes `batch` on the writer's thread; `done` then runs on the thread of `context`, which
    // outlives the writer.
    void submit(const BatchPtr& batch, QObject* context, std::function<void()> done);
    // Returns once every batch submitted before is written.
    void wait();
    // For trying a journal that cannot be written: the database refuses every change while set.
    void refuseWrites(bool refuse);
    // Time spent writing so far, in nanoseconds.
    qint64 timeNs() const { return m_db.timeNs(); }
    // This process, as its claims name it: "host pid start-time".
    const QString& owner() const { return m_owner; }

private:
    enum class Claimed { Taken, HeldElsewhere, Failed };
    // On the writer's thread.
    void write(Batch& batch);
    bool apply(const LedgerChange& change);
    Claimed claim(const ResultKey& key, Batch& batch);
    // Writes values into columns of the key's entry, creating it when missing. An entry that
    // exists is only changed where `when` holds (SQL over `results` and `excluded`), so that what
    // one process noted earlier never replaces what another wrote later.
    static QString upsertSql(const QStringList& columns, const char* when);
    // Runs such a statement with the key and `values`, in the order of its columns.
    bool upsert(const QString& sql, const ResultKey& key, const QVariantList& values);
    // Runs `work` on the writer's thread, after what was submitted before, and waits for it.
    void blocking(const std::function<void()>& work);

    QString m_path;
    QString m_owner;
    LedgerDatabase m_db;
    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<QObject> m_worker;  // lives on m_thread
};
