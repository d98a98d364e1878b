#pragma once

#include "DataModel.h"
#include "SqlStatement.h"

#include <QColor>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

Q_DECLARE_LOGGING_CATEGORY(lcJournal)

class AlertPresenter;
class ImageQueue;
class QSqlQuery;

using DataModelPtr = std::shared_ptr<DataModel>;

// Keeps the queue on disk so that a batch outlives the window, a crash or a logout: an SQLite
// database with one table row per image (its source, size, state, result address and saved
// file). (The output options are remembered with the other choices in the settings.) Changes are
// collected and written together every few hundred milliseconds in one small transaction; a result
// address, which stands for a credit already spent, is committed at once, before its download
// starts. A journal that cannot be opened or read is moved aside and an empty one started.
class BatchJournal final : public QObject {
    Q_OBJECT
public:
    // Where the user's journal lives (batch.db in the application's data folder).
    static QString defaultPath();
    static constexpr int kDefaultFlushDelayMs = 250;
    // At most this many rows go into one transaction, so no write holds the event loop for long.
    static constexpr int kRowsPerTransaction = 1000;

    explicit BatchJournal(const QString& path, QObject* parent = nullptr);
    // Writes what is still pending.
    ~BatchJournal() override;

    // Opens the journal, creating it (readable by its owner only) when missing. A file that
    // cannot be opened or read is renamed "<name>.broken-<time>" and a new one is started;
    // movedAside() then names it. False only when no journal can be kept at all.
    bool open();
    QString movedAside() const { return m_movedAside; }
    QString path() const { return m_path; }

    // The batch as it was last written, ready to be shown again: rows that were being sent are
    // waiting (their result address, when known, kept: only the download is redone), rows whose
    // source file is gone and that still need it are failed. Nothing when every row was done.
    struct Batch {
        QList<DataModelPtr> rows;
    };
    Batch load();

    // Opens the journal, puts its unfinished batch back into the queue and follows it from then
    // on. A journal moved aside is reported once through `alerts`. Returns the number of rows
    // restored.
    int attach(ImageQueue& queue, AlertPresenter& alerts);
    // Follows the queue without restoring anything.
    void follow(ImageQueue& queue);

    // The ledger of paid results commits each paid address before its download starts; the
    // journal then writes it with its other changes instead of at once.
    void setPaidKeptElsewhere(bool kept) { m_paidKeptElsewhere = kept; }

    // Writes every pending change now.
    void flush();
    int pendingCount() const;
    void setFlushDelay(int ms) { m_timer.setInterval(ms); }
    // Time spent writing so far, and the longest single write (both in nanoseconds).
    qint64 writeTimeNs() const { return m_writeNs; }
    qint64 longestWriteNs() const { return m_longestWriteNs; }

    static inline const QString kSourceGone = QStringLiteral("The file is no longer there");

private:
    struct Entry {
        DataModelPtr record;  // held so that its address is not reused while it is known here
        qint64 id = 0;
    };

    bool openDatabase();
    // Renames an unreadable journal "<name>.broken-<time>" and starts an empty one.
    bool moveAside();
    void closeDatabase();
    bool exec(const QString& sql);
    void scheduleFlush();
    // Finds rows added to or removed from the queue since the last look.
    void scan();
    // The timer's share of the work: one transaction, the next one on the next turn.
    void writeSlice();
    // Writes up to `limit` rows (and the deletions) in one transaction.
    bool writePending(int limit);
    bool writeRow(const Entry& entry);
    // Adds the time of one write (its lifetime) to the journal's write statistics.
    class WriteTimer final {
    public:
        explicit WriteTimer(BatchJournal& journal);
        ~WriteTimer();
        WriteTimer(const WriteTimer&) = delete;
        WriteTimer& operator=(const WriteTimer&) = delete;

    private:
        BatchJournal& m_journal;
        QElapsedTimer m_clock;
    };
    void onRowChanged(int row);
    void onResultKnown(int row);

    QString m_path;
    QString m_connection;
    QString m_movedAside;
    bool m_open = false;
    ImageQueue* m_queue = nullptr;
    QTimer m_timer;

    QHash<const DataModel*, Entry> m_known;  // rows of the queue that have a journal id
    QHash<qint64, DataModelPtr> m_dirty;     // rows to write, by id
    QList<qint64> m_deleted;                 // ids to remove
    bool m_clearAll = false;                 // the list was emptied: every row goes
    bool m_scanDue = false;
    bool m_paidKeptElsewhere = false;
    qint64 m_lastId = 0;
    qint64 m_writeNs = 0;
    qint64 m_longestWriteNs = 0;

    SqlStatement m_upsert;
    SqlStatement m_remove;
};
