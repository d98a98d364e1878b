#include "PostgresLedger.h"

#include <libpq-fe.h>

#include <cstdio>
#include <ctime>
#include <utility>

namespace vserver {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxIdleConnections = 16;
constexpr std::chrono::seconds kRetryInterval{1};
// Any number, the same in every instance: the lock taken while the schema is changed.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7469726)";

// SQLSTATE classes and codes that say the server went away rather than refused the statement.
bool isConnectionLoss(const char* state) {
    if (!state) return true;
    const std::string s = state;
    return s.rfind("08", 0) == 0 || s == "57P01" || s == "57P02" || s == "57P03";
}

}  // namespace

// A connection borrowed from the pool, given back (or dropped when it broke) on scope exit.
class PostgresLedger::Lease final {
public:
    explicit Lease(PostgresLedger& ledger) : ledger_(ledger), connection(ledger.acquire()) {}
    ~Lease() { ledger_.release(connection); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    std::vector<Row> operator()(const std::string& sql, const std::vector<Value>& values = {}) {
        return ledger_.exec(connection, sql, values);
    }

private:
    PostgresLedger& ledger_;

public:
    PGconn* connection;
};

PostgresLedger::PostgresLedger(std::string uri) : uri_(std::move(uri)) {
    Lease lease(*this);
    // ALTER TABLE and CREATE INDEX lock their table even when there is nothing to do, and every
    // charge on the service would queue behind them: a current schema is left untouched.
    const auto current = lease(
        "SELECT to_regclass('instances') IS NOT NULL AND to_regclass('results_held_by') IS NOT NULL"
        " AND to_regclass('settings') IS NOT NULL AND to_regclass('results_created_at') IS NOT NULL"
        " AND (SELECT count(*) FROM information_schema.columns"
        " WHERE table_schema = current_schema() AND ((table_name = 'api_keys' AND"
        " column_name = 'last_pool') OR (table_name = 'results' AND column_name = 'held_by'))) = 2");
    if (!current.empty() && current[0][0] == "t") return;
    // A migration waits for the transactions under way, not for one that never ends.
    lease("BEGIN; SET LOCAL lock_timeout = '20s';" + std::string(kSchemaLock) +
          ";"
          "CREATE TABLE IF NOT EXISTS api_keys ("
          " api_key TEXT PRIMARY KEY,"
          " free_credit BIGINT NOT NULL DEFAULT 0 CHECK (free_credit >= 0),"
          " topup_credit BIGINT NOT NULL DEFAULT 0 CHECK (topup_credit >= 0),"
          " subscription_credit BIGINT NOT NULL DEFAULT 0 CHECK (subscription_credit >= 0),"
          " is_demo INTEGER NOT NULL DEFAULT 0,"
          " created_at BIGINT NOT NULL DEFAULT extract(epoch FROM now())::bigint);"
          "ALTER TABLE api_keys ADD COLUMN IF NOT EXISTS last_pool INTEGER NOT NULL DEFAULT 0;"
          "CREATE TABLE IF NOT EXISTS settings (name TEXT PRIMARY KEY, value TEXT NOT NULL);"
          "CREATE TABLE IF NOT EXISTS results ("
          " name TEXT PRIMARY KEY,"
          " api_key TEXT NOT NULL,"
          " pool INTEGER NOT NULL,"
          " created_at BIGINT NOT NULL);"
          "CREATE INDEX IF NOT EXISTS results_created_at ON results (created_at);"
          "ALTER TABLE results ADD COLUMN IF NOT EXISTS held_by TEXT;"
          "CREATE INDEX IF NOT EXISTS results_held_by ON results (held_by)"
          " WHERE held_by IS NOT NULL;"
          "CREATE TABLE IF NOT EXISTS instances (id TEXT PRIMARY KEY, seen_at BIGINT NOT NULL);"
          "COMMIT");
}

PostgresLedger::~PostgresLedger() {
    for (PGconn* c : idle_) PQfinish(c);
}

std::string PostgresLedger::withoutPassword(const std::string& uri) {
    std::string out = uri;
    const auto authority = out.find("://");
    if (authority != std::string::npos) {
        const auto end = out.find_first_of("/?", authority + 3);
        const auto at = out.rfind('@', end == std::string::npos ? out.size() : end);
        if (at != std::string::npos && at > authority) {
            const auto colon = out.find(':', authority + 3);
            if (colon != std::string::npos && colon < at) out.erase(colon, at - colon);
        }
    }
    for (const char* name : {"?password=", "&password="}) {
        const auto p = out.find(name);
        if (p == std::string::npos) continue;
        const auto end = out.find('&', p + 1);
        out.erase(p + (name[0] == '?' ? 1 : 0),
                  (end == std::string::npos ? out.size() : end + 1) - p - (name[0] == '?' ? 1 : 0));
    }
    if (!out.empty() && (out.back() == '?' || out.back() == '&')) out.pop_back();
    return out;
}

std::string PostgresLedger::location() const {
    return withoutPassword(uri_);
}

void PostgresLedger::unavailable(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nextAttempt_ = Clock::now() + kRetryInterval;
        const bool wasDown = std::exchange(down_, true);
        for (PGconn* c : idle_) PQfinish(c);  // they went down with the server
        idle_.clear();
        // Said once an outage, and not before the first connection: a server that cannot start
        // says so itself.
        if (!wasDown && connected_) {
            std::fprintf(stderr,
                         "vorpane-server: the database %s cannot be reached (%s); requests are "
                         "answered 503 until it is back\n",
                         location().c_str(), reason.c_str());
        }
    }
    throw LedgerUnavailable("the database cannot be reached: " + reason);
}

