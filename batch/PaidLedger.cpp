#include "PaidLedger.h"

#include "PrivateFile.h"
#include "RunConfig.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QVariant>

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
      m_connection(QStringLiteral("vorpane-ledger-%1").arg(quintptr(this), 0, 16)) {}

PaidLedger::~PaidLedger() {
    flush();
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
    m_error = query.lastError().databaseText();
    if (m_error.isEmpty()) m_error = query.lastError().text();
    return false;
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
                 exec(QStringLiteral("SELECT source, result_url, saved_file FROM results LIMIT 1"));
        if (m_open || !m_error.contains(QLatin1String("locked"))) break;
        QThread::msleep(20);
    } while (!patience.hasExpired());
    if (m_open)
        exec(QStringLiteral("DELETE FROM results WHERE saved_file IS NULL AND paid_at < %1")
                 .arg(nowMs() - qint64(kMaxAgeDays) * 24 * 3600 * 1000));
    return m_open;
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
                        const QVariantList& values) {
    if (!m_open) return false;
    QStringList updates;
    for (const QString& column : columns)
        updates.append(QStringLiteral("%1 = excluded.%1").arg(column));
    QSqlQuery& query = statement(
        QStringLiteral("INSERT INTO results (source, bytes, modified, folder, format, "
                       "backdrop, %1) VALUES (?, ?, ?, ?, ?, ?%2) ON CONFLICT DO UPDATE "
                       "SET %3")
            .arg(columns.join(QStringLiteral(", ")), QStringLiteral(", ?").repeated(columns.size()),
                 updates.join(QStringLiteral(", "))));
    bindKey(query, key, 0);
    for (int i = 0; i < values.size(); ++i) query.bindValue(6 + i, values.at(i));
    return run(query);
}

bool PaidLedger::writeSaves() {
    for (const PendingSave& saved : std::as_const(m_pendingSaves))
        if (!upsert(saved.key, {"result_url", "saved_file", "saved_bytes", "saved_at"},
                    {QVariant(), saved.fileName, saved.bytes, saved.at}))
            return false;
    return true;
}

bool PaidLedger::rememberPaid(const ResultKey& key, const QString& resultUrl) {
    if (!m_open) return false;
    // One commit: this address (which must be on disk before its download starts) and the
    // saved files noted since the last one.
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction()) {
        m_error = db.lastError().text();
        return false;
    }
    // A result paid for again replaces what was saved before: that file is no longer its own.
    const bool ok = writeSaves() &&
                    upsert(key, {"result_url", "paid_at", "saved_file", "saved_bytes", "saved_at"},
                           {resultUrl, nowMs(), QVariant(), QVariant(), QVariant()});
    QElapsedTimer clock;
    clock.start();
    const bool committed = ok && db.commit();
    m_timeNs += clock.nsecsElapsed();
    if (committed) {
        m_pendingSaves.clear();
        return true;
    }
    if (m_error.isEmpty()) m_error = db.lastError().text();
    db.rollback();
    return false;
}

void PaidLedger::recordSaved(const ResultKey& key, const QString& fileName, qint64 bytes) {
    // Not urgent: until it is written the address is, and it would only be fetched again.
    m_pendingSaves.append(PendingSave{key, fileName, bytes, nowMs()});
}

bool PaidLedger::flush() {
    if (!m_open || m_pendingSaves.isEmpty()) return true;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (db.transaction() && writeSaves() && db.commit()) {
        m_pendingSaves.clear();
        return true;
    }
    db.rollback();
    return false;
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
