#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <map>
#include <memory>

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
    // Commits the address of a paid result. False, with error() set, when it was not written.
    bool rememberPaid(const ResultKey& key, const QString& resultUrl);
    // The result was saved as `fileName` (`bytes` long): the address is no longer needed. Kept
    // in memory and written with the next paid address, by flush(), or when the ledger closes.
    void recordSaved(const ResultKey& key, const QString& fileName, qint64 bytes);
    // Writes the saved files noted so far.
    bool flush();
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
    bool upsert(const ResultKey& key, const QStringList& columns, const QVariantList& values);

    QString m_path;
    QString m_connection;
    QString m_error;
    bool m_open = false;
    qint64 m_timeNs = 0;
    struct PendingSave {
        ResultKey key;
        QString fileName;
        qint64 bytes = 0;
        qint64 at = 0;
    };
    QList<PendingSave> m_pendingSaves;
    std::map<QString, std::unique_ptr<QSqlQuery>> m_statements;
};
