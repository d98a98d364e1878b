#pragma once

#include "LedgerDatabase.h"
#include "LedgerWriter.h"
#include "ResultKey.h"

#include <QHash>
#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QObject;
struct RunConfig;

// The ledger of paid results, shared by every front end of the user (the window, any number of
// command-line runs) in the batch journal's SQLite database: a result's address is committed
// as soon as the service accepted its image, before its download starts, and the entry becomes
// a record of the saved file once that is written. A result on the ledger is fetched, never paid
// for again, by whichever process meets the same photo next. Several processes may use it at
// once (write-ahead log, busy time-out).
//
// Changes are written on the ledger's own thread (LedgerWriter), in the order they were made;
// what comes while one transaction is written goes into the next one. Reads answer at once, from
// what this process holds and has not written yet, then from the database.
class PaidLedger final {
public:
    static constexpr int kBusyTimeoutMs = LedgerDatabase::kBusyTimeoutMs;
    static constexpr int kMaxAgeDays = 30;  // unsaved entries older than this are dropped

    // The journal's database: ~/.local/share/Vorpane/Vorpane/batch.db.
    static QString defaultPath();

    explicit PaidLedger(QString path);
    // Writes what waits and gives up the claims of this process.
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
    // Commits the address of a paid result. `written` runs on this thread once it is on disk
    // (true), or once the database refused it (false, error() says why): the address is then
    // kept here and in a rescue file, and written with the next change that gets through.
    void rememberPaid(const ResultKey& key, const QString& resultUrl,
                      std::function<void(bool written)> written = {});
    // The result was saved as `fileName` in the key's folder: the address is no longer needed.
    // Written with the next paid address or claim, by flush(), or when the ledger closes.
    void recordSaved(const ResultKey& key, const QString& fileName);
    // Writes what waits, and waits for it. False, with error() set, while something is still
    // unwritten.
    bool flush();

    // The key's saved result, while that file is still in the folder as it was saved (a regular
    // file of the same size and modification time); nothing when it was never saved, or was
    // deleted, replaced or changed since.
    std::optional<SavedResult> savedResult(const ResultKey& key);
    // The same for every source at once, for the folder and options of `config`: by source path.
    QHash<QString, SavedResult> savedResults(const RunConfig& config);
    // The addresses of results paid for and not saved, for the folder and options of `config`:
    // by source path.
    QHash<QString, QString> paidResults(const RunConfig& config);

    // One photo is sent by one process at a time: a claim on the key, held until release().
    enum class Claim {
        Taken,          // this process holds it now
        HeldElsewhere,  // another Vorpane that is still running is sending it
        Failed,         // the database could not be written (error() says why)
        Asked,          // the answer comes later: `answered` runs, then claim() tells
    };
    // The answer is known at once while this process holds the claim, or once an earlier ask
    // was answered; otherwise the claim is asked for, with the photos to be sent soon (`ahead`,
    // claimed in the same commit where they are free), and `answered` runs on this thread when
    // the answer is there. Under a claim, what the ledger holds for the photo is known.
    Claim claim(const ResultKey& key, const QList<ResultKey>& ahead,
                std::function<void()> answered);
    // Asks for the claims of photos to be sent after the ones held, unless a claim is being
    // asked for already; their answer comes as claim()'s does.
    void claimSoon(const QList<ResultKey>& keys);
    bool holds(const ResultKey& key) const { return held(key) != nullptr; }
    // Gives the claim up with the next write (the next claim or paid address, flush(),
    // releaseAll()), together with what was saved, so that the next process to claim the key
    // finds the result. Until then another process sees the photo as being sent.
    void release(const ResultKey& key);
    // Gives up every claim this process holds, and waits for it.
    void releaseAll();
    // For trying a journal that cannot be written: the database refuses every change while set.
    void refuseWrites(bool refuse);
    // Time this thread spent on the database so far (reading, and waiting for writes), and the
    // time of the writes on the ledger's own thread, in nanoseconds.
    qint64 timeNs() const { return m_db.timeNs() + m_waitNs; }
    qint64 writerTimeNs() const { return m_writer ? m_writer->timeNs() : 0; }
    // The service no longer has the result: sending again is the only way. Written with the
    // next change.
    void forgetPaid(const ResultKey& key);

    // Takes the entries of the record kept by earlier command-line versions (a JSON file) whose
    // source is still the same size, then renames the file "<name>.imported". Returns how many
    // were taken.
    int importJson(const QString& jsonPath);
    // ~/.local/share/Vorpane/vorpane-cli/paid-results.json
    static QString legacyJsonPath();

private:
    struct Pending {
        LedgerChange change;
        std::function<void(bool)> written;
    };
    void add(LedgerChange change, std::function<void(bool)> written = {});
    // Hands what waits to the writer, unless it is busy (then it goes when that is done).
    void send();
    // The writer's answer to `batch`; `later`: what waits for it runs on the next turn of the
    // event loop, not inside the call that waited.
    void settle(LedgerWriter::BatchPtr batch, bool later);
    // Waits until nothing is being written.
    void finish();
    // The keys of the entries for the folder and options of `config` whose `column` is set,
    // with those of the changes of `kind` not written yet, whose source is still as it was.
    QList<ResultKey> keysWith(const RunConfig& config, const char* column, LedgerChange::Kind kind);
    LedgerEntry* held(const ResultKey& key);
    const LedgerEntry* held(const ResultKey& key) const;
    // What waits in memory also goes to a small file in the user's runtime folder while the
    // database refuses it, so that a process ended then (killed, or a command that halted)
    // does not pay for it again; the next ledger to open takes it.
    void keepRescue();
    void takeRescue();
    QString rescuePath() const;

    QString m_path;
    QString m_error;
    bool m_open = false;
    LedgerDatabase m_db;                 // this thread's connection, for reading
    std::unique_ptr<QObject> m_replies;  // where the writer's answers arrive
    std::unique_ptr<LedgerWriter> m_writer;
    QList<Pending> m_pending;  // not written yet; the first m_sent are being written
    qsizetype m_sent = 0;
    LedgerWriter::BatchPtr m_inFlight;
    bool m_due = false;  // something waits that is to go as soon as it can
    qint64 m_waitNs = 0;
    bool m_rescued = false;     // the rescue file may exist
    QList<LedgerEntry> m_held;  // the claims of this process, with their entries
    QList<ResultKey> m_wanted;  // claims to ask for with the next batch
    std::function<void()> m_answered;
    std::optional<ResultKey> m_askedFor;   // the photo claim() was last asked for
    std::optional<ResultKey> m_elsewhere;  // the last ask's answer: another Vorpane sends it
    bool m_claimFailed = false;            // the last ask failed
    bool m_releaseAll = false;             // the next batch gives every claim up
    bool m_releaseAllDue = false;          // a batch that gave them up failed
};
