#include "SqliteLedger.h"

#include <sqlite3.h>

#include <ctime>
#include <filesystem>
#include <utility>

namespace vserver {

namespace {

constexpr int kBusyTimeoutMs = 10000;

// One connection to the file, closed on scope exit.
class Connection final {
public:
    explicit Connection(const std::string& path) {
        const int rc = sqlite3_open_v2(path.c_str(), &db_,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc != SQLITE_OK) {
            std::string text = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close(db_);
            throw LedgerError("cannot open database " + path + ": " + text);
        }
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        exec("PRAGMA synchronous = NORMAL");
    }
    ~Connection() { sqlite3_close(db_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void exec(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = message ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            throw LedgerError(text);
        }
    }

    // Runs one statement to its end and returns its rows, every column as text.
    template <typename Values>
    std::vector<std::vector<std::string>> query(const std::string& sql, const Values& values) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            throw LedgerError(std::string("prepare failed: ") + sqlite3_errmsg(db_));
        }
        const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(stmt, sqlite3_finalize);
        // "$N" is a named parameter to SQLite, numbered in the order of first appearance.
        int number = 0;
        for (const auto& value : values) {
            const int index =
                sqlite3_bind_parameter_index(stmt, ("$" + std::to_string(++number)).c_str());
            if (index == 0) continue;
            int rc = SQLITE_OK;
            if (const auto* n = std::get_if<std::int64_t>(&value)) {
                rc = sqlite3_bind_int64(stmt, index, *n);
            } else if (const auto* s = std::get_if<std::string>(&value)) {
                rc = sqlite3_bind_text(stmt, index, s->data(), int(s->size()), SQLITE_TRANSIENT);
            } else {
                rc = sqlite3_bind_null(stmt, index);
            }
            if (rc != SQLITE_OK)
                throw LedgerError(std::string("bind failed: ") + sqlite3_errmsg(db_));
        }
        std::vector<std::vector<std::string>> rows;
        while (true) {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW)
                throw LedgerError(std::string("step failed: ") + sqlite3_errmsg(db_));
            std::vector<std::string>& row = rows.emplace_back();
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                const auto* p = sqlite3_column_text(stmt, i);
                row.emplace_back(p ? std::string(reinterpret_cast<const char*>(p),
                                                 std::size_t(sqlite3_column_bytes(stmt, i)))
                                   : std::string());
            }
        }
        return rows;
    }

private:
    sqlite3* db_ = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back unless committed.
class ImmediateTransaction final {
public:
    explicit ImmediateTransaction(Connection& c) : c_(c) { c_.exec("BEGIN IMMEDIATE"); }
    ~ImmediateTransaction() {
        if (open_) {
            try {
                c_.exec("ROLLBACK");
            } catch (const LedgerError&) {
            }
        }
    }
    ImmediateTransaction(const ImmediateTransaction&) = delete;
    ImmediateTransaction& operator=(const ImmediateTransaction&) = delete;

    void commit() {
        c_.exec("COMMIT");
        open_ = false;
    }

private:
    Connection& c_;
    bool open_ = true;
};

using Values = std::vector<std::variant<std::monostate, std::int64_t, std::string>>;

}  // namespace

