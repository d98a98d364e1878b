#include "PaidLedger.h"

#include "PrivateFile.h"
#include "RunConfig.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>
#include <QVariant>

#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// The file `name` in `folder` when it is a regular file (never followed through a link).
std::optional<struct stat> regularFile(const QString& folder, const QString& name) {
    struct stat st {};
    if (name.isEmpty() ||
        ::lstat(QFile::encodeName(QDir(folder).filePath(name)).constData(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return std::nullopt;
    return st;
}

qint64 modifiedMs(const struct stat& st) {
    return qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

// The saved result `name` of `key`, while it is in the folder as it was saved.
std::optional<SavedResult> intact(const ResultKey& key, const QString& name, qint64 bytes,
                                  const QVariant& modified, qint64 savedAt) {
    const std::optional<struct stat> file = regularFile(key.folder, name);
    if (!file || file->st_size != bytes ||
        (!modified.isNull() && modifiedMs(*file) != modified.toLongLong()))
        return std::nullopt;
    return SavedResult{QDir(key.folder).filePath(name), bytes, savedAt};
}

}  // namespace

QString PaidLedger::defaultPath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("Vorpane/Vorpane/batch.db"));
}

QString PaidLedger::legacyJsonPath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("Vorpane/vorpane-cli/paid-results.json"));
}

PaidLedger::PaidLedger(QString path)
    : m_path(std::move(path)),
      m_db(QStringLiteral("vorpane-ledger-%1").arg(quintptr(this), 0, 16)),
      m_replies(std::make_unique<QObject>()) {}

PaidLedger::~PaidLedger() {
    releaseAll();
    m_writer.reset();  // its thread ends; answers still on their way are dropped with m_replies
}

bool PaidLedger::open() {
    if (m_open) return true;
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    if (!PrivateFile::create(m_path)) {
        m_error = QStringLiteral("%1 cannot be created").arg(m_path);
        return false;
    }
    if (!m_db.open(m_path)) {
        m_error = m_db.error();
        return false;
    }
    // Two programs opening a new database at once: one of them finds it locked while the other
    // switches it to the write-ahead log, without waiting (SQLite does not wait there).
    QDeadlineTimer patience(kBusyTimeoutMs);
    bool ready = false;
    do {
        ready = m_db.exec(QStringLiteral("PRAGMA journal_mode=WAL")) &&
                m_db.exec(QStringLiteral(
                    "CREATE TABLE IF NOT EXISTS results (source TEXT NOT NULL, bytes INTEGER NOT "
                    "NULL, modified INTEGER NOT NULL, folder TEXT NOT NULL, format TEXT NOT "
                    "NULL, backdrop TEXT NOT NULL, result_url TEXT, paid_at INTEGER, saved_file "
                    "TEXT, saved_bytes INTEGER, saved_at INTEGER, PRIMARY KEY (source, bytes, "
                    "modified, folder, format, backdrop))")) &&
                m_db.exec(QStringLiteral(
                    "CREATE TABLE IF NOT EXISTS claims (source TEXT NOT NULL, bytes INTEGER NOT "
                    "NULL, modified INTEGER NOT NULL, folder TEXT NOT NULL, format TEXT NOT "
                    "NULL, backdrop TEXT NOT NULL, owner TEXT NOT NULL, claimed_at INTEGER NOT "
                    "NULL, PRIMARY KEY (source, bytes, modified, folder, format, backdrop))"));
        // Ledgers of earlier versions have no modification time of the saved file.
        if (ready && !m_db.exec(QStringLiteral("SELECT saved_modified FROM results LIMIT 1")))
            m_db.exec(QStringLiteral("ALTER TABLE results ADD COLUMN saved_modified INTEGER"));
        if (ready)
            ready = m_db.exec(QStringLiteral(
                "SELECT source, result_url, saved_file, saved_modified FROM results LIMIT 1"));
        if (ready || !m_db.error().contains(QLatin1String("locked"))) break;
        QThread::msleep(20);
    } while (!patience.hasExpired());
    if (!ready) {
        m_error = m_db.error();
        return false;
    }
    m_db.exec(QStringLiteral("DELETE FROM results WHERE saved_file IS NULL AND paid_at < %1")
                  .arg(nowMs() - qint64(kMaxAgeDays) * 24 * 3600 * 1000));
    m_writer = std::make_unique<LedgerWriter>(m_path);
    if (!m_writer->start(&m_error)) {
        m_writer.reset();
        return false;
    }
    m_open = true;
    takeRescue();
    return true;
}

