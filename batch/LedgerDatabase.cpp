#include "LedgerDatabase.h"

#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>

LedgerDatabase::LedgerDatabase(QString connectionName) : m_connection(std::move(connectionName)) {}

LedgerDatabase::~LedgerDatabase() {
    close();
}

bool LedgerDatabase::open(const QString& path) {
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    m_db.setDatabaseName(path);
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    if (m_db.open()) return true;
    m_error = m_db.lastError().text();
    return false;
}

void LedgerDatabase::close() {
    m_statements.clear();
    if (!QSqlDatabase::contains(m_connection)) return;
    m_db.close();
    m_db = QSqlDatabase();  // no handle may be left when the connection is removed
    QSqlDatabase::removeDatabase(m_connection);
}

bool LedgerDatabase::exec(const QString& sql) {
    SqlStatement once;
    if (once.prepare(m_db, sql) && once.run()) return true;
    m_error = once.error();
    return false;
}

SqlStatement& LedgerDatabase::statement(const QString& sql) {
    std::unique_ptr<SqlStatement>& query = m_statements[sql];
    if (!query) {
        query = std::make_unique<SqlStatement>();
        query->prepare(m_db, sql);  // one that was refused fails when it runs, and says why
    }
    return *query;
}

bool LedgerDatabase::run(SqlStatement& statement) {
    QElapsedTimer clock;
    clock.start();
    const bool ok = statement.isPrepared() && statement.run();
    if (!m_inTransaction) spent(clock.nsecsElapsed());  // a transaction counts as a whole
    if (!ok) m_error = statement.error();
    return ok;
}

LedgerDatabase::Step LedgerDatabase::step(SqlStatement& query) {
    QElapsedTimer clock;
    clock.start();
    const bool row = query.isPrepared() && query.next();
    if (!m_inTransaction) spent(clock.nsecsElapsed());
    if (row) return Step::Row;
    if (query.isPrepared() && query.errorCode() == 0) return Step::End;
    m_error = query.error();
    return Step::Failed;
}

bool LedgerDatabase::inTransaction(const std::function<bool()>& work) {
    QElapsedTimer clock;
    clock.start();
    m_inTransaction = true;
    const bool ok = run(statement(QStringLiteral("BEGIN IMMEDIATE"))) && work() &&
                    run(statement(QStringLiteral("COMMIT")));
    m_inTransaction = false;
    if (!ok) {
        const QString error = m_error;  // the rollback's answer does not replace the cause
        run(statement(QStringLiteral("ROLLBACK")));
        m_error = error;
    }
    spent(clock.nsecsElapsed());
    return ok;
}