SqliteLedger::SqliteLedger(std::string path) : path_(std::move(path)) {
    const std::filesystem::path parent = std::filesystem::path(path_).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent);
    Connection c(path_);
    c.exec("PRAGMA journal_mode = WAL");
    ImmediateTransaction transaction(c);
    c.exec(
        "CREATE TABLE IF NOT EXISTS api_keys ("
        " api_key TEXT PRIMARY KEY NOT NULL,"
        " free_credit INTEGER NOT NULL DEFAULT 0 CHECK (free_credit >= 0),"
        " topup_credit INTEGER NOT NULL DEFAULT 0 CHECK (topup_credit >= 0),"
        " subscription_credit INTEGER NOT NULL DEFAULT 0 CHECK (subscription_credit >= 0),"
        " is_demo INTEGER NOT NULL DEFAULT 0,"
        " created_at INTEGER NOT NULL DEFAULT (strftime('%s', 'now')));"
        "CREATE TABLE IF NOT EXISTS settings ("
        " name TEXT PRIMARY KEY NOT NULL,"
        " value TEXT NOT NULL);"
        "CREATE TABLE IF NOT EXISTS results ("
        " name TEXT PRIMARY KEY NOT NULL,"
        " api_key TEXT NOT NULL,"
        " pool INTEGER NOT NULL,"
        " created_at INTEGER NOT NULL);"
        "CREATE INDEX IF NOT EXISTS results_created_at ON results (created_at);"
        "CREATE TABLE IF NOT EXISTS instances ("
        " id TEXT PRIMARY KEY NOT NULL,"
        " seen_at INTEGER NOT NULL);");
    // Files from before the pool of the last charge was kept.
    if (c.query("SELECT 1 FROM pragma_table_info('api_keys') WHERE name = 'last_pool'", Values{})
            .empty()) {
        c.exec("ALTER TABLE api_keys ADD COLUMN last_pool INTEGER NOT NULL DEFAULT 0");
    }
    // Files from before charges were held until delivered: what they hold stands.
    if (c.query("SELECT 1 FROM pragma_table_info('results') WHERE name = 'held_by'", Values{})
            .empty()) {
        c.exec("ALTER TABLE results ADD COLUMN held_by TEXT");
    }
    c.exec("CREATE INDEX IF NOT EXISTS results_held_by ON results (held_by)"
           " WHERE held_by IS NOT NULL");
    transaction.commit();
}

std::vector<Ledger::Row> SqliteLedger::run(const std::string& sql,
                                           const std::vector<Value>& values) {
    Connection c(path_);
    return c.query(sql, values);
}

bool SqliteLedger::issueDemoKey(const std::string& key, const Balances& b) {
    Connection c(path_);
    ImmediateTransaction transaction(c);
    if (!c.query("SELECT 1 FROM settings WHERE name = 'demo_key_issued'", Values{}).empty() ||
        !c.query("SELECT 1 FROM api_keys LIMIT 1", Values{}).empty()) {
        return false;
    }
    c.query(
        "INSERT INTO api_keys"
        " (api_key, free_credit, topup_credit, subscription_credit, is_demo, created_at)"
        " VALUES ($1, $2, $3, $4, 1, $5)",
        Values{key, b.free, b.topup, b.subscription, std::int64_t(std::time(nullptr))});
    c.exec("INSERT INTO settings (name, value) VALUES ('demo_key_issued', '1')");
    transaction.commit();
    return true;
}

ChargeResult SqliteLedger::charge(const std::string& key, const std::string& resultName) {
    Connection c(path_);
    ImmediateTransaction transaction(c);
    const auto rows = c.query(kDebit, Values{key});
    if (rows.empty()) {
        ChargeResult refused;
        if (!c.query("SELECT 1 FROM api_keys WHERE api_key = $1", Values{key}).empty()) {
            refused.outcome = ChargeResult::Outcome::NoCredit;
        }
        return refused;
    }
    const ChargeResult result = charged(rows[0]);
    c.query("INSERT INTO results (name, api_key, pool, created_at, held_by)"
            " VALUES ($1, $2, $3, $4, $5)",
            Values{resultName, key, std::int64_t(result.pool), std::int64_t(std::time(nullptr)),
                   instance()});
    transaction.commit();
    return result;
}

bool SqliteLedger::refund(const std::string& resultName) {
    Connection c(path_);
    ImmediateTransaction transaction(c);
    const auto rows = c.query(
        "DELETE FROM results WHERE name = $1 AND held_by IS NOT NULL RETURNING api_key, pool",
        Values{resultName});
    if (rows.empty()) return false;
    static const char* const kColumns[] = {"free_credit", "subscription_credit", "topup_credit"};
    const std::string column = kColumns[integer(rows[0][1]) % 3];
    c.query("UPDATE api_keys SET " + column + " = " + column + " + 1 WHERE api_key = $1",
            Values{rows[0][0]});
    transaction.commit();
    return true;
}

}  // namespace vserver
