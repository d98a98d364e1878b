#include "LedgerDatabase.h"

#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <cerrno>
#include <cstring>

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
    QSqlQuery query(m_db);
    if (query.exec(sql)) return true;
    m_error = failureText(query.lastError());
    return false;
}

QSqlQuery& LedgerDatabase::statement(const QString& sql) {
    std::unique_ptr<QSqlQuery>& query = m_statements[sql];
    if (!query) {
        query = std::make_unique<QSqlQuery>(m_db);
        query->prepare(sql);
    }
    return *query;
}

bool LedgerDatabase::run(QSqlQuery& query) {
    QElapsedTimer clock;
    clock.start();
    const bool ok = query.exec();
    if (!m_inTransaction) spent(clock.nsecsElapsed());  // a transaction counts as a whole
    if (ok) return true;
    m_error = failureText(query.lastError());
    return false;
}

bool LedgerDatabase::inTransaction(const std::function<bool()>& work) {
    QElapsedTimer clock;
    clock.start();
    QSqlQuery& begin = statement(QStringLiteral("BEGIN IMMEDIATE"));
    if (!begin.exec()) {
        m_error = failureText(begin.lastError());
        spent(clock.nsecsElapsed());
        return false;
    }
    QSqlQuery& end = statement(QStringLiteral("COMMIT"));
    m_inTransaction = true;
    const bool ok = work() && end.exec();
    m_inTransaction = false;
    if (!ok) {
        if (end.lastError().isValid()) m_error = failureText(end.lastError());
        statement(QStringLiteral("ROLLBACK")).exec();
    }
    spent(clock.nsecsElapsed());
    return ok;
}

QString LedgerDatabase::failureText(const QSqlError& error) {
    if (error.nativeErrorCode() == QLatin1String("13"))
        return QString::fromLocal8Bit(strerror(ENOSPC));
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}
