#include "LedgerWriter.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QSysInfo>
#include <QThread>

namespace {

// A claim of a process on another computer sharing the database is honoured this long.
constexpr qint64 kForeignClaimMs = 3600 * 1000;

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

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

}  // namespace

LedgerWriter::LedgerWriter(QString path)
    : m_path(std::move(path)),
      m_owner(thisProcess()),
      m_db(QStringLiteral("vorpane-ledger-writer-%1").arg(quintptr(this), 0, 16)),
      m_thread(std::make_unique<QThread>()),
      m_worker(std::make_unique<QObject>()) {
    m_thread->setObjectName(QStringLiteral("ledger writer"));
    m_worker->moveToThread(m_thread.get());
    m_thread->start();
}

LedgerWriter::~LedgerWriter() {
    blocking([this] { m_db.close(); });  // the connection belongs to the writer's thread
    m_thread->quit();
    m_thread->wait();
}

void LedgerWriter::blocking(const std::function<void()>& work) {
    QMetaObject::invokeMethod(m_worker.get(), work, Qt::BlockingQueuedConnection);
}

bool LedgerWriter::start(QString* error) {
    bool ok = false;
    blocking([&] {
        // Each commit reaches the disk before it is reported: a paid address outlives a crash of
        // the computer too. The commits run here, off the thread that asked for them.
        ok = m_db.open(m_path) && m_db.exec(QStringLiteral("PRAGMA synchronous=FULL"));
        if (!ok && error) *error = m_db.error();
    });
    return ok;
}

