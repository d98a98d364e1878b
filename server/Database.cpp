#include "Database.h"

#include <sqlite3.h>

#include <utility>

namespace vserver {

namespace {

constexpr int kBusyTimeoutMs = 10000;

// A prepared statement, finalised on scope exit.
class Statement final {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            throw DatabaseError(std::string("prepare failed: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, const std::string& text) {
        check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, std::int64_t value) {
        check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }

    // True while a row is available.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw DatabaseError(std::string("step failed: ") + sqlite3_errmsg(db_));
    }

    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string text(int column) const {
        const auto* p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
    }

private:
    void check(int rc) {
        if (rc != SQLITE_OK)
            throw DatabaseError(std::string("bind failed: ") + sqlite3_errmsg(db_));
    }

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back unless committed.
class ImmediateTransaction final {
public:
    explicit ImmediateTransaction(sqlite3* db) : db_(db) { run("BEGIN IMMEDIATE"); }
    ~ImmediateTransaction() {
        if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    ImmediateTransaction(const ImmediateTransaction&) = delete;
    ImmediateTransaction& operator=(const ImmediateTransaction&) = delete;

    void commit() {
        run("COMMIT");
        open_ = false;
    }

private:
    void run(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = message ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            throw DatabaseError(std::string(sql) + " failed: " + text);
        }
    }

    sqlite3* db_;
    bool open_ = true;
};

const char* poolColumn(CreditPool pool) {
    switch (pool) {
        case CreditPool::Free:
            return "free_credit";
        case CreditPool::Subscription:
            return "subscription_credit";
        case CreditPool::Topup:
            return "topup_credit";
    }
    return "free_credit";
}

}  // namespace

Database::Database(const std::string& path) {
    const int rc =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        std::string text = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw DatabaseError("cannot open database " + path + ": " + text);
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    exec("PRAGMA synchronous = NORMAL");
}

Database::~Database() {
    sqlite3_close(db_);
}

void Database::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw DatabaseError(text);
    }
}

void Database::initialise() {
    exec("PRAGMA journal_mode = WAL");
    exec(
        "CREATE TABLE IF NOT EXISTS api_keys ("
        " api_key TEXT PRIMARY KEY NOT NULL,"
        " free_credit INTEGER NOT NULL DEFAULT 0 CHECK (free_credit >= 0),"
        " topup_credit INTEGER NOT NULL DEFAULT 0 CHECK (topup_credit >= 0),"
        " subscription_credit INTEGER NOT NULL DEFAULT 0 CHECK (subscription_credit >= 0),"
        " is_demo INTEGER NOT NULL DEFAULT 0,"
        " created_at INTEGER NOT NULL DEFAULT (strftime('%s', 'now')));"
        "CREATE TABLE IF NOT EXISTS settings ("
        " name TEXT PRIMARY KEY NOT NULL,"
        " value TEXT NOT NULL);");
}

std::optional<Balances> Database::balances(const std::string& key) {
    Statement s(db_,
                "SELECT free_credit, topup_credit, subscription_credit FROM api_keys "
                "WHERE api_key = ?1");
    s.bind(1, key);
    if (!s.step()) return std::nullopt;
    return Balances{s.integer(0), s.integer(1), s.integer(2)};
}

bool Database::createKey(const std::string& key, const Balances& b, bool demo) {
    Statement s(db_,
                "INSERT OR IGNORE INTO api_keys "
                "(api_key, free_credit, topup_credit, subscription_credit, is_demo) "
                "VALUES (?1, ?2, ?3, ?4, ?5)");
    s.bind(1, key).bind(2, b.free).bind(3, b.topup).bind(4, b.subscription);
    s.bind(5, std::int64_t{demo ? 1 : 0});
    s.step();
    return sqlite3_changes(db_) == 1;
}

