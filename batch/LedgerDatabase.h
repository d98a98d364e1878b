#pragma once

#include "SqlStatement.h"

#include <QSqlDatabase>
#include <QString>
#include <atomic>
#include <functional>
#include <map>
#include <memory>

// One connection to the ledger's SQLite database, used from the thread that opened it: its
// prepared statements, the last failure in words and the time spent in it.
class LedgerDatabase final {
public:
    static constexpr int kBusyTimeoutMs = 5000;

    explicit LedgerDatabase(QString connectionName);
    ~LedgerDatabase();
    LedgerDatabase(const LedgerDatabase&) = delete;
    LedgerDatabase& operator=(const LedgerDatabase&) = delete;

    // Opens the file at `path`, waiting up to kBusyTimeoutMs for another writer.
    bool open(const QString& path);
    void close();
    bool exec(const QString& sql);
    // A prepared statement, kept while the connection is open.
    SqlStatement& statement(const QString& sql);
    // Runs a statement that returns no rows; false, with error() set, when it failed.
    bool run(SqlStatement& statement);
    // The next row of a query; at the end, or on a failure (error() set), none.
    enum class Step { Row, End, Failed };
    Step step(SqlStatement& query);
    // Runs `work` in one write transaction (taken at once, so that it cannot fail half-way).
    bool inTransaction(const std::function<bool()>& work);

    QString error() const { return m_error; }
    void setError(const QString& error) { m_error = error; }
    // Time spent in the database so far, in nanoseconds (read from any thread).
    qint64 timeNs() const { return m_timeNs.load(std::memory_order_relaxed); }

private:
    void spent(qint64 ns) { m_timeNs.fetch_add(ns, std::memory_order_relaxed); }

    QString m_connection;
    QSqlDatabase m_db;  // looked up once: the look-up takes a lock every thread shares
    QString m_error;
    bool m_inTransaction = false;
    std::atomic<qint64> m_timeNs{0};
    std::map<QString, std::unique_ptr<SqlStatement>> m_statements;
};
