#include "BatchJournal.h"

#include "AlertPresenter.h"
#include "ImageQueue.h"
#include "PaidLedger.h"
#include "PrivateFile.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>
#include <utility>

Q_LOGGING_CATEGORY(lcJournal, "vorpane.journal", QtWarningMsg)

namespace {

const char* const kColumns =
    "id, name, path, bytes, status, text, result_url, output_file, for_good";

struct StatusName {
    RowStatus status;
    const char* name;
};
constexpr StatusName kStatusNames[] = {
    {RowStatus::Waiting, "waiting"},     {RowStatus::InProgress, "in_progress"},
    {RowStatus::Done, "done"},           {RowStatus::Failed, "failed"},
    {RowStatus::FailedHalted, "halted"},
};

QString statusName(RowStatus status) {
    for (const StatusName& s : kStatusNames)
        if (s.status == status) return QLatin1String(s.name);
    return QStringLiteral("waiting");
}

RowStatus statusFromName(const QString& name) {
    for (const StatusName& s : kStatusNames)
        if (name == QLatin1String(s.name)) return s.status;
    return RowStatus::Waiting;
}

// A row as the next session shows it: nothing is being sent at launch, and an image that still
// has to be sent needs its source file.
void prepareForLaunch(DataModel& row) {
    if (row.status == RowStatus::InProgress || row.status == RowStatus::FailedHalted) {
        row.status = RowStatus::Waiting;
        row.statusText.clear();
    }
    const bool needsSource = row.resultUrl.isEmpty() && row.status == RowStatus::Waiting;
    if (needsSource && !QFileInfo(row.imageURl.value_or(QString())).isFile()) {
        row.status = RowStatus::Failed;
        row.statusText = BatchJournal::kSourceGone;
        row.failedForGood = false;  // the drive may come back: "Retry failed" tries again
    }
}

}  // namespace

QString BatchJournal::defaultPath() {
    return PaidLedger::defaultPath();  // one database for the batch and the paid results
}

BatchJournal::BatchJournal(const QString& path, QObject* parent)
    : QObject(parent),
      m_path(path),
      m_connection(QStringLiteral("vorpane-journal-%1").arg(quintptr(this), 0, 16)) {
    m_timer.setSingleShot(true);
    m_timer.setInterval(kDefaultFlushDelayMs);
    connect(&m_timer, &QTimer::timeout, this, &BatchJournal::writeSlice);
}

BatchJournal::~BatchJournal() {
    flush();
    closeDatabase();
}

bool BatchJournal::exec(const QString& sql) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (query.exec(sql)) return true;
    qCWarning(lcJournal) << "journal:" << sql << query.lastError().text();
    return false;
}

bool BatchJournal::openDatabase() {
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    if (!PrivateFile::create(m_path)) {
        qCWarning(lcJournal) << "the journal" << m_path << "cannot be created";
        return false;
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(m_path);
        if (!db.open()) {
            qCWarning(lcJournal) << "the journal cannot be opened:" << db.lastError().text();
            return false;
        }
    }
    // One transaction per batch of changes, written ahead: a crash loses at most the changes of
    // the last few hundred milliseconds, never a committed one.
    const bool ready =
        exec(QStringLiteral("PRAGMA journal_mode=WAL")) &&
        exec(QStringLiteral("PRAGMA synchronous=NORMAL")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS rows (id INTEGER PRIMARY KEY, name TEXT "
                            "NOT NULL, path TEXT NOT NULL, bytes INTEGER, status TEXT, text TEXT, "
                            "result_url TEXT, output_file TEXT, for_good INTEGER)")) &&
        exec(
            QStringLiteral("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT)")) &&
        exec(QStringLiteral("SELECT %1 FROM rows LIMIT 1").arg(QLatin1String(kColumns))) &&
        exec(QStringLiteral("SELECT key, value FROM meta LIMIT 1"));
    if (!ready) return false;
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const bool prepared =
        m_upsert.prepare(db, QStringLiteral("INSERT OR REPLACE INTO rows (%1) VALUES "
                                            "(?, ?, ?, ?, ?, ?, ?, ?, ?)")
                                 .arg(QLatin1String(kColumns))) &&
        m_remove.prepare(db, QStringLiteral("DELETE FROM rows WHERE id = ?"));
    if (!prepared)
        qCWarning(lcJournal) << "the journal cannot be used:" << m_upsert.error()
                             << m_remove.error();
    return prepared;
}

