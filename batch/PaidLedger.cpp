#include "PaidLedger.h"

#include "PrivateFile.h"
#include "RunConfig.h"

#include <QCoreApplication>
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
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>
#include <QVariant>

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace {

const char* const kKeyWhere =
    "source = ? AND bytes = ? AND modified = ? AND folder = ? AND format = ? AND backdrop = ?";

// An empty text, never NULL (a null QString binds as NULL, which no key column takes).
QString text(const QString& value) {
    return value.isNull() ? QLatin1String("") : value;
}

void bindKey(QSqlQuery& query, const ResultKey& key, int first) {
    query.bindValue(first, text(key.source));
    query.bindValue(first + 1, key.bytes);
    query.bindValue(first + 2, key.modifiedMs);
    query.bindValue(first + 3, text(QDir::cleanPath(key.folder)));
    query.bindValue(first + 4, text(key.format));
    query.bindValue(first + 5, text(key.backdrop));
}

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// A claim of a process on another computer sharing the database is honoured this long.
constexpr qint64 kForeignClaimMs = 3600 * 1000;

// When the process `pid` started (clock ticks since boot), or empty when there is none: with the
// process number it tells a process apart from a later one given the same number.
QByteArray processStart(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return QByteArray();
    const QByteArray line = stat.readAll();
    // The command name (field 2) may hold spaces; the fields after it are counted from its ")".
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 19 ? fields.at(19) : QByteArray();
}

QString thisProcess() {
    return QStringLiteral("%1 %2 %3")
        .arg(QSysInfo::machineHostName())
        .arg(QCoreApplication::applicationPid())
        .arg(QString::fromLatin1(processStart(QCoreApplication::applicationPid())));
}

// Whether the process that made a claim may still be sending its photo.
bool isAlive(const QString& owner, qint64 claimedAt) {
    const QStringList parts = owner.split(QLatin1Char(' '));
    if (parts.size() != 3) return false;
    if (parts.at(0) != QSysInfo::machineHostName()) return nowMs() - claimedAt < kForeignClaimMs;
    const QByteArray started = processStart(parts.at(1).toLongLong());
    return !started.isEmpty() && started == parts.at(2).toLatin1();
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

}  // namespace

bool ResultKey::operator==(const ResultKey& o) const {
    return source == o.source && bytes == o.bytes && modifiedMs == o.modifiedMs &&
           QDir::cleanPath(folder) == QDir::cleanPath(o.folder) && format == o.format &&
           backdrop == o.backdrop;
}

ResultKey ResultKey::of(const QString& path, const RunConfig& config) {
    ResultKey key;
    const QFileInfo info(path);
    key.source = info.absoluteFilePath();
    key.bytes = info.size();
    key.modifiedMs = info.lastModified().toMSecsSinceEpoch();
    key.folder = config.outputFolder;
    key.format = config.imgFormat;
    key.backdrop = config.backdrop();
    return key;
}

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
      m_connection(QStringLiteral("vorpane-ledger-%1").arg(quintptr(this), 0, 16)),
      m_owner(thisProcess()) {}

PaidLedger::~PaidLedger() {
    releaseAll();
    m_statements.clear();
    if (!QSqlDatabase::contains(m_connection)) return;
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

bool PaidLedger::exec(const QString& sql) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (query.exec(sql)) return true;
    m_error = query.lastError().text();
    return false;
}

bool PaidLedger::run(QSqlQuery& query) {
    QElapsedTimer clock;
    clock.start();
    const bool ok = query.exec();
    m_timeNs += clock.nsecsElapsed();
    if (ok) return true;
    m_error = failureText(query.lastError());
    return false;
}

QString PaidLedger::failureText(const QSqlError& error) const {
    // SQLite says "database or disk is full" for both; the disk is what the user can mend.
    if (error.nativeErrorCode() == QLatin1String("13"))
        return QString::fromLocal8Bit(strerror(ENOSPC));
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}

bool PaidLedger::inTransaction(const std::function<bool()>& work) {
    if (!m_open) return false;
    QElapsedTimer clock;
    clock.start();
    QSqlQuery begin(QSqlDatabase::database(m_connection, false));
    if (!begin.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        m_error = failureText(begin.lastError());
        m_timeNs += clock.nsecsElapsed();
        return false;
    }
    QSqlQuery end(QSqlDatabase::database(m_connection, false));
    const bool ok = work() && end.exec(QStringLiteral("COMMIT"));
    if (!ok) {
        if (end.lastError().isValid()) m_error = failureText(end.lastError());
        QSqlQuery(QSqlDatabase::database(m_connection, false)).exec(QStringLiteral("ROLLBACK"));
    }
    m_timeNs += clock.nsecsElapsed();
    return ok;
}

bool PaidLedger::open() {
    if (m_open) return true;
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    if (!PrivateFile::create(m_path)) {
        m_error = QStringLiteral("%1 cannot be created").arg(m_path);
        return false;
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(m_path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
        if (!db.open()) {
            m_error = db.lastError().text();
            return false;
        }
    }
    // Two programs opening a new database at once: one of them finds it locked while the other
    // switches it to the write-ahead log, without waiting (SQLite does not wait there).
    QDeadlineTimer patience(kBusyTimeoutMs);
    do {
        m_open = exec(QStringLiteral("PRAGMA journal_mode=WAL")) &&
                 exec(QStringLiteral("PRAGMA synchronous=NORMAL")) &&
                 exec(QStringLiteral(
                     "CREATE TABLE IF NOT EXISTS results (source TEXT NOT NULL, bytes INTEGER NOT "
                     "NULL, modified INTEGER NOT NULL, folder TEXT NOT NULL, format TEXT NOT "
                     "NULL, backdrop TEXT NOT NULL, result_url TEXT, paid_at INTEGER, saved_file "
                     "TEXT, saved_bytes INTEGER, saved_at INTEGER, PRIMARY KEY (source, bytes, "
                     "modified, folder, format, backdrop))")) &&
                 exec(QStringLiteral(
                     "CREATE TABLE IF NOT EXISTS claims (source TEXT NOT NULL, bytes INTEGER NOT "
                     "NULL, modified INTEGER NOT NULL, folder TEXT NOT NULL, format TEXT NOT "
                     "NULL, backdrop TEXT NOT NULL, owner TEXT NOT NULL, claimed_at INTEGER NOT "
                     "NULL, PRIMARY KEY (source, bytes, modified, folder, format, backdrop))"));
        // Ledgers of earlier versions have no modification time of the saved file.
        if (m_open && !exec(QStringLiteral("SELECT saved_modified FROM results LIMIT 1")))
            exec(QStringLiteral("ALTER TABLE results ADD COLUMN saved_modified INTEGER"));
        if (m_open)
            m_open = exec(QStringLiteral(
                "SELECT source, result_url, saved_file, saved_modified FROM results LIMIT 1"));
        if (m_open || !m_error.contains(QLatin1String("locked"))) break;
        QThread::msleep(20);
    } while (!patience.hasExpired());
    if (m_open)
        exec(QStringLiteral("DELETE FROM results WHERE saved_file IS NULL AND paid_at < %1")
                 .arg(nowMs() - qint64(kMaxAgeDays) * 24 * 3600 * 1000));
    if (m_open) takeRescue();
    return m_open;
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
    key.folder = o.value(QStringLiteral("folder")).toString();
    key.format = o.value(QStringLiteral("format")).toString();
    key.backdrop = o.value(QStringLiteral("backdrop")).toString();
    return key;
}

}  // namespace

void PaidLedger::keepRescue() {
    if (m_pendingPaid.isEmpty() && m_pendingSaves.isEmpty()) return;
    QJsonArray paid, saved;
    for (const PendingPaid& p : std::as_const(m_pendingPaid)) {
        QJsonObject o = keyJson(p.key);
        o.insert(QStringLiteral("url"), p.url);
        o.insert(QStringLiteral("at"), p.at);
        paid.append(o);
    }
    for (const PendingSave& p : std::as_const(m_pendingSaves)) {
        QJsonObject o = keyJson(p.key);
        o.insert(QStringLiteral("file"), p.fileName);
        o.insert(QStringLiteral("saved_bytes"), p.bytes);
        o.insert(QStringLiteral("saved_modified"), p.modifiedMs);
        o.insert(QStringLiteral("at"), p.at);
        saved.append(o);
    }
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
        m_pendingPaid.append(PendingPaid{keyFrom(o), o.value(QStringLiteral("url")).toString(),
                                         o.value(QStringLiteral("at")).toInteger()});
    }
    for (const QJsonValue& v : rescued.value(QStringLiteral("saved")).toArray()) {
        const QJsonObject o = v.toObject();
        m_pendingSaves.append(PendingSave{keyFrom(o), o.value(QStringLiteral("file")).toString(),
                                          o.value(QStringLiteral("saved_bytes")).toInteger(),
                                          o.value(QStringLiteral("saved_modified")).toInteger(),
                                          o.value(QStringLiteral("at")).toInteger()});
    }
    m_rescued = true;
    flush();
}