bool Database::setBalances(const std::string& key, std::optional<std::int64_t> free,
                           std::optional<std::int64_t> topup,
                           std::optional<std::int64_t> subscription) {
    ImmediateTransaction transaction(db_);
    if (!balances(key)) return false;
    const std::pair<const char*, std::optional<std::int64_t>> updates[] = {
        {"UPDATE api_keys SET free_credit = ?2 WHERE api_key = ?1", free},
        {"UPDATE api_keys SET topup_credit = ?2 WHERE api_key = ?1", topup},
        {"UPDATE api_keys SET subscription_credit = ?2 WHERE api_key = ?1", subscription},
    };
    for (const auto& [sql, value] : updates) {
        if (!value) continue;
        Statement s(db_, sql);
        s.bind(1, key).bind(2, *value);
        s.step();
    }
    transaction.commit();
    return true;
}

bool Database::deleteKey(const std::string& key) {
    Statement s(db_, "DELETE FROM api_keys WHERE api_key = ?1");
    s.bind(1, key);
    s.step();
    return sqlite3_changes(db_) == 1;
}

std::vector<KeyRecord> Database::keys() {
    Statement s(db_,
                "SELECT api_key, free_credit, topup_credit, subscription_credit, is_demo "
                "FROM api_keys ORDER BY created_at, api_key");
    std::vector<KeyRecord> records;
    while (s.step()) {
        records.push_back(
            {s.text(0), Balances{s.integer(1), s.integer(2), s.integer(3)}, s.integer(4) != 0});
    }
    return records;
}

std::optional<std::string> Database::demoKey() {
    Statement s(db_, "SELECT api_key FROM api_keys WHERE is_demo = 1 ORDER BY created_at LIMIT 1");
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

bool Database::issueDemoKey(const std::string& key, const Balances& b) {
    ImmediateTransaction transaction(db_);
    if (setting("demo_key_issued")) return false;
    {
        Statement count(db_, "SELECT COUNT(*) FROM api_keys");
        count.step();
        if (count.integer(0) != 0) return false;
    }
    if (!createKey(key, b, true)) return false;
    setSetting("demo_key_issued", "1");
    transaction.commit();
    return true;
}

ChargeResult Database::chargeOne(const std::string& key) {
    ChargeResult result;
    ImmediateTransaction transaction(db_);
    const auto current = balances(key);
    if (!current) return result;
    CreditPool pool;
    if (current->free > 0) {
        pool = CreditPool::Free;
    } else if (current->subscription > 0) {
        pool = CreditPool::Subscription;
    } else if (current->topup > 0) {
        pool = CreditPool::Topup;
    } else {
        result.outcome = ChargeResult::Outcome::NoCredit;
        return result;
    }
    const std::string column = poolColumn(pool);
    Statement s(db_, ("UPDATE api_keys SET " + column + " = " + column +
                      " - 1 WHERE api_key = ?1 AND " + column + " > 0")
                         .c_str());
    s.bind(1, key);
    s.step();
    if (sqlite3_changes(db_) != 1) throw DatabaseError("charge did not apply");
    result.after = *current;
    switch (pool) {
        case CreditPool::Free:
            --result.after.free;
            break;
        case CreditPool::Subscription:
            --result.after.subscription;
            break;
        case CreditPool::Topup:
            --result.after.topup;
            break;
    }
    transaction.commit();
    result.outcome = ChargeResult::Outcome::Charged;
    result.pool = pool;
    return result;
}

void Database::refund(const std::string& key, CreditPool pool) {
    const std::string column = poolColumn(pool);
    Statement s(
        db_,
        ("UPDATE api_keys SET " + column + " = " + column + " + 1 WHERE api_key = ?1").c_str());
    s.bind(1, key);
    s.step();
}

std::optional<std::string> Database::setting(const std::string& name) {
    Statement s(db_, "SELECT value FROM settings WHERE name = ?1");
    s.bind(1, name);
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

void Database::setSetting(const std::string& name, const std::string& value) {
    Statement s(db_,
                "INSERT INTO settings (name, value) VALUES (?1, ?2) "
                "ON CONFLICT (name) DO UPDATE SET value = excluded.value");
    s.bind(1, name).bind(2, value);
    s.step();
}

std::string Database::appVersion() {
    return setting("app_version").value_or(kDefaultAppVersion);
}

std::string Database::updateType() {
    return setting("update_type").value_or(kDefaultUpdateType);
}

bool Database::isValidKey(const std::string& key) {
    if (key.empty() || key.size() > kMaxKeyLength) return false;
    for (const char c : key) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

}  // namespace vserver
