#pragma once

#include "Ledger.h"

#include <optional>
#include <string>
#include <vector>

namespace vserver {

struct AccountPageContent {
    std::string serviceUrl;  // the base URL of the API as clients reach it
    // A client on the machine that runs the service: the only one shown keys and database.
    bool local = false;
    std::string databasePath;
    std::vector<KeyRecord> keys;
    std::optional<KeyRecord> demo;  // the demo key, while the database holds it
};

// The HTML of the account page: the service's address, and for a local client the demo key, the
// keys with their credits and the commands that make and top up keys.
std::string renderAccountPage(const AccountPageContent& content);

// Text escaped for HTML element content and attribute values.
std::string escapeHtml(const std::string& text);

// The text quoted for a POSIX shell command line.
std::string shellQuote(const std::string& text);

}  // namespace vserver