QSqlQuery& PaidLedger::statement(const QString& sql) {
    std::unique_ptr<QSqlQuery>& query = m_statements[sql];
    if (!query) {
        query = std::make_unique<QSqlQuery>(QSqlDatabase::database(m_connection, false));
        query->prepare(sql);
    }
    return *query;
}

QString PaidLedger::paidResult(const ResultKey& key) {
    if (!m_open || !key.isValid()) return QString();
    for (const PendingSave& saved : std::as_const(m_pendingSaves))
        if (saved.key == key) return QString();
    for (const PendingPaid& paid : std::as_const(m_pendingPaid))
        if (paid.key == key) return paid.url;
    QSqlQuery& query = statement(
        QStringLiteral("SELECT result_url FROM results WHERE %1 AND result_url IS NOT NULL")
            .arg(QLatin1String(kKeyWhere)));
    bindKey(query, key, 0);
    QString url;
    if (run(query) && query.next()) url = query.value(0).toString();
    query.finish();
    return url;
}

bool PaidLedger::upsert(const ResultKey& key, const QStringList& columns,
                        const QVariantList& values, const char* when) {
    if (!m_open) return false;
    QStringList updates;
    for (const QString& column : columns)
        updates.append(QStringLiteral("%1 = excluded.%1").arg(column));
    QSqlQuery& query = statement(
        QStringLiteral("INSERT INTO results (source, bytes, modified, folder, format, "
                       "backdrop, %1) VALUES (?, ?, ?, ?, ?, ?%2) ON CONFLICT DO UPDATE "
                       "SET %3 WHERE %4")
            .arg(columns.join(QStringLiteral(", ")), QStringLiteral(", ?").repeated(columns.size()),
                 updates.join(QStringLiteral(", ")), QLatin1String(when)));
    bindKey(query, key, 0);
    for (int i = 0; i < values.size(); ++i) query.bindValue(6 + i, values.at(i));
    return run(query);
}