QString PaidLedger::rescuePath() const {
    const QByteArray id = QCryptographicHash::hash(QFileInfo(m_path).absoluteFilePath().toUtf8(),
                                                   QCryptographicHash::Sha256)
                              .toHex()
                              .left(16);
    // The user's runtime folder is private and on another file system than a full disk; without
    // one (cron), the ledger's own folder.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString folder = !runtime.isEmpty() && QFileInfo(runtime).isDir()
                               ? runtime
                               : QFileInfo(m_path).absolutePath();
    return QDir(folder).filePath(
        QStringLiteral("vorpane-unwritten-%1.json").arg(QString::fromLatin1(id)));
}

namespace {

QJsonObject keyJson(const ResultKey& key) {
    return QJsonObject{{"source", key.source}, {"bytes", key.bytes},   {"modified", key.modifiedMs},
                       {"folder", key.folder}, {"format", key.format}, {"backdrop", key.backdrop}};
}

ResultKey keyFrom(const QJsonObject& o) {
    ResultKey key;
    key.source = o.value(QStringLiteral("source")).toString();
    key.bytes = o.value(QStringLiteral("bytes")).toInteger();
    key.modifiedMs = o.value(QStringLiteral("modified")).toInteger();
    key.folder = ResultKey::cleanFolder(o.value(QStringLiteral("folder")).toString());
    key.format = o.value(QStringLiteral("format")).toString();
    key.backdrop = o.value(QStringLiteral("backdrop")).toString();
    return key;
}

}  // namespace

void PaidLedger::keepRescue() {
    QJsonArray paid, saved;
    for (const Pending& p : std::as_const(m_pending)) {
        const LedgerChange& c = p.change;
        QJsonObject o = keyJson(c.key);
        o.insert(QStringLiteral("at"), c.at);
        if (c.kind == LedgerChange::Kind::Paid) {
            o.insert(QStringLiteral("url"), c.text);
            paid.append(o);
        } else if (c.kind == LedgerChange::Kind::Saved) {
            o.insert(QStringLiteral("file"), c.text);
            o.insert(QStringLiteral("saved_bytes"), c.bytes);
            o.insert(QStringLiteral("saved_modified"), c.modifiedMs);
            saved.append(o);
        }
    }
    if (paid.isEmpty() && saved.isEmpty()) return;
    const QString path = rescuePath();
    if (!PrivateFile::create(path)) return;
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(QJsonObject{{"paid", paid}, {"saved", saved}}).toJson());
        file.commit();
    }
    m_rescued = true;
}

void PaidLedger::takeRescue() {
    QFile file(rescuePath());
    if (!file.open(QIODevice::ReadOnly)) return;
    const QJsonObject rescued = QJsonDocument::fromJson(file.readAll()).object();
    file.close();
    for (const QJsonValue& v : rescued.value(QStringLiteral("paid")).toArray()) {
        const QJsonObject o = v.toObject();
        add(LedgerChange{LedgerChange::Kind::Paid, keyFrom(o),
                         o.value(QStringLiteral("url")).toString(), 0, 0,
                         o.value(QStringLiteral("at")).toInteger()});
    }
    for (const QJsonValue& v : rescued.value(QStringLiteral("saved")).toArray()) {
        const QJsonObject o = v.toObject();
        add(LedgerChange{LedgerChange::Kind::Saved, keyFrom(o),
                         o.value(QStringLiteral("file")).toString(),
                         o.value(QStringLiteral("saved_bytes")).toInteger(),
                         o.value(QStringLiteral("saved_modified")).toInteger(),
                         o.value(QStringLiteral("at")).toInteger()});
    }
    m_rescued = true;
    flush();
}

LedgerEntry* PaidLedger::held(const ResultKey& key) {
    for (LedgerEntry& entry : m_held)
        if (entry.key == key) return &entry;
    return nullptr;
}

const LedgerEntry* PaidLedger::held(const ResultKey& key) const {
    return const_cast<PaidLedger*>(this)->held(key);
}

