#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class QSqlDatabase;
struct sqlite3;
struct sqlite3_stmt;

// A statement prepared once on an open SQLite connection of QtSql and run many times, straight
// through SQLite: binding through QSqlQuery builds a placeholder name and looks it up for every
// value, which costs more than the write itself on the paths that write a row per photo.
// Used on the connection's own thread, and finalized before the connection closes.
class SqlStatement final {
public:
    SqlStatement() = default;
    ~SqlStatement() { finalize(); }
    SqlStatement(const SqlStatement&) = delete;
    SqlStatement& operator=(const SqlStatement&) = delete;

    // False, with error() set, when the connection is not SQLite's or the SQL is refused.
    bool prepare(const QSqlDatabase& db, const QString& sql);
    void finalize();
    bool isPrepared() const { return m_statement != nullptr; }

    // Values by position from 0. A null text is stored as NULL, as QtSql does.
    void bind(int index, qint64 value);
    void bind(int index, const QString& value);
    void bindNull(int index);

    // Runs a statement that returns no rows; false, with error() set, when it failed.
    bool run();
    // Steps to the next row of a query: true while there is one; at the end, or on a failure
    // (then error() is set), false and the statement is ready to run again.
    bool next();
    bool isNull(int column) const;
    qint64 integer(int column) const;
    QString text(int column) const;
    // Ends a query before its last row.
    void reset();

    QString error() const { return m_error; }
    // SQLite's result code of the last failure (13: the disk is full).
    int errorCode() const { return m_errorCode; }

private:
    bool failed(int code);

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_statement = nullptr;
    QList<QByteArray> m_texts;  // the texts bound, by position
    QString m_error;
    int m_errorCode = 0;
};
