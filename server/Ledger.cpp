#include "Ledger.h"

#include "PostgresLedger.h"
#include "RandomToken.h"
#include "SqliteLedger.h"

#include <cstdlib>
#include <ctime>

namespace vserver {

const char* const Ledger::kDebit =
    "UPDATE api_keys SET"
    " free_credit = free_credit - CASE WHEN free_credit > 0 THEN 1 ELSE 0 END,"
    " subscription_credit = subscription_credit -"
    "  CASE WHEN free_credit = 0 AND subscription_credit > 0 THEN 1 ELSE 0 END,"
    " topup_credit = topup_credit -"
    "  CASE WHEN free_credit = 0 AND subscription_credit = 0 THEN 1 ELSE 0 END,"
    " last_pool = CASE WHEN free_credit > 0 THEN 0 WHEN subscription_credit > 0 THEN 1 ELSE 2 END"
    " WHERE api_key = $1 AND free_credit + subscription_credit + topup_credit > 0"
    " RETURNING free_credit, topup_credit, subscription_credit, last_pool";

Ledger::Ledger() : instance_(randomHex(8)) {}

std::unique_ptr<Ledger> Ledger::open(const std::string& location) {
    if (isPostgresUri(location)) return std::make_unique<PostgresLedger>(location);
    return std::make_unique<SqliteLedger>(location);
}

bool Ledger::isPostgresUri(const std::string& location) {
    return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

bool Ledger::isValidKey(const std::string& key) {
    if (key.empty() || key.size() > kMaxKeyLength) return false;
    for (const char c : key) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::int64_t Ledger::integer(const std::string& column) {
    return std::strtoll(column.c_str(), nullptr, 10);
}

ChargeResult Ledger::charged(const Row& row) {
    ChargeResult result;
    result.outcome = ChargeResult::Outcome::Charged;
    result.after = Balances{integer(row[0]), integer(row[1]), integer(row[2])};
    result.pool = static_cast<CreditPool>(integer(row[3]));
    return result;
}

std::optional<Balances> Ledger::balances(const std::string& key) {
    const auto rows = run(
        "SELECT free_credit, topup_credit, subscription_credit FROM api_keys WHERE api_key = $1",
        {key});
    if (rows.empty()) return std::nullopt;
    return Balances{integer(rows[0][0]), integer(rows[0][1]), integer(rows[0][2])};
}

bool Ledger::createKey(const std::string& key, const Balances& b, bool demo) {
    return !run("INSERT INTO api_keys"
                " (api_key, free_credit, topup_credit, subscription_credit, is_demo, created_at)"
                " VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT DO NOTHING RETURNING api_key",
                {key, b.free, b.topup, b.subscription, std::int64_t{demo ? 1 : 0},
                 std::int64_t(std::time(nullptr))})
                .empty();
}

bool Ledger::setBalances(const std::string& key, std::optional<std::int64_t> free,
                         std::optional<std::int64_t> topup,
                         std::optional<std::int64_t> subscription) {
    const auto value = [](std::optional<std::int64_t> v) { return v ? Value(*v) : Value(); };
    return !run("UPDATE api_keys SET free_credit = COALESCE($2, free_credit),"
                " topup_credit = COALESCE($3, topup_credit),"
                " subscription_credit = COALESCE($4, subscription_credit)"
                " WHERE api_key = $1 RETURNING api_key",
                {key, value(free), value(topup), value(subscription)})
                .empty();
}

bool Ledger::deleteKey(const std::string& key) {
    return !run("DELETE FROM api_keys WHERE api_key = $1 RETURNING api_key", {key}).empty();
}

std::vector<KeyRecord> Ledger::keys() {
    std::vector<KeyRecord> records;
    for (const Row& row : run("SELECT api_key, free_credit, topup_credit, subscription_credit,"
                              " is_demo FROM api_keys ORDER BY created_at, api_key",
                              {})) {
        records.push_back({row[0], Balances{integer(row[1]), integer(row[2]), integer(row[3])},
                           integer(row[4]) != 0});
    }
    return records;
}

void Ledger::delivered(const std::string& resultName) {
    run("UPDATE results SET held_by = NULL WHERE name = $1 AND held_by = $2",
        {resultName, instance_});
}

void Ledger::fetched(const std::string& resultName) {
    run("UPDATE results SET held_by = NULL WHERE name = $1 AND held_by IS NOT NULL", {resultName});
}

void Ledger::heartbeat() {
    run(std::string("INSERT INTO instances (id, seen_at) VALUES ($1, ") + nowSql() +
            ") ON CONFLICT (id) DO UPDATE SET seen_at = excluded.seen_at",
        {instance_});
}

std::size_t Ledger::reclaimAbandoned(std::chrono::seconds silence) {
    const std::string before = std::string(nowSql()) + " - $2";
    // A charge whose instance has no row yet was made by one that never said it was alive.
    const auto held = run("SELECT r.name FROM results r LEFT JOIN instances i ON i.id = r.held_by"
                          " WHERE r.held_by IS NOT NULL AND r.held_by <> $1"
                          " AND COALESCE(i.seen_at, r.created_at) < " +
                              before,
                          {instance_, std::int64_t(silence.count())});
    std::size_t given = 0;
    for (const Row& row : held) given += refund(row[0]) ? 1 : 0;
    run("DELETE FROM instances WHERE id <> $1 AND seen_at < " + before +
            " AND NOT EXISTS (SELECT 1 FROM results WHERE held_by = instances.id)",
        {instance_, std::int64_t(silence.count())});
    return given;
}

void Ledger::forgetResultsOlderThan(std::chrono::seconds age) {
    // What is still held waits for its instance or for reclaimAbandoned.
    run("DELETE FROM results WHERE created_at < $1 AND held_by IS NULL",
        {std::int64_t(std::time(nullptr)) - std::int64_t(age.count())});
}

std::optional<std::string> Ledger::setting(const std::string& name) {
    const auto rows = run("SELECT value FROM settings WHERE name = $1", {name});
    if (rows.empty()) return std::nullopt;
    return rows[0][0];
}

void Ledger::setSetting(const std::string& name, const std::string& value) {
    run("INSERT INTO settings (name, value) VALUES ($1, $2)"
        " ON CONFLICT (name) DO UPDATE SET value = excluded.value",
        {name, value});
}

std::string Ledger::appVersion() {
    return setting("app_version").value_or(kDefaultAppVersion);
}

std::string Ledger::updateType() {
    return setting("update_type").value_or(kDefaultUpdateType);
}

}  // namespace vserver