void PaidLedger::add(LedgerChange change, std::function<void(bool)> written) {
    // A claimed entry is kept as this process changes it: no other one writes it meanwhile.
    if (LedgerEntry* entry = held(change.key)) {
        switch (change.kind) {
            case LedgerChange::Kind::Paid:
                entry->resultUrl = change.text;
                entry->savedFile.clear();
                break;
            case LedgerChange::Kind::Saved:
                *entry = LedgerEntry{change.key,        {},       change.text, change.bytes,
                                     change.modifiedMs, change.at};
                break;
            case LedgerChange::Kind::Forget:
                entry->resultUrl.clear();
                break;
            case LedgerChange::Kind::Release:
                break;
        }
    }
    m_pending.append(Pending{std::move(change), std::move(written)});
}

void PaidLedger::send() {
    if (m_inFlight || !m_open) return;
    auto batch = std::make_shared<LedgerWriter::Batch>();
    for (const Pending& p : std::as_const(m_pending)) {
        batch->changes.append(p.change);
        // Given up from now on: a claim asked for later is asked of the database again.
        if (p.change.kind == LedgerChange::Kind::Release)
            m_held.removeIf([&p](const LedgerEntry& e) { return e.key == p.change.key; });
    }
    batch->claims = std::exchange(m_wanted, {});
    batch->releaseAll = std::exchange(m_releaseAll, false);
    if (batch->releaseAll) m_held.clear();
    m_sent = m_pending.size();
    m_due = false;
    m_inFlight = batch;
    m_writer->submit(batch, m_replies.get(), [this, batch] { settle(batch, false); });
}

void PaidLedger::settle(LedgerWriter::BatchPtr batch, bool later) {
    if (batch != m_inFlight) return;  // waited for, and settled then
    m_inFlight.reset();
    const qsizetype sent = std::exchange(m_sent, 0);
    QList<std::function<void()>> calls;
    for (qsizetype i = 0; i < sent; ++i)
        if (auto written = std::exchange(m_pending[i].written, {}))
            calls.append([written, ok = batch->ok] { written(ok); });
    if (batch->ok) {
        m_pending.remove(0, sent);
        if (m_rescued && QFile::remove(rescuePath())) m_rescued = false;
        if (!batch->releaseAll) m_held += batch->taken;
        // Only the answer waited for is kept: the others are asked again when they are reached.
        if (batch->firstHeldElsewhere && m_askedFor && *m_askedFor == batch->claims.first())
            m_elsewhere = batch->claims.first();
    } else {
        m_error = batch->error;
        keepRescue();
        if (!batch->claims.isEmpty()) m_claimFailed = true;
        if (batch->releaseAll) m_releaseAllDue = true;
    }
    if (!batch->claims.isEmpty() && m_answered) calls.append(m_answered);
    if (m_due) send();  // what came while this batch was written
    for (const std::function<void()>& call : std::as_const(calls)) {
        if (later)
            QMetaObject::invokeMethod(m_replies.get(), call, Qt::QueuedConnection);
        else
            call();
    }
}

void PaidLedger::finish() {
    QElapsedTimer clock;
    clock.start();
    while (m_inFlight) {
        m_writer->wait();
        settle(m_inFlight, true);
    }
    m_waitNs += clock.nsecsElapsed();
}

QString PaidLedger::paidResult(const ResultKey& key) {
    if (!m_open || !key.isValid()) return QString();
    if (const LedgerEntry* entry = held(key)) return entry->resultUrl;
    for (qsizetype i = m_pending.size() - 1; i >= 0; --i) {
        const LedgerChange& c = m_pending.at(i).change;
        if (!(c.key == key) || c.kind == LedgerChange::Kind::Release) continue;
        return c.kind == LedgerChange::Kind::Paid ? c.text : QString();
    }
    static const QString querySql =
        QStringLiteral("SELECT result_url FROM results WHERE %1 AND result_url IS NOT NULL")
            .arg(QLatin1String(ResultKey::kWhere));
    SqlStatement& query = m_db.statement(querySql);
    key.bind(query, 0);
    QString url;
    if (m_db.step(query) == LedgerDatabase::Step::Row) url = query.text(0);
    query.reset();
    return url;
}