PGconn* PostgresLedger::acquire() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!idle_.empty()) {
            PGconn* c = idle_.back();
            idle_.pop_back();
            // A server that shut down or restarted since has told its connections so; what it
            // sent is read here without waiting, and such a connection is not used.
            if (PQconsumeInput(c) && PQstatus(c) == CONNECTION_OK) return c;
            PQfinish(c);
        }
        if (down_ && Clock::now() < nextAttempt_) {
            throw LedgerUnavailable("the database cannot be reached");
        }
    }
    // Earlier keywords yield to what the URI says.
    const char* const keywords[] = {"connect_timeout",
                                    "keepalives_idle",
                                    "keepalives_interval",
                                    "keepalives_count",
                                    "tcp_user_timeout",
                                    "application_name",
                                    "dbname",
                                    nullptr};
    const char* const values[] = {"5",          "10",   "3", "3", "15000", "vorpane-server",
                                  uri_.c_str(), nullptr};
    PGconn* c = PQconnectdbParams(keywords, values, 1);
    if (!c || PQstatus(c) != CONNECTION_OK) {
        std::string reason = c ? PQerrorMessage(c) : "out of memory";
        PQfinish(c);
        unavailable(reason.substr(0, reason.find('\n')));
    }
    // The schema's "already exists" notices and the like are not for the log.
    PQsetNoticeProcessor(
        c, [](void*, const char*) {}, nullptr);
    bool recovered = false;
    bool pending = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        recovered = std::exchange(down_, false) && connected_;
        connected_ = true;
        pending = !pendingRefunds_.empty() || !pendingDeliveries_.empty();
    }
    if (recovered) std::fprintf(stderr, "vorpane-server: the database is reachable again\n");
    if (pending) settlePending(c);
    if (!c) unavailable("the connection was lost");
    return c;
}

void PostgresLedger::release(PGconn* connection) {
    if (!connection) return;
    if (PQstatus(connection) == CONNECTION_OK && PQtransactionStatus(connection) == PQTRANS_IDLE) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_.size() < kMaxIdleConnections) {
            idle_.push_back(connection);
            return;
        }
    }
    PQfinish(connection);
}

std::vector<Ledger::Row> PostgresLedger::exec(PGconn*& connection, const std::string& sql,
                                              const std::vector<Value>& values) {
    std::vector<std::string> texts;
    std::vector<const char*> params;
    texts.reserve(values.size());
    for (const Value& value : values) {
        if (const auto* n = std::get_if<std::int64_t>(&value)) {
            texts.push_back(std::to_string(*n));
        } else if (const auto* s = std::get_if<std::string>(&value)) {
            texts.push_back(*s);
        } else {
            texts.emplace_back();
        }
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        params.push_back(std::holds_alternative<std::monostate>(values[i]) ? nullptr
                                                                           : texts[i].c_str());
    }
    PGresult* result = values.empty() ? PQexec(connection, sql.c_str())
                                      : PQexecParams(connection, sql.c_str(), int(params.size()),
                                                     nullptr, params.data(), nullptr, nullptr, 0);
    const std::unique_ptr<PGresult, void (*)(PGresult*)> owner(result, PQclear);
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        std::string message = result ? PQresultErrorMessage(result) : PQerrorMessage(connection);
        while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
            message.pop_back();
        const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        if (PQstatus(connection) != CONNECTION_OK || isConnectionLoss(state)) {
            PQfinish(connection);
            connection = nullptr;
            unavailable(message.substr(0, message.find('\n')));
        }
        if (PQtransactionStatus(connection) != PQTRANS_IDLE) {
            PQclear(PQexec(connection, "ROLLBACK"));
        }
        throw LedgerError(message);
    }
    std::vector<Row> rows;
    for (int r = 0; r < PQntuples(result); ++r) {
        Row& row = rows.emplace_back();
        for (int f = 0; f < PQnfields(result); ++f) row.emplace_back(PQgetvalue(result, r, f));
    }
    return rows;
}

