#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QSqlQuery;
struct RunConfig;

// What makes two results the same: the same source file (path, size, modification time) made
// with the same options into the same folder.
struct ResultKey {
    QString source;  // absolute path
    qint64 bytes = 0;
    qint64 modifiedMs = 0;
    QString folder;
    QString format;    // "png" or "jpg"
    QString backdrop;  // "#RRGGBB", or empty for a transparent one

    // The key of the file at `path` as it is now, for a run with `config`.
    static ResultKey of(const QString& path, const RunConfig& config);
    bool isValid() const { return !source.isEmpty(); }
    bool operator==(const ResultKey& o) const;
};

// A result saved earlier and still in its folder as it was written.
struct SavedResult {
    QString filePath;
    qint64 bytes = 0;
    qint64 savedAtMs = 0;
};

// The ledger of paid results, shared by every front end of the user (the window, any number of
// command-line runs) in the batch journal's SQLite database: a result's address is committed
// as soon as the service accepted its image, before its download starts, and the entry becomes
// a record of the saved file once that is written. A result on the ledger is fetched, never paid
// for again, by whichever process meets the same photo next. Several processes may use it at
// once (write-ahead log, busy time-out).
class PaidLedger final {
public:
    static constexpr int kBusyTimeoutMs = 5000;
    static constexpr int kMaxAgeDays = 30;  // unsaved entries older than this are dropped

    // The journal's database: ~/.local/share/Vorpane/Vorpane/batch.db.
    static QString defaultPath();

    explicit PaidLedger(QString path);
    ~PaidLedger();
    PaidLedger(const PaidLedger&) = delete;
    PaidLedger& operator=(const PaidLedger&) = delete;

    // Opens (creating when missing) the database and its table. False, with error() set, when
    // it cannot be used.
    bool open();
    bool isOpen() const { return m_open; }
    QString path() const { return m_path; }
    // The last failure, in words ("database is locked", "disk I/O error", ...).
    QString error() const { return m_error; }

    // The address of a result paid for and not saved yet, or the empty string.
    QString paidResult(const ResultKey& key);
    // Commits the address of a paid result. False, with error() set, when it was not written:
    // the address is then kept here and written with the next change that gets through.
    bool rememberPaid(const ResultKey& key, const QString& resultUrl);
    // The result was saved as `fileName` in the key's folder: the address is no longer needed.
    // Kept in memory and written with the next paid address, by release(), flush(), or when the
    // ledger closes.
    void recordSaved(const ResultKey& key, const QString& fileName);
    // Writes what is kept in memory (saved files, paid addresses a failed write left). False,
    // with error() set, while something is still unwritten.
    bool flush();
    // Whether paid addresses wait in memory for the database to take them.
    bool hasUnwritten() const { return !m_pendingPaid.isEmpty(); }
    // Drops what waited in memory once it is written.
    void written();

    // The key's saved result, while that file is still in the folder as it was saved (a regular
    // file of the same size and modification time); nothing when it was never saved, or was
    // deleted, replaced or changed since.
    std::optional<SavedResult> savedResult(const ResultKey& key);
    // The same for every source at once, for the folder and options of `config`: by source path.
    QHash<QString, SavedResult> savedResults(const RunConfig& config);

    // One photo is sent by one process at a time: a claim on the key, held until release().
    enum class Claim {
        Taken,          // this process holds it now
        HeldElsewhere,  // another Vorpane that is still running is sending it
        Failed,         // the database could not be written (error() says why)
    };
    // `ahead`: photos to be sent soon, claimed in the same commit where they are free.
    Claim claim(const ResultKey& key, const QList<ResultKey>& ahead = {});
    bool holds(const ResultKey& key) const { return m_claims.contains(key); }
    // Gives the claim up with the next write (the next claim or paid address, flush(),
    // releaseAll()), together with what was saved, so that the next process to claim the key
    // finds the result. Until then another process sees the photo as being sent.
    void release(const ResultKey& key);
    // Gives up every claim this process holds.
    void releaseAll();
    // For trying a journal that cannot be written: the database refuses every change while set.
    void refuseWrites(bool refuse);
    // Time spent in the database so far, in nanoseconds.
    qint64 timeNs() const { return m_timeNs; }
    // The service no longer has the result: sending again is the only way.
    bool forgetPaid(const ResultKey& key);

    // Takes the entries of the record kept by earlier command-line versions (a JSON file) whose
    // source is still the same size, then renames the file "<name>.imported". Returns how many
    // were taken.
    int importJson(const QString& jsonPath);
    // ~/.local/share/Vorpane/vorpane-cli/paid-results.json
    static QString legacyJsonPath();

private:
    bool exec(const QString& sql);
    bool run(QSqlQuery& query);
    // A prepared statement, kept for the life of the connection.
    QSqlQuery& statement(const QString& sql);
    bool writeSaves();
    // Writes `values` into `columns` of the key's entry, creating it when missing.
    // An entry that exists is only changed where `when` holds (SQL over `results` and
    // `excluded`), so that what one process noted earlier never replaces what another wrote later.
    bool upsert(const ResultKey& key, const QStringList& columns, const QVariantList& values,
                const char* when);

    QString m_path;
    QString m_connection;
    QString m_error;
    bool m_open = false;
    qint64 m_timeNs = 0;
    bool writePending();
    // What waits in memory also goes to a small file in the user's runtime folder while the
    // database refuses it, so that a process ended then (killed, or a command that halted)
    // does not pay for it again; the next ledger to open takes it.
    void keepRescue();
    void takeRescue();
    QString rescuePath() const;
    // Runs `work` in one write transaction (taken at once, so that it cannot fail half-way).
    bool inTransaction(const std::function<bool()>& work);
    QString failureText(const class QSqlError& error) const;
    struct PendingSave {
        ResultKey key;
        QString fileName;
        qint64 bytes = 0;
        qint64 modifiedMs = 0;
        qint64 at = 0;
    };
    struct PendingPaid {
        ResultKey key;
        QString url;
        qint64 at = 0;
    };
    QList<PendingSave> m_pendingSaves;
    QList<PendingPaid> m_pendingPaid;
    QList<ResultKey> m_pendingReleases;
    bool m_rescued = false;     // the rescue file may exist
    QList<ResultKey> m_claims;  // held by this process
    QString m_owner;            // this process: "host pid start-time"
    std::map<QString, std::unique_ptr<QSqlQuery>> m_statements;
};
