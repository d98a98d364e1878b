#pragma once

#include "Database.h"

#include <optional>
#include <string>

namespace vserver {

struct AccountPageContent {
    std::string databasePath;
    std::optional<KeyRecord> demo;  // the demo key, while the database holds it
};

// The HTML of the account page: how to create and top up keys, and the demo
// key of a local set-up.
std::string renderAccountPage(const AccountPageContent& content);

// Text escaped for HTML element content and attribute values.
std::string escapeHtml(const std::string& text);

// The text quoted for a POSIX shell command line.
std::string shellQuote(const std::string& text);

}  // namespace vserver