std::vector<Ledger::Row> PostgresLedger::run(const std::string& sql,
                                             const std::vector<Value>& values) {
    Lease lease(*this);
    return lease(sql, values);
}

bool PostgresLedger::issueDemoKey(const std::string& key, const Balances& b) {
    Lease lease(*this);
    lease("BEGIN");
    lease(kSchemaLock);
    const bool issued = !lease("SELECT 1 FROM settings WHERE name = 'demo_key_issued'").empty() ||
                        !lease("SELECT 1 FROM api_keys LIMIT 1").empty();
    if (issued) {
        lease("ROLLBACK");
        return false;
    }
    lease(
        "INSERT INTO api_keys"
        " (api_key, free_credit, topup_credit, subscription_credit, is_demo, created_at)"
        " VALUES ($1, $2, $3, $4, 1, $5)",
        {key, b.free, b.topup, b.subscription, std::int64_t(std::time(nullptr))});
    lease("INSERT INTO settings (name, value) VALUES ('demo_key_issued', '1')");
    lease("COMMIT");
    return true;
}

ChargeResult PostgresLedger::charge(const std::string& key, const std::string& resultName) {
    std::vector<Row> rows;
    try {
        Lease lease(*this);
        // The debit and its record in one statement.
        rows = lease("WITH debit AS (" + std::string(kDebit) +
                         "), record AS (INSERT INTO results"
                         " (name, api_key, pool, created_at, held_by)"
                         " SELECT $2::text, $1, last_pool, $3::bigint, $4::text FROM debit)"
                         " SELECT free_credit, topup_credit, subscription_credit, last_pool"
                         " FROM debit",
                     {key, resultName, std::int64_t(std::time(nullptr)), instance()});
        if (rows.empty()) {
            ChargeResult refused;
            if (!lease("SELECT 1 FROM api_keys WHERE api_key = $1", {key}).empty()) {
                refused.outcome = ChargeResult::Outcome::NoCredit;
            }
            return refused;
        }
    } catch (const LedgerUnavailable&) {
        // The statement may have been carried out before the connection went: whatever it
        // took is given back once the database answers again.
        std::lock_guard<std::mutex> lock(mutex_);
        pendingRefunds_.push_back(resultName);
        throw;
    }
    return charged(rows[0]);
}

bool PostgresLedger::refundOn(PGconn*& connection, const std::string& resultName) {
    const auto given = exec(
        connection,
        "WITH paid AS (DELETE FROM results WHERE name = $1 AND held_by IS NOT NULL"
        " RETURNING api_key, pool)"
        " UPDATE api_keys SET"
        " free_credit = free_credit + CASE WHEN paid.pool = 0 THEN 1 ELSE 0 END,"
        " subscription_credit = subscription_credit + CASE WHEN paid.pool = 1 THEN 1 ELSE 0 END,"
        " topup_credit = topup_credit + CASE WHEN paid.pool = 2 THEN 1 ELSE 0 END"
        " FROM paid WHERE api_keys.api_key = paid.api_key RETURNING api_keys.api_key",
        {resultName});
    return !given.empty();
}

bool PostgresLedger::refund(const std::string& resultName) {
    try {
        Lease lease(*this);
        return refundOn(lease.connection, resultName);
    } catch (const LedgerUnavailable&) {
        std::lock_guard<std::mutex> lock(mutex_);
        pendingRefunds_.push_back(resultName);
        return true;  // once the database answers, unless the charge stands by then
    }
}

void PostgresLedger::delivered(const std::string& resultName) {
    try {
        Ledger::delivered(resultName);
    } catch (const LedgerUnavailable&) {
        std::lock_guard<std::mutex> lock(mutex_);
        pendingDeliveries_.push_back(resultName);
    }
}

void PostgresLedger::settlePending(PGconn*& connection) {
    std::vector<std::string> refunds;
    std::vector<std::string> deliveries;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        refunds.swap(pendingRefunds_);
        deliveries.swap(pendingDeliveries_);
    }
    std::size_t done = 0;
    try {
        for (; done < refunds.size(); ++done) refundOn(connection, refunds[done]);
        for (; done < refunds.size() + deliveries.size(); ++done) {
            exec(connection, "UPDATE results SET held_by = NULL WHERE name = $1 AND held_by = $2",
                 {deliveries[done - refunds.size()], instance()});
        }
    } catch (const LedgerError&) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (; done < refunds.size(); ++done) pendingRefunds_.push_back(refunds[done]);
        for (; done < refunds.size() + deliveries.size(); ++done) {
            pendingDeliveries_.push_back(deliveries[done - refunds.size()]);
        }
    }
}

}  // namespace vserver