bool PaidLedger::writePending() {
    // A result paid for again replaces what was saved before: that file is no longer its own.
    for (const PendingPaid& paid : std::as_const(m_pendingPaid))
        if (!upsert(paid.key,
                    {"result_url", "paid_at", "saved_file", "saved_bytes", "saved_modified",
                     "saved_at"},
                    {paid.url, paid.at, QVariant(), QVariant(), QVariant(), QVariant()},
                    "results.saved_at IS NULL OR results.saved_at < excluded.paid_at"))
            return false;
    for (const PendingSave& saved : std::as_const(m_pendingSaves))
        if (!upsert(saved.key,
                    {"result_url", "saved_file", "saved_bytes", "saved_modified", "saved_at"},
                    {QVariant(), saved.fileName, saved.bytes, saved.modifiedMs, saved.at},
                    "results.paid_at IS NULL OR results.paid_at <= excluded.saved_at"))
            return false;
    for (const ResultKey& key : std::as_const(m_pendingReleases)) {
        QSqlQuery& drop = statement(QStringLiteral("DELETE FROM claims WHERE %1 AND owner = ?")
                                        .arg(QLatin1String(kKeyWhere)));
        bindKey(drop, key, 0);
        drop.bindValue(6, m_owner);
        if (!run(drop)) return false;
    }
    return true;
}