void PaidLedger::rememberPaid(const ResultKey& key, const QString& resultUrl,
                              std::function<void(bool)> written) {
    add(LedgerChange{LedgerChange::Kind::Paid, key, resultUrl, 0, 0, nowMs()}, std::move(written));
    m_due = true;
    send();
}

void PaidLedger::recordSaved(const ResultKey& key, const QString& fileName) {
    // Not urgent: until it is written the address is, and it would only be fetched again.
    const std::optional<struct stat> file = regularFile(key.folder, fileName);
    add(LedgerChange{LedgerChange::Kind::Saved, key, fileName, file ? qint64(file->st_size) : -1,
                     file ? modifiedMs(*file) : 0, nowMs()});
}

void PaidLedger::forgetPaid(const ResultKey& key) {
    add(LedgerChange{LedgerChange::Kind::Forget, key, {}, 0, 0, nowMs()});
}

bool PaidLedger::flush() {
    finish();
    if (!m_pending.isEmpty() || !m_wanted.isEmpty()) {
        send();
        finish();
    }
    return m_pending.isEmpty();
}

std::optional<SavedResult> PaidLedger::savedResult(const ResultKey& key) {
    if (!key.isValid()) return std::nullopt;
    if (const LedgerEntry* entry = held(key))
        return entry->savedFile.isEmpty() ? std::nullopt
                                          : intact(key, entry->savedFile, entry->savedBytes,
                                                   entry->savedModified, entry->savedAt);
    for (qsizetype i = m_pending.size() - 1; i >= 0; --i) {
        const LedgerChange& c = m_pending.at(i).change;
        if (!(c.key == key)) continue;
        if (c.kind == LedgerChange::Kind::Saved)
            return intact(key, c.text, c.bytes, c.modifiedMs, c.at);
        if (c.kind == LedgerChange::Kind::Paid) return std::nullopt;
    }
    if (!m_open) return std::nullopt;
    static const QString querySql = QStringLiteral(
                                        "SELECT saved_file, saved_bytes, saved_modified, "
                                        "saved_at FROM results WHERE %1 AND saved_file IS NOT NULL")
                                        .arg(QLatin1String(ResultKey::kWhere));
    SqlStatement& query = m_db.statement(querySql);
    key.bind(query, 0);
    std::optional<SavedResult> found;
    if (m_db.step(query) == LedgerDatabase::Step::Row)
        found = intact(key, query.text(0), query.integer(1),
                       query.isNull(2) ? QVariant() : QVariant(query.integer(2)),
                       query.integer(3));
    query.reset();
    return found;
}

QList<ResultKey> PaidLedger::keysWith(const RunConfig& config, const char* column,
                                      LedgerChange::Kind kind) {
    QList<ResultKey> keys;
    if (!m_open) return keys;
    const ResultKey options = ResultKey::of(QString(), config);
    SqlStatement& query = m_db.statement(
        QStringLiteral("SELECT source, bytes, modified FROM results WHERE folder = ? AND format = "
                       "? AND backdrop = ? AND %1 IS NOT NULL")
            .arg(QLatin1String(column)));
    auto text = [](const QString& value) {
        return value.isNull() ? QString(QLatin1String("")) : value;
    };
    query.bind(0, text(options.folder));
    query.bind(1, text(options.format));
    query.bind(2, text(options.backdrop));
    while (m_db.step(query) == LedgerDatabase::Step::Row) {
        ResultKey key = options;
        key.source = query.text(0);
        key.bytes = query.integer(1);
        key.modifiedMs = query.integer(2);
        keys.append(key);
    }
    for (const Pending& p : std::as_const(m_pending))
        if (p.change.kind == kind && p.change.key.folder == options.folder &&
            p.change.key.format == options.format && p.change.key.backdrop == options.backdrop)
            keys.append(p.change.key);
    // Only a source that is still the file that was sent.
    keys.removeIf(
        [&config](const ResultKey& key) { return !(ResultKey::of(key.source, config) == key); });
    return keys;
}

QHash<QString, SavedResult> PaidLedger::savedResults(const RunConfig& config) {
    QHash<QString, SavedResult> found;
    for (const ResultKey& key : keysWith(config, "saved_file", LedgerChange::Kind::Saved))
        if (const std::optional<SavedResult> saved = savedResult(key))
            found.insert(key.source, *saved);
    return found;
}