void BatchJournal::closeDatabase() {
    m_upsert.finalize();
    m_remove.finalize();
    m_open = false;
    if (!QSqlDatabase::contains(m_connection)) return;
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

bool BatchJournal::open() {
    if (m_open) return true;
    m_open = openDatabase();
    if (m_open) return true;
    closeDatabase();
    return QFileInfo::exists(m_path) && moveAside();
}

bool BatchJournal::moveAside() {
    closeDatabase();
    m_known.clear();
    m_dirty.clear();
    m_lastId = 0;
    // Moved with its write-ahead log, so that nothing is lost for good.
    m_movedAside = m_path + QStringLiteral(".broken-") +
                   QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (!QFile::rename(m_path, m_movedAside)) {
        qCWarning(lcJournal) << "the broken journal" << m_path << "cannot be moved aside";
        m_movedAside.clear();
        return false;
    }
    QFile::rename(m_path + QStringLiteral("-wal"), m_movedAside + QStringLiteral("-wal"));
    QFile::remove(m_path + QStringLiteral("-shm"));
    m_open = openDatabase();
    if (!m_open) closeDatabase();
    return m_open;
}

BatchJournal::Batch BatchJournal::load() {
    Batch batch;
    if (!open()) return batch;
    bool ok = false;
    bool allDone = true;
    {
        const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        QSqlQuery rows(db);
        rows.setForwardOnly(true);
        ok = rows.exec(QStringLiteral("SELECT %1 FROM rows ORDER BY id").arg(kColumns));
        while (ok && rows.next()) {
            auto record = std::make_shared<DataModel>();
            const qint64 id = rows.value(0).toLongLong();
            record->imageName = rows.value(1).toString();
            record->imageURl = rows.value(2).toString();
            record->byteCount = rows.value(3).toLongLong();
            record->status = statusFromName(rows.value(4).toString());
            record->statusText = rows.value(5).toString();
            record->resultUrl = rows.value(6).toString();
            record->outputFile = rows.value(7).toString();
            record->failedForGood = rows.value(8).toBool();
            allDone = allDone && record->status == RowStatus::Done;
            prepareForLaunch(*record);
            m_lastId = std::max(m_lastId, id);
            m_known.insert(record.get(), Entry{record, id});
            batch.rows.append(record);
        }
        ok = ok && !rows.lastError().isValid();
        if (!ok) qCWarning(lcJournal) << "the journal cannot be read:" << rows.lastError().text();
    }
    if (!ok) {  // readable at first, broken further in: moved aside all the same
        moveAside();
        return Batch{};
    }
    if (allDone) {  // a finished batch is not shown again; the next one starts clean
        m_known.clear();
        m_lastId = 0;
        exec(QStringLiteral("DELETE FROM rows"));
        exec(QStringLiteral("DELETE FROM meta"));
        return Batch{};
    }
    return batch;
}

int BatchJournal::attach(ImageQueue& queue, AlertPresenter& alerts) {
    const Batch batch = load();
    if (!m_movedAside.isEmpty()) {
        const QString detail =
            QStringLiteral("It was moved to %1 and the list starts empty.").arg(m_movedAside);
        QMetaObject::invokeMethod(
            this,
            [&alerts, detail] {
                alerts.showAlert(QStringLiteral("The saved batch could not be read"), detail);
            },
            Qt::QueuedConnection);
    }
    if (!batch.rows.isEmpty()) queue.restore(batch.rows);
    follow(queue);
    return static_cast<int>(batch.rows.size());
}

void BatchJournal::follow(ImageQueue& queue) {
    if (!open()) return;
    m_queue = &queue;
    connect(&queue, &ImageQueue::rowInserted, this, [this] {
        m_scanDue = true;
        scheduleFlush();
    });
    connect(&queue, &ImageQueue::rowRemoved, this, [this] {
        m_scanDue = true;
        scheduleFlush();
    });
    connect(&queue, &ImageQueue::rowsReset, this, [this] {
        m_scanDue = true;
        scheduleFlush();
    });
    connect(&queue, &ImageQueue::rowChanged, this, &BatchJournal::onRowChanged);
    connect(&queue, &ImageQueue::resultKnown, this, &BatchJournal::onResultKnown);
    // Rows queued before the journal followed the queue are written too.
    m_scanDue = m_known.size() != queue.count();
    scheduleFlush();
}

void BatchJournal::scheduleFlush() {
    if (!m_timer.isActive()) m_timer.start();
}

int BatchJournal::pendingCount() const {
    return static_cast<int>(m_dirty.size() + m_deleted.size()) + (m_clearAll ? 1 : 0) +
           (m_scanDue ? 1 : 0);
}

void BatchJournal::scan() {
    m_scanDue = false;
    if (!m_queue) return;
    const WriteTimer timed(*this);
    const int n = m_queue->count();
    if (n == 0) {  // the list was cleared: the whole batch goes
        m_known.clear();
        m_dirty.clear();
        m_deleted.clear();
        m_clearAll = true;
        return;
    }
    QSet<const DataModel*> present;
    present.reserve(n);
    for (int i = 0; i < n; ++i) {
        const DataModelPtr record = m_queue->at(i);
        present.insert(record.get());
        auto it = m_known.constFind(record.get());
        if (it != m_known.constEnd()) continue;
        // Rows only ever join at the end of the list, so ids follow the list's order.
        const qint64 id = ++m_lastId;
        m_known.insert(record.get(), Entry{record, id});
        m_dirty.insert(id, record);
    }
    for (auto it = m_known.begin(); it != m_known.end();) {
        if (present.contains(it.key())) {
            ++it;
            continue;
        }
        m_dirty.remove(it->id);
        m_deleted.append(it->id);
        it = m_known.erase(it);
    }
}

void BatchJournal::onRowChanged(int row) {
    const DataModelPtr record = m_queue ? m_queue->at(row) : nullptr;
    if (!record) return;
    const auto it = m_known.constFind(record.get());
    if (it == m_known.constEnd())
        m_scanDue = true;  // a row not written yet is written whole
    else
        m_dirty.insert(it->id, record);
    scheduleFlush();
}

void BatchJournal::onResultKnown(int row) {
    const DataModelPtr record = m_queue ? m_queue->at(row) : nullptr;
    if (!record || !m_open) return;
    if (m_paidKeptElsewhere) return onRowChanged(row);  // written with the next batch of changes
    if (!m_known.contains(record.get())) scan();
    const auto it = m_known.constFind(record.get());
    if (it == m_known.constEnd()) return;
    // The credit is spent: the address is committed before the download starts, so that a crash
    // from here on cannot lose it.
    const WriteTimer timed(*this);
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const bool written = db.transaction() && writeRow(*it) && db.commit();
    if (written)
        m_dirty.remove(it->id);
    else
        db.rollback();
}

BatchJournal::WriteTimer::WriteTimer(BatchJournal& journal) : m_journal(journal) {
    m_clock.start();
}

BatchJournal::WriteTimer::~WriteTimer() {
    const qint64 ns = m_clock.nsecsElapsed();
    m_journal.m_writeNs += ns;
    m_journal.m_longestWriteNs = std::max(m_journal.m_longestWriteNs, ns);
}

void BatchJournal::flush() {
    m_timer.stop();
    if (!m_open) return;
    scan();  // rows whose posted insertion has not arrived yet are written too
    while (pendingCount() > 0) {
        if (!writePending(kRowsPerTransaction)) {
            scheduleFlush();  // tried again later; the changes stay pending
            return;
        }
    }
}

void BatchJournal::writeSlice() {
    if (!m_open) return;
    if (m_scanDue) scan();
    if (pendingCount() == 0) return;
    if (!writePending(kRowsPerTransaction))
        scheduleFlush();  // tried again later; the changes stay pending
    else if (pendingCount() > 0)
        QTimer::singleShot(0, this, &BatchJournal::writeSlice);  // the event loop turns between
}

bool BatchJournal::writeRow(const Entry& entry) {
    const DataModel& r = *entry.record;
    m_upsert.bind(0, entry.id);
    m_upsert.bind(1, r.imageName.value_or(QString()));
    m_upsert.bind(2, r.imageURl.value_or(QString()));
    m_upsert.bind(3, r.byteCount);
    m_upsert.bind(4, statusName(r.status));
    m_upsert.bind(5, r.statusText);
    m_upsert.bind(6, r.resultUrl);
    m_upsert.bind(7, r.outputFile);
    m_upsert.bind(8, r.failedForGood ? 1 : 0);
    if (m_upsert.run()) return true;
    qCWarning(lcJournal) << "a row cannot be written:" << m_upsert.error();
    return false;
}

bool BatchJournal::writePending(int limit) {
    const WriteTimer timed(*this);
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction()) return false;
    bool ok = true;
    if (m_clearAll)
        ok = exec(QStringLiteral("DELETE FROM rows")) && exec(QStringLiteral("DELETE FROM meta"));
    for (qint64 id : std::as_const(m_deleted)) {
        if (!ok) break;
        m_remove.bind(0, id);
        ok = m_remove.run();
    }
    QList<qint64> written;
    for (auto it = m_dirty.cbegin(); ok && it != m_dirty.cend() && written.size() < limit; ++it) {
        ok = writeRow(Entry{it.value(), it.key()});
        written.append(it.key());
    }
    if (!ok || !db.commit()) {
        db.rollback();
        return false;
    }
    m_clearAll = false;
    m_deleted.clear();
    for (qint64 id : std::as_const(written)) m_dirty.remove(id);
    return true;
}