void PaidLedger::written() {
    if (m_rescued && QFile::remove(rescuePath())) m_rescued = false;
    m_pendingSaves.clear();
    m_pendingPaid.clear();
    for (const ResultKey& key : std::as_const(m_pendingReleases)) m_claims.removeAll(key);
    m_pendingReleases.clear();
}

bool PaidLedger::rememberPaid(const ResultKey& key, const QString& resultUrl) {
    // Kept here until it is on disk: the download may start only then, and a database that
    // refuses it now takes it with the next change that gets through.
    m_pendingPaid.append(PendingPaid{key, resultUrl, nowMs()});
    return flush();
}

void PaidLedger::recordSaved(const ResultKey& key, const QString& fileName) {
    // Not urgent: until it is written the address is, and it would only be fetched again.
    const std::optional<struct stat> file = regularFile(key.folder, fileName);
    m_pendingSaves.append(PendingSave{key, fileName, file ? qint64(file->st_size) : -1,
                                      file ? modifiedMs(*file) : 0, nowMs()});
}

bool PaidLedger::flush() {
    if (m_pendingSaves.isEmpty() && m_pendingPaid.isEmpty() && m_pendingReleases.isEmpty())
        return true;
    if (!inTransaction([this] { return writePending(); })) {
        keepRescue();
        return false;
    }
    written();
    return true;
}

std::optional<SavedResult> PaidLedger::savedResult(const ResultKey& key) {
    if (!key.isValid()) return std::nullopt;
    auto intact = [&key](const QString& name, qint64 bytes, const QVariant& modified,
                         qint64 savedAt) -> std::optional<SavedResult> {
        const std::optional<struct stat> file = regularFile(key.folder, name);
        if (!file || file->st_size != bytes ||
            (!modified.isNull() && modifiedMs(*file) != modified.toLongLong()))
            return std::nullopt;
        return SavedResult{QDir(key.folder).filePath(name), bytes, savedAt};
    };
    for (qsizetype i = m_pendingSaves.size() - 1; i >= 0; --i)
        if (m_pendingSaves.at(i).key == key)
            return intact(m_pendingSaves.at(i).fileName, m_pendingSaves.at(i).bytes,
                          m_pendingSaves.at(i).modifiedMs, m_pendingSaves.at(i).at);
    for (const PendingPaid& paid : std::as_const(m_pendingPaid))
        if (paid.key == key) return std::nullopt;
    if (!m_open) return std::nullopt;
    QSqlQuery& query =
        statement(QStringLiteral("SELECT saved_file, saved_bytes, saved_modified, "
                                 "saved_at FROM results WHERE %1 AND saved_file IS NOT NULL")
                      .arg(QLatin1String(kKeyWhere)));
    bindKey(query, key, 0);
    std::optional<SavedResult> found;
    if (run(query) && query.next())
        found = intact(query.value(0).toString(), query.value(1).toLongLong(), query.value(2),
                       query.value(3).toLongLong());
    query.finish();
    return found;
}

QHash<QString, SavedResult> PaidLedger::savedResults(const RunConfig& config) {
    QHash<QString, SavedResult> found;
    if (!m_open) return found;
    ResultKey options = ResultKey::of(QString(), config);
    QSqlQuery& query = statement(QStringLiteral(
        "SELECT source, bytes, modified FROM results WHERE folder = ? AND format = ? AND "
        "backdrop = ? AND saved_file IS NOT NULL"));
    query.bindValue(0, text(QDir::cleanPath(options.folder)));
    query.bindValue(1, text(options.format));
    query.bindValue(2, text(options.backdrop));
    QList<ResultKey> keys;
    if (run(query))
        while (query.next()) {
            ResultKey key = options;
            key.source = query.value(0).toString();
            key.bytes = query.value(1).toLongLong();
            key.modifiedMs = query.value(2).toLongLong();
            keys.append(key);
        }
    query.finish();
    for (const PendingSave& saved : std::as_const(m_pendingSaves))
        if (saved.key.folder == options.folder && saved.key.format == options.format &&
            saved.key.backdrop == options.backdrop)
            keys.append(saved.key);
    // Only a source that is still the file that was sent.
    for (const ResultKey& key : std::as_const(keys))
        if (ResultKey::of(key.source, config) == key)
            if (const std::optional<SavedResult> saved = savedResult(key))
                found.insert(key.source, *saved);
    return found;
}

