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
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    if (db.open()) return true;
    m_error = db.lastError().text();
    return false;
}

void LedgerDatabase::close() {
    m_statements.clear();
    if (!QSqlDatabase::contains(m_connection)) return;
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

bool LedgerDatabase::exec(const QString& sql) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (query.exec(sql)) return true;
    m_error = failureText(query.lastError());
    return false;
}

QSqlQuery& LedgerDatabase::statement(const QString& sql) {
    std::unique_ptr<QSqlQuery>& query = m_statements[sql];
    if (!query) {
        query = std::make_unique<QSqlQuery>(QSqlDatabase::database(m_connection, false));
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
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery begin(db);
    if (!begin.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        m_error = failureText(begin.lastError());
        spent(clock.nsecsElapsed());
        return false;
    }
    QSqlQuery end(db);
    m_inTransaction = true;
    const bool ok = work() && end.exec(QStringLiteral("COMMIT"));
    m_inTransaction = false;
    if (!ok) {
        if (end.lastError().isValid()) m_error = failureText(end.lastError());
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
    }
    spent(clock.nsecsElapsed());
    return ok;
}

QString LedgerDatabase::failureText(const QSqlError& error) {
    if (error.nativeErrorCode() == QLatin1String("13"))
        return QString::fromLocal8Bit(strerror(ENOSPC));
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}