QHash<QString, QString> PaidLedger::paidResults(const RunConfig& config) {
    QHash<QString, QString> found;
    for (const ResultKey& key : keysWith(config, "result_url", LedgerChange::Kind::Paid))
        if (const QString url = paidResult(key); !url.isEmpty()) found.insert(key.source, url);
    return found;
}

PaidLedger::Claim PaidLedger::claim(const ResultKey& key, const QList<ResultKey>& ahead,
                                    std::function<void()> answered) {
    if (holds(key)) {
        // Still held: a release not sent yet is taken back (one that was sent gave it up).
        for (qsizetype i = m_pending.size() - 1; i >= m_sent; --i)
            if (m_pending.at(i).change.kind == LedgerChange::Kind::Release &&
                m_pending.at(i).change.key == key)
                m_pending.removeAt(i);
        return Claim::Taken;
    }
    if (m_elsewhere && *m_elsewhere == key) {
        m_elsewhere.reset();
        return Claim::HeldElsewhere;
    }
    if (std::exchange(m_claimFailed, false)) return Claim::Failed;
    m_answered = std::move(answered);
    const bool asked = m_wanted.contains(key) || (m_inFlight && m_inFlight->claims.contains(key));
    if (!asked) {
        // What waits in memory goes first: a photo claimed now may have been paid for already.
        m_askedFor = key;
        m_wanted = {key};
        for (const ResultKey& next : ahead)
            if (!(next == key) && !holds(next)) m_wanted.append(next);
        m_due = true;
        send();
    }
    return Claim::Asked;
}

void PaidLedger::claimSoon(const QList<ResultKey>& keys) {
    if (!m_wanted.isEmpty() || (m_inFlight && !m_inFlight->claims.isEmpty())) return;
    for (const ResultKey& key : keys)
        if (!holds(key)) m_wanted.append(key);
    if (m_wanted.isEmpty()) return;
    m_due = true;
    send();
}

void PaidLedger::release(const ResultKey& key) {
    if (!holds(key)) return;
    for (qsizetype i = m_sent; i < m_pending.size(); ++i)
        if (m_pending.at(i).change.kind == LedgerChange::Kind::Release &&
            m_pending.at(i).change.key == key)
            return;
    add(LedgerChange{LedgerChange::Kind::Release, key, {}, 0, 0, nowMs()});
}

void PaidLedger::releaseAll() {
    finish();
    m_wanted.clear();  // nothing more is claimed while everything is given up
    if (m_held.isEmpty() && !m_releaseAllDue) {
        flush();
        return;
    }
    m_releaseAll = true;
    m_releaseAllDue = false;
    send();
    finish();
}

void PaidLedger::refuseWrites(bool refuse) {
    if (m_writer) m_writer->refuseWrites(refuse);
}

int PaidLedger::importJson(const QString& jsonPath) {
    QFile file(jsonPath);
    if (!m_open || !file.open(QIODevice::ReadOnly)) return 0;
    const QJsonArray entries =
        QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("entries")).toArray();
    file.close();
    int taken = 0;
    for (const QJsonValue& value : entries) {
        const QJsonObject o = value.toObject();
        const QFileInfo source(o.value(QStringLiteral("source")).toString());
        const QString url = o.value(QStringLiteral("url")).toString();
        // Only a source that is still the one that was paid for (as far as its size tells).
        if (url.isEmpty() || !source.isFile() ||
            source.size() != o.value(QStringLiteral("bytes")).toInteger())
            continue;
        ResultKey key;
        key.source = source.absoluteFilePath();
        key.bytes = source.size();
        key.modifiedMs = source.lastModified().toMSecsSinceEpoch();
        key.folder = ResultKey::cleanFolder(o.value(QStringLiteral("folder")).toString());
        key.format = o.value(QStringLiteral("format")).toString();
        key.backdrop = o.value(QStringLiteral("colour")).toString();
        add(LedgerChange{LedgerChange::Kind::Paid, key, url, 0, 0, nowMs()});
        ++taken;
    }
    if (!flush()) taken = 0;
    QFile::remove(jsonPath + QStringLiteral(".imported"));
    QFile::rename(jsonPath, jsonPath + QStringLiteral(".imported"));
    return taken;
}