void LedgerWriter::submit(const BatchPtr& batch, QObject* context, std::function<void()> done) {
    QMetaObject::invokeMethod(
        m_worker.get(),
        [this, batch, context, done = std::move(done)] {
            write(*batch);
            QMetaObject::invokeMethod(context, done, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void LedgerWriter::wait() {
    blocking([] {});
}

void LedgerWriter::refuseWrites(bool refuse) {
    blocking(
        [this, refuse] { m_db.exec(QStringLiteral("PRAGMA query_only = %1").arg(int(refuse))); });
}

void LedgerWriter::write(Batch& batch) {
    batch.ok = m_db.inTransaction([this, &batch] {
        for (const LedgerChange& change : std::as_const(batch.changes))
            if (!apply(change)) return false;
        for (qsizetype i = 0; i < batch.claims.size(); ++i) {
            const Claimed claimed = claim(batch.claims.at(i), batch);
            if (claimed == Claimed::Failed) return false;
            if (i == 0) batch.firstHeldElsewhere = claimed == Claimed::HeldElsewhere;
        }
        if (!batch.releaseAll) return true;
        SqlStatement& drop = m_db.statement(QStringLiteral("DELETE FROM claims WHERE owner = ?"));
        drop.bind(0, m_owner);
        return m_db.run(drop);
    });
    if (batch.ok) return;
    batch.error = m_db.error();
    batch.taken.clear();
    batch.firstHeldElsewhere = false;
}

QString LedgerWriter::upsertSql(const QStringList& columns, const char* when) {
    QStringList updates;
    for (const QString& column : columns)
        updates.append(QStringLiteral("%1 = excluded.%1").arg(column));
    return QStringLiteral("INSERT INTO results (source, bytes, modified, folder, format, "
                          "backdrop, %1) VALUES (?, ?, ?, ?, ?, ?%2) ON CONFLICT DO UPDATE "
                          "SET %3 WHERE %4")
        .arg(columns.join(QStringLiteral(", ")), QStringLiteral(", ?").repeated(columns.size()),
             updates.join(QStringLiteral(", ")), QLatin1String(when));
}

bool LedgerWriter::upsert(const QString& sql, const ResultKey& key, const QVariantList& values) {
    SqlStatement& query = m_db.statement(sql);
    key.bind(query, 0);
    for (int i = 0; i < values.size(); ++i) {
        const QVariant& value = values.at(i);
        if (value.isNull())
            query.bindNull(6 + i);
        else if (value.typeId() == QMetaType::QString)
            query.bind(6 + i, value.toString());
        else
            query.bind(6 + i, value.toLongLong());
    }
    return m_db.run(query);
}

bool LedgerWriter::apply(const LedgerChange& change) {
    switch (change.kind) {
        case LedgerChange::Kind::Paid: {
            // A result paid for again replaces what was saved before: that file is no longer
            // its own.
            static const QString paid = upsertSql(
                {"result_url", "paid_at", "saved_file", "saved_bytes", "saved_modified",
                 "saved_at"},
                "results.saved_at IS NULL OR results.saved_at < excluded.paid_at");
            return upsert(paid, change.key,
                          {change.text, change.at, QVariant(), QVariant(), QVariant(), QVariant()});
        }
        case LedgerChange::Kind::Saved: {
            static const QString saved = upsertSql(
                {"result_url", "saved_file", "saved_bytes", "saved_modified", "saved_at"},
                "results.paid_at IS NULL OR results.paid_at <= excluded.saved_at");
            return upsert(saved, change.key,
                          {QVariant(), change.text, change.bytes, change.modifiedMs, change.at});
        }
        case LedgerChange::Kind::Release: {
            static const QString dropSql =
                QStringLiteral("DELETE FROM claims WHERE %1 AND owner = ?")
                    .arg(QLatin1String(ResultKey::kWhere));
            SqlStatement& drop = m_db.statement(dropSql);
            change.key.bind(drop, 0);
            drop.bind(6, m_owner);
            return m_db.run(drop);
        }
        case LedgerChange::Kind::Forget: {
            static const QString forgetSql =
                QStringLiteral("UPDATE results SET result_url = NULL WHERE %1")
                    .arg(QLatin1String(ResultKey::kWhere));
            SqlStatement& forget = m_db.statement(forgetSql);
            change.key.bind(forget, 0);
            return m_db.run(forget);
        }
    }
    return false;
}

LedgerWriter::Claimed LedgerWriter::claim(const ResultKey& key, Batch& batch) {
    static const QString holderSql = QStringLiteral("SELECT owner, claimed_at FROM claims WHERE %1")
                                         .arg(QLatin1String(ResultKey::kWhere));
    SqlStatement& holder = m_db.statement(holderSql);
    key.bind(holder, 0);
    const LedgerDatabase::Step found = m_db.step(holder);
    if (found == LedgerDatabase::Step::Failed) return Claimed::Failed;
    const bool held = found == LedgerDatabase::Step::Row && holder.text(0) != m_owner &&
                      isAlive(holder.text(0), holder.integer(1));
    holder.reset();
    if (held) return Claimed::HeldElsewhere;
    SqlStatement& take = m_db.statement(QStringLiteral(
        "INSERT OR REPLACE INTO claims (source, bytes, modified, folder, format, backdrop, owner, "
        "claimed_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
    key.bind(take, 0);
    take.bind(6, m_owner);
    take.bind(7, nowMs());
    if (!m_db.run(take)) return Claimed::Failed;
    // Under the claim, what another process did with the photo is known for certain.
    static const QString entrySql =
        QStringLiteral(
            "SELECT result_url, saved_file, saved_bytes, saved_modified, saved_at FROM "
            "results WHERE %1")
            .arg(QLatin1String(ResultKey::kWhere));
    SqlStatement& entry = m_db.statement(entrySql);
    key.bind(entry, 0);
    const LedgerDatabase::Step step = m_db.step(entry);
    if (step == LedgerDatabase::Step::Failed) return Claimed::Failed;
    LedgerEntry taken{key, {}, {}, 0, {}, 0};
    if (step == LedgerDatabase::Step::Row)
        taken = LedgerEntry{key,
                            entry.text(0),
                            entry.text(1),
                            entry.integer(2),
                            entry.isNull(3) ? QVariant() : QVariant(entry.integer(3)),
                            entry.integer(4)};
    entry.reset();
    batch.taken.append(taken);
    return Claimed::Taken;
}