PaidLedger::Claim PaidLedger::claim(const ResultKey& key, const QList<ResultKey>& ahead) {
    if (m_claims.contains(key)) {
        m_pendingReleases.removeAll(key);  // still held: it is not given up after all
        return Claim::Taken;
    }
    Claim claim = Claim::Failed;
    QList<ResultKey> taken;
    // One key: Taken, HeldElsewhere, or Failed when the database said no.
    auto claimOne = [this, &taken](const ResultKey& one) {
        QSqlQuery& holder =
            statement(QStringLiteral("SELECT owner, claimed_at FROM claims WHERE %1")
                          .arg(QLatin1String(kKeyWhere)));
        bindKey(holder, one, 0);
        if (!run(holder)) return Claim::Failed;
        const bool held = holder.next() && holder.value(0).toString() != m_owner &&
                          isAlive(holder.value(0).toString(), holder.value(1).toLongLong());
        holder.finish();
        if (held) return Claim::HeldElsewhere;
        QSqlQuery& take = statement(QStringLiteral(
            "INSERT OR REPLACE INTO claims (source, bytes, modified, folder, format, backdrop, "
            "owner, claimed_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
        bindKey(take, one, 0);
        take.bindValue(6, m_owner);
        take.bindValue(7, nowMs());
        if (!run(take)) return Claim::Failed;
        taken.append(one);
        return Claim::Taken;
    };
    const bool ok = inTransaction([&] {
        // What waits in memory goes first: a photo claimed now may have been paid for already.
        if (!writePending()) return false;
        claim = claimOne(key);
        if (claim == Claim::Failed) return false;
        // The photos to be sent next, in the same commit.
        for (const ResultKey& next : ahead)
            if (!(next == key) && !m_claims.contains(next) && claimOne(next) == Claim::Failed)
                return false;
        return true;
    });
    if (!ok) {
        keepRescue();
        return Claim::Failed;
    }
    written();
    m_claims += taken;
    return claim;
}

void PaidLedger::release(const ResultKey& key) {
    if (m_claims.contains(key) && !m_pendingReleases.contains(key)) m_pendingReleases.append(key);
}

void PaidLedger::releaseAll() {
    if (m_claims.isEmpty()) {
        flush();
        return;
    }
    const bool ok = inTransaction([this] {
        if (!writePending()) return false;
        QSqlQuery& drop = statement(QStringLiteral("DELETE FROM claims WHERE owner = ?"));
        drop.bindValue(0, m_owner);
        return run(drop);
    });
    if (!ok) {
        keepRescue();
        return;
    }
    written();
    m_claims.clear();
}

void PaidLedger::refuseWrites(bool refuse) {
    exec(QStringLiteral("PRAGMA query_only = %1").arg(refuse ? 1 : 0));
}

bool PaidLedger::forgetPaid(const ResultKey& key) {
    if (!m_open) return false;
    QSqlQuery& query = statement(QStringLiteral("UPDATE results SET result_url = NULL WHERE %1")
                                     .arg(QLatin1String(kKeyWhere)));
    bindKey(query, key, 0);
    return run(query);
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
        key.folder = o.value(QStringLiteral("folder")).toString();
        key.format = o.value(QStringLiteral("format")).toString();
        key.backdrop = o.value(QStringLiteral("colour")).toString();
        if (rememberPaid(key, url)) ++taken;
    }
    QFile::remove(jsonPath + QStringLiteral(".imported"));
    QFile::rename(jsonPath, jsonPath + QStringLiteral(".imported"));
    return taken;
}
