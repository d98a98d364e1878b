#pragma once

#include "Ledger.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

struct pg_conn;

namespace vserver {

// The ledger in PostgreSQL, shared by every instance of the service that names the same
// database. Connections are kept in a pool and made again when the database comes back after
// an outage; while it is away every call throws LedgerUnavailable at once (after one attempt a
// second), and the outage and its end are logged once each.
class PostgresLedger final : public Ledger {
public:
    // Connects, and creates or updates the schema (one instance at a time). Throws
    // LedgerUnavailable when the database cannot be reached, LedgerError when it refuses.
    explicit PostgresLedger(std::string uri);
    ~PostgresLedger() override;

    std::string location() const override;
    bool issueDemoKey(const std::string& key, const Balances& balances) override;
    ChargeResult charge(const std::string& key, const std::string& resultName) override;
    bool refund(const std::string& resultName) override;
    // Where the database cannot be reached it is recorded once it can.
    void delivered(const std::string& resultName) override;

    // The URI without its password.
    static std::string withoutPassword(const std::string& uri);

protected:
    std::vector<Row> run(const std::string& sql, const std::vector<Value>& values) override;
    const char* nowSql() const override { return "extract(epoch FROM now())::bigint"; }

private:
    class Lease;

    pg_conn* acquire();
    void release(pg_conn* connection);
    // One statement, or several without values; throws LedgerUnavailable when the connection
    // is lost (the connection is then dropped), LedgerError when the statement fails.
    std::vector<Row> exec(pg_conn*& connection, const std::string& sql,
                          const std::vector<Value>& values);
    void unavailable(const std::string& reason);
    bool refundOn(pg_conn*& connection, const std::string& resultName);
    // The refunds and deliveries that could not be recorded while the database was away.
    void settlePending(pg_conn*& connection);

    std::string uri_;
    std::mutex mutex_;
    std::vector<pg_conn*> idle_;
    std::vector<std::string> pendingRefunds_;
    std::vector<std::string> pendingDeliveries_;
    bool down_ = false;
    bool connected_ = false;  // once connected at all
    std::chrono::steady_clock::time_point nextAttempt_{};
};

}  // namespace vserver
