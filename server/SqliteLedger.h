#pragma once

#include "Ledger.h"

#include <string>

namespace vserver {

// The ledger in one SQLite file (WAL mode), for a service on one machine. Every call opens its
// own connection, so calls from several threads and processes wait on SQLite's own locks.
class SqliteLedger final : public Ledger {
public:
    // Opens the file, creating it and its folder when missing, and creates or updates the schema.
    explicit SqliteLedger(std::string path);

    std::string location() const override { return path_; }
    bool issueDemoKey(const std::string& key, const Balances& balances) override;
    ChargeResult charge(const std::string& key, const std::string& resultName) override;
    bool refund(const std::string& resultName) override;

protected:
    std::vector<Row> run(const std::string& sql, const std::vector<Value>& values) override;
    const char* nowSql() const override { return "CAST(strftime('%s', 'now') AS INTEGER)"; }

private:
    std::string path_;
};

}  // namespace vserver
