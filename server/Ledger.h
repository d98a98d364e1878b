#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace vserver {

class LedgerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The database cannot be reached for now (restarting, the network): worth trying again later.
class LedgerUnavailable final : public LedgerError {
public:
    using LedgerError::LedgerError;
};

struct Balances {
    std::int64_t free = 0;
    std::int64_t topup = 0;
    std::int64_t subscription = 0;

    std::int64_t total() const { return free + topup + subscription; }
};

struct KeyRecord {
    std::string key;
    Balances balances;
    bool demo = false;
};

// The credit pools, in the order a charge draws from them.
enum class CreditPool { Free = 0, Subscription = 1, Topup = 2 };

struct ChargeResult {
    enum class Outcome { Charged, NoCredit, UnknownKey };
    Outcome outcome = Outcome::UnknownKey;
    CreditPool pool = CreditPool::Free;  // the pool charged, when Charged
    Balances after;                      // balances after the charge, when Charged
};

// The keys, their credits, the settings and the record of what each paid result was paid with.
// Every member is safe to call from any thread. Kept in an SQLite file for one machine, or in
// PostgreSQL for several instances sharing it.
class Ledger {
public:
    static constexpr std::size_t kMaxKeyLength = 32;
    static constexpr const char* kDefaultAppVersion = "1.0.0";
    static constexpr const char* kDefaultUpdateType = "none";

    // A PostgreSQL connection URI ("postgresql://..." or "postgres://...") or else the path of
    // an SQLite file, created with its folder when missing. The schema is created or brought up
    // to date. Throws LedgerError (LedgerUnavailable when PostgreSQL cannot be reached).
    static std::unique_ptr<Ledger> open(const std::string& location);
    static bool isPostgresUri(const std::string& location);
    static bool isValidKey(const std::string& key);

    virtual ~Ledger() = default;
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    // Where the ledger lives, fit to show (a URI without its password).
    virtual std::string location() const = 0;

    std::optional<Balances> balances(const std::string& key);
    // False when the key exists already.
    bool createKey(const std::string& key, const Balances& balances, bool demo = false);
    // Sets the given pools; false when the key is unknown.
    bool setBalances(const std::string& key, std::optional<std::int64_t> free,
                     std::optional<std::int64_t> topup, std::optional<std::int64_t> subscription);
    bool deleteKey(const std::string& key);
    std::vector<KeyRecord> keys();

    // Stores key as the demo key when the ledger has never issued one and holds no key at all.
    // True when it was stored.
    virtual bool issueDemoKey(const std::string& key, const Balances& balances) = 0;

    // Takes one credit for the result of that name (free first, then subscription, then top-up,
    // never a pool below zero) with one conditional UPDATE, and records the pool it came from.
    virtual ChargeResult charge(const std::string& key, const std::string& resultName) = 0;
    // Gives back the credit the named result was paid with, once: nothing when it was refunded
    // already, never charged, or its charge stands (delivered or fetched). Where the database
    // cannot be reached it is done once it can. False when there was nothing to give back.
    virtual bool refund(const std::string& resultName) = 0;

    // A charge is held in the name of the instance that made it until its answer is known to
    // have reached the client; an instance killed in between cannot give it back itself, so its
    // peers (or its successor) do, once it has fallen silent.
    const std::string& instance() const { return instance_; }
    // The charge for the named result stands: its answer was delivered.
    virtual void delivered(const std::string& resultName);
    // The named result was downloaded, through any instance: its answer reached the client,
    // whether or not the instance that holds the charge lived to see it acknowledged.
    void fetched(const std::string& resultName);
    // Tells the other instances that this one is alive and may still deliver what it holds.
    void heartbeat();
    // Gives back every charge held by an instance not heard from for silence, and forgets such
    // instances; returns how many charges were given back. The result files stay: an answer
    // may have gone out just before its instance died.
    std::size_t reclaimAbandoned(std::chrono::seconds silence);
    // Forgets the records of results written more than age ago.
    void forgetResultsOlderThan(std::chrono::seconds age);

    std::optional<std::string> setting(const std::string& name);
    void setSetting(const std::string& name, const std::string& value);
    std::string appVersion();
    std::string updateType();

protected:
    using Value = std::variant<std::monostate, std::int64_t, std::string>;
    // A result row, every column as text; an SQL NULL is empty.
    using Row = std::vector<std::string>;

    Ledger();
    // Runs one statement ($1, $2, ... for the values) as a transaction of its own.
    virtual std::vector<Row> run(const std::string& sql, const std::vector<Value>& values) = 0;

    static std::int64_t integer(const std::string& column);
    // The debit: takes one credit from key ($1) and returns the balances after it and the pool
    // (free_credit, topup_credit, subscription_credit, last_pool); no row without credit.
    static const char* const kDebit;
    static ChargeResult charged(const Row& row);
    // The database's clock, in whole seconds since the epoch, as an SQL expression: instances
    // on several machines judge each other's silence by one clock.
    virtual const char* nowSql() const = 0;

private:
    std::string instance_;
};

}  // namespace vserver
