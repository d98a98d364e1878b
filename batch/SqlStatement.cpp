#include "SqlStatement.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>

#include <cerrno>
#include <cstring>
#include <sqlite3.h>

bool SqlStatement::prepare(const QSqlDatabase& db, const QString& sql) {
    finalize();
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    const bool sqlite = handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0;
    m_db = sqlite ? *static_cast<sqlite3* const*>(handle.constData()) : nullptr;
    if (!m_db) {
        m_error = QStringLiteral("not an open SQLite database");
        return false;
    }
    const int code = sqlite3_prepare16_v3(m_db, sql.utf16(), int(sql.size() * sizeof(char16_t)),
                                          SQLITE_PREPARE_PERSISTENT, &m_statement, nullptr);
    m_errorCode = 0;
    return code == SQLITE_OK || failed(code);
}

void SqlStatement::finalize() {
    if (m_statement) sqlite3_finalize(m_statement);
    m_statement = nullptr;
    m_texts.clear();
}

void SqlStatement::bind(int index, qint64 value) {
    sqlite3_bind_int64(m_statement, index + 1, value);
}

void SqlStatement::bind(int index, const QString& value) {
    if (value.isNull()) return bindNull(index);
    // The database holds UTF-8: Qt's conversion is much faster than SQLite's own. The bytes are
    // kept here until the value is bound again, so SQLite need not copy them.
    if (m_texts.size() <= index) m_texts.resize(index + 1);
    m_texts[index] = value.toUtf8();
    sqlite3_bind_text(m_statement, index + 1, m_texts.at(index).constData(),
                      int(m_texts.at(index).size()), SQLITE_STATIC);
}

void SqlStatement::bindNull(int index) {
    sqlite3_bind_null(m_statement, index + 1);
}

bool SqlStatement::failed(int code) {
    m_errorCode = code;
    // SQLite says "database or disk is full" for both; the disk is what can be mended.
    m_error = code == SQLITE_FULL ? QString::fromLocal8Bit(strerror(ENOSPC))
                                  : QString::fromUtf8(sqlite3_errmsg(m_db));
    if (m_statement) sqlite3_reset(m_statement);
    return false;
}

bool SqlStatement::run() {
    if (!m_statement) return false;
    const int code = sqlite3_step(m_statement);
    if (code != SQLITE_DONE && code != SQLITE_ROW) return failed(code);
    sqlite3_reset(m_statement);
    m_errorCode = 0;
    return true;
}

bool SqlStatement::next() {
    if (!m_statement) return false;
    const int code = sqlite3_step(m_statement);
    if (code == SQLITE_ROW) return true;
    if (code != SQLITE_DONE) return failed(code);
    sqlite3_reset(m_statement);
    m_errorCode = 0;
    return false;
}

void SqlStatement::reset() {
    if (m_statement) sqlite3_reset(m_statement);
}

bool SqlStatement::isNull(int column) const {
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

qint64 SqlStatement::integer(int column) const {
    return sqlite3_column_int64(m_statement, column);
}

QString SqlStatement::text(int column) const {
    const auto* chars = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
    if (!chars) return QString();
    return QString::fromUtf8(chars, sqlite3_column_bytes(m_statement, column));
}
