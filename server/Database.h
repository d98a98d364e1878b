#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace vserver {

class DatabaseError final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
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
enum class CreditPool { Free, Subscription, Topup };

struct ChargeResult {
    enum class Outcome { Charged, NoCredit, UnknownKey };
    Outcome outcome = Outcome::UnknownKey;
    CreditPool pool = CreditPool::Free;  // the pool charged, when Charged
    Balances after;                      // balances after the charge, when Charged
};

// One connection to the key and settings database. A connection belongs to
// one thread at a time; every request opens its own.
class Database final {
public:
    static constexpr std::size_t kMaxKeyLength = 32;
    static constexpr const char* kDefaultAppVersion = "1.0.0";
    static constexpr const char* kDefaultUpdateType = "none";

    // Opens (creating if needed) the database file. Throws DatabaseError.
    explicit Database(const std::string& path);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Switches the file to WAL mode and creates the tables. Run once per
    // process before other connections are opened.
    void initialise();

    std::optional<Balances> balances(const std::string& key);
    // False when the key exists already.
    bool createKey(const std::string& key, const Balances& balances, bool demo = false);
    // Sets the given pools; false when the key is unknown.
    bool setBalances(const std::string& key, std::optional<std::int64_t> free,
                     std::optional<std::int64_t> topup, std::optional<std::int64_t> subscription);
    bool deleteKey(const std::string& key);
    std::vector<KeyRecord> keys();
    std::optional<std::string> demoKey();

    // Stores key as the demo key when the database has never issued one and
    // holds no key at all. True when it was stored.
    bool issueDemoKey(const std::string& key, const Balances& balances);

    // Takes one credit in a single immediate transaction: free first, then
    // subscription, then top-up. Never takes a pool below zero.
    ChargeResult chargeOne(const std::string& key);
    // Gives back one credit to the pool a charge took it from.
    void refund(const std::string& key, CreditPool pool);

    std::optional<std::string> setting(const std::string& name);
    void setSetting(const std::string& name, const std::string& value);

    std::string appVersion();
    std::string updateType();

    static bool isValidKey(const std::string& key);

private:
    void exec(const char* sql);

    sqlite3* db_ = nullptr;
};

}  // namespace vserver
